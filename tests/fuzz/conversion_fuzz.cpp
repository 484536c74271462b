// Fuzz target for the whole conversion: the input describes a volume in memory, which goes
// through the driver first with checkOnly (boot sector, tree walk, volume checks, layout,
// free-space check) and, when that accepts it, through the real conversion, which writes
// FAT32 over the same bytes. Refusals and failures (SimpleException) are normal outcomes;
// anything else escaping, a crash, a sanitizer report or a hang is a finding.
//
// A conversion that reports success is then judged: the result must be a FAT32 volume whose
// boot sector, FATs and directories agree (every chain well formed, no cluster in two chains,
// no cluster in use outside a chain, each file's chain as long as its size needs, the FSInfo
// free count true, as many files and folders as the walk found, and the files' bytes those
// NTFS gave before: compared as a multiset of sizes and hashes, so that names need not be
// matched, when the data is small enough to read twice). So is one that ends with
// the failure naming files it could not copy whole: the volume is FAT32 by then, and only
// those files' bytes may be wrong. When it says folders could not be written, only the boot
// sector and the FATs are judged. A check-only run must not have written a sector.
//
// The driver takes the larger-cluster path only for volumes of more than 67 million NTFS
// clusters, far beyond what a fuzz input can afford; so the input can also ask for that path
// directly: the tree is walked and checked as the driver does it, and the path converts to
// FAT32 clusters 2^k times the NTFS cluster (fewer than 65,525 clusters then, which the path
// does not mind; the judge neither).
//
// Input (all little-endian; made from real volumes by make_conversion_seeds.py):
//   u32   bits 0-27: the volume's length in 512-byte sectors; bits 28-31: k, 0 for the
//         driver's own choice, else the larger-cluster path with clusters 2^k times larger;
//   then pieces, to the end of the input:
//   u32   first sector of the piece;
//   u16   its length n in sectors;
//   n*512 bytes (fewer when the input ends first; the rest of the piece reads as zeros).
// Everything not covered by a piece reads as zeros; pieces beyond the volume's end are cut.
// A piece of 0 sectors makes its first sector bad: every read or write touching it fails.
//
// Effort is bounded so that an input can only be slow because the engine is: the volume has
// at most kMaxClusters NTFS clusters (the FAT and the bitmap of the checks stay small), and
// each conversion may move at most kBudgetBytes through the device; past that every
// transfer fails, as a disk that stopped answering would.
//
// With VELUNDRA_FUZZ_VERBOSE set, each input's outcome goes to stderr (to check the seeds);
// with VELUNDRA_FUZZ_DUMP=FILE, a converted volume is written to FILE (for fsck.fat and fls).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/ConvertNtfsToFat32.h"
#include "engine/DirectoryWriter.h"
#include "engine/Fat32BootSector.h"
#include "engine/FileTree.h"
#include "engine/VolumeCheck.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CNTFSVolume.h"
#include "platform/TextEncoding.h"
#include "relocation/ConvertChangedClusterSize.h"
#include "tests/support/SparseDevice.h"

namespace {

constexpr size_t kMaxInput = 4u << 20;
constexpr uint64_t kMaxClusters = 1u << 17;      // NTFS clusters of the volume at most
constexpr uint64_t kBudgetBytes = 48ull << 20;   // bytes moved by one conversion at most
constexpr uint64_t kMaxComparedBytes = 16ull << 20;  // file data read before and after
constexpr uint32_t kFatEntryMask = 0x0FFFFFFF;
constexpr uint32_t kFirstEndOfChain = 0x0FFFFFF8;

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// The outcome of one input, when asked for.
void Tell(const char* what, const std::u16string& text = {}) {
    static const bool verbose = std::getenv("VELUNDRA_FUZZ_VERBOSE") != nullptr;
    if (verbose) std::fprintf(stderr, "conversion_fuzz: %s %s\n", what, platform::Utf16ToUtf8(text).c_str());
}

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "conversion_fuzz: converted volume is wrong: %s\n", what);
    std::abort();
}

// A file's bytes as a size and a hash; a volume's files as a sorted list of these.
using FileDigest = std::pair<uint64_t, uint64_t>;

class Hash {
public:
    void Add(const uint8_t* bytes, size_t n) {
        for (size_t i = 0; i < n; ++i) value_ = (value_ ^ bytes[i]) * 0x100000001B3ull;
    }
    uint64_t Value() const { return value_; }

private:
    uint64_t value_ = 0xCBF29CE484222325ull;
};

