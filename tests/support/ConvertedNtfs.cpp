#include "tests/support/ConvertedNtfs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "tests/support/FsckFat.h"
#include "tests/support/NtfsLs.h"
#include "tests/support/SleuthKit.h"

namespace testsupport {

namespace fs = std::filesystem;

namespace {

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
    const size_t every = expected.size() / 300 + 1;
    size_t files = 0;
    for (const auto& [path, e] : expected) {
        auto it = tree.find(path);
        if (it == tree.end()) continue;
        EXPECT_EQ(it->second.isDir, e.isDir) << path;
        if (e.isDir) continue;
        EXPECT_EQ(it->second.size, e.bytes.size()) << path;
        EXPECT_EQ(it->second.mtime, e.mtime) << path;
        // Bytes through icat for up to about 300 files (one process each), spread evenly.
        if (++files % every == 0) {
            EXPECT_TRUE(Icat(fsType, image, it->second.record) == e.bytes) << path;
        }
    }
}

testsupport::CommandOptions Merged() {
    testsupport::CommandOptions o;
    o.mergeStderr = true;
    return o;
}

int64_t StatMtime(const std::string& path) {
    const auto t = std::chrono::file_clock::to_sys(fs::last_write_time(path));
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

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

void ConvertToNtfs(const std::string& image, const std::string& label) {
    testsupport::CommandOptions options;
    options.input = label + "\n";
    const auto r = RunCommand({testsupport::ToolPath("tontfs"), image, "/FS:NTFS"}, options);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Conversion complete."), std::string::npos) << r.out;
}

void CheckConverted(const TempDir& dir, const std::string& image, const std::map<std::string, Expected>& expected,
                    const std::string& label, const std::string& largeFolder) {
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
        // libfsntfs (20200921) prints characters beyond the BMP wrongly (the same on a volume
        // ntfs-3g made); the other readers judge those names.
        if (std::any_of(path.begin(), path.end(), [](char ch) { return static_cast<unsigned char>(ch) >= 0xF0; })) continue;
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

void CheckRoundTrip(const std::string& image, const std::map<std::string, Expected>& expected) {
    const auto back = RunCommand({testsupport::ProgramPath("velundra-convert"), "--yes", "--quiet", image}, Merged());
    ASSERT_EQ(back.exitCode, 0) << back.out;
    const auto fsck = testsupport::FsckSmallFat(image);
    EXPECT_TRUE(fsck.Clean()) << fsck.output;
    ExpectSleuthKitTree(testsupport::FatTree(image), expected, "fat32", image);
}

}  // namespace testsupport
