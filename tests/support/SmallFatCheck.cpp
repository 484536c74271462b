#include "tests/support/SmallFatCheck.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/FsckFat.h"
#include "tests/support/SleuthKit.h"

namespace testsupport {

void ExpectSmallFat32Matches(const NtfsSnapshot& before, const std::string& fatImage) {
    // 1. fsck.fat, but for the warning every small FAT32 volume gets.
    const FsckResult fsck = FsckSmallFat(fatImage);
    EXPECT_TRUE(fsck.Clean()) << "fsck.fat -n does not pass " << fatImage << ":\n" << fsck.output;

    // 2. The same paths.
    Tree fat;
    try {
        fat = FatTree(fatImage);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "the FAT volume cannot be listed: " << e.what();
        return;
    }
    std::vector<std::string> missing, extra;
    for (const auto& [path, e] : before.entries) {
        if (!fat.count(path)) missing.push_back(path);
    }
    for (const auto& [path, e] : fat) {
        if (!before.entries.count(path)) extra.push_back(path);
    }
    EXPECT_TRUE(missing.empty()) << missing.size() << " paths missing on FAT, the first: " << missing.front();
    EXPECT_TRUE(extra.empty()) << extra.size() << " paths only on FAT, the first: " << extra.front();

    // 3. Kind, time, size and bytes.
    for (const auto& [path, e] : before.entries) {
        const auto it = fat.find(path);
        if (it == fat.end()) continue;
        EXPECT_EQ(it->second.isDir, e.isDir) << path;
        EXPECT_EQ(it->second.mtime, ExpectedFatMtime(e.mtime)) << path;
        if (e.isDir || it->second.isDir) continue;
        EXPECT_EQ(it->second.size, e.size) << path;
        if (it->second.size != e.size) continue;
        std::string got;
        try {
            got = IcatSha256("fat32", fatImage, it->second.record);
        } catch (const std::exception& ex) {
            got = std::string("unreadable: ") + ex.what();
        }
        EXPECT_EQ(got, e.sha256) << path;
    }
}

}  // namespace testsupport
