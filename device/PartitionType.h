// The partition entry that goes with a converted volume. Systems that trust an MBR entry's
// type byte mount by it, so a conversion changes that byte to name the new file system:
// 0x07 (NTFS) becomes 0x0C (FAT32 with LBA) after a conversion to FAT32, a FAT type becomes
// 0x07 after one to NTFS. A GPT entry keeps its type (basic data serves FAT and NTFS alike),
// and a volume without a table has no type to change.
//
// The table is read and written through libfdisk (platform/PartitionTable), never by hand.
// Threads: any; nothing is kept between calls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/PartitionTable.h"
#include "platform/RawVolume.h"

constexpr uint8_t kMbrTypeNtfs = 0x07;      // NTFS (and exFAT)
constexpr uint8_t kMbrTypeFat32Lba = 0x0C;  // FAT32 addressed by LBA

// What RetypeMbrPartition found and did.
struct PartitionRetype {
    platform::PartitionTableKind kind = platform::PartitionTableKind::None;
    uint32_t number = 0;   // the partition, as fdisk numbers it
    bool found = false;    // the table was read and holds the partition
    uint32_t oldType = 0;  // the MBR type byte found (0 on other tables)
    uint32_t newType = 0;  // the type byte it has now (oldType when it was left alone)
    bool changed = false;  // the byte was rewritten
    std::string error;     // why the table could not be read or written; empty otherwise
};

// Reads partition `number` of the disk at diskPath (through `handle` when it is not
// kInvalidVolume, which stays open) and, when the table is MBR and `applies` holds for its
// type byte, sets the byte to `type` and writes the table. Returns false with
// outcome->error when the table could not be read (found false) or the change could not be
// written (found true; the table is then as it was); a table that needs no change (GPT,
// another type) is true with changed false.
bool RetypeMbrPartition(const std::string& diskPath, platform::VolumeHandle handle, uint32_t number,
                        const std::function<bool(uint32_t type)>& applies, uint8_t type,
                        PartitionRetype* outcome);
