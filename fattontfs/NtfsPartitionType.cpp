#include "fattontfs/NtfsPartitionType.h"

#include <cstdio>

#include "platform/PartitionTable.h"

namespace {

constexpr uint8_t kNtfsType = 0x07;

bool IsFatType(uint32_t type) {
    return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C || type == 0x0E;
}

}  // namespace

bool MarkPartitionNtfs(const std::string& diskPath, uint32_t number, std::string* message) {
    message->clear();
    platform::PartitionTableKind kind = platform::PartitionTableKind::None;
    platform::PartitionEntry entry;
    std::string error;
    if (!platform::ReadPartition(diskPath, platform::kInvalidVolume, number, &kind, &entry, &error)) {
        *message = "The partition table cannot be read: " + error;
        return false;
    }
    if (kind != platform::PartitionTableKind::Mbr || !IsFatType(entry.mbrType)) return true;
    if (!platform::SetMbrPartitionType(diskPath, platform::kInvalidVolume, number, kNtfsType, &error)) {
        *message = "The partition type cannot be changed to NTFS: " + error;
        return false;
    }
    char text[96];
    std::snprintf(text, sizeof text, "The partition type was changed from 0x%02X to 0x07 (NTFS).", entry.mbrType);
    *message = text;
    return true;
}

bool MarkVolumePartitionNtfs(const std::string& devicePath, std::string* message) {
    message->clear();
    const auto location = platform::LocatePartition(devicePath);
    if (!location) return true;
    return MarkPartitionNtfs(location->diskPath, location->number, message);
}
