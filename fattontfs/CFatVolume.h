// CFatVolume: a FAT12, FAT16 or FAT32 volume read whole through a CVolumeDevice: the boot
// sector, both FATs, and every directory with its long names, times and attributes, into a
// tree of FAT_NODE. Nothing is ever written.
//
// Reading checks the volume as a careful converter must before it changes a byte: the boot
// sector must describe a FAT volume that fits the device, the FAT copies must agree, every
// chain must stay inside the data area, end properly, not loop and not share a cluster with
// another chain, and hold exactly the clusters its file's size needs; every directory must be
// readable. The first fault found ends the read with a sentence that names it (and the path
// of the file or folder concerned).
//
// Typical use:
//     CFatVolume fat(&device);
//     if (!fat.Read()) { print fat.Problem(); ... }          // the whole volume, checked
//     for (const FAT_NODE& child : fat.Root().Children) ...
//     fat.IsClusterFree(c)                                     // 0 entry in the FAT
// ReadBootSector() alone gives the geometry and the FAT kind (e.g. for counting free space
// with ReadFats() after it, without walking the directories).
//
// Ownership: the device is not owned and must outlive the object; the tree, the FAT entries
// and the names are owned by the object (a node's names and runs are views into the object's
// storage: valid while the object lives and until the next Read).
// Threads: one thread; nothing locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/DirectoryWriter.h"
#include "engine/Fat32BootSector.h"

class CVolumeDevice;

#pragma pack(push, 1)

// The extended boot record of FAT12 and FAT16 (it follows the BIOS parameter block that all
// FAT kinds share, FAT32_BOOT_SECTOR's fields up to 0x24; FAT32 has its own fields there).
struct FAT16_EXTENDED_BOOT {
    uint8_t DriveNumber;     // 0x24 BIOS drive number
    uint8_t Reserved1;       // 0x25 zero
    uint8_t BootSignature;   // 0x26 0x29: the next three fields are present
    uint32_t VolumeSerial;   // 0x27 volume serial number
    char VolumeLabel[11];    // 0x2B label, blank-padded; "NO NAME    " when none
    char FileSystemType[8];  // 0x36 "FAT12   " / "FAT16   " (informational only)
};
static_assert(sizeof(FAT16_EXTENDED_BOOT) == 0x3E - 0x24);
constexpr size_t kFat16ExtendedBootOffset = 0x24;
static_assert(kFat16ExtendedBootOffset == offsetof(FAT32_BOOT_SECTOR, FatSize32));

#pragma pack(pop)

constexpr uint8_t kExtendedBootSignature = 0x29;

enum class FatKind { Fat12, Fat16, Fat32 };

// A run of clusters of one chain: Count clusters from First, consecutive.
struct FAT_RUN {
    uint32_t First = 0;
    uint32_t Count = 0;
};

// One file or directory of the volume (the root is a directory without names). The names
// and runs are kept by the CFatVolume that read the node.
struct FAT_NODE {
    std::u16string_view LongName;   // from the long-name entries; empty when there are none
                                    // (or their checksum does not match the short entry)
    std::u16string_view ShortName;  // the short name as a reader shows it: "NAME.EXT", 437
                                    // decoded, case flags applied; at most 12 units
    uint8_t ShortBytes[11] = {};  // the 11 bytes as stored (0x05 first byte made 0xE5)
    uint8_t Attributes = 0;       // kFatAttr* bits
    uint8_t CaseFlags = 0;        // kFatCaseLowerBase / kFatCaseLowerExt
    uint8_t CreationTenths = 0;   // 0..199: hundredths of the creation time's two seconds
    uint16_t CreationTime = 0;    // DOS time fields, local time
    uint16_t CreationDate = 0;
    uint16_t LastAccessDate = 0;
    uint16_t WriteTime = 0;
    uint16_t WriteDate = 0;
    uint32_t FirstCluster = 0;    // 0: no clusters (empty file; the FAT12/16 root)
    uint32_t FileSize = 0;        // bytes; 0 for directories
    std::span<const FAT_RUN> Runs;  // the chain, consecutive clusters merged, in chain order
    std::vector<FAT_NODE> Children;  // directories only, in directory order

    bool IsDirectory() const { return (Attributes & kFatAttrDirectory) != 0; }
    // The name to show: the long name, else the short name.
    std::u16string_view Name() const { return LongName.empty() ? ShortName : LongName; }
    // Clusters of the chain.
    uint64_t ClusterCount() const;
};

class CFatVolume {
public:
    explicit CFatVolume(CVolumeDevice* device);

    CFatVolume(const CFatVolume&) = delete;
    CFatVolume& operator=(const CFatVolume&) = delete;

    // Reads and checks the whole volume: ReadBootSector, ReadFats, then the directory tree
    // from the root. False with Problem() set at the first fault.
    bool Read();

    // Reads sector 0 and sets the geometry. Refused: a failed read, no 0x55AA signature,
    // bytes per sector not a power of two from 512 to 4096, sectors per cluster not a power
    // of two up to 128, no reserved sector, no FAT, a FAT too small for the clusters, a
    // volume longer than the device, or no data cluster.
    bool ReadBootSector();
    // Reads every FAT copy (after ReadBootSector) and keeps the first; refused when a copy
    // cannot be read or differs from the first in an entry of a data cluster.
    bool ReadFats();

    // Why the last read failed (English, for the user); empty after success.
    const std::string& Problem() const { return problem_; }

