// FAT to NTFS in place, judged by readers nobody here wrote: ntfsfix and ntfsinfo, ntfs-3g
// (read-only, then read-write with changes), The Sleuth Kit, libfsntfs's fsntfsinfo, our own
// NTFS reader, and the way back to FAT32 through velundra-convert with fsck.fat.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "device/CVolumeDevice.h"
#include "fattontfs/CFatVolume.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedNtfs.h"
#include "tests/support/FatFixture.h"
#include "tests/support/SleuthKit.h"

namespace {

using testsupport::CheckConverted;
using testsupport::CheckRoundTrip;
using testsupport::ConvertToNtfs;
using testsupport::ExpectedTree;
using testsupport::FatFixtureLayout;
using testsupport::FatStep;
using testsupport::RunCommand;
using testsupport::TempDir;

std::vector<FatStep> RichSteps() {
    std::vector<FatStep> steps = testsupport::SampleFatSteps();
    steps.push_back(FatStep::File("readme.md", 7, 1300000004));
    std::string deep;
    for (int i = 0; i < 12; ++i) {
        if (!deep.empty()) deep.push_back('/');
        deep.append("level ").append(std::to_string(i));
        steps.push_back(FatStep::Dir(deep));
    }
    steps.push_back(FatStep::File(deep + "/bottom.txt", 333, 1500000000));
    return steps;
}

TEST(FatToNtfs, EveryKindPassesEveryOutsideCheck) {
    struct Case {
        int bits;
        uint64_t megabytes;
        int sectorsPerCluster;
    } cases[] = {{12, 4, 2}, {16, 32, 4}, {32, 64, 1}, {32, 300, 8}};  // mtools needs FAT32 of 65525 clusters
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " with " + std::to_string(c.sectorsPerCluster) + " sectors per cluster");
        TempDir dir("tontfs");
        const std::string image = dir.File("v.img");
        FatFixtureLayout layout;
        layout.fatBits = c.bits;
        layout.megabytes = c.megabytes;
        layout.sectorsPerCluster = c.sectorsPerCluster;
        layout.label = "STICK";
        layout.steps = RichSteps();
        testsupport::MakeFatImage(image, layout);
        ConvertToNtfs(image, "stick");
        if (HasFatalFailure()) return;
        const auto expected = ExpectedTree(layout.steps);
        CheckConverted(dir, image, expected, "STICK");
    }
}

TEST(FatToNtfs, RoundTripBackToFat32KeepsEveryFile) {
    TempDir dir("tontfsback");
    const std::string image = dir.File("v.img");
    FatFixtureLayout layout;
    layout.fatBits = 32;
    layout.megabytes = 64;
    layout.label = "RUND";
    layout.steps = RichSteps();
    testsupport::MakeFatImage(image, layout);
    ConvertToNtfs(image, "rund");
    if (HasFatalFailure()) return;
    CheckRoundTrip(image, ExpectedTree(layout.steps));
}

// A folder whose index needs INDX blocks over more than one level, and a volume without a
// label (the answer is an empty line).
TEST(FatToNtfs, LargeFoldersAndNoLabel) {
    TempDir dir("tontfsbig");
    const std::string image = dir.File("v.img");
    FatFixtureLayout layout;
    layout.fatBits = 32;
    layout.megabytes = 128;
    layout.steps = {FatStep::Dir("many"), FatStep::File("Fotos Sommer.jpg", 2000, 1600000000)};
    // mtools slows down with every name of a folder; the tree's shape matters here, not the
    // count: 400 names of about 100 characters, each with its own short name, fill about
    // 40 index blocks, whose separators fill more, so the index has three levels of blocks.
    const std::string longPart(80, 'n');
    for (int i = 0; i < 400; ++i)
        layout.steps.push_back(FatStep::File("many/" + longPart + " file " + std::to_string(i) + ".txt", i % 7,
                                             1600000000 + 2 * i));
    testsupport::MakeFatImage(image, layout);
    ConvertToNtfs(image, "");
    if (HasFatalFailure()) return;
    CheckConverted(dir, image, ExpectedTree(layout.steps), "", "many");
}

