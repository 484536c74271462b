// The FAT32 layout laid over the sectors of the NTFS volume, and the two sector images that
// describe it on disk: the boot sector (sector 0, backup at 6) and the FSInfo sector (1,
// copy at 7).
//
// The boot sector image is the single source of the layout: the FAT table (NFat) reads the
// reserved-sector count, the FAT size and the total sectors from it, and the conversion writes
// it to disk as its very last step. Nothing here performs I/O.
//
// Every count is in 512-byte sectors, whatever the volume's own sector size.
//
// Threads: pure functions of their arguments (the serial number reads the platform's local
// clock when no time is given); callable from any thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "platform/LocalTime.h"

static_assert(std::endian::native == std::endian::little,
              "the on-disk images are built by plain stores of little-endian fields");

#pragma pack(push, 1)

// FAT32 boot sector (BIOS parameter block and extended boot record), 512 bytes.
struct FAT32_BOOT_SECTOR {
    uint8_t Jump[3];             // 0x00 jump to the (absent) boot code: EB 58 90
    char OemName[8];             // 0x03 "MSDOS5.0"
    uint16_t BytesPerSector;     // 0x0B bytes per sector (always 512 here)
    uint8_t SectorsPerCluster;   // 0x0D sectors per cluster, a power of two up to 128
    uint16_t ReservedSectors;    // 0x0E sectors before the first FAT, boot sector included
    uint8_t NumberOfFats;        // 0x10 FAT copies: 2
    uint16_t RootEntryCount;     // 0x11 0 on FAT32 (the root is a cluster chain)
    uint16_t TotalSectors16;     // 0x13 0 on FAT32 (the 32-bit field holds the count)
    uint8_t Media;               // 0x15 media descriptor: 0xF8 fixed disk
    uint16_t FatSize16;          // 0x16 0 on FAT32 (the 32-bit field holds the FAT size)
    uint16_t SectorsPerTrack;    // 0x18 drive geometry, informational
    uint16_t NumberOfHeads;      // 0x1A drive geometry, informational
    uint32_t HiddenSectors;      // 0x1C sectors before the partition: 0
    uint32_t TotalSectors32;     // 0x20 sectors of the file system (whole clusters only)
    uint32_t FatSize32;          // 0x24 sectors per FAT copy
    uint16_t ExtFlags;           // 0x28 0: FATs mirrored; 0x80 | n: only FAT n is active
    uint16_t FsVersion;          // 0x2A file system version 0.0
    uint32_t RootCluster;        // 0x2C first cluster of the root directory: 2
    uint16_t FsInfoSector;       // 0x30 sector of the FSInfo structure: 1
    uint16_t BackupBootSector;   // 0x32 sector of the boot sector's backup: 6
    uint8_t Reserved[12];        // 0x34 zero
    uint8_t DriveNumber;         // 0x40 BIOS drive number: 0x80
    uint8_t Reserved1;           // 0x41 zero
    uint8_t BootSignature;       // 0x42 0x29: the next three fields are present
    uint32_t VolumeSerial;       // 0x43 volume serial number, made from the local time
    char VolumeLabel[11];        // 0x47 "NO NAME    " (the real label lives in the root)
    char FileSystemType[8];      // 0x52 "FAT32   "
    uint8_t BootCode[420];       // 0x5A no boot code: zero
    uint16_t Signature;          // 0x1FE 0xAA55 (bytes 55 AA)
};

// FAT32 FSInfo sector: the free-cluster count and where to look for a free cluster, 512 bytes.
struct FAT32_FSINFO {
    uint32_t LeadSignature;      // 0x000 0x41615252 ("RRaA")
    uint8_t Reserved1[480];      // 0x004 zero
    uint32_t StructSignature;    // 0x1E4 0x61417272 ("rrAa")
    uint32_t FreeCount;          // 0x1E8 free data clusters; 0xFFFFFFFF when unknown
    uint32_t NextFree;           // 0x1EC cluster to start a free search at; 0xFFFFFFFF: none
    uint8_t Reserved2[12];       // 0x1F0 zero
    uint32_t TrailSignature;     // 0x1FC 0xAA550000 (bytes 00 00 55 AA)
};

#pragma pack(pop)

static_assert(sizeof(FAT32_BOOT_SECTOR) == 512);
static_assert(offsetof(FAT32_BOOT_SECTOR, BytesPerSector) == 0x0B);
static_assert(offsetof(FAT32_BOOT_SECTOR, SectorsPerCluster) == 0x0D);
static_assert(offsetof(FAT32_BOOT_SECTOR, ReservedSectors) == 0x0E);
static_assert(offsetof(FAT32_BOOT_SECTOR, NumberOfFats) == 0x10);
static_assert(offsetof(FAT32_BOOT_SECTOR, Media) == 0x15);
static_assert(offsetof(FAT32_BOOT_SECTOR, SectorsPerTrack) == 0x18);
static_assert(offsetof(FAT32_BOOT_SECTOR, TotalSectors32) == 0x20);
static_assert(offsetof(FAT32_BOOT_SECTOR, FatSize32) == 0x24);
static_assert(offsetof(FAT32_BOOT_SECTOR, ExtFlags) == 0x28);
static_assert(offsetof(FAT32_BOOT_SECTOR, RootCluster) == 0x2C);
static_assert(offsetof(FAT32_BOOT_SECTOR, BackupBootSector) == 0x32);
static_assert(offsetof(FAT32_BOOT_SECTOR, DriveNumber) == 0x40);
static_assert(offsetof(FAT32_BOOT_SECTOR, VolumeSerial) == 0x43);
static_assert(offsetof(FAT32_BOOT_SECTOR, VolumeLabel) == 0x47);
static_assert(offsetof(FAT32_BOOT_SECTOR, FileSystemType) == 0x52);
static_assert(offsetof(FAT32_BOOT_SECTOR, BootCode) == 0x5A);
static_assert(offsetof(FAT32_BOOT_SECTOR, Signature) == 0x1FE);

