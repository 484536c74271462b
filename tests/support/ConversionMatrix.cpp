#include "tests/support/ConversionMatrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
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

namespace testsupport {
namespace {

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
    const std::string log = ReadFileBytes(ConversionLogPath()).substr(from);
    const std::string key = "clusters to relocate ";
    const size_t at = log.rfind(key);
    if (at == std::string::npos) return -1;
    return std::stoll(log.substr(at + key.size()));
}

std::string Show(const char bytes[11]) { return ShowNameBytes(reinterpret_cast<const uint8_t*>(bytes)); }

// The first of a list for a failure message.
std::string First(const std::vector<std::string>& list) { return list.empty() ? "" : list.front(); }

}  // namespace

const std::string& ConversionLogPath() {
    static TempDir dir("convert-e2e-log");
    static const std::string path = dir.File("engine.log");
    static const bool chosen = [] {
        UseFileLog(path.c_str());
        return true;
    }();
    (void)chosen;
    return path;
}

std::string MatrixCaseName(const MatrixCase& row) {
    std::string name = row.recipe;
    for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
}

void ExpectConversionOf(const MatrixCase& c) {
    TempDir dir("convert-e2e");
    const std::string image = CopyFixture(c.recipe, dir.File(std::string(c.recipe) + ".img"));
    const NtfsSnapshot before = TakeNtfsSnapshot(image);

    // 1. The conversion, through the driver.
    RecordingSink sink;
    ConversionReport report;
    std::string failure;
    const std::string& log = ConversionLogPath();
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
        const uint64_t want = e.IsDirectory() ? std::max<uint64_t>(e.chainClusters, 1)
                                              : (uint64_t{e.entry.FileSize} + c.clusterBytes - 1) / c.clusterBytes;
        if (e.chainClusters != want) {
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

}  // namespace testsupport