// Names outside the Basic Multilingual Plane (surrogate pairs in FAT long names and NTFS
// names). mtools mangles them, so the FAT32 volume is made through ntfs-3g and
// velundra-convert.
TEST(FatToNtfs, NamesBeyondTheBmp) {
    TempDir dir("tontfsbmp");
    const std::string image = dir.File("v.img"), mnt = dir.File("src");
    ASSERT_TRUE(RunCommand({"truncate", "-s", "64M", image}).Ok());
    ASSERT_TRUE(RunCommand({"mkntfs", "-F", "-Q", "-q", "-c", "512", "-L", "Emoji", image}).Ok());
    std::filesystem::create_directories(mnt);
    ASSERT_TRUE(RunCommand({"ntfs-3g", image, mnt}).Ok());
    std::map<std::string, testsupport::Expected> expected;
    const std::vector<std::string> names = {"\xF0\x9F\x98\x80 Sommer.jpg", "Noten \xF0\x9D\x84\x9E.txt",
                                            "\xF0\x9F\x93\x81 Ordner"};
    std::filesystem::create_directories(mnt + "/" + names[2]);
    expected[names[2]] = {true, "", 0};
    for (const std::string& name : {names[0], names[1], names[2] + "/" + names[0]}) {
        const std::string bytes = testsupport::FatFileBytes(name, 3000);
        testsupport::WriteFileBytes(mnt + "/" + name, bytes);
        std::filesystem::last_write_time(
            mnt + "/" + name, std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(1700000000))));
        expected[name] = {false, bytes, 1700000000};
    }
    ASSERT_TRUE(RunCommand({"umount", mnt}).Ok());
    const auto toFat = RunCommand({testsupport::ProgramPath("velundra-convert"), "--yes", "--quiet", image});
    ASSERT_TRUE(toFat.Ok()) << toFat.Describe();
    ConvertToNtfs(image, "EMOJI");
    if (HasFatalFailure()) return;
    CheckConverted(dir, image, expected, "EMOJI");
}

}  // namespace

namespace {

// A cluster the FAT marks bad stays out of use: it becomes a run of $BadClus:$Bad.
TEST(FatToNtfs, BadClustersGoToBadClus) {
    TempDir dir("tontfsbad");
    const std::string image = dir.File("v.img");
    FatFixtureLayout layout;
    layout.fatBits = 16;
    layout.megabytes = 16;
    layout.steps = {FatStep::File("one.bin", 3000)};
    testsupport::MakeFatImage(image, layout);
    // mkfs.fat's FAT16: one reserved sector, the FAT size at 0x16; cluster 1000 marked bad
    // in both copies.
    const std::string boot = testsupport::ReadFileBytes(image).substr(0, 512);
    const uint64_t fatSectors = static_cast<uint8_t>(boot[0x16]) | static_cast<uint8_t>(boot[0x17]) << 8;
    for (int copy = 0; copy < 2; ++copy)
        testsupport::PatchBytes(image, (1 + copy * fatSectors) * 512 + 1000 * 2, std::string("\xF7\xFF", 2));
    const uint64_t firstData = 1 + 2 * fatSectors + 32;  // 512 root entries
    ConvertToNtfs(image, "");
    if (HasFatalFailure()) return;
    const auto istat = RunCommand({"istat", "-f", "ntfs", image, "8"});
    ASSERT_TRUE(istat.Ok()) << istat.Describe();
    const std::string lcn = " " + std::to_string(firstData + 998) + " ";
    EXPECT_NE(istat.out.find(lcn), std::string::npos) << istat.out.substr(istat.out.find("$Bad"), 400);
    const auto fix = RunCommand({"ntfsfix", "-n", image});
    EXPECT_EQ(fix.exitCode, 0) << fix.out;
}

}  // namespace