    // Geometry (valid after ReadBootSector).
    FatKind Kind() const { return kind_; }
    const char* KindName() const;               // "FAT12", "FAT16", "FAT32"
    uint32_t BytesPerSector() const { return bytesPerSector_; }
    uint32_t ClusterBytes() const { return clusterBytes_; }
    uint64_t TotalSectors() const { return totalSectors_; }        // in BytesPerSector units
    uint64_t TotalBytes() const { return totalSectors_ * bytesPerSector_; }
    uint64_t DeviceBytes() const { return deviceBytes_; }          // the whole device (at least TotalBytes)
    uint32_t ClusterCount() const { return clusterCount_; }        // data clusters 2 .. count+1
    uint64_t FirstDataByte() const { return firstDataByte_; }      // byte offset of cluster 2
    uint64_t ClusterOffset(uint32_t cluster) const {               // byte offset of a data cluster
        return firstDataByte_ + uint64_t{cluster - 2} * clusterBytes_;
    }
    uint32_t VolumeSerial() const { return serial_; }
    uint32_t HiddenSectors() const { return hiddenSectors_; }
    uint16_t SectorsPerTrack() const { return sectorsPerTrack_; }
    uint16_t Heads() const { return heads_; }

    // FAT entries (valid after ReadFats), normalised to 32-bit meanings.
    static constexpr uint32_t kFree = 0;
    static constexpr uint32_t kBad = 0x0FFFFFF7;
    static constexpr uint32_t kEnd = 0x0FFFFFFF;  // any end-of-chain value
    uint32_t Entry(uint32_t cluster) const { return fat_[cluster]; }
    bool IsClusterFree(uint32_t cluster) const { return fat_[cluster] == kFree; }
    uint32_t FreeClusters() const;
    // Free clusters from 2 up to (not including) `end`.
    uint32_t FreeClustersBelow(uint64_t end) const;
    uint32_t BadClusters() const;

    // The tree (valid after Read): the root directory and its counts.
    const FAT_NODE& Root() const { return root_; }
    // The label: the root's volume-label entry, else the boot sector's label when it is not
    // "NO NAME"; trailing blanks dropped, 437 decoded. Empty when there is none.
    const std::u16string& Label() const { return label_; }
    uint64_t FileCount() const { return files_; }
    uint64_t DirectoryCount() const { return directories_; }  // below the root
    uint64_t FileBytes() const { return fileBytes_; }

    // Reads `bytes` bytes of a data cluster range into dest (device sectors of 512 bytes).
    bool ReadClusters(uint32_t first, uint32_t count, void* dest) const;

private:
    bool Fail(std::string problem);
    // Follows the chain from `first`, checking every link and claiming each cluster for the
    // entry `name` of the directory `dir` (the directory itself when name is null); false
    // (Problem set, naming that path) on a fault.
    bool WalkChain(uint32_t first, const std::u16string& dir, const std::u16string_view* name,
                   std::span<const FAT_RUN>* runs);
    // Reads the directory `node` (path for messages) and its subdirectories, depth first.
    bool ReadDirectory(FAT_NODE* node, const std::u16string& path, int depth);
    bool ParseEntries(const uint8_t* bytes, size_t length, FAT_NODE* node,
                      const std::u16string& path, bool isRoot, bool* ended);
    // Copies `bytes` bytes into the tree's storage (at a multiple of 8 bytes) and returns
    // where; KeepName and KeepRuns keep a name's units and a chain's runs there.
    const void* KeepBytes(const void* data, size_t bytes);
    std::u16string_view KeepName(const char16_t* units, size_t count);
    std::span<const FAT_RUN> KeepRuns(const std::vector<FAT_RUN>& runs);

    CVolumeDevice* device_;
    std::string problem_;

    FatKind kind_ = FatKind::Fat32;
    uint32_t bytesPerSector_ = 0;
    uint32_t clusterBytes_ = 0;
    uint32_t reservedSectors_ = 0;
    uint32_t fatCount_ = 0;
    uint64_t fatSectors_ = 0;
    uint32_t rootEntries_ = 0;
    uint64_t rootDirByte_ = 0;    // FAT12/16: byte offset of the fixed root directory
    uint32_t rootCluster_ = 0;    // FAT32: first cluster of the root
    uint64_t totalSectors_ = 0;
    uint64_t deviceBytes_ = 0;
    uint32_t clusterCount_ = 0;
    uint64_t firstDataByte_ = 0;
    uint32_t serial_ = 0;
    uint32_t hiddenSectors_ = 0;
    uint16_t sectorsPerTrack_ = 0;
    uint16_t heads_ = 0;
    std::u16string bootLabel_;

    std::vector<uint32_t> fat_;      // normalised entries 0 .. clusterCount + 1
    std::vector<uint32_t> owner_;    // per cluster: 1 + index of the chain that holds it; 0 none
    uint32_t chains_ = 0;

    FAT_NODE root_;
    std::vector<std::unique_ptr<std::byte[]>> treeBlocks_;  // the tree's names and runs
    size_t treeBlockBytes_ = 0;  // bytes of the last block
    size_t treeBlockUsed_ = 0;   // bytes used in it
    std::vector<FAT_RUN> chainRuns_;  // the chain being walked
    std::u16string label_;
    uint64_t files_ = 0;
    uint64_t directories_ = 0;
    uint64_t fileBytes_ = 0;
};

// Local DOS date and time (with the creation time's hundredths) to a UTC FILETIME, through
// the process's zone. A date of 0 gives 0.
uint64_t FatTimeToFileTime(uint16_t date, uint16_t time, uint8_t tenths = 0);
