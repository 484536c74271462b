#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/support/FaultyDevice.h"
#include "tests/support/TempImage.h"

namespace {

using testsupport::FaultyDevice;
using testsupport::TempImage;
using Outcome = FaultyDevice::Outcome;

// A 64-sector image behind a real device; sector i holds the byte i.
struct Fixture {
    Fixture() : image(64 * 512) {
        handle = platform::OpenVolume(image.Path(), platform::VolumeAccess::Shared, nullptr);
        inner = std::make_unique<CVolumeDevice>(handle);
        std::vector<unsigned char> s(512);
        for (uint64_t i = 0; i < 64; ++i) {
            s.assign(512, static_cast<unsigned char>(i));
            inner->WriteSectors(s.data(), i, 1);
        }
    }
    ~Fixture() {
        inner.reset();
        platform::CloseVolume(handle);
    }
    unsigned char SectorByte(uint64_t sector) {
        std::vector<unsigned char> s(512);
        inner->ReadSectors(s.data(), sector, 1);
        return s[0];
    }
    TempImage image;
    platform::VolumeHandle handle;
    std::unique_ptr<CVolumeDevice> inner;
};

TEST(FaultyDevice, PassesTransfersThroughAndRecordsWrites) {
    Fixture f;
    FaultyDevice dev(*f.inner);
    dev.RecordWriteBytes(true);
    std::vector<unsigned char> buf(1024, 0x77);
    ASSERT_EQ(dev.WriteSectors(buf.data(), 5, 2), 1);
    ASSERT_EQ(dev.WriteSectors(buf.data(), 63, 2), 0);  // past the end: the inner device fails
    ASSERT_EQ(dev.ReadSectors(buf.data(), 4, 2), 1);
    EXPECT_EQ(buf[0], 4);
    EXPECT_EQ(buf[512], 0x77);

    ASSERT_EQ(dev.Writes().size(), 2u);
    EXPECT_EQ(dev.Writes()[0].first, 5u);
    EXPECT_EQ(dev.Writes()[0].count, 2u);
    EXPECT_EQ(dev.Writes()[0].outcome, Outcome::Written);
    EXPECT_EQ(dev.Writes()[0].bytes, std::vector<unsigned char>(1024, 0x77));
    EXPECT_EQ(dev.Writes()[1].outcome, Outcome::Failed);
    EXPECT_EQ(dev.SectorsWritten, 2u);
    EXPECT_EQ(dev.SectorsRead, 2u);
    EXPECT_EQ(dev.ReadCalls(), 1u);
    EXPECT_EQ(dev.WriteCalls(), 2u);
    EXPECT_TRUE(dev.Violations().empty());
}

TEST(FaultyDevice, FailsChosenCallsWithoutReachingTheVolume) {
    Fixture f;
    FaultyDevice dev(*f.inner);
    dev.FailNthRead(2);
    dev.FailNthWrite(1);
    dev.FailNthWrite(3);
    std::vector<unsigned char> buf(512, 0xAA);

    std::vector<int> reads;
    for (uint64_t s : {1, 2, 3}) reads.push_back(dev.ReadSectors(buf.data(), s, 1));
    EXPECT_EQ(reads, (std::vector<int>{1, 0, 1}));

    dev.FailNthRead(4);
    EXPECT_EQ(dev.ReadSectors(buf.data(), 9, 1), 0);
    EXPECT_EQ(buf, std::vector<unsigned char>(512, FaultyDevice::kFailedReadByte));

    buf.assign(512, 0xAA);
    std::vector<int> writes;
    for (uint64_t s : {10, 11, 12}) writes.push_back(dev.WriteSectors(buf.data(), s, 1));
    EXPECT_EQ(writes, (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(f.SectorByte(10), 10);  // untouched
    EXPECT_EQ(f.SectorByte(11), 0xAA);
    EXPECT_EQ(f.SectorByte(12), 12);
    EXPECT_EQ(dev.Writes()[0].outcome, Outcome::Injected);
}

TEST(FaultyDevice, FailsTransfersTouchingChosenSectors) {
    Fixture f;
    FaultyDevice dev(*f.inner);
    dev.FailReadsTouching(10, 4);  // sectors 10..13
    dev.FailWritesTouching(20, 1);
    std::vector<unsigned char> buf(8 * 512);
    struct Case {
        uint64_t first, count;
        int read, write;
    };
    const Case cases[] = {
        {8, 2, 1, 1},  {8, 3, 0, 1},   {13, 1, 0, 1},  {14, 5, 1, 1},
        {19, 1, 1, 1}, {19, 2, 1, 0},  {20, 1, 1, 0},  {12, 0, 1, 1},  // 0 sectors touch nothing
        {0, 8, 1, 1},  {13, 8, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dev.ReadSectors(buf.data(), c.first, c.count), c.read) << c.first << "+" << c.count;
        EXPECT_EQ(dev.WriteSectors(buf.data(), c.first, c.count), c.write)
            << c.first << "+" << c.count;
    }
}

TEST(FaultyDevice, RefusesAndFlagsWritesIntoGuardedSectors) {
    Fixture f;
    FaultyDevice dev(*f.inner);
    dev.GuardSectors(40, 8);
    // Clusters of 4 sectors; clusters 2 and 3 (sectors 8..15) are "in use".
    const std::vector<bool> bitmap = {false, false, true, true, false};
    dev.GuardSectorsWhere([&](uint64_t s) { return s / 4 < bitmap.size() && bitmap[s / 4]; });
    dev.FailNthWrite(1);  // a guard wins over an injected fault
    std::vector<unsigned char> buf(8 * 512, 0x55);

    EXPECT_EQ(dev.WriteSectors(buf.data(), 36, 8), 0);
    EXPECT_EQ(dev.WriteSectors(buf.data(), 32, 8), 1);
    EXPECT_EQ(dev.WriteSectors(buf.data(), 4, 5), 0);
    EXPECT_EQ(dev.WriteSectors(buf.data(), 16, 8), 1);
    EXPECT_EQ(dev.ReadSectors(buf.data(), 40, 8), 1);  // reads are never guarded

    ASSERT_EQ(dev.Violations().size(), 2u);
    EXPECT_EQ(dev.Violations()[0].sector, 40u);
    EXPECT_EQ(dev.Violations()[1].first, 4u);
    EXPECT_EQ(dev.Violations()[1].sector, 8u);
    EXPECT_EQ(dev.DescribeViolations(),
              "write 36+8 into guarded sector 40; write 4+5 into guarded sector 8");
    EXPECT_EQ(dev.Writes()[0].outcome, Outcome::Refused);
    EXPECT_EQ(f.SectorByte(40), 40);  // a refused write never reaches the volume
    EXPECT_EQ(f.SectorByte(4), 4);
    EXPECT_EQ(f.SectorByte(8), 8);
    EXPECT_EQ(f.SectorByte(32), 0x55);
}

TEST(FaultyDevice, CountsProgressLikeTheRealDevice) {
    struct Sink : IProgressInfor {
        std::vector<float> positions;
        void SetProgress(float p) override { positions.push_back(p); }
        void SetStatusText(const char16_t*) override {}
    } sink;
    Fixture f;
    FaultyDevice dev(*f.inner);
    dev.FailNthWrite(2);
    dev.ProgressTotal = 200;
    dev.ProgressSink = &sink;
    dev.CountReads = 0;
    std::vector<unsigned char> buf(512);
    for (uint64_t s = 0; s < 4; ++s) dev.WriteSectors(buf.data(), s, 1);
    EXPECT_EQ(dev.ProgressDone, 4);  // the failed write is counted too
    EXPECT_EQ(sink.positions, (std::vector<float>{0.01f, 0.02f}));
    EXPECT_EQ(f.inner->ProgressDone, 0);
}

}  // namespace
