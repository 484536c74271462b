// The partition entry of a volume converted to NTFS: on an MBR disk, a FAT type byte (0x01,
// 0x04, 0x06, 0x0B, 0x0C, 0x0E) becomes 0x07, so that systems which trust the type byte
// mount the volume as NTFS. A GPT entry keeps its type (basic data serves FAT and NTFS
// alike); an image file or a whole disk has no entry to change.
//
// Threads: any; the table is read and written through libfdisk for each call.
#pragma once

#include <cstdint>
#include <string>

// Marks partition `number` of the disk at diskPath as NTFS when it carries a FAT type byte.
// Returns false with *message when the table could not be read or written; true otherwise,
// with *message saying what was done ("" when there was nothing to do).
bool MarkPartitionNtfs(const std::string& diskPath, uint32_t number, std::string* message);

// The same for a volume's device path: finds its disk and number (nothing to do for an image
// file or a whole disk).
bool MarkVolumePartitionNtfs(const std::string& devicePath, std::string* message);
