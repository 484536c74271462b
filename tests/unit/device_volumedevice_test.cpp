#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "tests/support/TempImage.h"

namespace {

using testsupport::TempImage;

struct Recorder : IProgressInfor {
    std::vector<float> positions;
    void SetProgress(float p) override { positions.push_back(p); }
    void SetStatusText(const char16_t*) override {}
};

// An image of `sectors` sectors whose sector i is filled with the byte i + 1.
struct Volume {
    explicit Volume(uint64_t sectors) : image(sectors * 512) {
        handle = platform::OpenVolume(image.Path(), platform::VolumeAccess::Shared, nullptr);
        std::vector<unsigned char> s(512);
        for (uint64_t i = 0; i < sectors; ++i) {
            s.assign(512, static_cast<unsigned char>(i + 1));
            platform::WriteAt(handle, s.data(), 512, i * 512, nullptr);
        }
    }
    ~Volume() { platform::CloseVolume(handle); }
    TempImage image;
    platform::VolumeHandle handle;
};

// Collects the warning and error lines logged while it lives.
struct LogCapture {
    LogCapture() {
        UseFileLog("/dev/null");
        lines().clear();
        SetLogEcho([](int level, const char* line) {
            lines().push_back(std::to_string(level) + " " + line);
        });
    }
    ~LogCapture() { SetLogEcho(nullptr); }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> captured;
        return captured;
    }
};

bool HandleIsOpen(platform::VolumeHandle h) {
    unsigned char b;
    return platform::ReadAt(h, &b, 1, 0, nullptr);
}

TEST(CVolumeDevice, ReadModeReportsEveryGrowingPercent) {
    Volume v(1100);
    CVolumeDevice dev(v.handle);
    Recorder sink;
    dev.ProgressTotal = 102400;
    dev.ProgressSink = &sink;
    dev.CountReads = 1;

    unsigned char buf[512];
    for (uint64_t s = 0; s < 1033; ++s) ASSERT_EQ(dev.ReadSectors(buf, s, 1), 1);
    EXPECT_TRUE(sink.positions.empty());
    ASSERT_EQ(dev.WriteSectors(buf, 0, 1), 1);  // writes are not counted in read mode
    EXPECT_EQ(dev.ProgressDone, 1033);

    ASSERT_EQ(dev.ReadSectors(buf, 1033, 1), 1);
    ASSERT_EQ(sink.positions.size(), 1u);
    EXPECT_EQ(sink.positions[0], static_cast<float>(1034.0 / 103433.0));
    EXPECT_EQ(dev.ProgressTotal, 103434);
    EXPECT_EQ(dev.SinceReport, 0);
    EXPECT_EQ(dev.SectorsRead, 1034u);
    EXPECT_EQ(dev.SectorsWritten, 1u);
}

TEST(CVolumeDevice, WriteModeReportsAgainstAFixedTotal) {
    Volume v(16);
    CVolumeDevice dev(v.handle);
    Recorder sink;
    dev.ProgressTotal = 400;  // a report every 4 sectors
    dev.ProgressSink = &sink;
    dev.CountReads = 0;

    unsigned char buf[512 * 3] = {};
    for (int i = 0; i < 8; ++i) ASSERT_EQ(dev.WriteSectors(buf, 1, 1), 1);
    ASSERT_EQ(dev.ReadSectors(buf, 0, 3), 1);  // reads are not counted in write mode
    EXPECT_EQ(dev.ProgressTotal, 400);
    EXPECT_EQ(sink.positions, (std::vector<float>{0.01f, 0.02f}));

    // A transfer larger than the threshold reports at once.
    ASSERT_EQ(dev.WriteSectors(buf, 2, 3), 1);
    ASSERT_EQ(dev.WriteSectors(buf, 2, 3), 1);
    EXPECT_EQ(sink.positions.size(), 3u);
    EXPECT_EQ(sink.positions.back(), static_cast<float>(14.0 / 400.0));
}

TEST(CVolumeDevice, WriteModeWithNoTotalReportsUnusableFractions) {
    Volume v(4);
    CVolumeDevice dev(v.handle);
    Recorder raw;
    Recorder parent;
    ProgressInforAssist assist(&parent);
    assist.Reached = 0.4f;
    assist.Span = 0.5f;

    unsigned char buf[512] = {};
    for (IProgressInfor* sink : {static_cast<IProgressInfor*>(&raw),
                                 static_cast<IProgressInfor*>(&assist)}) {
        dev.ProgressTotal = 0;
        dev.ProgressDone = 0;
        dev.SinceReport = 0;
        dev.ProgressSink = sink;
        dev.CountReads = 0;
        ASSERT_EQ(dev.WriteSectors(buf, 0, 0), 1);  // 0 / 0
        ASSERT_EQ(dev.WriteSectors(buf, 1, 1), 1);  // 1 / 0
        ASSERT_EQ(dev.WriteSectors(buf, 2, 1), 1);
    }
    ASSERT_EQ(raw.positions.size(), 3u);
    for (float f : raw.positions) EXPECT_FALSE(f <= 1.0f) << f;
    EXPECT_TRUE(std::isnan(raw.positions[0]));
    EXPECT_TRUE(parent.positions.empty());  // the phase's assist drops every one of them
}