namespace {

// File data in the FAT cluster that holds the device's last sector, where the backup boot
// sector goes (and outside the NTFS volume's clusters), is copied to a free cluster first.
TEST(FatToNtfs, DataUnderTheLastSectorIsMoved) {
    TempDir dir("tontfslast");
    const std::string image = dir.File("v.img");
    FatFixtureLayout layout;
    layout.fatBits = 16;
    layout.megabytes = 16;
    // The first file takes all but the last 1,231 clusters, the second those, then the first
    // goes: the second ends in the volume's last cluster, with room before it.
    layout.steps = {FatStep::File("filler.bin", 16000000), FatStep::File("at the end.bin", 630272, 1600000000),
                    FatStep::Delete("filler.bin")};
    testsupport::MakeFatImage(image, layout);
    {
        int error = 0;
        const platform::VolumeHandle h = platform::OpenVolume(image, platform::VolumeAccess::Shared, &error);
        CVolumeDevice device(h);
        CFatVolume fat(&device);
        ASSERT_TRUE(fat.Read()) << fat.Problem();
        const uint64_t last = 2 + (fat.DeviceBytes() - 512 - fat.FirstDataByte()) / fat.ClusterBytes();
        EXPECT_FALSE(fat.IsClusterFree(static_cast<uint32_t>(last)));
        platform::CloseVolume(h);
    }
    ConvertToNtfs(image, "");
    if (HasFatalFailure()) return;
    CheckConverted(dir, image, ExpectedTree(layout.steps), "");
}

}  // namespace

