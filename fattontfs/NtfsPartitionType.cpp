#include "fattontfs/NtfsPartitionType.h"

#include <cstdio>

#include "device/PartitionType.h"

namespace {

bool IsFatType(uint32_t type) {
    return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C || type == 0x0E;
}

}  // namespace

bool MarkPartitionNtfs(const std::string& diskPath, uint32_t number, std::string* message) {
    message->clear();
    PartitionRetype outcome;
    if (!RetypeMbrPartition(diskPath, platform::kInvalidVolume, number, IsFatType, kMbrTypeNtfs, &outcome)) {
        *message = !outcome.found ? "The partition table cannot be read: " + outcome.error
                       : "The partition type cannot be changed to NTFS: " + outcome.error;
        return false;
    }
    if (!outcome.changed) return true;
    char text[96];
    std::snprintf(text, sizeof text, "The partition type was changed from 0x%02X to 0x07 (NTFS).", outcome.oldType);
    *message = text;
    return true;
}

bool MarkVolumePartitionNtfs(const std::string& devicePath, std::string* message) {
    message->clear();
    const auto location = platform::LocatePartition(devicePath);
    if (!location) return true;
    return MarkPartitionNtfs(location->diskPath, location->number, message);
}
