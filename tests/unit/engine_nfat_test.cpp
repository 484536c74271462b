#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/NFat.h"
#include "platform/RawVolume.h"
#include "tests/support/FaultyDevice.h"
#include "tests/support/TempImage.h"

namespace {

using testsupport::FaultyDevice;

// The log file goes nowhere; the lines that matter are caught through the echo.
[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

// Warnings and errors logged while a test runs, as "level: text".
std::vector<std::string> gLogged;

class LogCapture {
public:
    LogCapture() {
        gLogged.clear();
        SetLogEcho([](int level, const char* line) {
            char prefix[8];
            std::snprintf(prefix, sizeof(prefix), "%d: ", level);
            gLogged.push_back(std::string(prefix).append(line));
        });
    }
    ~LogCapture() { SetLogEcho(nullptr); }
};

platform::LocalClockTime Pinned() {
    platform::LocalClockTime t;
    t.year = 2009;
    t.month = 6;
    t.day = 15;
    return t;
}

FAT32_BOOT_SECTOR Layout(uint32_t totalSectors, uint32_t sectorsPerCluster) {
    FAT32_BOOT_SECTOR image;
    const platform::LocalClockTime now = Pinned();
    EXPECT_TRUE(BuildFat32BootSector(sectorsPerCluster, &image, totalSectors, 63, 255, 512, 0,
                                     &now));
    return image;
}

// A sparse image file seen through a CVolumeDevice, and a FaultyDevice over it.
struct ImageDevice {
    explicit ImageDevice(uint64_t sectors) : image(sectors * 512, "nfat") {
        int error = 0;
        handle = platform::OpenVolume(image.Path(), platform::VolumeAccess::Shared, &error);
        EXPECT_NE(handle, platform::kInvalidVolume) << error;
        device = std::make_unique<CVolumeDevice>(handle);
        faulty = std::make_unique<FaultyDevice>(*device);
    }
    ~ImageDevice() {
        faulty.reset();
        device.reset();
        platform::CloseVolume(handle);
    }
    std::vector<uint8_t> Read(uint64_t sector, uint32_t count = 1) {
        std::vector<uint8_t> bytes(count * 512u);
        EXPECT_EQ(device->ReadSectors(bytes.data(), sector, count), 1);
        return bytes;
    }

    testsupport::TempImage image;
    platform::VolumeHandle handle = platform::kInvalidVolume;
    std::unique_ptr<CVolumeDevice> device;
    std::unique_ptr<FaultyDevice> faulty;
};

TEST(NFat, FreshTable) {
    const FAT32_BOOT_SECTOR boot = Layout(20971520, 8);  // 10 GiB, 4 KiB clusters
    NFat fat(boot, nullptr);
    EXPECT_EQ(fat.Entries[0], 0x0FFFFFF8u);
    EXPECT_EQ(fat.Entries[1], 0x0FFFFFFFu);
    EXPECT_EQ(fat.EntryCount, 20441u * 128);
    for (size_t i = 2; i < fat.EntryCount; ++i) {
        ASSERT_EQ(fat.Entries[i], 0u) << i;
    }
    EXPECT_EQ(fat.SearchHint, 2);
    EXPECT_EQ(fat.FirstDataSector, 22u + 2 * 20441);
    EXPECT_EQ(fat.ClusterCount, 2616327u);
    EXPECT_EQ(fat.FatClusterBytes(), 4096u);
    EXPECT_EQ(0, std::memcmp(&fat.BootImage, &boot, sizeof(boot)));
}

TEST(NFat, ChainsAreClaimedNextFit) {
    NFat fat(Layout(20971520, 8), nullptr);
    uint32_t a[3] = {};
    fat.AllocChain(3, a);
    EXPECT_EQ(a[0], 2u);
    EXPECT_EQ(a[1], 3u);
    EXPECT_EQ(a[2], 4u);
    EXPECT_EQ(fat.Entries[2], 3u);
    EXPECT_EQ(fat.Entries[3], 4u);
    EXPECT_EQ(fat.Entries[4], 0x0FFFFFFFu);
    EXPECT_EQ(fat.SearchHint, 4);
    EXPECT_EQ(fat.NextCluster(2), 3u);
    EXPECT_EQ(fat.NextCluster(4), 0x0FFFFFFFu);
    EXPECT_EQ(fat.NextCluster(0xFFFFFFFFu), 0x0FFFFFFFu);  // outside the table

    // Clusters freed behind the hint are found only once the hint is reset.
    fat.Entries[3] = 0;
    uint32_t last = 0;
    EXPECT_EQ(fat.ClaimChain(1, &last), 5u);
    fat.SearchHint = 2;
    EXPECT_EQ(fat.ClaimChain(1, &last), 3u);
    EXPECT_EQ(last, 3u);

    // A hint below 2 never hands out the reserved entries.
    fat.SearchHint = 0;
    EXPECT_EQ(fat.ClaimChain(1, nullptr), 6u);
    EXPECT_EQ(fat.Entries[0], 0x0FFFFFF8u);
    EXPECT_EQ(fat.ClaimChain(0, &last), 0u);
    EXPECT_EQ(last, 0u);
}

TEST(NFat, ClaimSkipsTakenClustersAndReportsLast) {
    NFat fat(Layout(20971520, 8), nullptr);
    fat.Entries[2] = 0x0FFFFFFF;
    fat.Entries[3] = 0x0FFFFFFF;
    uint32_t last = 0;
    EXPECT_EQ(fat.ClaimChain(2, &last), 4u);
    EXPECT_EQ(last, 5u);
    EXPECT_EQ(fat.Entries[4], 5u);
}

TEST(NFat, RunningOutOfClustersThrowsAndKeepsWhatWasClaimed) {
    NFat fat(Layout(100, 1), nullptr);  // 82 clusters: 2..83
    ASSERT_EQ(fat.ClusterCount, 82u);
    std::vector<uint32_t> all(80);
    fat.AllocChain(80, all.data());  // 2..81
    try {
        fat.ClaimChain(5, nullptr);
        FAIL() << "no exception";
    } catch (const SimpleException& e) {
        EXPECT_EQ(e.Kind, 1);
        EXPECT_EQ(e.Text(), u"cann't find free cluster.");
    }
    EXPECT_EQ(fat.Entries[82], 83u);
    EXPECT_EQ(fat.Entries[83], 0x0FFFFFFFu);
    EXPECT_EQ(fat.Entries[84], 0u);  // beyond the last cluster: never touched
}

TEST(NFat, ClusterOfLcn) {
    NFat fat(Layout(20971520, 8), nullptr);  // first data sector 40904 = volume cluster 5113
    struct Case {
        uint64_t lcn;
        int32_t cluster;
    };
    const Case cases[] = {
        {5113, 2}, {5114, 3}, {5113 + 1000, 1002}, {0, 2 - 5113}, {(1ull << 32) + 5114, 3},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fat.ClusterOfLcn(c.lcn), c.cluster) << c.lcn;
    }
}

TEST(NFat, WriteClustersLandsInTheDataAreaOnly) {
    const uint32_t total = 131072;  // 64 MiB, 1-sector clusters
    ImageDevice disk(total);
    NFat fat(Layout(total, 1), disk.faulty.get());
    std::vector<uint8_t> data(2 * 512, 0x5A);
    fat.WriteClusters(data.data(), 3, 2);
    ASSERT_EQ(disk.faulty->Writes().size(), 1u);
    EXPECT_EQ(disk.faulty->Writes()[0].first, fat.FirstDataSector + 1);
    EXPECT_EQ(disk.faulty->Writes()[0].count, 2u);
    EXPECT_EQ(disk.Read(fat.FirstDataSector + 2)[511], 0x5A);

    // Cluster numbers outside 2..ClusterCount+1 never reach the device.
    {
        LogCapture log;
        fat.WriteClusters(data.data(), 0, 1);
        fat.WriteClusters(data.data(), 1, 1);
        fat.WriteClusters(data.data(), fat.ClusterCount + 1, 2);
        EXPECT_EQ(disk.faulty->Writes().size(), 1u);
        EXPECT_EQ(gLogged.size(), 3u);
        EXPECT_EQ(fat.FailedWrites, 3u);
        fat.WriteClusters(data.data(), fat.ClusterCount + 1, 1);
        EXPECT_EQ(disk.faulty->Writes().size(), 2u);
        EXPECT_EQ(fat.FailedWrites, 3u);
    }

    // A failed write is logged and counted, and the caller goes on.
    LogCapture log;
    disk.faulty->FailNthWrite(3);
    fat.WriteClusters(data.data(), 2, 1);
    EXPECT_EQ(disk.faulty->Writes().back().outcome, FaultyDevice::Outcome::Injected);
    char want[64];
    std::snprintf(want, sizeof(want), "4: WriteSector err, s:%u, n1", fat.FirstDataSector);
    EXPECT_EQ(gLogged, std::vector<std::string>{want});
    EXPECT_EQ(fat.FailedWrites, 4u);
}

TEST(NFat, CopyClusterWritesZerosForUnreadableData) {
    const uint32_t total = 131072;
    ImageDevice disk(total);
    NFat fat(Layout(total, 8), disk.faulty.get());
    std::vector<uint8_t> data(8 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(disk.device->WriteSectors(data.data(), 100 * 8, 8), 1);
    ASSERT_EQ(disk.device->WriteSectors(data.data(), 300 * 8, 8), 1);

    EXPECT_TRUE(fat.CopyCluster(100, 200));  // volume clusters, not FAT cluster numbers
    EXPECT_EQ(disk.Read(200 * 8, 8), data);

    LogCapture log;
    disk.faulty->FailReadsTouching(300 * 8 + 3, 1);
    EXPECT_FALSE(fat.CopyCluster(300, 400));
    EXPECT_EQ(disk.Read(400 * 8, 8), std::vector<uint8_t>(8 * 512, 0));
    disk.faulty->FailWritesTouching(500 * 8, 1);
    EXPECT_FALSE(fat.CopyCluster(100, 500));
    EXPECT_EQ(gLogged, (std::vector<std::string>{"4: ReadSector err, s:2400, n8",
                                                 "4: WriteSector err, s:4000, n8"}));
}

// A layout with 32 reserved sectors and FATs of 1000 sectors.
FAT32_BOOT_SECTOR ThousandSectorFats() {
    FAT32_BOOT_SECTOR boot = Layout(131072, 1);
    boot.ReservedSectors = 32;
    boot.FatSize32 = 1000;
    boot.TotalSectors32 = 32 + 2000 + 100000;
    return boot;
}

std::vector<std::pair<uint64_t, uint32_t>> WriteRanges(const FaultyDevice& d) {
    std::vector<std::pair<uint64_t, uint32_t>> r;
    for (const auto& w : d.Writes()) r.emplace_back(w.first, w.count);
    return r;
}

TEST(NFat, FlushFatWritesBothCopiesInChunks) {
    ImageDevice disk(140000);
    NFat fat(ThousandSectorFats(), disk.faulty.get());
    uint32_t chain[2];
    fat.AllocChain(2, chain);
    fat.Entries[128 * 999 + 5] = 0x0ABCDEF0;  // an entry in the last FAT sector
    ASSERT_TRUE(fat.FlushFat());

    std::vector<std::pair<uint64_t, uint32_t>> want;
    for (uint64_t copy : {32u, 1032u}) {
        for (uint32_t done = 0; done < 1000; done += 128) {
            want.emplace_back(copy + done, done + 128 <= 1000 ? 128u : 104u);
        }
    }
    EXPECT_EQ(WriteRanges(*disk.faulty), want);
    for (uint64_t copy : {32u, 1032u}) {
        const auto first = disk.Read(copy);
        EXPECT_EQ(0, std::memcmp(first.data(), fat.Entries.get(), 512));
        const auto last = disk.Read(copy + 999);
        EXPECT_EQ(0, std::memcmp(last.data(), fat.Entries.get() + 128 * 999, 512));
    }
    EXPECT_EQ(fat.BootImage.ExtFlags, 0);  // both copies whole: mirrored
}

TEST(NFat, FlushFatFailures) {
    struct Case {
        const char* what;
        uint64_t failFirst, failCount;  // sectors whose writes fail
        bool result;
        uint16_t extFlags;
        std::vector<std::string> logged;
    };
    const std::string first = "4: write fat table sector fail, start 32, count 1000";
    const std::string second = "4: write fat table sector fail, start 1032, count 1000";
    const Case cases[] = {
        {"second copy fails", 1032 + 500, 1, true, 0, {second}},
        {"first copy fails: the second becomes the active FAT", 32 + 999, 1, true, 0x81,
         {first, "3: first FAT copy incomplete: the second copy is made the active FAT"}},
        {"both fail", 32, 1001, false, 0, {first, second}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        ImageDevice disk(140000);
        NFat fat(ThousandSectorFats(), disk.faulty.get());
        disk.faulty->FailWritesTouching(c.failFirst, c.failCount);
        EXPECT_EQ(fat.FlushFat(), c.result);
        EXPECT_EQ(fat.BootImage.ExtFlags, c.extFlags);
        // A failed copy stops at its failing chunk; the other is still written whole.
        size_t injected = 0;
        for (const auto& w : disk.faulty->Writes()) {
            injected += w.outcome == FaultyDevice::Outcome::Injected;
        }
        EXPECT_EQ(injected, c.result ? 1u : 2u);
        EXPECT_EQ(gLogged, c.logged);
    }
}

TEST(NFat, FlushBootSectorWritesBootAreaWithSectorZeroLast) {
    const uint32_t total = 131072;
    ImageDevice disk(total);
    NFat fat(Layout(total, 1), disk.faulty.get());
    uint32_t root[1], file[3];
    fat.AllocChain(1, root);
    fat.AllocChain(3, file);
    fat.Entries[3] = 0;  // a hole: the lowest free cluster is 3
    fat.Entries[2] = 4;
    ASSERT_TRUE(fat.FlushBootSector());

    const auto ranges = WriteRanges(*disk.faulty);
    const std::vector<std::pair<uint64_t, uint32_t>> want = {{6, 1}, {1, 1}, {7, 1}, {0, 1}};
    EXPECT_EQ(ranges, want);
    EXPECT_EQ(0, std::memcmp(disk.Read(0).data(), &fat.BootImage, 512));
    EXPECT_EQ(0, std::memcmp(disk.Read(6).data(), &fat.BootImage, 512));
    FAT32_FSINFO info;
    BuildFat32FsInfo(&info, fat.ClusterCount - 3, 3);
    EXPECT_EQ(0, std::memcmp(disk.Read(1).data(), &info, 512));
    EXPECT_EQ(0, std::memcmp(disk.Read(7).data(), &info, 512));
}

TEST(NFat, FlushBootSectorResultIsSectorZeroOnly) {
    struct Case {
        const char* what;
        uint64_t failingSector;
        bool result;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {"backup boot sector fails", 6, true, {"3: Don't write backup boot sector to 6 sector"}},
        {"FSInfo fails", 1, true, {"3: write FSInfo sector fail, sector 1"}},
        {"FSInfo copy fails", 7, true, {"3: write FSInfo sector fail, sector 7"}},
        {"sector 0 fails", 0, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        ImageDevice disk(131072);
        NFat fat(Layout(131072, 1), disk.faulty.get());
        disk.faulty->FailWritesTouching(c.failingSector, 1);
        EXPECT_EQ(fat.FlushBootSector(), c.result);
        EXPECT_EQ(disk.faulty->Writes().size(), 4u);  // every sector is still attempted
        EXPECT_EQ(gLogged, c.logged);
    }
}

TEST(NFat, FreeClusterCount) {
    NFat fat(Layout(100, 1), nullptr);  // clusters 2..83
    uint32_t first = 0;
    EXPECT_EQ(NFat::CountFreeClusters(fat.BootImage, fat.Entries.get(), &first), 82u);
    EXPECT_EQ(first, 2u);
    std::vector<uint32_t> all(82);
    fat.AllocChain(82, all.data());
    fat.Entries[84] = 0;  // past the last cluster: not counted
    EXPECT_EQ(NFat::CountFreeClusters(fat.BootImage, fat.Entries.get(), &first), 0u);
    EXPECT_EQ(first, 0xFFFFFFFFu);
}

}  // namespace
