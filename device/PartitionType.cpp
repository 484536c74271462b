#include "device/PartitionType.h"

bool RetypeMbrPartition(const std::string& diskPath, platform::VolumeHandle handle, uint32_t number,
                        const std::function<bool(uint32_t type)>& applies, uint8_t type,
                        PartitionRetype* outcome) {
    *outcome = PartitionRetype{};
    outcome->number = number;
    platform::PartitionEntry entry;
    if (!platform::ReadPartition(diskPath, handle, number, &outcome->kind, &entry, &outcome->error)) return false;
    outcome->found = true;
    outcome->oldType = entry.mbrType;
    outcome->newType = entry.mbrType;
    if (outcome->kind != platform::PartitionTableKind::Mbr || !applies(entry.mbrType)) return true;
    if (!platform::SetMbrPartitionType(diskPath, handle, number, type, &outcome->error)) return false;
    outcome->newType = type;
    outcome->changed = true;
    return true;
}
