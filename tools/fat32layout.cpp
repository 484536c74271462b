// velundra-fat32layout: prints the FAT32 layout the converter lays over a volume.
//
//   velundra-fat32layout                      the reference volumes (10 GiB, 512 GiB, 2 TiB
//                                             less 32 MiB) at the cluster sizes that matter
//   velundra-fat32layout SIZE [CLUSTER]       one volume of SIZE bytes (suffixes K, M, G, T,
//                                             optionally with "iB"/"B", all powers of 1024)
//                                             whose NTFS cluster is CLUSTER bytes (default
//                                             4096): the cluster size is doubled from there
//                                             until the layout is accepted, as the converter
//                                             does
//
// Exit status: 0 printed, 1 no cluster size gives a layout for that volume, 2 wrong usage.
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/Fat32BootSector.h"

namespace {

constexpr uint64_t kTwoTiB = 1ull << 41;  // the largest volume the converter takes
constexpr uint32_t kFewestFat32Clusters = 65525;  // below this, FAT32 by count is FAT16

const char* StatusText(Fat32LayoutStatus status) {
    switch (status) {
        case Fat32LayoutStatus::Accepted: return "accepted";
        case Fat32LayoutStatus::TooManyClusters: return "refused: more than 67108862 clusters";
        case Fat32LayoutStatus::BadSectorsPerCluster: return "refused: cluster size";
        case Fat32LayoutStatus::BadBytesPerSector: return "refused: sector size";
        case Fat32LayoutStatus::VolumeTooLarge: return "refused: too close to 2^32 sectors";
        case Fat32LayoutStatus::VolumeTooSmall: return "refused: too small";
        case Fat32LayoutStatus::ReservedTooLarge: return "refused: reserved area";
    }
    return "?";
}

// Bytes in the largest binary unit that states them exactly ("4 KiB", "2097120 MiB").
std::string HumanBytes(uint64_t bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (bytes != 0 && bytes % 1024 == 0 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
        bytes /= 1024;
        ++unit;
    }
    return std::to_string(bytes) + " " + kUnits[unit];
}

void PrintHeader() {
    std::printf("  %-9s %5s %11s %9s %12s %12s %14s  %s\n", "cluster", "S", "FAT sectors",
                "reserved", "clusters", "first data", "total sectors", "result");
}

// One row: the layout of a volume of totalSectors at S sectors per cluster.
bool PrintRow(uint32_t totalSectors, uint32_t s) {
    const FAT32_LAYOUT l = ComputeFat32Layout(s, totalSectors, kFat32SectorBytes, 0);
    const bool computed = l.Status == Fat32LayoutStatus::Accepted ||
                          l.Status == Fat32LayoutStatus::TooManyClusters;
    if (computed) {
        std::printf("  %-9s %5" PRIu32 " %11" PRIu32 " %9" PRIu32 " %12" PRIu64 " %12" PRIu32
                    " %14" PRIu32 "  %s\n",
                    HumanBytes(uint64_t{s} * kFat32SectorBytes).c_str(), s, l.FatSectors,
                    l.ReservedSectors, l.ClusterCount, l.FirstDataSector, l.TotalSectors,
                    StatusText(l.Status));
    } else {
        std::printf("  %-9s %5" PRIu32 " %11s %9s %12s %12s %14s  %s\n",
                    HumanBytes(uint64_t{s} * kFat32SectorBytes).c_str(), s, "-", "-", "-", "-",
                    "-", StatusText(l.Status));
    }
    if (l.Status == Fat32LayoutStatus::Accepted && l.ClusterCount < kFewestFat32Clusters) {
        std::printf("  note: fewer than %" PRIu32 " clusters; readers that tell the FAT type by"
                    " the cluster count take this for FAT12 or FAT16\n",
                    kFewestFat32Clusters);
    }
    return l.Status == Fat32LayoutStatus::Accepted;
}

void PrintVolumeTitle(uint64_t sectors) {
    std::printf("Volume of %" PRIu64 " sectors (%s)\n", sectors,
                HumanBytes(sectors * kFat32SectorBytes).c_str());
}

void PrintExamples() {
    struct Example {
        uint32_t totalSectors;
        uint32_t clusterSizes[4];  // sectors per cluster, 0 ends the list
    };
    static const Example kExamples[] = {
        {20971520, {8, 16, 64, 0}},            // 10 GiB
        {1073741824, {8, 16, 0, 0}},           // 512 GiB
        {4294901760u, {8, 16, 32, 64}},        // 2 TiB less 32 MiB
    };
    for (const Example& e : kExamples) {
        PrintVolumeTitle(e.totalSectors);
        PrintHeader();
        for (uint32_t s : e.clusterSizes) {
            if (s) PrintRow(e.totalSectors, s);
        }
        std::printf("\n");
    }
}

// Parses "64GiB", "512G", "300M", "1000000"; false on anything else or overflow.
bool ParseBytes(const char* text, uint64_t* bytes) {
    const char* p = text;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    uint64_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    unsigned shift = 0;
    switch (std::toupper(static_cast<unsigned char>(*p))) {
        case 'K': shift = 10; break;
        case 'M': shift = 20; break;
        case 'G': shift = 30; break;
        case 'T': shift = 40; break;
        default: break;
    }
    if (shift) {
        ++p;
        if (*p == 'i') ++p;
    }
    if (*p == 'B' || *p == 'b') ++p;
    if (*p != '\0') return false;
    if (shift && value > (UINT64_MAX >> shift)) return false;
    *bytes = value << shift;
    return true;
}

// The converter's choice: start at the NTFS cluster and double until a layout is accepted.
int PrintChoice(uint64_t volumeBytes, uint32_t clusterBytes) {
    const uint64_t sectors = volumeBytes / kFat32SectorBytes;
    PrintVolumeTitle(sectors);
    if (volumeBytes > kTwoTiB) {
        std::printf("  over 2 TiB: the converter refuses this volume\n");
        return 1;
    }
    if (sectors > UINT32_MAX) {
        std::printf("  %" PRIu64 " sectors do not fit the 32-bit sector count of FAT32\n",
                    sectors);
        return 1;
    }
    std::printf("  NTFS cluster %s\n", HumanBytes(clusterBytes).c_str());
    PrintHeader();
    for (uint32_t s = clusterBytes / kFat32SectorBytes; s <= kFat32MaxSectorsPerCluster;
         s *= 2) {
        if (PrintRow(static_cast<uint32_t>(sectors), s)) {
            std::printf("  chosen: %s clusters (%s)\n",
                        HumanBytes(uint64_t{s} * kFat32SectorBytes).c_str(),
                        s * kFat32SectorBytes == clusterBytes ? "same as NTFS, data stays"
                                                              : "larger than NTFS, data moves");
            return 0;
        }
    }
    std::printf("  no cluster size up to %s gives a FAT32 layout\n",
                HumanBytes(uint64_t{kFat32MaxSectorsPerCluster} * kFat32SectorBytes).c_str());
    return 1;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: velundra-fat32layout [SIZE [CLUSTER_BYTES]]\n"
                 "  SIZE: bytes, or with K, M, G, T (KiB..TiB), e.g. 64GiB\n"
                 "  CLUSTER_BYTES: the NTFS cluster size, a power of two from 512 to 65536"
                 " (default 4096)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        PrintExamples();
        return 0;
    }
    if (argc > 3 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        return Usage();
    }
    uint64_t volumeBytes = 0;
    if (!ParseBytes(argv[1], &volumeBytes)) return Usage();
    uint64_t clusterBytes = 4096;
    if (argc == 3 && !ParseBytes(argv[2], &clusterBytes)) return Usage();
    if (clusterBytes < 512 || clusterBytes > 65536 || (clusterBytes & (clusterBytes - 1)) != 0) {
        return Usage();
    }
    return PrintChoice(volumeBytes, static_cast<uint32_t>(clusterBytes));
}