// The digests of every file the conversion would write, read through the NTFS reader the way
// NTFS shows the data (zeros past the initialized size). False when the tree cannot be read
// or its data is too large to compare.
bool DigestNtfsFiles(testsupport::SparseDevice* device, std::vector<FileDigest>* out) {
    CNTFSVolume volume(device);
    if (!volume.IsVolumeOK()) return false;
    auto rootRecord = std::make_unique<CFileRecord>(&volume);
    if (!rootRecord->LoadRecord(kRootRecord)) return false;
    rootRecord->TypeMask = kTreeRootTypeMask;
    if (!rootRecord->BuildAttributes()) return false;
    ShCount<FILE_ITEM> tree = MakeFileTree(std::move(rootRecord));
    try {
        WalkDirectory(tree->FileRecord.get(), &volume, tree.Get());
    } catch (const SimpleException&) {
        return false;
    }
    uint64_t total = 0;
    bool ok = true;
    std::vector<uint8_t> buffer(1 << 16);
    VisitTree(tree.Get(), [&](FILE_ITEM* item, const std::u16string&) {
        if (!ok || ItemIsDirectory(item)) return;
        CAttrBase* data = item->FileRecord->FirstUnnamedData();
        const uint64_t size = data == nullptr ? 0 : data->DataLength();
        total += size;
        if (total > kMaxComparedBytes) {
            ok = false;
            return;
        }
        uint64_t zerosFrom = size;
        if (data != nullptr && data->IsNonResident()) {
            zerosFrom = std::min(size, static_cast<CAttrNonResident*>(data)->InitializedSize());
        }
        Hash hash;
        for (uint64_t at = 0; at < size;) {
            const auto want = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), size - at));
            uint32_t got = 0;
            uint64_t offset = at;
            if (!data->ReadAt(&offset, buffer.data(), want, &got) || got != want) {
                ok = false;
                return;
            }
            if (at + want > zerosFrom) {
                const uint64_t from = zerosFrom > at ? zerosFrom - at : 0;
                std::fill(buffer.begin() + static_cast<ptrdiff_t>(from), buffer.begin() + want, 0);
            }
            hash.Add(buffer.data(), want);
            at += want;
        }
        out->push_back({size, hash.Value()});
    });
    std::sort(out->begin(), out->end());
    return ok;
}

struct Piece {
    uint64_t first;
    const uint8_t* bytes;
    size_t length;
};

// The device the input describes, or null when the input is too short to describe one;
// *growth receives k of the header.
std::unique_ptr<testsupport::SparseDevice> MakeDevice(const uint8_t* data, size_t size, uint32_t* growth) {
    if (size < 4) return nullptr;
    uint64_t sectors = Le32(data) & 0x0FFFFFFF;
    *growth = Le32(data) >> 28;
    std::vector<Piece> pieces;
    std::vector<uint64_t> bad;
    size_t at = 4;
    while (at + 6 <= size) {
        const uint64_t first = Le32(data + at);
        const size_t n = Le16(data + at + 4);
        at += 6;
        if (n == 0) {
            bad.push_back(first);
            continue;
        }
        const size_t length = std::min(n * size_t{512}, size - at);
        pieces.push_back({first, data + at, length});
        at += length;
    }
    // The NTFS cluster size, from the last piece laid over sector 0 (a power of two is not
    // required here; the reader refuses nonsense).
    uint64_t clusterSectors = 1;
    for (const Piece& piece : pieces) {
        if (piece.first == 0 && piece.length > 0x0D && piece.bytes[0x0D] != 0) {
            clusterSectors = piece.bytes[0x0D];
        }
    }
    sectors = std::min(sectors, kMaxClusters * clusterSectors);
    auto device = std::make_unique<testsupport::SparseDevice>(sectors, kBudgetBytes);
    for (const Piece& piece : pieces) device->Place(piece.first, piece.bytes, piece.length);
    for (uint64_t sector : bad) device->FailSectors(sector, 1);
    return device;
}

