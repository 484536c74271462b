// The conversion with a larger FAT32 cluster on real ntfs-3g volumes of 40, 300 and 600 GiB
// (sparse images), end to end through the conversion driver. Each volume holds files at
// every place the larger cluster treats differently: data under the future FAT area, a run
// across the data area's start and FAT cluster 2, misaligned and aligned groups, fragmented
// files whose runs lie at every phase, hard links, resident files, the volume's last
// clusters, some thousands of small files (tests/fixtures/make_ntfs.py, larger_cluster_volume).
// Each result is judged by fsck.fat, The Sleuth Kit and mtools against a snapshot of the NTFS
// volume taken before; data already on whole groups must not have moved. A volume that NTFS
// holds but FAT32 with its larger cluster cannot is refused before anything is written.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/TextEncoding.h"
#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/ConvertNtfsToFat32.h"
#include "engine/Fat32BootSector.h"
#include "platform/RawVolume.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/Fixtures.h"
#include "tests/support/FsckFat.h"
#include "tests/support/SleuthKit.h"
#include "tests/support/SparseDigest.h"

namespace {

using namespace testsupport;

[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

struct LargerClusterVolume {
    const char* recipe;
    uint32_t ntfsClusterBytes;
    uint32_t fatClusterBytes;
    uint32_t phase;  // the recipe makes the data area start at an LCN of this remainder
};

void PrintTo(const LargerClusterVolume& v, std::ostream* os) { *os << v.recipe; }

// The sizes are the smallest round ones whose NTFS cluster count FAT32 cannot hold, so that
// the cluster is doubled once (groups of 2) or twice (groups of 4).
const LargerClusterVolume kVolumes[] = {
    {"changed-40g", 512, 1024, 1},     // one extra reserved sector; data area ends at the end
    {"changed-300g", 4096, 8192, 0},   // last group reaches past NTFS's last cluster
    {"changed-600g", 4096, 16384, 1},  // two clusters of the volume beyond the data area
};

// Files whose data lies on whole groups of the future data area (the recipe puts them
// there): the conversion must leave their clusters where they are.
const char* const kStaying[] = {"aligned/big.bin", "aligned/partial-last.bin",
                                "phase/offset-0.bin"};

// Converts a private copy of a recipe's image through the driver, after a snapshot of the
// NTFS volume.
struct Converted {
    explicit Converted(const std::string& recipe, bool snapshot = true) : dir("changedclu-e2e") {
        image = CopyFixture(recipe, dir.File(recipe + ".img"));
        if (snapshot) before = TakeNtfsSnapshot(image);
        digestBefore = SparseFileDigest(image);
        int error = 0;
        const platform::VolumeHandle handle =
            platform::OpenVolume(image, platform::VolumeAccess::Exclusive, &error);
        EXPECT_NE(handle, platform::kInvalidVolume) << error;
        try {
            ConvertNtfsToFat32(nullptr, handle, {}, &report);
        } catch (const SimpleException& e) {
            failure = platform::Utf16ToUtf8(e.Text());
        }
        platform::CloseVolume(handle);
    }

    TempDir dir;
    std::string image;
    NtfsSnapshot before;
    std::string digestBefore;
    ConversionReport report;
    std::string failure;  // the message thrown; empty on success
};

// The first sectors of an image, without reading the rest of it.
std::string ReadHead(const std::string& image, size_t bytes) {
    std::ifstream in(image, std::ios::binary);
    std::string head(bytes, '\0');
    in.read(head.data(), static_cast<std::streamsize>(bytes));
    if (static_cast<size_t>(in.gcount()) != bytes) throw std::runtime_error("short image " + image);
    return head;
}

// The sectors of a FAT file in order, as `istat -f fat32` lists them.
std::vector<uint64_t> FatFileSectors(const std::string& image, uint64_t inode) {
    const CommandResult r = RunCommand({"istat", "-f", "fat32", image, std::to_string(inode)});
    if (!r.Ok()) throw std::runtime_error("istat failed: " + r.Describe());
    const size_t at = r.out.find("\nSectors:\n");
    if (at == std::string::npos) throw std::runtime_error("istat lists no sectors:\n" + r.out);
    std::istringstream in(r.out.substr(at + 10));
    std::vector<uint64_t> sectors;
    uint64_t s = 0;
    while (in >> s)
        if (s != 0) sectors.push_back(s);  // istat pads the last line with zeros
    return sectors;
}

// The sectors that hold an NTFS file's bytes: its clusters in VCN order, cut to its size.
std::vector<uint64_t> NtfsFileSectors(const std::string& image, uint64_t record,
                                      uint32_t clusterBytes) {
    const CommandResult r = RunCommand({"istat", "-f", "ntfs", image, std::to_string(record)});
    if (!r.Ok()) throw std::runtime_error("istat failed: " + r.Describe());
    const IstatNtfs info = ParseIstatNtfs(r.out);
    const IstatAttribute* data = info.UnnamedData();
    if (!data || data->resident) throw std::runtime_error("no non-resident data in " + r.out);
    std::vector<uint64_t> sectors;
    const uint64_t perCluster = clusterBytes / 512;
    for (uint64_t lcn : data->clusters)
        for (uint64_t i = 0; i < perCluster; ++i) sectors.push_back(lcn * perCluster + i);
    sectors.resize((data->size + 511) / 512);
    return sectors;
}

class ChangedClusterE2E : public testing::TestWithParam<LargerClusterVolume> {};

TEST_P(ChangedClusterE2E, EveryFileComesBackAndAlignedDataStays) {
    const LargerClusterVolume& v = GetParam();
    Converted c(v.recipe);
    ASSERT_EQ(c.failure, "");
    EXPECT_TRUE(c.report.changedClusterSize);
    EXPECT_EQ(c.report.ntfsClusterBytes, v.ntfsClusterBytes);
    EXPECT_EQ(c.report.fatClusterBytes, v.fatClusterBytes);
    EXPECT_LE(c.report.clustersNeeded, c.report.clustersFree);

    // The data area starts where the most file clusters are already aligned: the layout of
    // the whole volume with as many extra reserved sectors as that phase needs.
    const std::string head = ReadHead(c.image, 8 * 512);
    FAT32_BOOT_SECTOR boot;
    std::memcpy(&boot, head.data(), sizeof boot);
    const uint32_t p = v.ntfsClusterBytes / 512;
    const uint32_t group = v.fatClusterBytes / v.ntfsClusterBytes;
    EXPECT_EQ(boot.SectorsPerCluster * 512u, v.fatClusterBytes);
    const uint32_t firstData = boot.ReservedSectors + 2 * boot.FatSize32;
    EXPECT_EQ(firstData % p, 0u);
    EXPECT_EQ(firstData / p % group, v.phase);
    const uint64_t sectors = c.report.volumeBytes / 512;
    const FAT32_LAYOUT layout =
        ComputeFat32Layout(boot.SectorsPerCluster, static_cast<uint32_t>(sectors), 512, p * v.phase);
    EXPECT_EQ(boot.ReservedSectors, layout.ReservedSectors);
    EXPECT_EQ(boot.FatSize32, layout.FatSectors);
    EXPECT_EQ(boot.TotalSectors32, layout.TotalSectors);

    ExpectConvertedVolumeMatches(c.before, c.image);

    // FSInfo and its copy count the free clusters fsck.fat counts.
    FAT32_FSINFO info;
    std::memcpy(&info, head.data() + 512, sizeof info);
    EXPECT_EQ(head.substr(512, 512), head.substr(7 * 512, 512));
    const FsckResult fsck = FsckFat(c.image);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(fsck.output, m, std::regex(R"((\d+)/(\d+) clusters)")));
    EXPECT_EQ(info.FreeCount, std::stoul(m[2]) - std::stoul(m[1]));

    // Data on whole groups keeps its sectors: the FAT file reads them where NTFS had them
    // (in the cached image the copy was made from).
    const Tree fat = FatTree(c.image);
    for (const char* path : kStaying) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(c.before.entries.count(path) && fat.count(path));
        EXPECT_EQ(FatFileSectors(c.image, fat.at(path).record),
                  NtfsFileSectors(FixtureImage(v.recipe), c.before.entries.at(path).record,
                                  v.ntfsClusterBytes));
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, ChangedClusterE2E, testing::ValuesIn(kVolumes),
                         [](const testing::TestParamInfo<LargerClusterVolume>& info) {
                             std::string name = info.param.recipe;
                             for (char& ch : name)
                                 if (ch == '-') ch = '_';
                             return name;
                         });

TEST(ChangedClusterE2E, TooFullForTheLargerClusterIsRefusedUnchanged) {
    Converted c("changed-full", false);
    EXPECT_EQ(c.failure, "The free space that convert to fat is too few.");
    EXPECT_TRUE(c.report.changedClusterSize);
    EXPECT_EQ(c.report.fatClusterBytes, 1024u);
    EXPECT_GT(c.report.clustersNeeded, c.report.clustersFree);
    EXPECT_EQ(c.report.bytesWritten, 0u);
    ExpectSparseImageUnchanged(c.image, c.digestBefore);
}

}  // namespace