static_assert(sizeof(FAT32_FSINFO) == 512);
static_assert(offsetof(FAT32_FSINFO, StructSignature) == 484);
static_assert(offsetof(FAT32_FSINFO, FreeCount) == 488);
static_assert(offsetof(FAT32_FSINFO, NextFree) == 492);
static_assert(offsetof(FAT32_FSINFO, TrailSignature) == 508);

// Layout constants shared by the layout, the FAT table and the tools.
constexpr uint32_t kFat32SectorBytes = 512;             // the unit of every sector count
constexpr uint32_t kFat32MaxClusters = 0x3FFFFFE;       // 67,108,862 data clusters at most
constexpr uint32_t kFat32MaxSectorsPerCluster = 128;    // the field holds 8 bits
constexpr uint32_t kFat32BaseReserved = 16;             // reserved sectors before alignment
constexpr uint32_t kFat32BackupBootSector = 6;
constexpr uint32_t kFat32FsInfoSector = 1;
constexpr uint32_t kFat32BackupFsInfoSector = kFat32BackupBootSector + kFat32FsInfoSector;
constexpr uint32_t kFat32Media = 0xF8;
constexpr uint32_t kFat32EndOfChain = 0x0FFFFFFF;       // entry value of a chain's last cluster
constexpr uint32_t kFat32Entry0 = 0x0FFFFF00 | kFat32Media;  // entry 0 carries the media byte

// Why a layout was accepted or refused.
enum class Fat32LayoutStatus {
    Accepted,
    TooManyClusters,       // more than kFat32MaxClusters: the caller retries with larger clusters
    BadSectorsPerCluster,  // 0, not a power of two, or above kFat32MaxSectorsPerCluster
    BadBytesPerSector,     // not 512: every count here is in 512-byte sectors, so a boot sector
                           // claiming another size would describe a different layout
    VolumeTooLarge,        // total + 2*S - 16 does not fit 32 bits (the FAT-size sum would wrap)
    VolumeTooSmall,        // no room for the reserved area, both FATs and one cluster
    ReservedTooLarge,      // reserved sectors (with the extra ones) exceed the 16-bit field
};

// The geometry chosen for one volume and cluster size.
struct FAT32_LAYOUT {
    Fat32LayoutStatus Status = Fat32LayoutStatus::VolumeTooSmall;
    uint32_t SectorsPerCluster = 0;  // S as given
    uint32_t FatSectors = 0;         // F: sectors per FAT copy
    uint32_t ReservedSectors = 0;    // R: base + alignment + extra reserved
    uint64_t ClusterCount = 0;       // C: data clusters (64-bit: a refused C may be large)
    uint32_t TotalSectors = 0;       // C*S + 2F + R: the volume less its last partial cluster
    uint32_t FirstDataSector = 0;    // R + 2F: the sector of cluster 2
};

// Computes the layout of a FAT32 file system with two FATs on totalSectors 512-byte sectors
// with sectorsPerCluster sectors per cluster, extraReserved sectors added to the reserved
// area after the alignment sectors, as follows:
//   1. F = ceil((T + 2S - 16) / (128S + 2)): one 4-byte entry per data cluster plus the two
//      reserved entries, with 16 reserved sectors assumed.
//   2. R = 16, raised so that R + 2F is a multiple of S, plus extraReserved.
//   3. C = (T - 2F - R) / S; the total written is C*S + 2F + R.
//   4. Refused when C exceeds kFat32MaxClusters, and for the inputs the Status names.
// Sums are made in 64 bits, so no refused input is computed with a wrapped value. The fields of
// a TooManyClusters result are filled (the tools print them); other refusals leave them 0.
FAT32_LAYOUT ComputeFat32Layout(uint32_t sectorsPerCluster, uint32_t totalSectors,
                                uint32_t bytesPerSector, uint32_t extraReserved);

// The volume serial number made from a local time: low half ((month + second) * 256 +
// milliseconds + day), high half (hour * 256 + minute + year), each modulo 65536.
uint32_t VolumeSerialFromTime(const platform::LocalClockTime& time);

// Fills the caller-owned image with the boot sector of the layout for these arguments
// (sectors per track, heads and bytes per sector are stored in their 16-bit fields). The
// serial number is made from `now`, or from the platform's local clock when now is null.
// Returns true when the layout is accepted and the image holds the boot sector; false when it
// is refused (see ComputeFat32Layout), and then the image is not to be used.
bool BuildFat32BootSector(uint32_t sectorsPerCluster, FAT32_BOOT_SECTOR* image,
                          uint32_t totalSectors, uint32_t sectorsPerTrack, uint32_t heads,
                          uint32_t bytesPerSector, uint32_t extraReserved,
                          const platform::LocalClockTime* now = nullptr);

// Fills the caller-owned image with an FSInfo sector holding the free-cluster count and the
// next-free hint; every other byte is 0.
void BuildFat32FsInfo(FAT32_FSINFO* image, uint32_t freeClusters, uint32_t nextFree);
