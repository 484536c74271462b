// Hand-made NTFS volumes whose files lie exactly where a test says: records with $DATA runs
// at chosen LCNs (or resident data), hard links, initialized sizes below the data size, a few
// directories, and the FILE_ITEM tree of them built directly from the records (no index walk),
// in the order the files are given. Every cluster a file's runs hold is filled with bytes that
// differ per file and per position, so a test can tell where each byte went. Every name has the
// time kCraftedFileTime.
//
// Memory-backed: the image lives in a MemoryDevice; the conversion under test writes through
// a device the test puts over it (a FaultyDevice or a BitmapGuardDevice).
//
// Threads: one test thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/FileTree.h"
#include "ntfs/CNTFSVolume.h"
#include "tests/support/CraftedNtfs.h"
#include "tests/support/MemoryDevice.h"

namespace testsupport::crafted {

// Creation, modification and last-access time of every name: 2020-01-01 00:00:00 UTC, as a
// FILETIME and in Unix seconds.
constexpr uint64_t kCraftedFileTime = 132223104000000000ULL;
constexpr int64_t kCraftedUnixTime = 1577836800;

// One name of a file on the crafted volume.
struct FileSpec {
    std::u16string name{};                            // an upper-case 8.3 name (FAT shows it unchanged)
    uint64_t record = 0;                              // its MFT record, 16 and up
    std::vector<std::pair<uint64_t, int64_t>> runs{}; // (clusters, LCN) in VCN order; empty: resident
    uint64_t dataSize = 0;                            // bytes of data
    uint64_t initialized = ~0ULL;                     // initialized size; ~0: the data size
    std::string resident{};                           // resident data (when runs is empty)
    std::u16string parent{};                          // "" for the root, else a directory of the root
    uint64_t linkOf = 0;                              // nonzero: one more name of that record
};

class FileVolume {
public:
    // Lays the files out on a volume of the geometry (records of the geometry's size from its
    // MFT LCN on; directories take records 100, 101, ...) and builds the tree: the files in
    // the order given, in their directories, then the directories in the root.
    FileVolume(const Geometry& geometry, std::vector<FileSpec> files,
               const std::vector<std::u16string>& directories = {});
    ~FileVolume();
    FileVolume(const FileVolume&) = delete;
    FileVolume& operator=(const FileVolume&) = delete;

    MemoryDevice& Memory() { return *memory_; }
    CNTFSVolume& Ntfs() { return *ntfs_; }
    FILE_ITEM* Root() { return root_; }
    const std::vector<FileSpec>& Files() const { return files_; }
    uint32_t ClusterBytes() const { return geometry_.ClusterBytes(); }

    // The item of files()[i].
    FILE_ITEM* Item(size_t i) { return items_[i]; }
    // The file's unnamed data attribute when non-resident, else null.
    CAttrNonResident* Data(size_t i);
    // The bytes files()[i] must read as after a conversion: its data up to the initialized
    // size, zeros from there to the data size.
    std::vector<uint8_t> Expected(size_t i) const;
    // The bytes the file's clusters held before anything moved (its data and what lies past).
    std::vector<uint8_t> OnDisk(size_t i) const;
    // The file's data as its item's runs say it lies now, read from the memory image.
    std::vector<uint8_t> ReadThroughRuns(size_t i);

private:
    FILE_ITEM* NewItem(uint64_t record);

    Geometry geometry_;
    std::vector<FileSpec> files_;
    std::unique_ptr<MemoryDevice> memory_;
    std::unique_ptr<CNTFSVolume> ntfs_;
    ShCount<FILE_ITEM> tree_;
    FILE_ITEM* root_ = nullptr;
    std::vector<FILE_ITEM*> items_;  // one per entry of files_
};

// Bytes that differ per seed and per position.
std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed);

}  // namespace testsupport::crafted
