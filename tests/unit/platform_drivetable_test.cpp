#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/DriveTable.h"
#include "platform/Process.h"

namespace {

using platform::DriveTable;
using platform::LookupDrive;

// A temp directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/velundra-drives-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { platform::RunProgram("rm", {"-rf", path}); }
    std::string path;
};

// Sets VELUNDRA_DRIVES for one test and removes it afterwards.
struct ScopedDrives {
    explicit ScopedDrives(const std::string& value) { setenv("VELUNDRA_DRIVES", value.c_str(), 1); }
    ~ScopedDrives() { unsetenv("VELUNDRA_DRIVES"); }
};

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Makes a volume image of `megabytes` with a mkfs program; false when the program is missing.
bool MakeImage(const std::string& image, int megabytes, const std::vector<std::string>& mkfs) {
    if (platform::RunProgram("truncate", {"-s", std::to_string(megabytes) + "M", image}) != 0) return false;
    std::vector<std::string> args(mkfs.begin() + 1, mkfs.end());
    args.push_back(image);
    return platform::RunProgram(mkfs[0], args, platform::ChildOutput::Discard) == 0;
}

TEST(DriveTable, OverridesAddAndReplaceLetters) {
    TempDir dir;
    ASSERT_TRUE(MakeImage(dir.path + "/e.img", 8, {"mkntfs", "-F", "-Q", "-q", "-L", "Ferien"}));
    WriteFile(dir.path + "/c.img", "");
    ScopedDrives env(" e=" + dir.path + "/e.img;;G;1=/x;H=;C=" + dir.path + "/c.img;F=/dev/velundra-none");

    std::vector<platform::DriveEntry> table = DriveTable();
    for (size_t i = 1; i < table.size(); ++i) EXPECT_LT(table[i - 1].letter, table[i].letter);

    auto e = LookupDrive('e');
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->letter, 'E');
    EXPECT_EQ(e->devicePath, dir.path + "/e.img");
    EXPECT_TRUE(e->mountPoints.empty());
    EXPECT_EQ(e->fileSystem, "NTFS");
    EXPECT_EQ(e->label, "Ferien");
    auto c = LookupDrive('C');
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->devicePath, dir.path + "/c.img");
    EXPECT_EQ(c->fileSystem, "");  // replaced, not added twice
    EXPECT_EQ(std::count_if(table.begin(), table.end(), [](auto& d) { return d.letter == 'C'; }), 1);
    auto f = LookupDrive('F');
    ASSERT_TRUE(f.has_value());  // a path that does not exist is listed; opening it fails later
    EXPECT_EQ(f->fileSystem, "");
    EXPECT_FALSE(LookupDrive('G').has_value());
    EXPECT_FALSE(LookupDrive('H').has_value());
}

TEST(DriveTable, CIsTheSystemVolumeHoldingRoot) {
    auto c = LookupDrive('C');
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->devicePath, platform::SystemVolumeDevice());
    EXPECT_NE(std::find(c->mountPoints.begin(), c->mountPoints.end(), "/"), c->mountPoints.end());
    for (const auto& d : DriveTable()) {
        if (d.letter == 'C') continue;
        EXPECT_FALSE(platform::SameVolume(d.devicePath, c->devicePath)) << d.letter;
    }

    auto root = platform::VolumeOfPath("/");
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->mountPoint, "/");
    EXPECT_EQ(root->devicePath, c->devicePath);
    EXPECT_TRUE(platform::ExecutableVolume().has_value());
    EXPECT_FALSE(platform::VolumeOfPath("/velundra/no/such/file").has_value());
}

TEST(DriveTable, ParsesMountInfo) {
    const std::string text =
        "28 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
        "47 28 0:42 / /mnt/my\\040disk rw,relatime shared:1 master:2 - fuse /tmp/a\\134b.img rw\n"
        "garbage line\n"
        "50 28 7:3 / /media/x rw - vfat\n"  // too few fields after the separator
        "51 28 8:17 /sub /srv rw - ntfs3 /dev/sdb1 rw\n";
    auto mounts = platform::ParseMountInfo(text);
    ASSERT_EQ(mounts.size(), 3u);
    EXPECT_EQ(mounts[0].major, 254u);
    EXPECT_EQ(mounts[0].source, "/dev/vda");
    EXPECT_EQ(mounts[1].mountPoint, "/mnt/my disk");
    EXPECT_EQ(mounts[1].fsType, "fuse");
    EXPECT_EQ(mounts[1].source, "/tmp/a\\b.img");
    EXPECT_EQ(mounts[1].minor, 42u);
    EXPECT_EQ(mounts[2].mountPoint, "/srv");
    EXPECT_EQ(mounts[2].major, 8u);
    EXPECT_EQ(mounts[2].minor, 17u);
}

