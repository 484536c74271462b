// Partition tables of whole disks and disk images, read and changed through libfdisk (never
// by writing table sectors by hand), and the way from a partition block device to its disk.
//
// A disk is named by its path (/dev/sdb, or an image file holding a whole disk). Every call
// may also be given a handle the caller already holds on that disk (kInvalidVolume: none);
// libfdisk then works through it and leaves it open, so a disk the caller holds exclusively
// can be changed without a second open. Without a handle the disk is opened for the call
// alone.
//
// Partitions are numbered as fdisk shows them: 1 to 4 the MBR's primary slots, 5 on its
// logical partitions; GPT entries from 1. Sector numbers and counts are in 512-byte sectors
// whatever the disk's logical sector size.
//
// Threads: any thread; calls share no state. Nothing here caches a table: each call reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/RawVolume.h"

namespace platform {

// The kind of table a disk carries.
enum class PartitionTableKind {
    None,   // no partition table (a file system on the whole disk, or nothing)
    Mbr,    // the DOS partition table
    Gpt,    // GUID partition table (its protective MBR aside)
    Other,  // a table libfdisk knows but that is neither (BSD, SUN, SGI)
};

// One partition of a table.
struct PartitionEntry {
    uint32_t number = 0;       // as fdisk numbers it, from 1
    uint64_t startSector = 0;  // first 512-byte sector on the disk
    uint64_t sectors = 0;      // length in 512-byte sectors
    uint32_t mbrType = 0;      // the MBR type byte (0x07 NTFS/exFAT, 0x0B/0x0C FAT32); 0 on GPT
    std::string gptType;       // the type GUID in upper case on GPT; empty on MBR
};

// Where a partition block device lies: its whole disk and its number there.
struct PartitionLocation {
    std::string diskPath;      // /dev/sdb for /dev/sdb1
    uint32_t number = 0;       // 1 for /dev/sdb1, as the kernel numbers it
    uint64_t startSector = 0;  // first 512-byte sector on the disk
    uint64_t sectors = 0;      // length in 512-byte sectors
};

// The kind of table on the disk. Returns false with *error (a sentence) when the disk cannot
// be opened or read.
bool ReadPartitionTableKind(const std::string& diskPath, VolumeHandle handle,
                            PartitionTableKind* kind, std::string* error);

// Partition `number` of the disk's table. Returns false with *error when the disk cannot be
// read, has no table, or has no partition of that number (an empty slot, or an extended
// partition, which holds no file system of its own).
bool ReadPartition(const std::string& diskPath, VolumeHandle handle, uint32_t number,
                   PartitionTableKind* kind, PartitionEntry* entry, std::string* error);

// Sets the MBR type byte of partition `number` and writes the table (the disk is synced; the
// kernel's view of the table is not re-read, since a type change moves nothing). Returns
// false with *error when the disk's table is not MBR, the partition does not exist, or the
// table cannot be written; nothing is changed then.
bool SetMbrPartitionType(const std::string& diskPath, VolumeHandle handle, uint32_t number,
                         uint8_t type, std::string* error);

// The whole disk and number of a partition block device, found through sysfs
// (/sys/dev/block/MAJOR:MINOR: its "partition" and "start" files and its parent directory).
// Empty for a whole disk, an image file, or anything that is not a partition.
std::optional<PartitionLocation> LocatePartition(const std::string& devicePath);

}  // namespace platform
