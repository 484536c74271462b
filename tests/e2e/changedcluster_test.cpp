// The conversion with a FAT32 cluster larger than the NTFS cluster on real ntfs-3g volumes: the
// tree is read by the NTFS reader and checked as the driver does, then converted by the
// larger-cluster path with a cluster size forced a few times the NTFS one, every write policed
// by a BitmapGuardDevice. Each result is judged by fsck.fat and The Sleuth Kit against a
// snapshot of the NTFS volume taken before.
//
// The volumes are test-sized, so the FAT32 results have fewer clusters than FAT32 usually has
// (see SmallFatCheck.h).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/TextEncoding.h"
#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/Fat32BootSector.h"
#include "engine/FileTree.h"
#include "engine/VolumeCheck.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CNTFSVolume.h"
#include "platform/RawVolume.h"
#include "relocation/ConvertChangedClusterSize.h"
#include "tests/support/BitmapGuardDevice.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Sha256.h"
#include "tests/support/SmallFatCheck.h"

namespace {

using namespace testsupport;

[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

// A private copy of a recipe's image converted with `factor` NTFS clusters per FAT32 cluster.
struct Converted {
    Converted(const std::string& recipe, uint32_t factor) : dir("changedclu-e2e") {
        image = CopyFixture(recipe, dir.File(recipe + ".img"));
        before = TakeNtfsSnapshot(image);
        int error = 0;
        const platform::VolumeHandle handle = platform::OpenVolume(image, platform::VolumeAccess::Exclusive, &error);
        EXPECT_NE(handle, platform::kInvalidVolume) << error;
        {
            CVolumeDevice device(handle);
            BitmapGuardDevice guard(device);
            CNTFSVolume volume(&device);
            EXPECT_TRUE(volume.IsVolumeOK());
            auto rootRecord = std::make_unique<CFileRecord>(&volume);
            EXPECT_TRUE(rootRecord->LoadRecord(kRootRecord));
            rootRecord->TypeMask = kTreeRootTypeMask;
            EXPECT_TRUE(rootRecord->BuildAttributes());
            ShCount<FILE_ITEM> tree = MakeFileTree(std::move(rootRecord));
            try {
                WalkDirectory(tree->FileRecord.get(), &volume, tree.Get());
                CheckTree(tree.Get(), &volume);
                const uint64_t sectors = device.SectorCount();
                FAT32_BOOT_SECTOR boot{};
                const uint32_t s = volume.ClusterBytes / 512 * factor;
                EXPECT_TRUE(BuildFat32BootSector(s, &boot, static_cast<uint32_t>(sectors), 63, 255, 512, 0));
                ChangedClusterOptions options;
                options.watchBitmap = [&](const NBitmap* bitmap) { guard.Watch(bitmap); };
                ProgressInforAssist scaler;
                ConvertChangedClusterSize(boot, sectors, tree.Get(), &guard, nullptr, &scaler, &volume, options,
                                          &report);
            } catch (const SimpleException& e) {
                failure = platform::Utf16ToUtf8(e.Text());
            }
            refused = guard.Refused();
        }
        platform::CloseVolume(handle);
    }

    TempDir dir;
    std::string image;
    NtfsSnapshot before;
    ChangedClusterReport report;
    std::string failure;  // the message thrown; empty on success
    size_t refused = 0;   // writes the guard refused
};

TEST(ChangedClusterE2E, CommonFileSetWithFourNtfsClustersPerFatCluster) {
    Converted c("convert512", 4);
    ASSERT_EQ(c.failure, "");
    EXPECT_EQ(c.refused, 0u);
    EXPECT_EQ(c.report.groupSize, 4u);
    ExpectSmallFat32Matches(c.before, c.image);
}

TEST(ChangedClusterE2E, FileInHundredsOfRunsAcrossExtensionRecords) {
    // One file in hundreds of runs between the holes a deleted file left, its runs continued
    // in extension records; groups of 8 clusters.
    Converted c("fragmented", 8);
    ASSERT_EQ(c.failure, "");
    EXPECT_EQ(c.refused, 0u);
    EXPECT_GT(c.report.groupsMoved, 0u);
    ExpectSmallFat32Matches(c.before, c.image);
}

TEST(ChangedClusterE2E, HardLinksGetTheirOwnCopies) {
    // 40 names of one file in three folders, three names of another and two of a resident one.
    Converted c("same-hardlinks", 2);
    ASSERT_EQ(c.failure, "");
    EXPECT_EQ(c.refused, 0u);
    EXPECT_EQ(c.report.linkCopyClusters, 40u * 3u + 2u * 1u);  // 40 further names of 3 clusters, 2 of 1
    ExpectSmallFat32Matches(c.before, c.image);
}

TEST(ChangedClusterE2E, PreallocationAndUninitializedTails) {
    Converted c("same-sizes", 2);
    ASSERT_EQ(c.failure, "");
    EXPECT_EQ(c.refused, 0u);
    EXPECT_GT(c.report.ntfsClustersTrimmed, 0u);
    EXPECT_GT(c.report.ntfsClustersZeroed, 0u);
    // The Sleuth Kit reports a non-resident data attribute of size 0 as as long as its
    // clusters; NTFS reads it as empty, and so must FAT.
    NtfsSnapshotEntry& zero = c.before.entries.at("zero but owns.bin");
    zero.size = 0;
    zero.sha256 = Sha256Hex("");
    // The snapshot reads the bytes past an initialized size as zeros, as NTFS does: the
    // comparison proves that no stale byte survived.
    ExpectSmallFat32Matches(c.before, c.image);
}

TEST(ChangedClusterE2E, DataUnderTheFatAreaMoves) {
    Converted c("same-lowdata", 4);
    ASSERT_EQ(c.failure, "");
    EXPECT_EQ(c.refused, 0u);
    EXPECT_GT(c.report.ntfsClustersOutside, 0u);
    ExpectSmallFat32Matches(c.before, c.image);
}

TEST(ChangedClusterE2E, SmallClustersDoubled) {
    Converted c("c512", 2);
    ASSERT_EQ(c.failure, "");
    EXPECT_EQ(c.refused, 0u);
    ExpectSmallFat32Matches(c.before, c.image);
}

}  // namespace