TEST(DriveTable, NamesFileSystemsAsTheVolumeListFiltersThem) {
    struct Case {
        const char* type;
        const char* version;
        const char* name;
    } cases[] = {
        {"ntfs", "", "NTFS"},     {"vfat", "FAT32", "FAT32"}, {"vfat", "FAT16", "FAT"},
        {"vfat", "FAT12", "FAT"}, {"msdos", "FAT12", "FAT"},  {"exfat", "1.0", "exFAT"},
        {"ext4", "1.0", "ext4"},  {"", "", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::FileSystemName(c.type, c.version), c.name) << c.type;
}

TEST(DriveTable, ProbesFileSystemsAndLabels) {
    // Real volumes as their own tools make them, and things that are no file system.
    TempDir dir;
    struct Case {
        std::vector<std::string> mkfs;  // empty: leave the image as zeros
        int megabytes;
        const char* fs;
        const char* label;
    } cases[] = {
        {{"mkntfs", "-F", "-Q", "-q", "-L", "Ürlaub 2024"}, 8, "NTFS", "Ürlaub 2024"},
        {{"mkntfs", "-F", "-Q", "-q"}, 8, "NTFS", ""},
        {{"mkfs.fat", "-F", "32", "-n", "CAMERA"}, 40, "FAT32", "CAMERA"},
        {{"mkfs.fat", "-F", "16"}, 16, "FAT", ""},
        {{"mkfs.fat", "-F", "12", "-n", "DISK"}, 2, "FAT", "DISK"},
        {{"mkfs.ext4", "-q", "-F", "-L", "linux"}, 8, "ext4", "linux"},
        {{"mkswap", "-L", "swap"}, 8, "", ""},  // swap holds no files
        {{}, 8, "", ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string image = dir.path + "/v" + std::to_string(n++) + ".img";
        if (c.mkfs.empty()) {
            ASSERT_EQ(platform::RunProgram("truncate", {"-s", "8M", image}), 0);
        } else {
            ASSERT_TRUE(MakeImage(image, c.megabytes, c.mkfs)) << c.mkfs[0];
        }
        platform::VolumeProbe probe = platform::ProbeVolume(image);
        EXPECT_EQ(probe.fileSystem, c.fs) << image;
        EXPECT_EQ(probe.label, c.label) << image;
    }
    EXPECT_EQ(platform::ProbeVolume(dir.path + "/missing.img").fileSystem, "");
}

TEST(DriveTable, MountedSpaceCountsEveryFreeBlock) {
    uint64_t total = 0, free = 0;
    ASSERT_TRUE(platform::MountedSpace("/", &total, &free));
    EXPECT_GT(total, 0u);
    EXPECT_LE(free, total);
    EXPECT_FALSE(platform::MountedSpace("/velundra/no/such/mount", &total, &free));
}

TEST(DriveTable, FindsTheMountsOfAnImageFile) {
    // A real NTFS image mounted with ntfs-3g, as the conversion tests use them.
    if (!platform::IsEffectiveRoot() ||
        platform::RunProgram("sh", {"-c", "command -v mkntfs && command -v ntfs-3g && test -e /dev/fuse"},
                             platform::ChildOutput::Discard) != 0)
        GTEST_SKIP() << "needs root, ntfs-3g and FUSE";
    TempDir dir;
    const std::string img = dir.path + "/v.img", mnt = dir.path + "/mnt point";
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    ASSERT_EQ(platform::RunProgram("truncate", {"-s", "8M", img}), 0);
    ASSERT_EQ(platform::RunProgram("mkntfs", {"-F", "-Q", "-q", img}, platform::ChildOutput::Discard), 0);
    EXPECT_TRUE(platform::MountPointsOf(img).empty());
    ASSERT_EQ(platform::RunProgram("ntfs-3g", {img, mnt}), 0);
    struct Unmount {
        std::string mnt;
        ~Unmount() { platform::RunProgram("umount", {mnt}); }
    } unmount{mnt};
    WriteFile(mnt + "/file.txt", "x");

    EXPECT_EQ(platform::MountPointsOf(img), std::vector<std::string>{mnt});
    auto where = platform::VolumeOfPath(mnt + "/file.txt");
    ASSERT_TRUE(where.has_value());
    EXPECT_EQ(where->mountPoint, mnt);
    EXPECT_TRUE(platform::SameVolume(where->devicePath, img));
    EXPECT_FALSE(platform::SameVolume(where->devicePath, platform::SystemVolumeDevice()));

    ScopedDrives env("E=" + img);
    auto e = LookupDrive('E');
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->mountPoints, std::vector<std::string>{mnt});
    EXPECT_EQ(e->fileSystem, "NTFS");
}

}  // namespace
