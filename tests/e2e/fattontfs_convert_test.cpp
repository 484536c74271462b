// FAT to NTFS in place, judged by readers nobody here wrote: ntfsfix and ntfsinfo, ntfs-3g
// (read-only, then read-write with changes), The Sleuth Kit, libfsntfs's fsntfsinfo, our own
// NTFS reader, and the way back to FAT32 through velundra-convert with fsck.fat.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/Command.h"
#include "tests/support/FatFixture.h"
#include "tests/support/FsckFat.h"
#include "tests/support/NtfsLs.h"
#include "tests/support/SleuthKit.h"

namespace {

using testsupport::FatFixtureLayout;
using testsupport::FatStep;
using testsupport::RunCommand;
using testsupport::TempDir;
namespace fs = std::filesystem;

struct Expected {
    bool isDir = false;
    std::string bytes;
    int64_t mtime = 0;
};

// What the steps leave on the volume.
std::map<std::string, Expected> ExpectedTree(const std::vector<FatStep>& steps) {
    std::map<std::string, Expected> tree;
    for (const FatStep& s : steps) {
        if (s.kind == FatStep::Kind::Dir) tree[s.path] = {true, "", 0};
        if (s.kind == FatStep::Kind::File) tree[s.path] = {false, testsupport::FatFileBytes(s.path, s.bytes), s.mtime};
        if (s.kind == FatStep::Kind::Delete) tree.erase(s.path);
    }
    return tree;
}

std::string Icat(const std::string& fsType, const std::string& image, uint64_t inode) {
    const auto r = RunCommand({"icat", "-f", fsType, image, std::to_string(inode)});
    EXPECT_TRUE(r.Ok()) << r.Describe();
    return r.out;
}

// The Sleuth Kit's tree against the expected one: names, sizes, bytes, modification times.
void ExpectSleuthKitTree(const testsupport::Tree& tree, const std::map<std::string, Expected>& expected,
                         const std::string& fsType, const std::string& image) {
    std::vector<std::string> got, want;
    for (const auto& [path, entry] : tree) got.push_back(path);
    for (const auto& [path, entry] : expected) want.push_back(path);
    EXPECT_EQ(got, want);
    for (const auto& [path, e] : expected) {
        auto it = tree.find(path);
        if (it == tree.end()) continue;
        EXPECT_EQ(it->second.isDir, e.isDir) << path;
        if (e.isDir) continue;
        EXPECT_EQ(it->second.size, e.bytes.size()) << path;
        EXPECT_EQ(it->second.mtime, e.mtime) << path;
        EXPECT_TRUE(Icat(fsType, image, it->second.record) == e.bytes) << path;
    }
}

testsupport::CommandOptions Merged() {
    testsupport::CommandOptions o;
    o.mergeStderr = true;
    return o;
}

int64_t StatMtime(const std::string& path) {
    const auto r = RunCommand({"stat", "-c", "%Y", path});
    return r.Ok() ? std::stoll(r.out) : -1;
}

void Convert(const std::string& image, const std::string& label) {
    testsupport::CommandOptions options;
    options.input = label + "\n";
    const auto r = RunCommand({testsupport::ToolPath("tontfs"), image, "/FS:NTFS"}, options);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Conversion complete."), std::string::npos) << r.out;
}

// All the outside checks of one converted volume; `expected` is what the FAT held.
// libfsntfs (20200921) reads no folder whose index has INDX blocks, not even on a volume
// ntfs-3g made; `largeFolders` leaves those folders' contents to the other readers.
void CheckConverted(const TempDir& dir, const std::string& image, const std::map<std::string, Expected>& expected,
                    const std::string& label, const std::string& largeFolder = "") {
    // 1. ntfsfix and ntfsinfo find nothing to mend.
    const auto fix = RunCommand({"ntfsfix", "-n", image}, Merged());
    EXPECT_EQ(fix.exitCode, 0) << fix.out;
    EXPECT_NE(fix.out.find("was processed successfully"), std::string::npos) << fix.out;
    const auto info = RunCommand({"ntfsinfo", "-m", image}, Merged());
    EXPECT_EQ(info.exitCode, 0) << info.out;
    EXPECT_NE(info.out.find("Volume Name: " + label), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Volume Version: 3.1"), std::string::npos) << info.out;

    // 2. The Sleuth Kit, libfsntfs and our own reader read the same tree.
    ExpectSleuthKitTree(testsupport::NtfsTree(image), expected, "ntfs", image);
    const auto fsstat = RunCommand({"fsstat", "-f", "ntfs", image});
    EXPECT_TRUE(fsstat.Ok()) << fsstat.Describe();
    const auto libfsntfs = RunCommand({"fsntfsinfo", "-H", image}, Merged());
    EXPECT_EQ(libfsntfs.exitCode, 0) << libfsntfs.out;
    for (const auto& [path, e] : expected) {
        if (!largeFolder.empty() && path.rfind(largeFolder + "/", 0) == 0) continue;
        std::string windows(1, '\\');
        windows.append(path);
        for (char& ch : windows)
            if (ch == '/') ch = '\\';
        EXPECT_NE(libfsntfs.out.find(windows + "\n"), std::string::npos) << windows;
    }
    testsupport::CommandResult raw;
    const auto ours = testsupport::RunNtfsLs(image, &raw);
    EXPECT_TRUE(raw.Ok()) << raw.Describe();
    std::map<std::string, uint64_t> oursTree;
    for (const auto& e : ours) oursTree[e.path] = e.isDir ? ~0ULL : e.size;
    std::map<std::string, uint64_t> wantSizes;
    for (const auto& [path, e] : expected) wantSizes[path] = e.isDir ? ~0ULL : e.bytes.size();
    EXPECT_EQ(oursTree, wantSizes);

    // 3. ntfs-3g read-only: every name, byte and time.
    const std::string mnt = dir.File("mnt");
    fs::create_directories(mnt);
    auto mount = RunCommand({"ntfs-3g", "-o", "ro", image, mnt}, Merged());
    ASSERT_TRUE(mount.Ok()) << mount.out;
    for (const auto& [path, e] : expected) {
        const std::string p = mnt + "/" + path;
        ASSERT_TRUE(fs::exists(p)) << path;
        EXPECT_EQ(fs::is_directory(p), e.isDir) << path;
        if (e.isDir) continue;
        EXPECT_TRUE(testsupport::ReadFileBytes(p) == e.bytes) << path;
        EXPECT_EQ(StatMtime(p), e.mtime) << path;
    }
    size_t count = 0;
    for (auto it = fs::recursive_directory_iterator(mnt); it != fs::recursive_directory_iterator(); ++it) ++count;
    EXPECT_EQ(count, expected.size());
    RunCommand({"umount", mnt});

    // 4. ntfs-3g read-write: create, grow and delete; The Sleuth Kit still reads everything.
    mount = RunCommand({"ntfs-3g", image, mnt}, Merged());
    ASSERT_TRUE(mount.Ok()) << mount.out;
    std::map<std::string, Expected> changed = expected;
    const std::string grown = std::string(300000, 'g');
    testsupport::WriteFileBytes(mnt + "/new file.bin", grown);
    fs::create_directories(mnt + "/new folder/deeper");
    testsupport::WriteFileBytes(mnt + "/new folder/deeper/x.txt", "x");
    for (const auto& [path, e] : expected) {
        if (e.isDir) continue;
        fs::remove(mnt + "/" + path);
        changed.erase(path);
        break;
    }
    const auto umount = RunCommand({"umount", mnt}, Merged());
    ASSERT_TRUE(umount.Ok()) << umount.out;
    const auto tree = testsupport::NtfsTree(image);
    for (const auto& [path, e] : changed) EXPECT_EQ(tree.count(path), 1u) << path;
    ASSERT_EQ(tree.count("new file.bin"), 1u);
    EXPECT_TRUE(Icat("ntfs", image, tree.at("new file.bin").record) == grown);
    EXPECT_EQ(tree.count("new folder/deeper/x.txt"), 1u);
    const auto fixAfter = RunCommand({"ntfsfix", "-n", image}, Merged());
    EXPECT_EQ(fixAfter.exitCode, 0) << fixAfter.out;
}

// The way back: velundra-convert makes FAT32 of the converted volume, fsck.fat finds it
// clean, and every file comes back by name, bytes and time.
void CheckRoundTrip(const std::string& image, const std::map<std::string, Expected>& expected) {
    const auto back = RunCommand({testsupport::ProgramPath("velundra-convert"), "--yes", "--quiet", image}, Merged());
    ASSERT_EQ(back.exitCode, 0) << back.out;
    const auto fsck = testsupport::FsckSmallFat(image);
    EXPECT_TRUE(fsck.Clean()) << fsck.output;
    ExpectSleuthKitTree(testsupport::FatTree(image), expected, "fat32", image);
}

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
        Convert(image, "stick");
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
    Convert(image, "rund");
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
    Convert(image, "");
    if (HasFatalFailure()) return;
    CheckConverted(dir, image, ExpectedTree(layout.steps), "", "many");
}

}  // namespace
