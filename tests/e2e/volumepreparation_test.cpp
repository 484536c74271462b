// LockVolume against real mounts: an ntfs-3g (FUSE) mount of an image, a loop mount of an
// image, and a mounted loop block device. Needs root, ntfs-3g, mkfs.ext2 and loop devices;
// skips when the machine cannot mount.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <ostream>

#include <string>
#include <vector>

#include "device/VolumePreparation.h"
#include "platform/DriveTable.h"
#include "platform/Process.h"
#include "tests/support/Command.h"
#include "tests/support/TempImage.h"

namespace {

using platform::kInvalidVolume;
using testsupport::TempImage;

int ExitCode(const std::vector<std::string>& argv) {
    return testsupport::RunCommand(argv).exitCode;
}

// Loop device attached to an image, detached at the end.
struct LoopDevice {
    explicit LoopDevice(const std::string& image) {
        const testsupport::CommandResult r =
            testsupport::RunCommand({"losetup", "-f", "--show", image});
        if (!r.Ok()) return;
        path = r.out.substr(0, r.out.find('\n'));
    }
    ~LoopDevice() {
        if (!path.empty()) ExitCode({"losetup", "-d", path});
    }
    std::string path;
};

VolumeQuestion Answer(bool yes, int* asked) {
    return [yes, asked](const char16_t*) {
        ++*asked;
        return yes;
    };
}

class LockMountedVolume : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::IsEffectiveRoot()) GTEST_SKIP() << "needs root";
    }
};

TEST_F(LockMountedVolume, FuseMountOfAnImageIsUnmountedAfterYes) {
    TempImage image(16 << 20, "fuse");
    ASSERT_EQ(ExitCode({"mkntfs", "-F", "-Q", "-q", image.Path()}), 0);
    testsupport::TempDir dir("mnt");
    if (ExitCode({"ntfs-3g", image.Path(), dir.Path()}) != 0) {
        GTEST_SKIP() << "cannot mount FUSE";
    }
    ASSERT_FALSE(platform::MountPointsOf(image.Path()).empty());

    // No: the mount stays and nothing is held.
    int asked = 0;
    EXPECT_EQ(LockVolume(image.Path(), Answer(false, &asked)), kInvalidVolume);
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(platform::MountPointsOf(image.Path()).empty());

    // Yes: unmounted, then held.
    asked = 0;
    const platform::VolumeHandle h = LockVolume(image.Path(), Answer(true, &asked));
    ASSERT_NE(h, kInvalidVolume);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(platform::MountPointsOf(image.Path()).empty());
    ReleaseVolume(h);
}

TEST_F(LockMountedVolume, LoopMountOfAnImageIsUnmountedAfterYes) {
    TempImage image(16 << 20, "loopmount");
    ASSERT_EQ(ExitCode({"mkfs.ext2", "-q", "-F", image.Path()}), 0);
    testsupport::TempDir dir("mnt");
    if (ExitCode({"mount", "-o", "loop", image.Path(), dir.Path()}) != 0) {
        GTEST_SKIP() << "cannot loop-mount";
    }
    // The image file itself carries no lock: only the mount shows that it is in use.
    int asked = 0;
    const platform::VolumeHandle h = LockVolume(image.Path(), Answer(true, &asked));
    ASSERT_NE(h, kInvalidVolume);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(platform::MountPointsOf(image.Path()).empty());
    ReleaseVolume(h);
}

// A block device mounted by the kernel (ext2) and by ntfs-3g (fuseblk), the converter's
// usual case: both hold the device exclusively.
struct BlockMount {
    const char* name;
    std::vector<std::string> format;  // the image path is appended
    std::vector<std::string> mount;   // device and mount point are appended
};

void PrintTo(const BlockMount& m, std::ostream* os) { *os << m.name; }

class LockMountedBlockDevice : public LockMountedVolume,
                               public ::testing::WithParamInterface<BlockMount> {};

TEST_P(LockMountedBlockDevice, IsRefusedThenUnmountedAndHeldUntilReleased) {
    const BlockMount& m = GetParam();
    TempImage image(16 << 20, "blockdev");
    std::vector<std::string> format = m.format;
    format.push_back(image.Path());
    ASSERT_EQ(ExitCode(format), 0);
    LoopDevice loop(image.Path());
    if (loop.path.empty()) GTEST_SKIP() << "no loop device";
    testsupport::TempDir dir("mnt");
    std::vector<std::string> mount = m.mount;
    mount.push_back(loop.path);
    mount.push_back(dir.Path());
    if (ExitCode(mount) != 0) GTEST_SKIP() << "cannot mount";

    // O_EXCL is refused while mounted.
    int error = 0;
    EXPECT_EQ(platform::OpenVolume(loop.path, platform::VolumeAccess::Exclusive, &error),
              kInvalidVolume);
    EXPECT_EQ(error, EBUSY);

    int asked = 0;
    const platform::VolumeHandle h = LockVolume(loop.path, Answer(true, &asked));
    ASSERT_NE(h, kInvalidVolume);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(platform::IsBlockDevice(h));
    EXPECT_TRUE(platform::MountPointsOf(loop.path).empty());
    EXPECT_EQ(GetVolumeSectors(h), uint64_t{16 << 20} / 512);

    // Held: a second exclusive open (and so a mount) is refused until the release.
    EXPECT_EQ(platform::OpenVolume(loop.path, platform::VolumeAccess::Exclusive, &error),
              kInvalidVolume);
    EXPECT_EQ(error, EBUSY);
    ReleaseVolume(h);
    const platform::VolumeHandle again =
        platform::OpenVolume(loop.path, platform::VolumeAccess::Exclusive, &error);
    EXPECT_NE(again, kInvalidVolume);
    platform::CloseVolume(again);
}

INSTANTIATE_TEST_SUITE_P(
    Mounts, LockMountedBlockDevice,
    ::testing::Values(BlockMount{"ext2", {"mkfs.ext2", "-q", "-F"}, {"mount"}},
                      BlockMount{"ntfs3g", {"mkntfs", "-F", "-Q", "-q"}, {"ntfs-3g"}}),
    [](const ::testing::TestParamInfo<BlockMount>& info) { return info.param.name; });

}  // namespace
