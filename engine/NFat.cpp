#include "engine/NFat.h"

#include <algorithm>
#include <vector>

#include "device/Log.h"
#include "device/ProgressInforAssist.h"

namespace {

constexpr uint32_t kEntriesPerSector = kFat32SectorBytes / sizeof(uint32_t);
constexpr uint32_t kFlushChunkSectors = 128;  // 64 KiB per device call

// Writes one FAT copy at firstSector in chunks; false at the first failed chunk.
bool WriteFatCopy(CVolumeDevice* device, const uint32_t* entries, uint32_t firstSector,
                  uint32_t fatSectors) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(entries);
    for (uint32_t done = 0; done < fatSectors;) {
        const uint32_t n = std::min(kFlushChunkSectors, fatSectors - done);
        if (!device->WriteSectors(bytes + static_cast<size_t>(done) * kFat32SectorBytes,
                                  static_cast<uint64_t>(firstSector) + done, n)) {
            return false;
        }
        done += n;
    }
    return true;
}

}  // namespace

uint32_t NFat::FirstDataSectorOf(const FAT32_BOOT_SECTOR& bootImage) {
    return bootImage.ReservedSectors +
           static_cast<uint32_t>(bootImage.NumberOfFats) * bootImage.FatSize32;
}

uint32_t NFat::ClusterCountOf(const FAT32_BOOT_SECTOR& bootImage) {
    const uint32_t first = FirstDataSectorOf(bootImage);
    if (bootImage.SectorsPerCluster == 0 || bootImage.TotalSectors32 < first) {
        return 0;
    }
    return (bootImage.TotalSectors32 - first) / bootImage.SectorsPerCluster;
}

NFat::NFat(const FAT32_BOOT_SECTOR& bootImage, CVolumeDevice* device)
    : BootImage(bootImage), Device(device) {
    FirstDataSector = FirstDataSectorOf(BootImage);
    ClusterCount = ClusterCountOf(BootImage);
    EntryCount = static_cast<size_t>(BootImage.FatSize32) * kEntriesPerSector;
    // An accepted layout always has room for every cluster; never index past the table.
    if (EntryCount < 2) {
        EntryCount = 2;
    }
    ClusterCount = static_cast<uint32_t>(std::min<size_t>(ClusterCount, EntryCount - 2));
    Entries = std::make_unique<uint32_t[]>(EntryCount);  // zeroed: every cluster free
    Entries[0] = kFat32Entry0;
    Entries[1] = kFat32EndOfChain;
    SearchHint = 2;
}

uint32_t NFat::FatClusterBytes() {
    return static_cast<uint32_t>(BootImage.SectorsPerCluster) * BootImage.BytesPerSector;
}

uint32_t NFat::NextCluster(uint32_t cluster) {
    return cluster < EntryCount ? Entries[cluster] : kFat32EndOfChain;
}

uint32_t NFat::ClaimChain(uint32_t count, uint32_t* lastOut) {
    // 1. No chain yet.
    uint32_t first = 0;
    uint32_t previous = 0;
    const uint64_t last = static_cast<uint64_t>(ClusterCount) + 1;
    // 2. Next fit: each cluster is the first free one at or after the hint, and the hint
    //    follows it. Clusters 0 and 1 are never handed out, whatever the hint says.
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t j = static_cast<uint64_t>(std::max<int32_t>(SearchHint, 2));
        while (j <= last && Entries[j] != 0) {
            ++j;
        }
        if (j > last) {
            throw SimpleException(u"cann't find free cluster.", 1);
        }
        const auto cluster = static_cast<uint32_t>(j);
        SearchHint = static_cast<int32_t>(cluster);
        if (first == 0) {
            first = cluster;
        }
        if (previous != 0) {
            Entries[previous] = cluster;
        }
        Entries[cluster] = kFat32EndOfChain;
        previous = cluster;
    }
    // 3. Hand out the ends of the chain.
    if (lastOut) {
        *lastOut = previous;
    }
    return first;
}

void NFat::AllocChain(uint32_t count, uint32_t* clusters) {
    uint32_t c = ClaimChain(count, nullptr);
    for (uint32_t i = 0; i < count; ++i) {
        clusters[i] = c;
        c = NextCluster(c);
    }
}

void NFat::WriteClusters(const void* buffer, uint32_t cluster, uint32_t count) {
    const uint32_t spc = BootImage.SectorsPerCluster;
    const uint64_t sector = static_cast<uint64_t>(spc) * (static_cast<uint64_t>(cluster) - 2) +
                            FirstDataSector;
    const uint64_t sectors = static_cast<uint64_t>(spc) * count;
    if (cluster < 2 || static_cast<uint64_t>(cluster) + count > uint64_t{ClusterCount} + 2) {
        LogErrorA("WriteClusters refused: clusters %u..+%u outside the data area", cluster,
                  count);
        ++FailedWrites;
        return;
    }
    if (!Device->WriteSectors(buffer, sector, sectors)) {
        LogErrorA("WriteSector err, s:%d, n%d", static_cast<int>(sector),
                  static_cast<int>(sectors));
        ++FailedWrites;
    }
}

