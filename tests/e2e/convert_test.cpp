// The conversion matrix end to end through the conversion driver (ConvertNtfsToFat32 on a
// handle from platform::OpenVolume, as the front ends call it), on ntfs-3g volumes large
// enough for FAT32 with their own cluster size: 512, 2048, 4096 and 65536 bytes; names of
// every namespace and every rule of the short names; empty, resident and cluster-boundary
// sizes; a folder whose index has many blocks; a deep tree and empty folders; fragmented
// files; data under the future FAT area; hard links; with and without a volume label, and a
// label FAT cannot take as it is.
//
// Each row is judged by fsck.fat, The Sleuth Kit and mtools against a snapshot of the NTFS
// volume (every name, byte and modification time, TZ=UTC), and by the test's own FAT reader
// (tests/support/FatImage.h) for what those do not show.
//
// Elsewhere through the same driver: the preallocated, uninitialized and hard-link cases of
// the same-cluster path, 4096-byte clusters with the common file set and 512-byte clusters
// with data under the FAT area (sameclusterconvert_test), velundra-convert on "convert512"
// (cli_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/ConvertNtfsToFat32.h"
#include "engine/DirectoryWriter.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/FatImage.h"
#include "tests/support/Fixtures.h"

namespace {

using namespace testsupport;

// The engine's log, read back for what each conversion planned.
TempDir& LogDir() {
    static TempDir dir("convert-e2e-log");
    return dir;
}
const std::string kLogPath = LogDir().File("engine.log");
[[maybe_unused]] const bool kLogToFile = UseFileLog(kLogPath.c_str());

struct MatrixCase {
    const char* recipe;     // a recipe of tests/fixtures/make_ntfs.py
    uint32_t clusterBytes;  // its NTFS cluster size, which FAT32 must keep
    const char* ntfsLabel;  // the label mkntfs was given; "" for none
    const char* fatLabel;   // the 11 bytes FAT32 must show for it; null: no label at all
    bool relocates;         // file data lies under the future FAT area (and must move)
};

// gtest prints a row by its recipe (so the test's name in ctest stays the same).
[[maybe_unused]] void PrintTo(const MatrixCase& row, std::ostream* out) { *out << row.recipe; }

const MatrixCase kRows[] = {
    // 512-byte clusters. Short-name rules, collisions, namespaces, a deep tree, empty folders,
    // times FAT cannot hold; the label holds a blank, small letters and characters a label
    // may not hold, and is longer than 11.
    {"conv-names", 512, "my vol*?.x+y", "MY VOL___X_", false},
    // 2048-byte clusters. The common file set (sizes, fragments, streams, flags); a fragmented
    // file partly under the future FAT area; no label.
    {"conv-c2048", 2048, "", nullptr, true},
    // 4096-byte clusters. A folder whose index has many blocks; a hard link across folders.
    {"conv-index", 4096, "Index", "INDEX      ", false},
    // 65536-byte clusters on a sparse 4400 MiB volume (FAT32 needs 65,525 clusters): clusters
    // larger than records and index blocks, sizes around 64 KiB, a hard link.
    {"conv-c65536", 65536, "BIG CLUSTER", "BIG CLUSTER", false},
};

// Every position and text the driver reports.
class RecordingSink : public IProgressInfor {
public:
    void SetProgress(float position) override { positions.push_back(position); }
    void SetStatusText(const char16_t* text) override {
        texts.push_back(platform::Utf16ToUtf8(text == nullptr ? u"" : text));
    }
    std::vector<float> positions;
    std::vector<std::string> texts;
};

// The clusters the same-cluster path planned to relocate from under the FAT area, from the
// log lines written since `from` bytes; -1 when no plan was logged.
int64_t LoggedRelocations(size_t from) {
    const std::string log = ReadFileBytes(kLogPath).substr(from);
    const std::string key = "clusters to relocate ";
    const size_t at = log.rfind(key);
    if (at == std::string::npos) return -1;
    return std::stoll(log.substr(at + key.size()));
}

std::string Show(const char bytes[11]) { return ShowNameBytes(reinterpret_cast<const uint8_t*>(bytes)); }

// The first of a list for a failure message.
std::string First(const std::vector<std::string>& list) { return list.empty() ? "" : list.front(); }

// Converts a private copy of the row's image and checks:
//  1. the driver succeeds on the same-cluster path with the cluster size kept, reports the
//     files, folders and label the NTFS volume has, ends its progress at 1.0 with
//     "Converting NTFS to FAT32 is successful.", never moving back; the relocation it plans
//     (from the log) is nonzero exactly when the row says data lies under the FAT area;
//  2. fsck.fat, The Sleuth Kit and mtools against the snapshot (ExpectConvertedVolumeMatches);
//  3. the test's own FAT reader: no structural problem, every short name legal and unique in
//     its folder, every file's chain exactly as long as its size needs, and the names it
//     reads (long names whole) exactly the NTFS names;
//  4. the label: one label entry with fatLabel in the root, the same 11 bytes at 0x47 of the
//     boot sector, the backup boot sector equal to sector 0; without a label no label entry
//     and "NO NAME".
class ConvertMatrix : public testing::TestWithParam<MatrixCase> {};

TEST_P(ConvertMatrix, ConvertsEveryFileAndWritesLegalFat32) {
    const MatrixCase& c = GetParam();
    TempDir dir("convert-e2e");
    const std::string image = CopyFixture(c.recipe, dir.File(std::string(c.recipe) + ".img"));
    const NtfsSnapshot before = TakeNtfsSnapshot(image);

    // 1. The conversion, through the driver.
    RecordingSink sink;
    ConversionReport report;
    std::string failure;
    const std::string& log = kLogPath;
    const size_t logFrom = ReadFileBytes(log).size();
    {
        int error = 0;
        const platform::VolumeHandle handle = platform::OpenVolume(image, platform::VolumeAccess::Exclusive, &error);
        ASSERT_NE(handle, platform::kInvalidVolume) << error;
        try {
            ConvertNtfsToFat32(&sink, handle, {}, &report);
        } catch (const SimpleException& e) {
            failure = platform::Utf16ToUtf8(e.Text());
        }
        platform::CloseVolume(handle);
    }
    ASSERT_EQ(failure, "");
    EXPECT_FALSE(report.changedClusterSize);
    EXPECT_EQ(report.ntfsClusterBytes, c.clusterBytes);
    EXPECT_EQ(report.fatClusterBytes, c.clusterBytes);
    EXPECT_EQ(report.files, before.Files());
    EXPECT_EQ(report.directories, before.Directories());
    EXPECT_EQ(platform::Utf16ToUtf8(report.label), c.ntfsLabel);
    ASSERT_FALSE(sink.positions.empty());
    EXPECT_EQ(sink.positions.back(), 1.0f);
    for (size_t i = 1; i < sink.positions.size(); ++i) EXPECT_GE(sink.positions[i], sink.positions[i - 1]) << i;
    ASSERT_FALSE(sink.texts.empty());
    EXPECT_EQ(sink.texts.back(), "Converting NTFS to FAT32 is successful.");
    const int64_t relocated = LoggedRelocations(logFrom);
    if (c.relocates) {
        EXPECT_GT(relocated, 0) << "the log of " << log;
    } else {
        EXPECT_EQ(relocated, 0) << "the log of " << log;
    }

    // 2. Every name, byte and time, by fsck.fat, The Sleuth Kit and mtools.
    ExpectConvertedVolumeMatches(before, image);

    // 3. What the entries themselves hold.
    FatImage fat;
    try {
        fat = ReadFatImage(image);
    } catch (const std::exception& e) {
        FAIL() << "the FAT reader cannot read " << image << ": " << e.what();
    }
    EXPECT_EQ(fat.ClusterBytes(), c.clusterBytes);
    EXPECT_TRUE(fat.problems.empty()) << fat.problems.size() << " problems, the first: " << First(fat.problems);

    std::set<std::string> paths, expected;
    for (const auto& [path, e] : before.entries) expected.insert(path);
    std::map<std::string, std::set<std::string>> shortNames;  // per folder
    std::vector<std::string> illegal, duplicate, chains;
    for (const FatDirEntry& e : fat.entries) {
        paths.insert(e.path);
        const std::string fault = ShortNameFault(e.entry.Name);
        if (!fault.empty()) illegal.push_back(e.path + ": " + ShowNameBytes(e.entry.Name) + ", " + fault);
        const std::string name(reinterpret_cast<const char*>(e.entry.Name), 11);
        if (!shortNames[e.directory].insert(name).second) duplicate.push_back(e.path + ": " + ShowNameBytes(e.entry.Name));
        const uint64_t want = (uint64_t{e.entry.FileSize} + c.clusterBytes - 1) / c.clusterBytes;
        if (!e.IsDirectory() && e.chainClusters != want) {
            chains.push_back(e.path + ": " + std::to_string(e.chainClusters) + " clusters for " +
                             std::to_string(e.entry.FileSize) + " bytes");
        }
    }
    EXPECT_TRUE(illegal.empty()) << illegal.size() << " illegal short names, the first: " << First(illegal);
    EXPECT_TRUE(duplicate.empty()) << duplicate.size() << " short names twice in a folder, the first: "
                                   << First(duplicate);
    EXPECT_TRUE(chains.empty()) << chains.size() << " chains that do not fit their file, the first: " << First(chains);
    // The reader's names (long names whole, also where fls shows only a part) are the NTFS names.
    std::vector<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), paths.begin(), paths.end(), std::back_inserter(missing));
    std::set_difference(paths.begin(), paths.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    EXPECT_TRUE(missing.empty()) << missing.size() << " names missing, the first: " << First(missing);
    EXPECT_TRUE(extra.empty()) << extra.size() << " names extra, the first: " << First(extra);

    // 4. The label: in the root and at 0x47 of the boot sector and of its backup, legal.
    EXPECT_EQ(std::memcmp(&fat.boot, &fat.backup, sizeof fat.boot), 0) << "the backup boot sector differs";
    if (c.fatLabel == nullptr) {
        EXPECT_FALSE(fat.hasLabelEntry) << Show(reinterpret_cast<const char*>(fat.labelEntry.Name));
        EXPECT_EQ(std::string(fat.boot.VolumeLabel, 11), "NO NAME    ");
    } else {
        ASSERT_TRUE(fat.hasLabelEntry);
        EXPECT_EQ(fat.labelEntries, 1u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(fat.labelEntry.Name), 11), c.fatLabel);
        EXPECT_EQ(fat.labelEntry.Attributes, kFatAttrVolumeId);
        EXPECT_EQ(std::string(fat.boot.VolumeLabel, 11), c.fatLabel) << Show(fat.boot.VolumeLabel);
        EXPECT_EQ(ShortNameFault(fat.labelEntry.Name, true), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Recipes, ConvertMatrix, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<MatrixCase>& info) {
                             std::string name = info.param.recipe;
                             for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

}  // namespace
