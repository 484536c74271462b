// The in-place conversion with an unchanged cluster size on real ntfs-3g volumes, end to end
// through the conversion driver: data under the future FAT area, hard links, preallocated
// clusters and initialized sizes below the data size. Each result is judged by fsck.fat, The
// Sleuth Kit and mtools against a snapshot of the NTFS volume taken before.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <string>

#include "platform/TextEncoding.h"
#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/ConvertNtfsToFat32.h"
#include "engine/Fat32BootSector.h"
#include "engine/NFat.h"
#include "platform/RawVolume.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/FatImage.h"
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

// Small volumes whose NTFS clusters would give FAT32 too few clusters: FAT32 takes clusters of
// a half, a quarter or an eighth of the NTFS cluster and the data stays where it lies, each
// NTFS cluster now holding 2, 4 or 8 FAT32 clusters; what lay under the larger FAT area moves.
struct SmallVolume {
    const char* recipe;
    uint32_t ntfsCluster, fatCluster;
    const char* label;  // the 11 bytes of the label entry; "" for none
};

class SmallVolumes : public ::testing::TestWithParam<SmallVolume> {};

TEST_P(SmallVolumes, TakeSmallerClustersAndKeepTheirData) {
    const SmallVolume& v = GetParam();
    Converted c(v.recipe);
    ASSERT_EQ(c.failure, "");
    EXPECT_FALSE(c.report.changedClusterSize);
    EXPECT_EQ(c.report.ntfsClusterBytes, v.ntfsCluster);
    EXPECT_EQ(c.report.fatClusterBytes, v.fatCluster);
    ExpectConvertedVolumeMatches(c.before, c.image);
    ExpectTrueFsInfo(c.image);

    const FatImage fat = ReadFatImage(c.image);
    EXPECT_TRUE(fat.problems.empty()) << fat.problems.front();
    EXPECT_GE(NFat::ClusterCountOf(fat.boot), 65525u);
    // The data area starts on an NTFS cluster, so each NTFS cluster is whole FAT32 ones.
    EXPECT_EQ(NFat::FirstDataSectorOf(fat.boot) % (v.ntfsCluster / 512), 0u);
    EXPECT_EQ(fat.hasLabelEntry, v.label[0] != '\0');
    if (fat.hasLabelEntry) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(fat.labelEntry.Name), 11), v.label);
    }
    // The data stayed: far less was written than the files hold (what moved lay under
    // the FAT area, plus the FATs and the folders).
    uint64_t fileBytes = 0;
    for (const auto& [path, e] : c.before.entries) fileBytes += e.size;
    EXPECT_LT(c.report.bytesWritten * 8, fileBytes);

    // Short names in the OEM code page: decoded in 437 they are the names upper-cased.
    int checked = 0;
    for (const FatDirEntry& e : fat.entries) {
        const std::u16string shown = platform::Cp437ToUtf16(
            std::string(reinterpret_cast<const char*>(e.entry.Name), 11));
        const std::map<std::string, std::u16string> expected = {
            {"Gr\u00fc\u00dfe.txt", u"GR\u00dc\u00dfE   TXT"},
            {"Musik/\u00c6r\u00f8", u"\u00c6R_        "},  // ø: not in 437
        };
        if (expected.count(e.path)) {
            EXPECT_EQ(shown, expected.at(e.path)) << e.path;
            ++checked;
        }
        if (e.path == "DCIM/100CANON/F\u00eate \u00e0 No\u00ebl.jpg") {
            EXPECT_EQ(shown.substr(0, 6), u"F\u00eaTE_\u00e0");  // 437 has no Ê nor À
            ++checked;
        }
    }
    EXPECT_EQ(checked, 3);
}

INSTANTIATE_TEST_SUITE_P(SameClusterE2E, SmallVolumes,
                         ::testing::Values(SmallVolume{"small-256m", 4096, 2048, "FOTOS 2009 "},
                                           SmallVolume{"small-128m", 4096, 1024, "CARD128    "},
                                           SmallVolume{"small-64m", 2048, 512, "CARD64     "},
                                           SmallVolume{"small-48m", 4096, 512, ""}),
                         [](const ::testing::TestParamInfo<SmallVolume>& info) {
                             std::string name = info.param.recipe;
                             for (char& ch : name) {
                                 if (ch == '-') ch = '_';
                             }
                             return name;
                         });

}  // namespace
