// A freshly laid out FAT32 volume, written by hand from the images the layout builds, must be
// accepted by the real fsck.fat without a single finding.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "engine/Fat32BootSector.h"
#include "tests/support/FsckFat.h"
#include "tests/support/TempImage.h"

namespace {

void WriteSector(std::fstream& f, uint64_t sector, const void* data, size_t bytes = 512) {
    f.seekp(static_cast<std::streamoff>(sector * 512));
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
}

// fsck.fat -n must exit 0 and print only its banner and its summary line.
void ExpectCleanFsck(const std::string& image, const std::string& summary) {
    const testsupport::FsckResult r = testsupport::FsckFat(image);
    EXPECT_TRUE(r.Clean()) << r.output;
    EXPECT_NE(r.output.find(summary), std::string::npos) << r.output;
}

TEST(Fat32LayoutFsck, FreshLayoutsAreClean) {
    struct Case {
        uint64_t bytes;
        uint32_t sectorsPerCluster;
    };
    // 10 GiB with 4 KiB clusters; a size that leaves a partial last cluster; 1-sector clusters.
    const Case cases[] = {{10ull << 30, 8}, {(300ull << 20) + 3 * 512, 8}, {64ull << 20, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes << " bytes, S=" << c.sectorsPerCluster);
        testsupport::TempImage image(c.bytes, "layout");
        const auto totalSectors = static_cast<uint32_t>(c.bytes / 512);

        FAT32_BOOT_SECTOR boot;
        ASSERT_TRUE(BuildFat32BootSector(c.sectorsPerCluster, &boot, totalSectors, 63, 255, 512,
                                         0));
        const FAT32_LAYOUT layout = ComputeFat32Layout(c.sectorsPerCluster, totalSectors, 512, 0);
        ASSERT_EQ(layout.Status, Fat32LayoutStatus::Accepted);

        FAT32_FSINFO info;
        const auto clusters = static_cast<uint32_t>(layout.ClusterCount);
        BuildFat32FsInfo(&info, clusters - 1, 3);  // the root directory holds cluster 2

        // The first FAT sector: the media entry, the clean-shutdown entry, the root's end.
        uint32_t fatHead[128] = {kFat32Entry0, kFat32EndOfChain, kFat32EndOfChain};

        std::fstream f(image.Path(), std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(f.is_open());
        WriteSector(f, 0, &boot);
        WriteSector(f, kFat32FsInfoSector, &info);
        WriteSector(f, kFat32BackupBootSector, &boot);
        WriteSector(f, kFat32BackupFsInfoSector, &info);
        WriteSector(f, layout.ReservedSectors, fatHead);
        WriteSector(f, layout.ReservedSectors + layout.FatSectors, fatHead);
        f.close();  // the rest of the sparse image reads as zeros: FATs free, root empty
        ASSERT_TRUE(f);

        ExpectCleanFsck(image.Path(), "0 files, 1/" + std::to_string(clusters) + " clusters");
    }
}

}  // namespace