// Judges a volume the conversion called a success, or one it finished with failed copies
// (see the top of the file); without `directoriesWritten` the directories are not read.
void CheckConvertedVolume(testsupport::SparseDevice* device, const ConversionReport& report,
                          bool directoriesWritten = true,
                          const std::vector<FileDigest>* ntfsFiles = nullptr) {
    // The conversion may only log the failed writes of the backup boot sector and the FSInfo
    // sectors: a FAT32 volume is whole without them.
    const bool backupBad = device->Fails(kFat32BackupBootSector, 1);
    const bool fsInfoBad = device->Fails(kFat32FsInfoSector, 1);
    device->SetBudget(UINT64_MAX);
    device->SetFailuresActive(false);
    FAT32_BOOT_SECTOR boot{};
    FAT32_BOOT_SECTOR backup{};
    if (!device->ReadSectors(&boot, 0, 1) || !device->ReadSectors(&backup, kFat32BackupBootSector, 1)) {
        Fault("boot area unreadable");
    }
    if (boot.Signature != 0xAA55 || boot.BytesPerSector != 512 || boot.NumberOfFats != 2 ||
        boot.FatSize32 == 0 || boot.SectorsPerCluster == 0 ||
        uint32_t{boot.SectorsPerCluster} * 512 != report.fatClusterBytes) {
        Fault("boot sector");
    }
    if (!backupBad && std::memcmp(&boot, &backup, sizeof boot) != 0) Fault("backup boot sector differs");
    const uint64_t firstData = uint64_t{boot.ReservedSectors} + 2ull * boot.FatSize32;
    if (boot.TotalSectors32 > device->SectorCount() || boot.TotalSectors32 <= firstData) {
        Fault("boot sector sizes");
    }
    const uint32_t clusters = static_cast<uint32_t>((boot.TotalSectors32 - firstData) / boot.SectorsPerCluster);
    const uint32_t lastCluster = clusters + 1;
    if (uint64_t{clusters} + 2 > uint64_t{boot.FatSize32} * 128) Fault("FAT too small for its clusters");
    if (boot.RootCluster < 2 || boot.RootCluster > lastCluster) Fault("root cluster");

    // Both FAT copies, equal while both are active.
    const size_t fatBytes = size_t{boot.FatSize32} * 512;
    std::vector<uint32_t> fat(fatBytes / 4);
    std::vector<uint32_t> second(fatBytes / 4);
    if (!device->ReadSectors(fat.data(), boot.ReservedSectors, boot.FatSize32) ||
        !device->ReadSectors(second.data(), boot.ReservedSectors + uint64_t{boot.FatSize32}, boot.FatSize32)) {
        Fault("FAT unreadable");
    }
    // A bad sector in the second copy leaves it behind the first, which readers use.
    const bool secondBad = device->Fails(boot.ReservedSectors + uint64_t{boot.FatSize32}, boot.FatSize32);
    if ((boot.ExtFlags & 0x80) == 0 && !secondBad && fat != second) Fault("FAT copies differ");
    if ((boot.ExtFlags & 0x80) != 0 && (boot.ExtFlags & 0x0F) == 1) fat.swap(second);
    if ((fat[0] & kFatEntryMask) != (kFat32Entry0 & kFatEntryMask)) Fault("FAT entry 0");
    if (!directoriesWritten) return;

    // Every chain from its first cluster; a cluster met twice is a cross-link or a loop.
    std::vector<bool> used(size_t{lastCluster} + 1, false);
    const auto chain = [&](uint32_t first) {
        uint64_t length = 0;
        for (uint32_t c = first;;) {
            if (c < 2 || c > lastCluster) Fault("chain leaves the data area");
            if (used[c]) Fault("cluster in two chains (or a chain that loops)");
            used[c] = true;
            ++length;
            const uint32_t next = fat[c] & kFatEntryMask;
            if (next >= kFirstEndOfChain) return length;
            if (next == 0) Fault("chain runs into a free cluster");
            c = next;
        }
    };
    const uint32_t clusterBytes = uint32_t{boot.SectorsPerCluster} * 512;
    struct Directory {
        uint32_t first;
        uint32_t parent;  // 0 for the root
    };
    std::vector<Directory> pending{{boot.RootCluster, 0}};
    uint64_t files = 0;
    uint64_t directories = 0;
    std::vector<uint8_t> bytes(clusterBytes);
    std::vector<uint8_t> data(clusterBytes);
    std::vector<FileDigest> fatFiles;
    // The digest of a file's chain (already checked) cut to its size.
    const auto digest = [&](uint32_t first, uint64_t size) {
        Hash hash;
        for (uint32_t c = first; size > 0; c = fat[c] & kFatEntryMask) {
            const uint64_t sector = firstData + uint64_t{c - 2} * boot.SectorsPerCluster;
            if (!device->ReadSectors(data.data(), sector, boot.SectorsPerCluster)) Fault("file data unreadable");
            const uint64_t n = std::min<uint64_t>(size, clusterBytes);
            hash.Add(data.data(), n);
            size -= n;
        }
        return hash.Value();
    };
    while (!pending.empty()) {
        const Directory dir = pending.back();
        pending.pop_back();
        chain(dir.first);
        bool ended = false;
        size_t index = 0;
        for (uint32_t c = dir.first; !ended;) {
            const uint64_t sector = firstData + uint64_t{c - 2} * boot.SectorsPerCluster;
            if (!device->ReadSectors(bytes.data(), sector, boot.SectorsPerCluster)) Fault("directory unreadable");
            for (uint32_t off = 0; off < clusterBytes && !ended; off += kFatDirEntryBytes, ++index) {
                FAT_DIR_ENTRY e;
                std::memcpy(&e, bytes.data() + off, sizeof e);
                if (e.Name[0] == 0) {
                    ended = true;
                    break;
                }
                if (e.Name[0] == 0xE5 || e.Attributes == kFatAttrLongName) continue;
                const uint32_t first = uint32_t{e.FirstClusterHigh} << 16 | e.FirstClusterLow;
                const bool dot = e.Name[0] == '.';
                if (dir.parent != 0 && index < 2) {
                    // "." names the folder itself, ".." its parent (0 for the root).
                    const uint32_t want = index == 0 ? dir.first : (dir.parent == boot.RootCluster ? 0 : dir.parent);
                    if (!dot || (e.Attributes & kFatAttrDirectory) == 0 || first != want) Fault("dot entries");
                    continue;
                }
                if (dot) Fault("dot entry out of place");
                if ((e.Attributes & kFatAttrVolumeId) != 0) {
                    if (dir.parent != 0) Fault("volume label outside the root");
                    continue;
                }
                if ((e.Attributes & kFatAttrDirectory) != 0) {
                    ++directories;
                    if (first < 2 || first > lastCluster) Fault("folder without clusters");
                    pending.push_back({first, dir.first});
                    continue;
                }
                ++files;
                const uint64_t want = e.FileSize / clusterBytes + (e.FileSize % clusterBytes != 0);
                if (want == 0 ? first != 0 : chain(first) != want) Fault("file chain length differs from its size");
                if (ntfsFiles != nullptr) fatFiles.push_back({e.FileSize, digest(first, e.FileSize)});
            }
            if (ended) break;
            const uint32_t next = fat[c] & kFatEntryMask;
            if (next >= kFirstEndOfChain) break;
            c = next;
        }
    }
    if (files != report.files || directories != report.directories) Fault("files or folders lost or added");
    if (ntfsFiles != nullptr) {
        std::sort(fatFiles.begin(), fatFiles.end());
        if (fatFiles != *ntfsFiles) Fault("a file's bytes differ from what NTFS held");
    }

    // Nothing in use outside the chains; the FSInfo sector counts the free clusters.
    uint32_t free = 0;
    for (uint32_t c = 2; c <= lastCluster; ++c) {
        const uint32_t entry = fat[c] & kFatEntryMask;
        if (entry == 0) {
            ++free;
        } else if (!used[c]) {
            Fault("cluster in use by no file");
        }
    }
    FAT32_FSINFO info{};
    if (!device->ReadSectors(&info, boot.FsInfoSector, 1)) Fault("FSInfo unreadable");
    if (fsInfoBad) return;
    if (info.LeadSignature != 0x41615252 || info.StructSignature != 0x61417272 || info.FreeCount != free) {
        Fault("FSInfo");
    }
}

