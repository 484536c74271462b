#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "engine/Fat32BootSector.h"

namespace {

platform::LocalClockTime At(uint16_t year, uint16_t month, uint16_t day, uint16_t hour,
                            uint16_t minute, uint16_t second, uint16_t millisecond) {
    platform::LocalClockTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.millisecond = millisecond;
    return t;
}

const platform::LocalClockTime kPinned = At(2009, 6, 15, 14, 30, 45, 123);

const uint8_t* Bytes(const void* p) { return static_cast<const uint8_t*>(p); }

uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct LayoutCase {
    uint32_t totalSectors;
    uint32_t sectorsPerCluster;
    bool accepted;
    uint32_t fatSectors;
    uint32_t reserved;
    uint64_t clusters;
};

// The volumes every layout decision is checked against: 10 GiB, 512 GiB and 2 TiB less 32 MiB.
const LayoutCase kLayouts[] = {
    {20971520, 8, true, 20441, 22, 2616327},
    {20971520, 16, true, 10231, 18, 1309440},
    {20971520, 64, true, 2560, 64, 327599},
    {1073741824, 8, false, 1046532, 16, 133956093},
    {1073741824, 16, true, 523777, 30, 67043390},
    {4294901760u, 8, false, 4186065, 22, 535816201},
    {4294901760u, 16, false, 2095075, 26, 268169474},
    {4294901760u, 32, false, 1048049, 30, 134150176},
    {4294901760u, 64, true, 524153, 78, 67091459},
};

TEST(Fat32Layout, ExampleVolumes) {
    for (const LayoutCase& c : kLayouts) {
        SCOPED_TRACE(testing::Message() << "T=" << c.totalSectors << " S=" << c.sectorsPerCluster);
        const FAT32_LAYOUT layout = ComputeFat32Layout(c.sectorsPerCluster, c.totalSectors, 512, 0);
        EXPECT_EQ(layout.Status, c.accepted ? Fat32LayoutStatus::Accepted
                                            : Fat32LayoutStatus::TooManyClusters);
        EXPECT_EQ(layout.FatSectors, c.fatSectors);
        EXPECT_EQ(layout.ReservedSectors, c.reserved);
        EXPECT_EQ(layout.ClusterCount, c.clusters);
        EXPECT_EQ(layout.FirstDataSector, c.reserved + 2 * c.fatSectors);
        // These volumes are whole clusters past the FATs: nothing is left out.
        EXPECT_EQ(layout.TotalSectors, c.totalSectors);

        FAT32_BOOT_SECTOR image;
        const bool built = BuildFat32BootSector(c.sectorsPerCluster, &image, c.totalSectors, 63,
                                                255, 512, 0, &kPinned);
        EXPECT_EQ(built, c.accepted);
        if (built) {
            const uint8_t* b = Bytes(&image);
            EXPECT_EQ(b[0x0D], c.sectorsPerCluster);
            EXPECT_EQ(b[0x0E] | b[0x0F] << 8, static_cast<int>(c.reserved));
            EXPECT_EQ(Le32(b + 0x20), c.totalSectors);
            EXPECT_EQ(Le32(b + 0x24), c.fatSectors);
        }
    }
}

TEST(Fat32Layout, EveryByteOfOneImage) {
    FAT32_BOOT_SECTOR image;
    std::memset(&image, 0xCC, sizeof(image));  // stale bytes must not survive
    ASSERT_TRUE(BuildFat32BootSector(8, &image, 20971520, 63, 255, 512, 0, &kPinned));

    std::array<uint8_t, 512> want{};
    const auto put = [&](size_t at, std::initializer_list<uint8_t> v) {
        std::copy(v.begin(), v.end(), want.begin() + at);
    };
    put(0x00, {0xEB, 0x58, 0x90});
    put(0x03, {'M', 'S', 'D', 'O', 'S', '5', '.', '0'});
    put(0x0B, {0x00, 0x02});             // 512 bytes per sector
    put(0x0D, {8});                      // sectors per cluster
    put(0x0E, {22, 0});                  // reserved sectors
    put(0x10, {2});                      // FATs
    put(0x15, {0xF8});                   // media
    put(0x18, {63, 0, 255, 0});          // sectors per track, heads
    put(0x20, {0x00, 0x00, 0x40, 0x01});  // 20,971,520 sectors
    put(0x24, {0xD9, 0x4F, 0x00, 0x00});  // 20,441 sectors per FAT
    put(0x2C, {2, 0, 0, 0});             // root cluster
    put(0x30, {1, 0, 6, 0});             // FSInfo sector, backup boot sector
    put(0x40, {0x80, 0, 0x29});          // drive number, reserved, extended signature
    put(0x43, {0x8A, 0x33, 0xF7, 0x15});  // serial of 2009-06-15 14:30:45.123
    put(0x47, {'N', 'O', ' ', 'N', 'A', 'M', 'E', ' ', ' ', ' ', ' '});
    put(0x52, {'F', 'A', 'T', '3', '2', ' ', ' ', ' '});
    put(0x1FE, {0x55, 0xAA});
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(Bytes(&image)[i], want[i]) << "offset 0x" << std::hex << i;
    }
}

