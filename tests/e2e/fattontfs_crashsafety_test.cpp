// The FAT to NTFS conversion never writes into what the FAT volume uses before the NTFS boot
// sector, and a power cut at any write before that sector leaves the FAT volume sound.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "device/CVolumeDevice.h"
#include "fattontfs/CFatVolume.h"
#include "fattontfs/CNtfsWriter.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"
#include "tests/support/Command.h"
#include "tests/support/FatFixture.h"
#include "tests/support/FaultyDevice.h"
#include "tests/support/FsckFat.h"

namespace {

using testsupport::FatFixtureLayout;
using testsupport::FatStep;
using testsupport::TempDir;

struct Opened {
    explicit Opened(const std::string& path) {
        int error = 0;
        handle = platform::OpenVolume(path, platform::VolumeAccess::Shared, &error);
        device = std::make_unique<CVolumeDevice>(handle);
    }
    ~Opened() { platform::CloseVolume(handle); }
    platform::VolumeHandle handle;
    std::unique_ptr<CVolumeDevice> device;
};

// Every file of the tree with its bytes, as CFatVolume reads them.
std::map<std::string, std::string> FatFiles(const CFatVolume& fat) {
    std::map<std::string, std::string> out;
    std::function<void(const FAT_NODE&, const std::string&)> walk = [&](const FAT_NODE& dir, const std::string& path) {
        for (const FAT_NODE& child : dir.Children) {
            std::string p = path;
            if (!p.empty()) p.push_back('/');
            p.append(platform::Utf16ToUtf8(child.Name()));
            if (child.IsDirectory()) {
                walk(child, p);
                continue;
            }
            std::string bytes;
            for (const FAT_RUN& run : child.Runs) {
                std::string part(uint64_t{run.Count} * fat.ClusterBytes(), '\0');
                EXPECT_TRUE(fat.ReadClusters(run.First, run.Count, part.data()));
                bytes += part;
            }
            bytes.resize(child.FileSize);
            out[p] = bytes;
        }
    };
    walk(fat.Root(), "");
    return out;
}

FatFixtureLayout Sample(int bits, uint64_t megabytes, int sectorsPerCluster) {
    FatFixtureLayout layout;
    layout.fatBits = bits;
    layout.megabytes = megabytes;
    layout.sectorsPerCluster = sectorsPerCluster;
    layout.label = "SAFE";
    layout.steps = testsupport::SampleFatSteps();
    return layout;
}

TEST(FatToNtfsSafety, WritesNothingTheFatUsesBeforeItsBootSector) {
    // Every sector the FAT volume uses (boot and reserved sectors, the FATs, the fixed root,
    // every cluster that is not free) is guarded; only sector 0 and the backup boot sector
    // may be written, and only at the end.
    TempDir dir("tontfsguard");
    struct Case {
        int bits;
        uint64_t megabytes;
        int sectorsPerCluster;
    } cases[] = {{12, 4, 2}, {16, 32, 4}, {32, 64, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        const std::string image = dir.File("v.img");
        testsupport::MakeFatImage(image, Sample(c.bits, c.megabytes, c.sectorsPerCluster));
        Opened open(image);
        CFatVolume probe(open.device.get());
        ASSERT_TRUE(probe.Read()) << probe.Problem();
        const uint64_t lastSector = probe.DeviceBytes() / 512 - 1;
        testsupport::FaultyDevice faulty(*open.device);
        faulty.GuardSectorsWhere([&](uint64_t sector) {
            if (sector == 0 || sector == lastSector) return false;
            const uint64_t byte = sector * 512;
            if (byte >= probe.TotalBytes()) return false;
            if (byte < probe.FirstDataByte()) return true;
            const uint64_t cluster = 2 + (byte - probe.FirstDataByte()) / probe.ClusterBytes();
            return cluster >= probe.ClusterCount() + 2u || !probe.IsClusterFree(static_cast<uint32_t>(cluster));
        });
        CFatVolume fat(&faulty);
        ASSERT_TRUE(fat.Read());
        CNtfsWriter writer(&fat, &faulty, [] { return true; });
        ASSERT_TRUE(writer.Plan()) << writer.Problem();
        ASSERT_TRUE(writer.Write([](const std::string&) {})) << writer.Problem();
        EXPECT_TRUE(faulty.Violations().empty()) << faulty.DescribeViolations();
        // Sector 0 is written once, last but for the backup.
        const auto& writes = faulty.Writes();
        ASSERT_GE(writes.size(), 2u);
        size_t bootAt = writes.size();
        for (size_t i = 0; i < writes.size(); ++i)
            if (writes[i].first == 0) bootAt = i;
        EXPECT_GE(bootAt + 2, writes.size());
        const auto fix = testsupport::RunCommand({"ntfsfix", "-n", image});
        EXPECT_EQ(fix.exitCode, 0) << fix.out << fix.err;
    }
}

TEST(FatToNtfsSafety, PowerCutAtAnyWriteBeforeTheBootSectorLeavesTheFatSound) {
    TempDir dir("tontfscut");
    const std::string clean = dir.File("clean.img"), image = dir.File("cut.img");
    testsupport::MakeFatImage(clean, Sample(16, 16, 1));
    std::map<std::string, std::string> before;
    uint64_t writes = 0;
    {
        std::filesystem::copy_file(clean, image, std::filesystem::copy_options::overwrite_existing);
        Opened open(image);
        testsupport::FaultyDevice counting(*open.device);
        CFatVolume fat(&counting);
        ASSERT_TRUE(fat.Read()) << fat.Problem();
        before = FatFiles(fat);
        CNtfsWriter writer(&fat, &counting, [] { return true; });
        ASSERT_TRUE(writer.Plan()) << writer.Problem();
        ASSERT_TRUE(writer.Write([](const std::string&) {}));
        writes = counting.WriteCalls();
    }
    ASSERT_GT(writes, 3u);
    // A cut at write n fails that write and ends the conversion there, as a power cut would.
    // Every cut that leaves the conversion saying the volume is still FAT (all writes up to
    // and including the NTFS boot sector's) is judged.
    uint64_t judged = 0;
    for (uint64_t n = 1; n <= writes; ++n) {
        SCOPED_TRACE("power cut at write " + std::to_string(n) + " of " + std::to_string(writes));
        std::filesystem::copy_file(clean, image, std::filesystem::copy_options::overwrite_existing);
        {
            Opened open(image);
            testsupport::FaultyDevice faulty(*open.device);
            faulty.FailNthWrite(n);
            CFatVolume fat(&faulty);
            ASSERT_TRUE(fat.Read());
            CNtfsWriter writer(&fat, &faulty, [] { return true; });
            ASSERT_TRUE(writer.Plan());
            ASSERT_FALSE(writer.Write([](const std::string&) {}));
            if (writer.Problem().find("still the FAT volume") == std::string::npos) continue;  // past the switch
        }
        ++judged;
        const auto fsck = testsupport::FsckFat(image);
        EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
        EXPECT_TRUE(fsck.findings.empty()) << fsck.output;
        Opened open(image);
        CFatVolume after(open.device.get());
        ASSERT_TRUE(after.Read()) << after.Problem();
        EXPECT_TRUE(FatFiles(after) == before);
    }
    // Only the boot sector itself and a backup written after it lie past the switch.
    EXPECT_GE(judged + 2, writes);
}

}  // namespace
