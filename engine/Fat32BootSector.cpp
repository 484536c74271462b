#include "engine/Fat32BootSector.h"

#include <cstring>

FAT32_LAYOUT ComputeFat32Layout(uint32_t sectorsPerCluster, uint32_t totalSectors,
                                uint32_t bytesPerSector, uint32_t extraReserved) {
    FAT32_LAYOUT layout;
    layout.SectorsPerCluster = sectorsPerCluster;
    const uint64_t s = sectorsPerCluster;
    const uint64_t t = totalSectors;

    if (s == 0 || s > kFat32MaxSectorsPerCluster || (s & (s - 1)) != 0) {
        layout.Status = Fat32LayoutStatus::BadSectorsPerCluster;
        return layout;
    }
    if (bytesPerSector != kFat32SectorBytes) {
        layout.Status = Fat32LayoutStatus::BadBytesPerSector;
        return layout;
    }
    // The FAT-size sum T + 2S - 16 is a 32-bit quantity of the layout; a volume so close to
    // 2^32 sectors that it wraps is refused rather than laid out from a wrapped value.
    if (t + 2 * s < kFat32BaseReserved || t + 2 * s - kFat32BaseReserved > UINT32_MAX) {
        layout.Status = t + 2 * s < kFat32BaseReserved ? Fat32LayoutStatus::VolumeTooSmall
                                                       : Fat32LayoutStatus::VolumeTooLarge;
        return layout;
    }

    // 1. FAT size: exact ceiling of (T + 2S - 16) / (128S + 2).
    const uint64_t n = t + 2 * s - kFat32BaseReserved;
    const uint64_t d = 128 * s + 2;
    const uint64_t f = (n + d - 1) / d;

    // 2. Reserved sectors: 16, plus what brings R + 2F onto a multiple of S, plus the extra.
    const uint64_t r = (2 * f + kFat32BaseReserved) % s;
    const uint64_t reserved = kFat32BaseReserved + (r == 0 ? 0 : s - r) + extraReserved;
    if (reserved > UINT16_MAX) {
        layout.Status = Fat32LayoutStatus::ReservedTooLarge;
        return layout;
    }

    // 3. Data clusters; a volume that cannot hold the reserved area, both FATs and one
    // cluster has no file system to offer.
    const uint64_t system = reserved + 2 * f;
    if (t < system + s) {
        layout.Status = Fat32LayoutStatus::VolumeTooSmall;
        return layout;
    }
    const uint64_t clusters = (t - system) / s;

    layout.FatSectors = static_cast<uint32_t>(f);
    layout.ReservedSectors = static_cast<uint32_t>(reserved);
    layout.ClusterCount = clusters;
    layout.FirstDataSector = static_cast<uint32_t>(system);
    layout.TotalSectors = static_cast<uint32_t>(clusters * s + system);  // never above T

    // 4. The cluster limit of FAT32; the caller retries with larger clusters.
    layout.Status = clusters > kFat32MaxClusters ? Fat32LayoutStatus::TooManyClusters
                                                 : Fat32LayoutStatus::Accepted;
    return layout;
}

uint32_t VolumeSerialFromTime(const platform::LocalClockTime& time) {
    const uint16_t low = static_cast<uint16_t>((time.month + time.second) * 256u +
                                               time.millisecond + time.day);
    const uint16_t high =
        static_cast<uint16_t>(time.hour * 256u + time.minute + time.year);
    return static_cast<uint32_t>(high) << 16 | low;
}

bool BuildFat32BootSector(uint32_t sectorsPerCluster, FAT32_BOOT_SECTOR* image,
                          uint32_t totalSectors, uint32_t sectorsPerTrack, uint32_t heads,
                          uint32_t bytesPerSector, uint32_t extraReserved,
                          const platform::LocalClockTime* now) {
    std::memset(image, 0, sizeof(*image));
    const FAT32_LAYOUT layout =
        ComputeFat32Layout(sectorsPerCluster, totalSectors, bytesPerSector, extraReserved);
    if (layout.Status != Fat32LayoutStatus::Accepted) {
        return false;
    }

    static constexpr uint8_t kJump[3] = {0xEB, 0x58, 0x90};
    std::memcpy(image->Jump, kJump, sizeof(kJump));
    std::memcpy(image->OemName, "MSDOS5.0", sizeof(image->OemName));
    image->BytesPerSector = static_cast<uint16_t>(bytesPerSector);
    image->SectorsPerCluster = static_cast<uint8_t>(sectorsPerCluster);
    image->ReservedSectors = static_cast<uint16_t>(layout.ReservedSectors);
    image->NumberOfFats = 2;
    image->Media = static_cast<uint8_t>(kFat32Media);
    image->SectorsPerTrack = static_cast<uint16_t>(sectorsPerTrack);
    image->NumberOfHeads = static_cast<uint16_t>(heads);
    image->TotalSectors32 = layout.TotalSectors;
    image->FatSize32 = layout.FatSectors;
    image->RootCluster = 2;
    image->FsInfoSector = static_cast<uint16_t>(kFat32FsInfoSector);
    image->BackupBootSector = static_cast<uint16_t>(kFat32BackupBootSector);
    image->DriveNumber = 0x80;
    image->BootSignature = 0x29;
    const platform::LocalClockTime time = now ? *now : platform::LocalClockNow();
    image->VolumeSerial = VolumeSerialFromTime(time);
    std::memcpy(image->VolumeLabel, "NO NAME    ", sizeof(image->VolumeLabel));
    std::memcpy(image->FileSystemType, "FAT32   ", sizeof(image->FileSystemType));
    image->Signature = 0xAA55;
    return true;
}

void BuildFat32FsInfo(FAT32_FSINFO* image, uint32_t freeClusters, uint32_t nextFree) {
    std::memset(image, 0, sizeof(*image));
    image->LeadSignature = 0x41615252;
    image->StructSignature = 0x61417272;
    image->FreeCount = freeClusters;
    image->NextFree = nextFree;
    image->TrailSignature = 0xAA550000;
}
