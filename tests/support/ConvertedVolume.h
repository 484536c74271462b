// The judge of a converted volume: what the NTFS volume held before the conversion (names,
// kinds, sizes, modification times and the bytes of every file), and gtest checks that the
// FAT32 volume made from it holds exactly the same, read back with independent tools.
//
// Readers used: The Sleuth Kit (fls, icat) on both sides, fsck.fat -n, and mtools (mdir) as a
// second FAT reader of the names.
//
// Modification times. FAT keeps local time at 2-second resolution and no time before
// 1980-01-01 or after 2107-12-31; the conversion writes DOS date and time 0 for those, which
// the Sleuth Kit reads back as 0. The checks read FAT times as UTC (fls -z UTC), so they
// expect the test to run with TZ=UTC (ctest sets it) and say so when it does not.
// The NTFS time taken is the one fls reports ($STANDARD_INFORMATION); the conversion takes
// the copy in the parent's index, which ntfs-3g keeps equal.
//
// Threads: any test thread; the functions run the tools as child processes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// One name of the NTFS tree as the conversion should carry it over.
struct NtfsSnapshotEntry {
    std::string path;    // relative to the root, "/" separators, UTF-8, no trailing "/"
    bool isDir = false;
    uint64_t size = 0;   // data size of the unnamed stream; 0 for directories
    int64_t mtime = 0;   // modification time, Unix seconds (UTC)
    uint64_t record = 0; // MFT record number (several names may share one: hard links)
    std::string sha256;  // hex digest of the file's bytes; empty for directories
};

struct NtfsSnapshot {
    std::string image;                                 // the image it was taken from
    std::map<std::string, NtfsSnapshotEntry> entries;  // keyed by path
    size_t Files() const;
    size_t Directories() const;
};

// Reads every name of the NTFS tree (as NtfsTree lists it), each file's bytes hashed as icat
// streams them. Names the conversion leaves out on purpose are left out here too: a
// "System Volume Information" or "$RECYCLE.BIN" marked hidden or system, with all below it.
// Throws std::runtime_error when a tool fails.
NtfsSnapshot TakeNtfsSnapshot(const std::string& image);

// The modification time the Sleuth Kit should report for a FAT entry converted from an NTFS
// time of `ntfsSeconds` (Unix seconds, UTC) under TZ=UTC: rounded down to an even second,
// or 0 when FAT cannot hold the time.
int64_t ExpectedFatMtime(int64_t ntfsSeconds);

// Checks, each as its own gtest EXPECT with every offending path in the message:
//   1. fsck.fat -n exits 0 and prints nothing between its banner and its summary;
//   2. the FAT tree (fls) has exactly the snapshot's paths: none missing, none extra (fls
//      leaves the last long-name entry out of a name longer than 195 UTF-16 units, so such
//      names are matched by the part it shows; mdir checks them whole);
//   3. per path: the same kind, the same size, the expected modification time, and for files
//      the same bytes (icat -f fat32);
//   4. mdir lists every path too, and no more paths than the snapshot has. Names outside the
//      BMP or with characters a long name may not hold are not compared by name there (mtools
//      mangles them), only counted.
void ExpectConvertedVolumeMatches(const NtfsSnapshot& before, const std::string& fatImage);

// Expects the file's SHA-256 to be `sha256Before` (a refused conversion wrote nothing).
void ExpectImageUnchanged(const std::string& path, const std::string& sha256Before);

// The hex SHA-256 of a file's bytes as icat reads them: fsType "ntfs" or "fat32", inode as
// fls numbers it. Streams the bytes, so large files cost no memory. Throws
// std::runtime_error when icat fails.
std::string IcatSha256(const std::string& fsType, const std::string& image, uint64_t inode);

// Every path mdir lists below the root of a FAT image (`mdir -/ -b -a`: hidden and system
// files too), relative to the root, directories with a trailing "/". Throws
// std::runtime_error when mdir fails.
std::vector<std::string> MtoolsPaths(const std::string& image);

}  // namespace testsupport
