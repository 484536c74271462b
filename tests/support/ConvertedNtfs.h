// Checks of a volume converted from FAT to NTFS by readers nobody here wrote: ntfsfix and
// ntfsinfo, ntfs-3g read-only and read-write, The Sleuth Kit, libfsntfs, our own NTFS reader,
// and the way back to FAT32 through velundra-convert judged by fsck.fat.
//
// Threads: any test thread; each call works on its own image and directory.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/Command.h"
#include "tests/support/FatFixture.h"

namespace testsupport {

// One file or folder a converted volume must hold.
struct Expected {
    bool isDir = false;
    std::string bytes;
    int64_t mtime = 0;  // Unix seconds
};

// What the steps leave on the volume, by path.
std::map<std::string, Expected> ExpectedTree(const std::vector<FatStep>& steps);

// Runs velundra-tontfs IMAGE /FS:NTFS with `label` as the answer; expects success.
void ConvertToNtfs(const std::string& image, const std::string& label);

// Every outside check of a converted volume (mounts below dir). libfsntfs (20200921) reads no
// folder whose index has INDX blocks and misprints names beyond the BMP, also on volumes
// ntfs-3g made: `largeFolder`'s contents and such names are left to the other readers. Ends
// with ntfs-3g's read-write changes.
void CheckConverted(const TempDir& dir, const std::string& image, const std::map<std::string, Expected>& expected,
                    const std::string& label, const std::string& largeFolder = "");

// velundra-convert back to FAT32: fsck.fat clean, every file by name, bytes and time.
void CheckRoundTrip(const std::string& image, const std::map<std::string, Expected>& expected);

}  // namespace testsupport