// Writes the whole volume to the file VELUNDRA_FUZZ_DUMP names, when it is set.
void Dump(testsupport::SparseDevice* device) {
    const char* path = std::getenv("VELUNDRA_FUZZ_DUMP");
    if (path == nullptr) return;
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return;
    std::vector<uint8_t> chunk(1 << 20);
    const uint64_t sectors = device->SectorCount();
    for (uint64_t s = 0; s < sectors; s += chunk.size() / 512) {
        const uint64_t n = std::min<uint64_t>(chunk.size() / 512, sectors - s);
        device->ReadSectors(chunk.data(), s, n);
        std::fwrite(chunk.data(), 512, n, out);
    }
    std::fclose(out);
}

// The larger-cluster path on FAT32 clusters 2^growth times the NTFS cluster, after the walk
// and the checks the driver makes (the label aside). Throws SimpleException as the driver
// does; returns false when that cluster size has no FAT32 layout on this volume.
bool ConvertToLargerClusters(testsupport::SparseDevice* device, uint32_t growth, bool checkOnly,
                             ConversionReport* report) {
    CNTFSVolume volume(device);
    if (!volume.IsVolumeOK() || volume.SectorBytes != 512) return false;
    CheckVolumeClean(&volume);
    auto rootRecord = std::make_unique<CFileRecord>(&volume);
    if (!rootRecord->LoadRecord(kRootRecord)) return false;
    rootRecord->TypeMask = kTreeRootTypeMask;
    if (!rootRecord->BuildAttributes()) return false;
    TotalFiles = 0;
    TotalDirectories = 0;
    ShCount<FILE_ITEM> tree = MakeFileTree(std::move(rootRecord));
    WalkDirectory(tree->FileRecord.get(), &volume, tree.Get());
    CheckTree(tree.Get(), &volume);
    if (LargestDirectoryEntries(tree.Get()) > kFatMaxDirectoryEntries) return false;
    const uint64_t s = uint64_t{volume.ClusterBytes / 512} << growth;
    if (s > kFat32MaxSectorsPerCluster) return false;
    const auto sectors = static_cast<uint32_t>(device->SectorCount());
    FAT32_BOOT_SECTOR image{};
    if (!BuildFat32BootSector(static_cast<uint32_t>(s), &image, sectors, 63, 255, 512, 0)) return false;
    report->files = TotalFiles;
    report->directories = TotalDirectories;
    report->fatClusterBytes = static_cast<uint32_t>(s * 512);
    report->changedClusterSize = true;
    ChangedClusterOptions options;
    options.checkOnly = checkOnly;
    ConvertChangedClusterSize(image, sectors, tree.Get(), device, nullptr, nullptr, &volume, options);
    return true;
}

