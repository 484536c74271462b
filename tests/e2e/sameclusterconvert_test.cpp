// The in-place conversion with an unchanged cluster size on real ntfs-3g volumes, end to end
// through the conversion driver: data under the future FAT area, hard links, preallocated
// clusters and initialized sizes below the data size. Each result is judged by fsck.fat, The
// Sleuth Kit and mtools against a snapshot of the NTFS volume taken before.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "platform/TextEncoding.h"
#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/ConvertNtfsToFat32.h"
#include "engine/Fat32BootSector.h"
#include "platform/RawVolume.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/Fixtures.h"
#include "tests/support/FsckFat.h"
#include "tests/support/Sha256.h"
#include "tests/support/SleuthKit.h"

namespace {

using namespace testsupport;

[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

// Converts a private copy of a recipe's image; returns the copy's path. The snapshot of the
// NTFS volume is taken from the copy before it is converted.
struct Converted {
    explicit Converted(const std::string& recipe) : dir("sameclu-e2e") {
        image = CopyFixture(recipe, dir.File(recipe + ".img"));
        before = TakeNtfsSnapshot(image);
        int error = 0;
        const platform::VolumeHandle handle =
            platform::OpenVolume(image, platform::VolumeAccess::Exclusive, &error);
        EXPECT_NE(handle, platform::kInvalidVolume) << error;
        try {
            ConvertNtfsToFat32(nullptr, handle, {}, &report);
        } catch (const SimpleException& e) {
            failure = platform::Utf16ToUtf8(e.Text());
        }
        platform::CloseVolume(handle);
    }

    TempDir dir;
    std::string image;
    NtfsSnapshot before;
    ConversionReport report;
    std::string failure;  // the message thrown; empty on success
};

// The FSInfo sector (1) and its copy (7) agree and count the free clusters fsck.fat counts.
void ExpectTrueFsInfo(const std::string& image) {
    const std::string bytes = ReadFileBytes(image).substr(0, 8 * 512);
    FAT32_FSINFO info;
    std::memcpy(&info, bytes.data() + 512, sizeof info);
    EXPECT_EQ(bytes.substr(512, 512), bytes.substr(7 * 512, 512));
    EXPECT_EQ(info.LeadSignature, 0x41615252u);
    EXPECT_EQ(info.StructSignature, 0x61417272u);
    const FsckResult fsck = FsckFat(image);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(fsck.output, m, std::regex(R"((\d+)/(\d+) clusters)")));
    EXPECT_EQ(info.FreeCount, std::stoul(m[2]) - std::stoul(m[1]));
}

TEST(SameClusterE2E, DataUnderTheFatAreaIsRelocated) {
    Converted c("same-lowdata");
    ASSERT_EQ(c.failure, "");
    EXPECT_FALSE(c.report.changedClusterSize);
    EXPECT_EQ(c.report.fatClusterBytes, 512u);
    ExpectConvertedVolumeMatches(c.before, c.image);
    ExpectTrueFsInfo(c.image);
}

TEST(SameClusterE2E, PreallocationAndUninitializedTails) {
    Converted c("same-sizes");
    ASSERT_EQ(c.failure, "");
    // The Sleuth Kit reports a non-resident data attribute of size 0 as as long as its
    // clusters; NTFS reads it as empty, and so must FAT.
    NtfsSnapshotEntry& zero = c.before.entries.at("zero but owns.bin");
    zero.size = 0;
    zero.sha256 = Sha256Hex("");
    // The NTFS snapshot reads the bytes past an initialized size as zeros (as NTFS does), so
    // the comparison also proves that no stale byte survived the conversion.
    ExpectConvertedVolumeMatches(c.before, c.image);
    ExpectTrueFsInfo(c.image);
    // Chains hold exactly what the sizes need: fsck.fat finds no chain longer than its file.
    const Tree fat = FatTree(c.image);
    ASSERT_TRUE(fat.count("zero but owns.bin"));
    EXPECT_EQ(fat.at("zero but owns.bin").size, 0u);
    EXPECT_EQ(fat.at("prealloc.bin").size, 7000u);
    const std::string tail = IcatSha256("fat32", c.image, fat.at("uninit.bin").record);
    EXPECT_EQ(tail, c.before.entries.at("uninit.bin").sha256);
}

TEST(SameClusterE2E, EveryHardLinkGetsItsOwnData) {
    Converted c("same-hardlinks");
    ASSERT_EQ(c.failure, "");
    // 130 names of one file and three of another: fsck.fat would report cross-linked chains.
    ExpectConvertedVolumeMatches(c.before, c.image);
}

TEST(SameClusterE2E, CommonFileSetStaysInPlace) {
    Converted c("same-common");
    ASSERT_EQ(c.failure, "");
    ExpectConvertedVolumeMatches(c.before, c.image);
    ExpectTrueFsInfo(c.image);
    EXPECT_LE(c.report.clustersNeeded, c.report.clustersFree);
}

}  // namespace
