// The cluster bitmap of the larger-cluster path: geometry, bits, the next-fit searches,
// allocation through IFat with its failure, and cluster writes, on a small crafted NTFS
// volume in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/Fat32BootSector.h"
#include "ntfs/CNTFSVolume.h"
#include "relocation/NBitmap.h"
#include "tests/support/CraftedNtfs.h"
#include "tests/support/FaultyDevice.h"
#include "tests/support/MemoryDevice.h"

namespace {

namespace crafted = testsupport::crafted;
using testsupport::FaultyDevice;
using testsupport::MemoryDevice;

[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

std::vector<std::string> gLogged;
void Capture(int, const char* line) { gLogged.emplace_back(line); }
bool Logged(const std::string& part) {
    return std::any_of(gLogged.begin(), gLogged.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

// A crafted NTFS volume of `clusters` clusters, opened through the reader.
struct Volume {
    explicit Volume(uint64_t clusters = 256, uint8_t sectorsPerCluster = 1, uint16_t sectorBytes = 512) {
        crafted::Geometry g;
        g.sectorBytes = sectorBytes;
        g.sectorsPerCluster = sectorsPerCluster;
        g.clustersPerRecord = sectorBytes * sectorsPerCluster >= 1024 ? -10 : 2;
        g.clusters = clusters;
        g.mftLcn = 4;
        crafted::Volume image(g);
        memory = std::make_unique<MemoryDevice>(image.Image());
        ntfs = std::make_unique<CNTFSVolume>(memory.get());
        EXPECT_TRUE(ntfs->IsVolumeOK());
    }
    std::unique_ptr<MemoryDevice> memory;
    std::unique_ptr<CNTFSVolume> ntfs;
};

// Group size 4, data area LCN 10 .. 49 (ten groups), a FAT for them, no reserved group.
struct Bitmap4 : ::testing::Test {
    Volume volume{256};
    NBitmap bitmap{volume.memory.get(), volume.ntfs.get(), 4};
    void SetUp() override {
        bitmap.SetDataArea(10, 49);
        bitmap.AllocateFatTable(1);
    }
};

TEST(NBitmapGeometry, TakesItsSizesFromTheVolume) {
    Volume v(256);
    NBitmap bitmap(v.memory.get(), v.ntfs.get(), 8);
    EXPECT_EQ(bitmap.TotalLcns, 256u);
    EXPECT_EQ(bitmap.BitCount(), 256u);
    EXPECT_EQ(bitmap.FatClusterBytes(), 8u * 512);
    EXPECT_EQ(bitmap.SectorsPerLcn(), 1u);
    EXPECT_EQ(bitmap.ReservedGroup, NBitmap::kNone);
    EXPECT_EQ(bitmap.Cursor, 0u);
    EXPECT_EQ(bitmap.GroupCount(), 0u);  // nothing laid out yet: no search finds anything
    EXPECT_EQ(bitmap.FindFreeGroup(), NBitmap::kNone);
    EXPECT_EQ(bitmap.FatTable, nullptr);
    // The copy buffer is 512 KiB of whole clusters, and never less than one FAT cluster.
    EXPECT_EQ(bitmap.CopyBufferBytes, 524288u);
    for (size_t i = 0; i < 256; ++i) ASSERT_FALSE(bitmap.IsMarked(i)) << i;
}

TEST(NBitmapGeometry, CountsClustersInDeviceSectorsWhateverTheNtfsSectorSize) {
    // 4096-byte NTFS sectors, one per cluster: LCN x starts at 512-byte sector 8x.
    Volume v(64, 1, 4096);
    ASSERT_EQ(v.ntfs->SectorBytes, 4096);
    NBitmap bitmap(v.memory.get(), v.ntfs.get(), 2);
    EXPECT_EQ(bitmap.TotalLcns, 64u);
    EXPECT_EQ(bitmap.SectorsPerLcn(), 8u);
    bitmap.SetDataArea(10, 63);
    bitmap.AllocateFatTable(1);
    FaultyDevice faulty(*v.memory);
    bitmap.Device = &faulty;
    std::vector<uint8_t> cluster(8192, 0x5A);
    bitmap.WriteClusters(cluster.data(), 3, 1);  // group 1: LCNs 12, 13
    ASSERT_EQ(faulty.Writes().size(), 1u);
    EXPECT_EQ(faulty.Writes()[0].first, 12u * 8);
    EXPECT_EQ(faulty.Writes()[0].count, 16u);
}

TEST(NBitmapGeometry, DataAreaIsWholeGroupsAndBitsReachItsEnd) {
    Volume v(100);
    NBitmap bitmap(v.memory.get(), v.ntfs.get(), 4);
    // 10 .. 51 is ten whole groups and two LCNs: the area ends at 49.
    bitmap.SetDataArea(10, 51);
    EXPECT_EQ(bitmap.LastLcn, 49u);
    EXPECT_EQ(bitmap.GroupCount(), 10u);
    EXPECT_EQ(bitmap.Cursor, 10u);
    // An area reaching past the NTFS volume's length (the FAT volume may take the sector NTFS
    // keeps its backup boot sector in) still has bits for every LCN.
    bitmap.SetDataArea(10, 109);
    EXPECT_EQ(bitmap.BitCount(), 110u);
    bitmap.MarkRun(100, 10);
    EXPECT_TRUE(bitmap.IsMarked(109));
    EXPECT_FALSE(bitmap.IsMarked(110));
    EXPECT_EQ(bitmap.CountMarked(96, 20), 10u);
    // Shorter than one group: empty.
    bitmap.SetDataArea(10, 12);
    EXPECT_EQ(bitmap.GroupCount(), 0u);
    EXPECT_EQ(bitmap.FindFreeGroup(), NBitmap::kNone);
    EXPECT_FALSE(bitmap.InDataRegion(10, 1));
}

TEST(NBitmapBits, RunsAcrossByteBoundariesAndCounts) {
    Volume v(256);
    NBitmap bitmap(v.memory.get(), v.ntfs.get(), 4);
    bitmap.MarkRun(5, 30);  // bits 5 .. 34: a partial byte, whole bytes, a partial byte
    for (uint64_t i = 0; i < 40; ++i) EXPECT_EQ(bitmap.IsMarked(i), i >= 5 && i < 35) << i;
    EXPECT_EQ(bitmap.Bits[1], 0xFF);
    EXPECT_EQ(bitmap.CountMarked(0, 256), 30u);
    EXPECT_EQ(bitmap.CountMarked(30, 100), 5u);
    EXPECT_EQ(bitmap.CountMarked(-3, 10), 2u);  // LCNs below 0 hold nothing
    bitmap.ClearRun(9, 17);  // 9 .. 25
    EXPECT_EQ(bitmap.CountMarked(0, 256), 13u);
    EXPECT_TRUE(bitmap.IsMarked(8));
    EXPECT_FALSE(bitmap.IsMarked(9));
    EXPECT_FALSE(bitmap.IsMarked(25));
    EXPECT_TRUE(bitmap.IsMarked(26));
    // Past the bitmap: ignored, and reads as clear.
    bitmap.MarkRun(250, 100);
    EXPECT_EQ(bitmap.CountMarked(250, 100), 6u);
    EXPECT_FALSE(bitmap.IsMarked(256));
    EXPECT_FALSE(bitmap.IsMarked(UINT64_MAX));
}

TEST_F(Bitmap4, GroupsAndClustersOfLcns) {
    // Any LCN inside a group maps to that group's cluster.
    EXPECT_EQ(bitmap.ClusterOfLcn(10 + 2 * 4 + 1), 4);
    EXPECT_EQ(bitmap.ClusterOfLcn(10), 2);
    EXPECT_EQ(bitmap.ClusterOfLcn(49), 11);
    EXPECT_EQ(bitmap.LcnOfCluster(4), 18u);
    EXPECT_EQ(bitmap.GroupStartOf(13), 10);
    EXPECT_EQ(bitmap.GroupStartOf(14), 14);
    EXPECT_EQ(bitmap.GroupStartOf(9), 6);  // groups before the area are counted the same way
    EXPECT_EQ(bitmap.GroupStartOf(1), -2);
}

TEST_F(Bitmap4, SearchesStartAtTheGroupOfTheCursor) {
    bitmap.Cursor = 13;
    EXPECT_EQ(bitmap.FindFreeGroup(), 10);
    EXPECT_EQ(bitmap.Cursor, 10u);
    bitmap.MarkRun(10, 1);
    bitmap.Cursor = 13;
    EXPECT_EQ(bitmap.FindFreeInPartialGroup(), 11);
    EXPECT_EQ(bitmap.Cursor, 10u);
}

TEST_F(Bitmap4, FindFreeGroupSkipsUsedAndReservedGroupsAndNeverWraps) {
    // The group left on the cursor is handed out again until it is marked.
    EXPECT_EQ(bitmap.FindFreeGroup(), 10);
    EXPECT_EQ(bitmap.FindFreeGroup(), 10);
    bitmap.MarkRun(10, 4);
    bitmap.MarkRun(15, 1);  // one bit is enough to take a group out of the search
    bitmap.ReservedGroup = 18;
    EXPECT_EQ(bitmap.FindFreeGroup(), 22);  // 18 is entirely free, but reserved
    // Only the groups before the cursor are free: nothing is found.
    bitmap.MarkRun(22, 28);
    bitmap.ClearRun(10, 4);
    bitmap.Cursor = 22;
    EXPECT_EQ(bitmap.FindFreeGroup(), NBitmap::kNone);
    EXPECT_EQ(bitmap.Cursor, 22u);
    bitmap.Cursor = 10;
    EXPECT_EQ(bitmap.FindFreeGroup(), 10);
    // The last group is found; past it there is none.
    bitmap.MarkRun(10, 40);
    bitmap.ClearRun(46, 4);
    EXPECT_EQ(bitmap.FindFreeGroup(), 46);
    bitmap.MarkRun(46, 4);
    EXPECT_EQ(bitmap.FindFreeGroup(), NBitmap::kNone);
}

TEST_F(Bitmap4, FindFreeInPartialGroupTakesTheLowestHoleOfTheFirstPartGroup) {
    bitmap.MarkRun(10, 4);   // full
    // 14 .. 17 wholly free
    bitmap.MarkRun(18, 1);   // partly used: holes 19, 20, 21
    bitmap.MarkRun(20, 1);
    bitmap.MarkRun(22, 3);   // partly used: hole 25
    EXPECT_EQ(bitmap.FindFreeInPartialGroup(), 19);
    EXPECT_EQ(bitmap.Cursor, 18u);
    bitmap.MarkRun(19, 1);
    bitmap.MarkRun(21, 1);   // 18 .. 21 full now
    EXPECT_EQ(bitmap.FindFreeInPartialGroup(), 25);
    bitmap.MarkRun(25, 1);
    EXPECT_EQ(bitmap.FindFreeInPartialGroup(), NBitmap::kNone);
    // The reserved group is never a destination: its clusters would have to leave again.
    bitmap.ClearRun(10, 2);
    bitmap.ReservedGroup = 10;
    bitmap.Cursor = 10;
    EXPECT_EQ(bitmap.FindFreeInPartialGroup(), NBitmap::kNone);
    bitmap.ReservedGroup = NBitmap::kNone;
    bitmap.Cursor = 10;
    EXPECT_EQ(bitmap.FindFreeInPartialGroup(), 10);
}

TEST_F(Bitmap4, InDataRegionAndIsGroupFull) {
    bitmap.ReservedGroup = 10;
    struct Case {
        uint64_t lcn;
        int64_t count;
        bool expected;
    } cases[] = {
        {14, 36, true},   // the whole area after the reserved group
        {14, 37, false},  // one LCN past LastLcn
        {49, 1, true},
        {50, 1, false},
        {13, 1, false},   // the reserved group's last LCN
        {12, 4, false},   // touches it
        {9, 1, false},    // before the data area
        {9, 0, true},     // a count of 0 is always inside
        {500, -3, true},
        {UINT64_MAX, 2, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bitmap.InDataRegion(c.lcn, c.count), c.expected) << c.lcn << "+" << c.count;
    }
    bitmap.MarkRun(14, 3);
    EXPECT_FALSE(bitmap.IsGroupFull(16));
    bitmap.MarkRun(17, 1);
    EXPECT_TRUE(bitmap.IsGroupFull(14));
    EXPECT_TRUE(bitmap.IsGroupFull(17));
    EXPECT_FALSE(bitmap.IsGroupFull(18));
}

TEST_F(Bitmap4, AllocChainTakesAscendingGroupsAndChainsThem) {
    uint32_t clusters[3] = {};
    bitmap.AllocChain(3, clusters);
    EXPECT_EQ(std::vector<uint32_t>(clusters, clusters + 3), (std::vector<uint32_t>{2, 3, 4}));
    EXPECT_EQ(bitmap.FatTable[2], 3u);
    EXPECT_EQ(bitmap.FatTable[3], 4u);
    EXPECT_EQ(bitmap.FatTable[4], kFat32EndOfChain);
    EXPECT_EQ(bitmap.FatTable[0], kFat32Entry0);
    EXPECT_EQ(bitmap.FatTable[1], kFat32EndOfChain);
    EXPECT_EQ(bitmap.CountMarked(10, 12), 12u);
    EXPECT_FALSE(bitmap.IsMarked(22));
    // A used group in the way and the reserved group are passed over.
    bitmap.MarkRun(23, 1);
    bitmap.ReservedGroup = 26;
    uint32_t more[2] = {};
    bitmap.AllocChain(2, more);
    EXPECT_EQ(more[0], 7u);  // 22 and 26 are not free for it
    EXPECT_EQ(more[1], 8u);
    EXPECT_EQ(bitmap.FatTable[7], 8u);
    EXPECT_EQ(bitmap.FatTable[8], kFat32EndOfChain);
}

TEST_F(Bitmap4, AllocChainThatCannotFinishChangesNothing) {
    gLogged.clear();
    SetLogEcho(Capture);
    bitmap.MarkRun(10, 32);  // groups 10 .. 38 used; 42 and 46 free
    bitmap.Cursor = 10;
    const std::vector<uint8_t> bitsBefore(bitmap.Bits.get(), bitmap.Bits.get() + 16);
    const std::vector<uint32_t> fatBefore(bitmap.FatTable.get(), bitmap.FatTable.get() + bitmap.FatEntries);
    uint32_t clusters[3] = {};
    try {
        bitmap.AllocChain(3, clusters);
        ADD_FAILURE() << "no exception";
    } catch (const SimpleException& e) {
        EXPECT_EQ(e.Kind, 1);
        EXPECT_EQ(e.Text(), u"cann't find free cluster.");
    }
    SetLogEcho(nullptr);
    EXPECT_EQ(std::vector<uint8_t>(bitmap.Bits.get(), bitmap.Bits.get() + 16), bitsBefore);
    EXPECT_EQ(std::vector<uint32_t>(bitmap.FatTable.get(), bitmap.FatTable.get() + bitmap.FatEntries), fatBefore);
    EXPECT_EQ(bitmap.Cursor, 10u);
    EXPECT_TRUE(Logged("cann't find free cluster"));
    // The two groups that are there can still be had.
    bitmap.AllocChain(2, clusters);
    EXPECT_EQ(clusters[0], 10u);
    EXPECT_EQ(clusters[1], 11u);
}

TEST(NBitmapWrites, WriteClustersAddressesGroupsAndRefusesTheRest) {
    // 1024-byte NTFS clusters (two device sectors), groups of 4: a FAT cluster is 4 KiB.
    Volume v(128, 2);
    NBitmap bitmap(v.memory.get(), v.ntfs.get(), 4);
    bitmap.SetDataArea(11, 50);  // groups 11, 15, ..., 47: ten clusters, 2 .. 11
    bitmap.AllocateFatTable(1);
    FaultyDevice faulty(*v.memory);
    faulty.RecordWriteBytes(true);
    bitmap.Device = &faulty;
    std::vector<uint8_t> data(2 * 4096);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);

    bitmap.WriteClusters(data.data(), 3, 2);  // clusters 3, 4: LCNs 15 .. 22
    ASSERT_EQ(faulty.Writes().size(), 1u);
    EXPECT_EQ(faulty.Writes()[0].first, 15u * 2);
    EXPECT_EQ(faulty.Writes()[0].count, 16u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), v.memory->Bytes().begin() + 15 * 1024));

    gLogged.clear();
    SetLogEcho(Capture);
    bitmap.WriteClusters(data.data(), 1, 1);   // before cluster 2
    bitmap.WriteClusters(data.data(), 11, 2);  // the last cluster and one past it
    EXPECT_EQ(faulty.Writes().size(), 1u);
    EXPECT_TRUE(Logged("WriteClusters refused"));
    EXPECT_EQ(bitmap.FailedWrites, 2u);
    faulty.FailNthWrite(2);
    bitmap.WriteClusters(data.data(), 11, 1);
    SetLogEcho(nullptr);
    EXPECT_TRUE(Logged("WriteSector err, s:94, n8"));
    EXPECT_EQ(bitmap.FailedWrites, 3u);
}

}  // namespace