TEST(CVolumeDevice, ZeroSectorTransfersSucceed) {
    Volume v(2);
    CVolumeDevice dev(v.handle);
    unsigned char buf[1] = {};
    EXPECT_EQ(dev.ReadSectors(buf, 0, 0), 1);
    EXPECT_EQ(dev.WriteSectors(buf, 0, 0), 1);
    // Only the low 32 bits of the count give the size: 2^32 sectors is a 0-sector transfer.
    EXPECT_EQ(dev.ReadSectors(buf, 1, uint64_t{1} << 32), 1);
}

TEST(CVolumeDevice, FailedTransfersAreCountedAndLeaveTheDeviceUsable) {
    Volume v(8);
    CVolumeDevice dev(v.handle);
    Recorder sink;
    dev.ProgressTotal = 102400;
    dev.ProgressSink = &sink;
    std::vector<unsigned char> buf(1024);
    LogCapture log;

    EXPECT_EQ(dev.ReadSectors(buf.data(), 8, 1), 0);  // wholly past the end
    EXPECT_EQ(dev.ReadSectors(buf.data(), 7, 2), 0);  // the last sector and one beyond
    EXPECT_EQ(dev.ProgressDone, 3);
    EXPECT_EQ(dev.ProgressTotal, 102403);
    EXPECT_EQ(dev.SectorsRead, 0u);

    EXPECT_EQ(dev.WriteSectors(buf.data(), 7, 2), 0);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"3 ReadFile last error 5",
                                                     "3 ReadFile last error 5",
                                                     "3 WriteFile last error 28"}));
    // A sector number whose byte offset wraps 64 bits must not land near sector 0.
    std::vector<unsigned char> ones(512, 0xEE);
    EXPECT_EQ(dev.WriteSectors(ones.data(), (uint64_t{1} << 55), 1), 0);
    EXPECT_EQ(dev.ReadSectors(buf.data(), (uint64_t{1} << 55) + 1, 1), 0);

    // The next transfer seeks again and works; nothing was overwritten.
    ASSERT_EQ(dev.ReadSectors(buf.data(), 0, 2), 1);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[511], 1);
    EXPECT_EQ(buf[512], 2);
    EXPECT_EQ(dev.SectorsRead, 2u);
    EXPECT_EQ(dev.SectorsWritten, 0u);
}

// A device on a partition of a disk: its sector 0 is the partition's first sector, its length
// the partition's, and no transfer, whole or in part, reaches a sector outside the partition.
TEST(CVolumeDevice, APartitionsDeviceNeverLeavesThePartition) {
    Volume disk(16);
    CVolumeDevice dev(disk.handle, platform::VolumeRange{4, 8});  // disk sectors 4..11
    EXPECT_EQ(dev.SectorCount(), 8u);
    std::vector<unsigned char> buf(512 * 9);
    const std::vector<unsigned char> fill(512 * 9, 0xAB);
    LogCapture log;

    const struct {
        uint64_t first, count;
        bool ok;
    } transfers[] = {
        {0, 1, true}, {7, 1, true}, {0, 8, true}, {8, 0, true},                   // inside
        {8, 1, false}, {7, 2, false}, {0, 9, false}, {uint64_t{1} << 60, 1, false},  // beyond
        {~uint64_t{0} - 2, 4, false},  // a first sector that wraps with the count
    };
    for (const auto& t : transfers) {
        EXPECT_EQ(dev.ReadSectors(buf.data(), t.first, t.count), t.ok ? 1 : 0) << t.first << "+" << t.count;
        EXPECT_EQ(dev.WriteSectors(fill.data(), t.first, t.count), t.ok ? 1 : 0) << t.first << "+" << t.count;
    }
    EXPECT_EQ(log.lines().size(), 10u);  // a warning for each refused read and write
    EXPECT_EQ(log.lines().front(), "3 ReadFile last error 5");
    EXPECT_EQ(log.lines()[1], "3 WriteFile last error 28");

    // The writes above put 0xAB over the partition's sectors alone; the disk outside it is as
    // it was.
    for (uint64_t s = 0; s < 16; ++s) {
        unsigned char sector[512];
        ASSERT_TRUE(platform::ReadAt(disk.handle, sector, 512, s * 512, nullptr));
        const unsigned char expected = s >= 4 && s < 12 ? 0xAB : static_cast<unsigned char>(s + 1);
        EXPECT_EQ(sector[0], expected) << "disk sector " << s;
        EXPECT_EQ(sector[511], expected) << "disk sector " << s;
    }
}

