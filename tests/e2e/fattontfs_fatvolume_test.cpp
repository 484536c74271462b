#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "device/CVolumeDevice.h"
#include "fattontfs/CFatVolume.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"
#include "tests/support/Command.h"
#include "tests/support/FatFixture.h"
#include "tests/support/FaultyDevice.h"

namespace {

using testsupport::FatFixtureLayout;
using testsupport::FatStep;
using testsupport::TempDir;

// An image opened as a device for the length of a test.
struct OpenImage {
    explicit OpenImage(const std::string& path) {
        int error = 0;
        handle = platform::OpenVolume(path, platform::VolumeAccess::Shared, &error);
        EXPECT_NE(handle, platform::kInvalidVolume) << path;
        device = std::make_unique<CVolumeDevice>(handle);
    }
    ~OpenImage() { platform::CloseVolume(handle); }
    platform::VolumeHandle handle;
    std::unique_ptr<CVolumeDevice> device;
};

void Flatten(const FAT_NODE& node, const std::string& path, std::map<std::string, const FAT_NODE*>* out) {
    for (const FAT_NODE& child : node.Children) {
        std::string p = path;
        if (!p.empty()) p.push_back('/');
        p.append(platform::Utf16ToUtf8(child.Name()));
        (*out)[p] = &child;
        if (child.IsDirectory()) Flatten(child, p, out);
    }
}

std::string ReadFile(const CFatVolume& fat, const FAT_NODE& node) {
    std::string bytes;
    for (const FAT_RUN& run : node.Runs) {
        std::string part(uint64_t{run.Count} * fat.ClusterBytes(), '\0');
        EXPECT_TRUE(fat.ReadClusters(run.First, run.Count, part.data()));
        bytes += part;
    }
    bytes.resize(node.FileSize);
    return bytes;
}

TEST(FatVolume, ReadsEveryKindWithNamesBytesTimesAndLabel) {
    TempDir dir("fatread");
    struct Case {
        int bits;
        uint64_t megabytes;
        int sectorsPerCluster;
    } cases[] = {{12, 4, 2}, {16, 32, 4}, {32, 64, 1}};
    for (const Case& c : cases) {
        const std::string bits = std::to_string(c.bits);
        SCOPED_TRACE(bits);
        const std::string image = dir.File(bits + ".img");
        FatFixtureLayout layout;
        layout.fatBits = c.bits;
        layout.megabytes = c.megabytes;
        layout.sectorsPerCluster = c.sectorsPerCluster;
        layout.label = "STICK";
        layout.steps = testsupport::SampleFatSteps();
        testsupport::MakeFatImage(image, layout);

        OpenImage open(image);
        CFatVolume fat(open.device.get());
        ASSERT_TRUE(fat.Read()) << fat.Problem();
        EXPECT_EQ(std::string(fat.KindName()).substr(3), bits);
        EXPECT_EQ(fat.ClusterBytes(), 512u * c.sectorsPerCluster);
        EXPECT_EQ(fat.Label(), u"STICK");
        EXPECT_EQ(fat.FileCount(), 7u);
        EXPECT_EQ(fat.DirectoryCount(), 2u);

        std::map<std::string, const FAT_NODE*> nodes;
        Flatten(fat.Root(), "", &nodes);
        for (const FatStep& step : layout.steps) {
            if (step.kind == FatStep::Kind::Delete || step.path == "fill2.bin") {
                EXPECT_EQ(nodes.count(step.path), 0u) << step.path;
                continue;
            }
            if (step.kind != FatStep::Kind::File) {
                EXPECT_EQ(nodes.count(step.path), 1u) << step.path;
                continue;
            }
            ASSERT_EQ(nodes.count(step.path), 1u) << step.path;
            const FAT_NODE& node = *nodes[step.path];
            EXPECT_EQ(node.FileSize, step.bytes);
            EXPECT_TRUE(ReadFile(fat, node) == testsupport::FatFileBytes(step.path, step.bytes)) << step.path;
            EXPECT_EQ(FatTimeToFileTime(node.WriteDate, node.WriteTime),
                      (static_cast<uint64_t>(step.mtime) * 10000000) + platform::kFileTimeUnixEpoch)
                << step.path;
        }
        EXPECT_EQ(nodes["SHORT.TXT"]->Attributes & (kFatAttrReadOnly | kFatAttrHidden),
                  kFatAttrReadOnly | kFatAttrHidden);
        EXPECT_TRUE(nodes["SHORT.TXT"]->LongName.empty());
        EXPECT_EQ(nodes["empty"]->FirstCluster, 0u);
        EXPECT_EQ(nodes["empty"]->ShortName, u"empty");  // stored "EMPTY" with the lower-case flag
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(nodes["empty"]->ShortBytes), 11), "EMPTY      ");
        // mtools fills the gap on FAT12/16; on FAT32 it follows the FSInfo hint past it.
        if (c.bits != 32) {
            EXPECT_GT(nodes["a fragmented file.dat"]->Runs.size(), 1u);
        }
        // Free clusters agree with fsck.fat's count of used ones.
        const auto fsck = testsupport::RunCommand({"fsck.fat", "-n", image});
        EXPECT_NE(fsck.out.find(std::to_string(fat.ClusterCount() - fat.FreeClusters()) + "/" +
                                std::to_string(fat.ClusterCount()) + " clusters"),
                  std::string::npos)
            << fsck.out;
    }
}