// Runs the conversion the input asks for: the driver's (growth 0) or the larger-cluster path.
// False when the larger-cluster path has no layout for the input (nothing was done).
bool Convert(testsupport::SparseDevice* device, uint32_t growth, bool checkOnly, ConversionReport* report) {
    if (growth == 0) {
        ConversionOptions options;
        options.checkOnly = checkOnly;
        ConvertNtfsToFat32(nullptr, device, device->SectorCount(), options, report);
        return true;
    }
    return ConvertToLargerClusters(device, growth, checkOnly, report);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        UseFileLog("/dev/null");  // refusals and failed reads are logged; expected here
        return true;
    }();
    (void)quiet;
    if (size > kMaxInput) return 0;
    uint32_t growth = 0;
    std::unique_ptr<testsupport::SparseDevice> device = MakeDevice(data, size, &growth);
    if (!device) return 0;

    // 1. Everything up to the first write.
    ConversionReport checked;
    try {
        if (!Convert(device.get(), growth, true, &checked)) return 0;
    } catch (const SimpleException& refusal) {
        if (device->Written() != 0) Fault("a refused check wrote to the volume");
        Tell("check refused:", refusal.Text());
        return 0;
    }
    if (device->Written() != 0) Fault("the check wrote to the volume");

    // 2. What NTFS holds, to compare the files with afterwards.
    device->SetBudget(UINT64_MAX);
    std::vector<FileDigest> ntfsFiles;
    const bool compareData = DigestNtfsFiles(device.get(), &ntfsFiles);

    // 3. The conversion itself, on the same bytes.
    device->SetBudget(kBudgetBytes);
    ConversionReport converted;
    try {
        if (!Convert(device.get(), growth, false, &converted)) Fault("the conversion found no layout the check found");
    } catch (const SimpleException& failure) {
        Tell("conversion failed:", failure.Text());
        static const std::u16string kFinished = u"The conversion finished, but";
        if (failure.Text().compare(0, kFinished.size(), kFinished) == 0) {
            const bool foldersLost = failure.Text().find(u"folders or small files") != std::u16string::npos;
            CheckConvertedVolume(device.get(), converted, !foldersLost);
        }
        return 0;
    }
    if (converted.files != checked.files || converted.directories != checked.directories) {
        Fault("the conversion found another tree than the check");
    }
    CheckConvertedVolume(device.get(), converted, true, compareData ? &ntfsFiles : nullptr);
    Dump(device.get());
    Tell(converted.changedClusterSize ? "converted (larger clusters)" : "converted",
         platform::Utf8ToUtf16(std::to_string(converted.files) + " files, " +
                               std::to_string(converted.directories) + " folders" +
                               (compareData ? ", bytes compared" : "")));
    return 0;
}