TEST(CVolumeDevice, APartitionsSectorsAreTheDisksSectorsShifted) {
    Volume disk(16);
    CVolumeDevice dev(disk.handle, platform::VolumeRange{5, 3});
    unsigned char buf[512 * 3];
    ASSERT_EQ(dev.ReadSectors(buf, 0, 3), 1);
    EXPECT_EQ(buf[0], 6);  // disk sector 5 holds the byte 6
    EXPECT_EQ(buf[512], 7);
    EXPECT_EQ(buf[1024], 8);
    std::vector<unsigned char> ones(512, 0xEE);
    ASSERT_EQ(dev.WriteSectors(ones.data(), 1, 1), 1);
    unsigned char sector[512];
    ASSERT_TRUE(platform::ReadAt(disk.handle, sector, 512, 6 * 512, nullptr));
    EXPECT_EQ(sector[0], 0xEE);
}

TEST(CVolumeDevice, ClosedDeviceFailsButStillCounts) {
    CVolumeDevice dev;
    Recorder sink;
    dev.ProgressTotal = 0;
    dev.ProgressSink = &sink;
    dev.CountReads = 0;
    unsigned char buf[512] = {};
    LogCapture log;
    EXPECT_EQ(dev.WriteSectors(buf, 0, 1), 0);
    EXPECT_EQ(dev.ReadSectors(buf, 0, 1), 0);
    EXPECT_TRUE(log.lines().empty());  // a closed device fails silently
    EXPECT_EQ(dev.ProgressDone, 1);
    EXPECT_EQ(sink.positions.size(), 1u);
    EXPECT_EQ(dev.Close(), 1);
}

TEST(CVolumeDevice, SectorCountDropsTheRemainderOrThrows) {
    TempImage image(10 * 512 + 100);
    platform::VolumeHandle h =
        platform::OpenVolume(image.Path(), platform::VolumeAccess::Shared, nullptr);
    {
        CVolumeDevice dev(h);
        EXPECT_EQ(dev.SectorCount(), 10u);
    }
    platform::CloseVolume(h);

    CVolumeDevice closed;
    LogCapture log;
    try {
        closed.SectorCount();
        FAIL() << "no exception";
    } catch (const SimpleException& e) {
        EXPECT_EQ(e.Kind, 1);
        EXPECT_EQ(e.Text(), u"IOCTL_DISK_GET_LENGTH_INFO error.");
    }
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"4 IOCTL_DISK_GET_LENGTH_INFO fail, getlasterror 9"});
}

TEST(CVolumeDevice, OnlyADeviceThatOpenedItsHandleClosesIt) {
    Volume v(4);
    {
        CVolumeDevice wrapper(v.handle);
        EXPECT_EQ(wrapper.DriveLetter, 0);
    }
    EXPECT_TRUE(HandleIsOpen(v.handle));

    // The drive table maps letters onto images through VELUNDRA_DRIVES.
    const char* old = std::getenv("VELUNDRA_DRIVES");
    const std::string saved = old ? old : "";
    setenv("VELUNDRA_DRIVES", ("E=" + v.image.Path()).c_str(), 1);
    platform::VolumeHandle opened = platform::kInvalidVolume;
    {
        CVolumeDevice dev;
        dev.DriveLetter = 'e';
        ASSERT_EQ(dev.Open(), 1);
        EXPECT_EQ(dev.DriveLetter, 'E');
        opened = dev.Handle;
        unsigned char buf[512];
        ASSERT_EQ(dev.ReadSectors(buf, 3, 1), 1);
        EXPECT_EQ(buf[0], 4);
        // Reopening closes the old handle first.
        ASSERT_EQ(dev.Open(), 1);
        if (dev.Handle != opened) {
            EXPECT_FALSE(HandleIsOpen(opened));
        }
        opened = dev.Handle;
    }
    EXPECT_FALSE(HandleIsOpen(opened));
    if (old) {
        setenv("VELUNDRA_DRIVES", saved.c_str(), 1);
    } else {
        unsetenv("VELUNDRA_DRIVES");
    }
}

TEST(CVolumeDevice, OpenRefusesWhatIsNotALetter) {
    Volume v(1);
    for (char letter : {'1', '\0', '[', '@', static_cast<char>(0xC4)}) {
        CVolumeDevice dev(v.handle);
        dev.DriveLetter = letter;
        EXPECT_EQ(dev.Open(), 0) << int(letter);
        // Refused before anything else: the handle it held is untouched.
        EXPECT_EQ(dev.Handle, v.handle);
        dev.DriveLetter = 0;  // the handle is the test's
    }
    EXPECT_TRUE(HandleIsOpen(v.handle));
}

}  // namespace
