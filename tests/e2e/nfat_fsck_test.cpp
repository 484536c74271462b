// The FAT table flushed onto an image must make a volume that the real fsck.fat accepts
// without a finding (FAT copies, boot sector and backup, FSInfo with the true free count),
// and whose chains another reader follows to the right bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/NFat.h"
#include "platform/RawVolume.h"
#include "tests/support/Command.h"
#include "tests/support/FsckFat.h"
#include "tests/support/TempImage.h"

namespace {

// fsck.fat -n must exit 0 and print only its banner and its summary line.
void ExpectCleanFsck(const std::string& image, const std::string& summary) {
    const testsupport::FsckResult r = testsupport::FsckFat(image);
    EXPECT_TRUE(r.Clean()) << r.output;
    EXPECT_NE(r.output.find(summary), std::string::npos) << r.output;
}

struct Volume {
    Volume(uint64_t bytes, uint32_t sectorsPerCluster) : image(bytes, "nfat-fsck") {
        int error = 0;
        handle = platform::OpenVolume(image.Path(), platform::VolumeAccess::Shared, &error);
        EXPECT_NE(handle, platform::kInvalidVolume) << error;
        device = std::make_unique<CVolumeDevice>(handle);
        FAT32_BOOT_SECTOR boot;
        EXPECT_TRUE(BuildFat32BootSector(sectorsPerCluster, &boot,
                                         static_cast<uint32_t>(bytes / 512), 63, 255, 512, 0));
        fat = std::make_unique<NFat>(boot, device.get());
    }
    ~Volume() {
        fat.reset();
        device.reset();
        platform::CloseVolume(handle);
    }
    testsupport::TempImage image;
    platform::VolumeHandle handle = platform::kInvalidVolume;
    std::unique_ptr<CVolumeDevice> device;
    std::unique_ptr<NFat> fat;
};

TEST(NFatFsck, EmptyVolume) {
    Volume v(10ull << 30, 8);
    uint32_t root = 0;
    v.fat->AllocChain(1, &root);
    ASSERT_EQ(root, 2u);
    std::vector<uint8_t> zeros(v.fat->FatClusterBytes());
    v.fat->WriteClusters(zeros.data(), root, 1);
    ASSERT_TRUE(v.fat->FlushFat());
    ASSERT_TRUE(v.fat->FlushBootSector());
    ExpectCleanFsck(v.image.Path(), "0 files, 1/2616327 clusters");
}

TEST(NFatFsck, FileChainReadsBack) {
    Volume v(300ull << 20, 1);  // 1-sector clusters: the file spans several
    const uint32_t clusterBytes = v.fat->FatClusterBytes();
    uint32_t root = 0;
    v.fat->AllocChain(1, &root);
    v.fat->Entries[4] = kFat32EndOfChain;  // held while the file is chained, then freed:
    uint32_t file[3] = {};                   // the file's chain jumps over it
    v.fat->AllocChain(3, file);
    v.fat->Entries[4] = 0;
    ASSERT_EQ(file[1], 5u);

    std::string content;
    for (int i = 0; content.size() < 2 * clusterBytes + 100; ++i) {
        content += "line " + std::to_string(i) + "\n";
    }
    content.resize(2 * clusterBytes + 100);
    std::vector<uint8_t> data(3 * clusterBytes);
    std::memcpy(data.data(), content.data(), content.size());
    for (int i = 0; i < 3; ++i) {
        v.fat->WriteClusters(data.data() + i * clusterBytes, file[i], 1);
    }

    // One short directory entry: HELLO.TXT, archive, first cluster, size.
    std::vector<uint8_t> dir(clusterBytes);
    std::memcpy(dir.data(), "HELLO   TXT", 11);
    dir[11] = 0x20;
    dir[16] = 0x21;  // 1980-01-01
    dir[24] = 0x21;
    dir[18] = 0x21;
    dir[20] = static_cast<uint8_t>(file[0] >> 16);
    dir[21] = static_cast<uint8_t>(file[0] >> 24);
    dir[26] = static_cast<uint8_t>(file[0]);
    dir[27] = static_cast<uint8_t>(file[0] >> 8);
    const auto size = static_cast<uint32_t>(content.size());
    std::memcpy(dir.data() + 28, &size, 4);
    v.fat->WriteClusters(dir.data(), root, 1);

    ASSERT_TRUE(v.fat->FlushFat());
    ASSERT_TRUE(v.fat->FlushBootSector());
    const uint32_t used = 4;
    ExpectCleanFsck(v.image.Path(),
                    "1 files, " + std::to_string(used) + "/" +
                        std::to_string(v.fat->ClusterCount) + " clusters");

    testsupport::CommandOptions options;
    options.env = {{"MTOOLS_SKIP_CHECK", "1"}};
    const testsupport::CommandResult typed =
        testsupport::RunCommand({"mtype", "-i", v.image.Path(), "::HELLO.TXT"}, options);
    EXPECT_TRUE(typed.Ok()) << typed.Describe();
    EXPECT_EQ(typed.out, content);
}

}  // namespace