TEST(Fat32Layout, SerialNumberFromLocalTime) {
    struct Case {
        platform::LocalClockTime time;
        std::array<uint8_t, 4> bytes;
    };
    const Case cases[] = {
        {At(2009, 6, 15, 14, 30, 45, 123), {0x8A, 0x33, 0xF7, 0x15}},
        {At(2012, 12, 31, 23, 59, 59, 999), {0x06, 0x4B, 0x17, 0x1F}},
    };
    for (const Case& c : cases) {
        FAT32_BOOT_SECTOR image;
        ASSERT_TRUE(BuildFat32BootSector(8, &image, 20971520, 63, 255, 512, 0, &c.time));
        EXPECT_EQ(0, std::memcmp(Bytes(&image) + 0x43, c.bytes.data(), 4));
    }
}

TEST(Fat32Layout, SerialNumberFromPlatformClockWhenNoTimeGiven) {
    FAT32_BOOT_SECTOR image;
    {
        platform::ScopedLocalClock pinned(At(2012, 12, 31, 23, 59, 59, 999));
        ASSERT_TRUE(BuildFat32BootSector(8, &image, 20971520, 63, 255, 512, 0));
    }
    EXPECT_EQ(uint32_t{image.VolumeSerial}, 0x1F174B06u);  // a copy: the field is unaligned
}

TEST(Fat32Layout, InvariantsOverSizesClustersAndExtraReserved) {
    // Odd sizes (partial last clusters) and every extra-reserved multiple the changed-cluster
    // path can ask for.
    const uint32_t sizes[] = {70000, 1048575, 20971527, 123456789, 0xFFFF0000u};
    for (uint32_t t : sizes) {
        for (uint32_t s = 1; s <= 128; s *= 2) {
            for (uint32_t extra = 0; extra < 2 * s; extra += s / 2 ? s / 2 : 1) {
                SCOPED_TRACE(testing::Message() << "T=" << t << " S=" << s << " extra=" << extra);
                const FAT32_LAYOUT l = ComputeFat32Layout(s, t, 512, extra);
                if (l.Status != Fat32LayoutStatus::Accepted &&
                    l.Status != Fat32LayoutStatus::TooManyClusters) {
                    ADD_FAILURE() << "unexpected refusal";
                    continue;
                }
                EXPECT_LE(l.TotalSectors, t);
                EXPECT_GT(l.TotalSectors + s, t);  // at most a partial cluster is left out
                EXPECT_EQ(l.TotalSectors, l.ClusterCount * s + l.FirstDataSector);
                // One FAT holds an entry for every cluster plus the two reserved entries.
                EXPECT_GE(uint64_t{l.FatSectors} * 128, l.ClusterCount + 2);
                if (extra % s == 0) {
                    EXPECT_EQ(l.FirstDataSector % s, 0u);
                }
                EXPECT_GE(l.ReservedSectors, 16 + extra);
            }
        }
    }
}