// Damage made by patching FAT16 entries (both copies alike, so only the chains are wrong),
// each refused with a sentence that names it.
TEST(FatVolume, RefusesDamagedChainsNamingTheFault) {
    TempDir dir("fatdamage");
    const std::string clean = dir.File("clean.img");
    FatFixtureLayout layout;
    layout.fatBits = 16;
    layout.megabytes = 16;
    layout.sectorsPerCluster = 1;
    layout.steps = {FatStep::File("one.bin", 1500), FatStep::File("two.bin", 1500)};
    testsupport::MakeFatImage(clean, layout);
    // mkfs.fat's FAT16: one reserved sector, FATs of F sectors each; files in cluster order:
    // one.bin 2..4, two.bin 5..7.
    OpenImage probe(clean);
    CFatVolume layoutOf(probe.device.get());
    ASSERT_TRUE(layoutOf.Read()) << layoutOf.Problem();
    const uint64_t fatBytes = (layoutOf.FirstDataByte() - 512 - 512 * 32) / 2;  // 512 root entries
    struct Case {
        const char* name;
        uint32_t cluster;
        uint16_t value;
        const char* expected;
    } cases[] = {
        {"loop", 4, 3, "The cluster chain of \"one.bin\" loops at cluster 3"},
        {"cross", 6, 3, "The cluster chain of \"two.bin\" crosses another chain at cluster 3"},
        {"out of range", 3, 0xFFF0, "out of the data area"},
        {"to free", 3, 0x7000, "leads from cluster 28672 to a free cluster"},
        {"short chain", 3, 0xFFFF, "The file \"one.bin\" has 2 clusters where its size needs 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string image = dir.File(std::string("damaged.img"));
        std::filesystem::copy_file(clean, image, std::filesystem::copy_options::overwrite_existing);
        const std::string value{static_cast<char>(c.value & 0xFF), static_cast<char>(c.value >> 8)};
        testsupport::PatchBytes(image, 512 + c.cluster * 2, value);
        testsupport::PatchBytes(image, 512 + fatBytes + c.cluster * 2, value);
        OpenImage open(image);
        CFatVolume fat(open.device.get());
        EXPECT_FALSE(fat.Read());
        EXPECT_NE(fat.Problem().find(c.expected), std::string::npos) << fat.Problem();
    }
    // Copies that differ, and a directory that cannot be read.
    {
        const std::string image = dir.File("differ.img");
        std::filesystem::copy_file(clean, image);
        testsupport::PatchBytes(image, 512 + fatBytes + 7 * 2, std::string("\x08\x00", 2));
        OpenImage open(image);
        CFatVolume fat(open.device.get());
        EXPECT_FALSE(fat.Read());
        EXPECT_NE(fat.Problem().find("FAT copies differ at cluster 7"), std::string::npos) << fat.Problem();
    }
    {
        OpenImage open(clean);
        testsupport::FaultyDevice faulty(*open.device);
        faulty.FailReadsTouching((512 + fatBytes * 2) / 512, 1);
        CFatVolume fat(&faulty);
        EXPECT_FALSE(fat.Read());
        EXPECT_EQ(fat.Problem(), "The root directory cannot be read.");
    }
}

}  // namespace