int32_t NFat::ClusterOfLcn(uint64_t lcn) {
    const uint32_t spc = BootImage.SectorsPerCluster;
    const uint32_t firstDataCluster = spc ? FirstDataSector / spc : 0;
    return static_cast<int32_t>(static_cast<uint32_t>(lcn) - firstDataCluster + 2);
}

bool NFat::CopyCluster(uint64_t from, uint64_t to) {
    const uint32_t spc = BootImage.SectorsPerCluster;
    // One cluster is all that moves; the buffer lives for this call only.
    std::vector<uint8_t> buffer(static_cast<size_t>(spc) * kFat32SectorBytes);
    const uint64_t source = from * spc;
    bool copied = true;
    if (!Device->ReadSectors(buffer.data(), source, spc)) {
        LogErrorA("ReadSector err, s:%d, n%d", static_cast<int>(source), static_cast<int>(spc));
        std::fill(buffer.begin(), buffer.end(), uint8_t{0});  // unreadable data is written as zeros
        copied = false;
    }
    const uint64_t target = to * spc;
    if (!Device->WriteSectors(buffer.data(), target, spc)) {
        LogErrorA("WriteSector err, s:%d, n%d", static_cast<int>(target), static_cast<int>(spc));
        copied = false;
    }
    return copied;
}

bool NFat::FlushFat() {
    return FlushFat(&BootImage, Device, Entries.get());
}

bool NFat::FlushFat(FAT32_BOOT_SECTOR* bootImage, CVolumeDevice* device,
                    const uint32_t* entries) {
    const uint32_t reserved = bootImage->ReservedSectors;
    const uint32_t fatSectors = bootImage->FatSize32;

    // 1. First copy, right after the reserved area.
    const bool firstOk = WriteFatCopy(device, entries, reserved, fatSectors);
    if (!firstOk) {
        LogErrorA("write fat table sector fail, start %d, count %d", static_cast<int>(reserved),
                  static_cast<int>(fatSectors));
    }
    // 2. Second copy, right after the first.
    const bool secondOk = WriteFatCopy(device, entries, reserved + fatSectors, fatSectors);
    if (!secondOk) {
        LogErrorA("write fat table sector fail, start %d, count %d",
                  static_cast<int>(reserved + fatSectors), static_cast<int>(fatSectors));
    }
    // 3. One whole copy is enough. If it is only the second, stop mirroring and make that
    //    copy the active FAT, since readers would otherwise trust the broken first one.
    if (!firstOk && secondOk) {
        bootImage->ExtFlags = 0x0080 | 1;
        LogWarnA("first FAT copy incomplete: the second copy is made the active FAT");
    }
    return firstOk || secondOk;
}

uint32_t NFat::CountFreeClusters(const FAT32_BOOT_SECTOR& bootImage, const uint32_t* entries,
                                 uint32_t* firstFree) {
    const uint32_t clusters = ClusterCountOf(bootImage);
    uint32_t free = 0;
    uint32_t lowest = 0xFFFFFFFF;
    for (uint64_t c = 2; c < uint64_t{clusters} + 2; ++c) {
        if (entries[c] == 0) {
            if (free == 0) {
                lowest = static_cast<uint32_t>(c);
            }
            ++free;
        }
    }
    if (firstFree) {
        *firstFree = lowest;
    }
    return free;
}

bool NFat::FlushBootSector() {
    return FlushBootSector(BootImage, Device, Entries.get());
}

bool NFat::FlushBootSector(const FAT32_BOOT_SECTOR& bootImage, CVolumeDevice* device,
                           const uint32_t* entries) {
    // 1. The backup boot sector.
    const uint32_t backup = bootImage.BackupBootSector;
    if (!device->WriteSectors(&bootImage, backup, 1)) {
        LogWarnA("Don't write backup boot sector to %d sector", static_cast<int>(backup));
    }
    // 2. FSInfo and its copy after the backup boot sector.
    uint32_t nextFree = 0;
    const uint32_t freeClusters = CountFreeClusters(bootImage, entries, &nextFree);
    FAT32_FSINFO fsInfo;
    BuildFat32FsInfo(&fsInfo, freeClusters, nextFree);
    const uint32_t fsInfoSectors[2] = {bootImage.FsInfoSector,
                                       static_cast<uint32_t>(backup + bootImage.FsInfoSector)};
    for (const uint32_t sector : fsInfoSectors) {
        if (!device->WriteSectors(&fsInfo, sector, 1)) {
            LogWarnA("write FSInfo sector fail, sector %d", static_cast<int>(sector));
        }
    }
    // 3. Sector 0 last: from here on the volume is FAT32.
    return device->WriteSectors(&bootImage, 0, 1) != 0;
}