namespace {

// Rewrites the FAT32 chain of a file that mtools wrote in one piece so that no two of its
// clusters follow each other: the clusters of even index in order, then those of odd index
// backwards (every step a jump, forwards and backwards). Returns the file's bytes as a FAT
// reader sees them now: its clusters' old contents in the new chain order.
std::string ScatterChain(const std::string& image, const std::string& path, uint64_t bytes) {
    std::vector<uint32_t> clusters;
    {
        int error = 0;
        const platform::VolumeHandle h = platform::OpenVolume(image, platform::VolumeAccess::Shared, &error);
        CVolumeDevice device(h);
        CFatVolume fat(&device);
        EXPECT_TRUE(fat.Read()) << fat.Problem();
        const FAT_NODE* node = &fat.Root();
        for (size_t from = 0; from <= path.size();) {
            const size_t to = std::min(path.find('/', from), path.size());
            const std::u16string name = platform::Utf8ToUtf16(path.substr(from, to - from));
            const FAT_NODE* next = nullptr;
            for (const FAT_NODE& child : node->Children)
                if (child.Name() == name) next = &child;
            EXPECT_TRUE(next) << path;
            if (!next) return "";
            node = next;
            from = to + 1;
        }
        EXPECT_EQ(node->Runs.size(), 1u) << path;
        for (uint32_t k = 0; k < node->Runs[0].Count; ++k) clusters.push_back(node->Runs[0].First + k);
        EXPECT_EQ(uint64_t{fat.ClusterBytes()} * clusters.size(), bytes) << "whole clusters only";
        platform::CloseVolume(h);
    }
    std::vector<size_t> order;
    for (size_t k = 0; k < clusters.size(); k += 2) order.push_back(k);
    for (size_t k = clusters.size() - 1 - clusters.size() % 2; k < clusters.size(); k -= 2) order.push_back(k);
    const std::string boot = testsupport::ReadFileBytes(image).substr(0, 512);
    auto le = [&](size_t at, int width) {
        uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(boot[at + i]);
        return v;
    };
    const uint64_t sectorBytes = le(0x0B, 2), reserved = le(0x0E, 2), fats = le(0x10, 1), fatSectors = le(0x24, 4);
    for (uint64_t copy = 0; copy < fats; ++copy) {
        for (size_t k = 0; k < order.size(); ++k) {
            const uint32_t next = k + 1 < order.size() ? clusters[order[k + 1]] : 0x0FFFFFFF;
            std::string entry(4, '\0');
            for (int i = 0; i < 4; ++i) entry[i] = static_cast<char>(next >> (8 * i));
            testsupport::PatchBytes(image, (reserved + copy * fatSectors) * sectorBytes + 4ull * clusters[order[k]], entry);
        }
    }
    const std::string before = testsupport::FatFileBytes(path, bytes);
    const uint64_t clusterBytes = bytes / clusters.size();
    std::string after;
    for (const size_t k : order) after += before.substr(k * clusterBytes, clusterBytes);
    return after;
}

// Files in more pieces than one record holds keep their runs in extension records listed by
// an $ATTRIBUTE_LIST: in the record itself for a few extents, in clusters of its own for
// many. Every outside reader and our own (on the way back to FAT32) read them whole.
TEST(FatToNtfs, FilesInThousandsOfPiecesKeepEveryByte) {
    TempDir dir("tontfsfrag");
    const std::string image = dir.File("v.img"), fresh = dir.File("fresh.img");
    FatFixtureLayout layout;
    layout.fatBits = 32;
    layout.megabytes = 64;
    layout.sectorsPerCluster = 1;
    layout.label = "PIECES";
    struct Scattered {
        std::string path;
        uint64_t clusters;
    } scattered[] = {{"scattered.bin", 6000}, {"few pieces.txt", 400}, {"folder/scattered too.bin", 700}};
    layout.steps = {FatStep::File("a small one.txt", 3000, 1600000000), FatStep::Dir("folder")};
    for (const Scattered& s : scattered) layout.steps.push_back(FatStep::File(s.path, s.clusters * 512, 1650000000));
    testsupport::MakeFatImage(image, layout);
    auto expected = ExpectedTree(layout.steps);
    for (const Scattered& s : scattered) {
        expected[s.path].bytes = ScatterChain(image, s.path, s.clusters * 512);
        // mtools reads the new chains as the test expects them.
        const std::string out = dir.File("mtools.out");
        testsupport::CommandOptions options;
        options.env = {{"MTOOLS_SKIP_CHECK", "1"}};
        const auto copy = RunCommand({"mcopy", "-n", "-i", image, "::/" + s.path, out}, options);
        ASSERT_TRUE(copy.Ok()) << copy.Describe();
        ASSERT_TRUE(testsupport::ReadFileBytes(out) == expected[s.path].bytes) << s.path;
    }
    std::filesystem::copy_file(image, fresh);
    ConvertToNtfs(image, "pieces");
    if (HasFatalFailure()) return;
    // The base record of the most scattered file lists some twenty extents: too many for the
    // record, so the list lies in clusters; the other two keep theirs in the record.
    const auto tree = testsupport::NtfsTree(image);
    ASSERT_EQ(tree.count("scattered.bin"), 1u);
    const auto istat = RunCommand({"istat", "-f", "ntfs", image, std::to_string(tree.at("scattered.bin").record)});
    ASSERT_TRUE(istat.Ok()) << istat.Describe();
    EXPECT_NE(istat.out.find("$ATTRIBUTE_LIST (32-1)   Name: N/A   Non-Resident"), std::string::npos) << istat.out;
    const auto few = RunCommand({"istat", "-f", "ntfs", image, std::to_string(tree.at("few pieces.txt").record)});
    EXPECT_NE(few.out.find("$ATTRIBUTE_LIST (32-1)   Name: N/A   Resident"), std::string::npos) << few.out;
    CheckConverted(dir, image, expected, "PIECES");
    ConvertToNtfs(fresh, "pieces");
    if (HasFatalFailure()) return;
    CheckRoundTrip(fresh, expected);
}

}  // namespace