TEST(Fat32Layout, Refusals) {
    struct Case {
        const char* what;
        uint32_t s, t, bps, extra;
        Fat32LayoutStatus status;
    };
    const Case cases[] = {
        {"no sectors per cluster", 0, 20971520, 512, 0, Fat32LayoutStatus::BadSectorsPerCluster},
        {"not a power of two", 12, 20971520, 512, 0, Fat32LayoutStatus::BadSectorsPerCluster},
        {"beyond the 8-bit field", 256, 20971520, 512, 0, Fat32LayoutStatus::BadSectorsPerCluster},
        {"4096-byte sectors", 8, 20971520, 4096, 0, Fat32LayoutStatus::BadBytesPerSector},
        {"FAT sum wraps at S=64", 64, 0xFFFFFFFFu - 111, 512, 0, Fat32LayoutStatus::VolumeTooLarge},
        {"FAT sum wraps at S=128", 128, 0xFFFFFFFFu, 512, 0, Fat32LayoutStatus::VolumeTooLarge},
        {"empty volume", 1, 0, 512, 0, Fat32LayoutStatus::VolumeTooSmall},
        {"no room for one cluster, S=1", 1, 18, 512, 0, Fat32LayoutStatus::VolumeTooSmall},
        {"no room for one cluster, S=8", 8, 31, 512, 0, Fat32LayoutStatus::VolumeTooSmall},
        {"extra reserved eats the volume", 8, 1000, 512, 1000, Fat32LayoutStatus::VolumeTooSmall},
        {"reserved beyond 16 bits", 8, 20971520, 512, 65536, Fat32LayoutStatus::ReservedTooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ComputeFat32Layout(c.s, c.t, c.bps, c.extra).Status, c.status);
        FAT32_BOOT_SECTOR image;
        EXPECT_FALSE(BuildFat32BootSector(c.s, &image, c.t, 63, 255, c.bps, c.extra, &kPinned));
    }
}

TEST(Fat32Layout, BoundariesThatAreAccepted) {
    // One sector short of wrapping, and the smallest volumes that hold one cluster.
    const FAT32_LAYOUT nearTop = ComputeFat32Layout(64, 0xFFFFFFFFu - 112, 512, 0);
    EXPECT_EQ(nearTop.Status, Fat32LayoutStatus::Accepted);
    EXPECT_EQ(nearTop.FatSectors, 524161u);
    EXPECT_EQ(nearTop.ClusterCount, 67092481u);
    EXPECT_EQ(ComputeFat32Layout(1, 19, 512, 0).ClusterCount, 1u);
    EXPECT_EQ(ComputeFat32Layout(8, 32, 512, 0).ClusterCount, 1u);
    EXPECT_EQ(ComputeFat32Layout(8, 32, 512, 0).Status, Fat32LayoutStatus::Accepted);
}

TEST(Fat32FsInfo, Bytes) {
    FAT32_FSINFO info;
    std::memset(&info, 0xCC, sizeof(info));
    BuildFat32FsInfo(&info, 0x01020304, 0x0A0B0C0D);
    std::array<uint8_t, 512> want{};
    const auto put = [&](size_t at, std::initializer_list<uint8_t> v) {
        std::copy(v.begin(), v.end(), want.begin() + at);
    };
    put(0, {0x52, 0x52, 0x61, 0x41});
    put(484, {0x72, 0x72, 0x41, 0x61});
    put(488, {0x04, 0x03, 0x02, 0x01});
    put(492, {0x0D, 0x0C, 0x0B, 0x0A});
    put(508, {0x00, 0x00, 0x55, 0xAA});
    EXPECT_EQ(0, std::memcmp(&info, want.data(), 512));
}

}  // namespace
