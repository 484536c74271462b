#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "device/CVolumeDevice.h"
#include "engine/VolumeEnumeration.h"
#include "platform/RawVolume.h"
#include "tests/support/Command.h"

namespace {

using testsupport::RunCommand;
using testsupport::TempDir;

// Sets VELUNDRA_DRIVES for one test and removes it afterwards.
struct ScopedDrives {
    explicit ScopedDrives(const std::string& value) { setenv("VELUNDRA_DRIVES", value.c_str(), 1); }
    ~ScopedDrives() { unsetenv("VELUNDRA_DRIVES"); }
};

void Tool(const std::vector<std::string>& argv, const testsupport::CommandOptions& options = {}) {
    auto r = RunCommand(argv, options);
    ASSERT_TRUE(r.Ok()) << argv[0] << ": " << r.Describe();
}

// Reads a volume's space through a device on its image file.
bool SpaceOf(const std::string& image, bool ntfs, VolumeSpace* space) {
    int error = 0;
    platform::VolumeHandle h = platform::OpenVolume(image, platform::VolumeAccess::Shared, &error);
    if (h == platform::kInvalidVolume) return false;
    CVolumeDevice device(h);
    bool ok = ntfs ? NtfsVolumeSpace(&device, space) : FatVolumeSpace(&device, space);
    platform::CloseVolume(h);
    return ok;
}

// A file of `bytes` bytes for copying onto the images.
std::string MakeFile(const TempDir& dir, const std::string& name, size_t bytes) {
    std::string path = dir.File(name);
    testsupport::WriteFileBytes(path, std::string(bytes, 'x'));
    return path;
}

TEST(VolumeEnumeration, FatFreeSpaceAgreesWithFsckFat) {
    // Each FAT type, with files so that some clusters are taken; fsck.fat counts the clusters
    // it finds in use and the data clusters ("N files, used/total clusters").
    TempDir dir("fatspace");
    const std::string small = MakeFile(dir, "small.bin", 3000), big = MakeFile(dir, "big.bin", 700000);
    struct Case {
        const char* fatBits;
        int megabytes;
        const char* sectorsPerCluster;
        const char* sectorBytes;
    } cases[] = {{"12", 2, "1", "512"}, {"12", 16, "16", "512"}, {"16", 32, "4", "512"},
                 {"32", 64, "1", "512"}, {"32", 80, "2", "4096"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("FAT") + c.fatBits + " " + std::to_string(c.megabytes) + " MiB");
        const std::string image = dir.File(std::string("fat") + c.fatBits + "-" + std::to_string(c.megabytes) + ".img");
        Tool({"truncate", "-s", std::to_string(c.megabytes) + "M", image});
        Tool({"mkfs.fat", "-F", c.fatBits, "-s", c.sectorsPerCluster, "-S", c.sectorBytes, image});
        testsupport::CommandOptions mtools;
        mtools.env = {{"MTOOLS_SKIP_CHECK", "1"}};
        if (std::string(c.sectorBytes) == "512") {  // mtools writes only on 512-byte sectors
            Tool({"mmd", "-i", image, "::/dir"}, mtools);
            Tool({"mcopy", "-i", image, small, big, "::/dir/"}, mtools);
            Tool({"mcopy", "-i", image, small, "::/"}, mtools);
        }

        auto fsck = RunCommand({"fsck.fat", "-n", image});
        std::smatch m;
        ASSERT_TRUE(std::regex_search(fsck.out, m, std::regex(R"((\d+)/(\d+) clusters)"))) << fsck.out;
        const uint64_t used = std::stoull(m[1]), total = std::stoull(m[2]);
        const uint64_t clusterBytes = std::stoull(c.sectorsPerCluster) * std::stoull(c.sectorBytes);

        VolumeSpace space;
        ASSERT_TRUE(SpaceOf(image, false, &space));
        EXPECT_EQ(space.TotalBytes, total * clusterBytes);
        EXPECT_EQ(space.FreeBytes, (total - used) * clusterBytes);
    }
}

TEST(VolumeEnumeration, NtfsFreeSpaceAgreesWithNtfsinfo) {
    TempDir dir("ntfsspace");
    const std::string image = dir.File("v.img");
    Tool({"truncate", "-s", "24M", image});
    Tool({"mkntfs", "-F", "-Q", "-q", "-c", "1024", image});
    Tool({"ntfscp", "-q", image, MakeFile(dir, "data.bin", 1500000), "data.bin"});

    auto info = RunCommand({"ntfsinfo", "-m", image});
    std::smatch clusters, free;
    ASSERT_TRUE(std::regex_search(info.out, clusters, std::regex(R"(Volume Size in Clusters: (\d+))"))) << info.out;
    ASSERT_TRUE(std::regex_search(info.out, free, std::regex(R"(Free Clusters: (\d+))"))) << info.out;

    VolumeSpace space;
    ASSERT_TRUE(SpaceOf(image, true, &space));
    EXPECT_EQ(space.TotalBytes, std::stoull(clusters[1]) * 1024);
    EXPECT_EQ(space.FreeBytes, std::stoull(free[1]) * 1024);
    EXPECT_LT(space.FreeBytes, space.TotalBytes - 1500000);
}

TEST(VolumeEnumeration, NoVolumeNoFigure) {
    // Zeros and the wrong file system give no space at all rather than a made-up one.
    TempDir dir("nospace");
    const std::string zeros = dir.File("zeros.img"), fat = dir.File("fat.img");
    Tool({"truncate", "-s", "4M", zeros});
    Tool({"truncate", "-s", "4M", fat});
    Tool({"mkfs.fat", "-F", "12", fat});
    VolumeSpace space;
    space.FreeBytes = 77;
    EXPECT_FALSE(SpaceOf(zeros, true, &space));
    EXPECT_FALSE(SpaceOf(zeros, false, &space));
    EXPECT_FALSE(SpaceOf(fat, true, &space));
    EXPECT_EQ(space.FreeBytes, 77u);
}

TEST(VolumeEnumeration, ListsTheLettersOfImagesThatOpen) {
    TempDir dir("list");
    const std::string ntfs = dir.File("ntfs.img"), fat = dir.File("fat.img"), zeros = dir.File("zeros.img");
    Tool({"truncate", "-s", "8M", ntfs});
    Tool({"mkntfs", "-F", "-Q", "-q", "-L", "Reise", ntfs});
    Tool({"truncate", "-s", "40M", fat});
    Tool({"mkfs.fat", "-F", "32", fat});
    Tool({"truncate", "-s", "1M", zeros});
    ScopedDrives env("E=" + ntfs + ";F=" + fat + ";G=" + dir.File("missing.img") + ";H=" + zeros);

    std::vector<VolumeInfo> volumes = ListVolumes();
    auto find = [&](char16_t letter) {
        auto it = std::find_if(volumes.begin(), volumes.end(), [&](auto& v) { return v.DriveLetter == letter; });
        return it == volumes.end() ? nullptr : &*it;
    };
    const VolumeInfo* e = find(u'E');
    const VolumeInfo* f = find(u'F');
    ASSERT_NE(e, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(find(u'G'), nullptr);  // cannot be opened
    EXPECT_EQ(find(u'H'), nullptr);  // no file system
    EXPECT_EQ(e->Label, u"Reise");
    EXPECT_EQ(e->FileSystem, u"NTFS");
    EXPECT_EQ(e->DevicePath, ntfs);
    EXPECT_FALSE(e->IsSystem);
    EXPECT_EQ(f->Label, u"");
    EXPECT_EQ(f->FileSystem, u"FAT32");
    for (size_t i = 1; i < volumes.size(); ++i) EXPECT_LT(volumes[i - 1].DriveLetter, volumes[i].DriveLetter);

    VolumeSpace space;
    ASSERT_TRUE(QueryVolumeSpace(*e, &space));
    EXPECT_GT(space.FreeBytes, 0u);
    EXPECT_LT(space.FreeBytes, space.TotalBytes);
    ASSERT_TRUE(QueryVolumeSpace(*f, &space));
    EXPECT_GT(space.FreeBytes, 30u << 20);
}

}  // namespace
