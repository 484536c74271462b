// The conversion with a FAT32 cluster larger than the NTFS cluster, on small crafted NTFS
// volumes in memory whose files lie where each test puts them: aligned and misaligned data,
// data under the future FAT area, in cluster 2 and past the end of the data area, fragments,
// hard links, preallocated clusters, initialized sizes below data sizes. Every conversion
// writes through a BitmapGuardDevice watching the path's bitmap; results are judged by
// fsck.fat and The Sleuth Kit (mtools does not read FAT32 volumes this small).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/TextEncoding.h"
#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/Fat32BootSector.h"
#include "engine/NFat.h"
#include "relocation/ConvertChangedClusterSize.h"
#include "relocation/NBitmap.h"
#include "tests/support/BitmapGuardDevice.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/CraftedFiles.h"
#include "tests/support/Sha256.h"
#include "tests/support/SmallFatCheck.h"

namespace {

namespace crafted = testsupport::crafted;
using crafted::FileSpec;
using testsupport::BitmapGuardDevice;

[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

constexpr uint32_t kCb = 512;

crafted::Geometry Geometry(uint64_t clusters, uint64_t mftLcn) {
    crafted::Geometry g;
    g.sectorsPerCluster = 1;
    g.clustersPerRecord = -10;
    g.clusters = clusters;
    g.mftLcn = mftLcn;
    return g;
}

// Progress as the user would see it.
struct Recorder : IProgressInfor {
    void SetProgress(float f) override { positions.push_back(f); }
    void SetStatusText(const char16_t* text) override { texts.emplace_back(text ? text : u""); }
    std::vector<float> positions;
    std::vector<std::u16string> texts;
};

// A crafted volume converted with `sectorsPerCluster` FAT32 sectors per cluster.
struct Conversion {
    Conversion(const crafted::Geometry& geometry, std::vector<FileSpec> files,
               const std::vector<std::u16string>& dirs, uint32_t sectorsPerCluster)
        : volume(geometry, std::move(files), dirs), guard(volume.Memory()) {
        const uint64_t sectors = volume.Memory().SectorCount();
        platform::LocalClockTime clock{};
        clock.year = 2024;
        clock.month = 5;
        clock.day = 6;
        EXPECT_TRUE(BuildFat32BootSector(sectorsPerCluster, &image, static_cast<uint32_t>(sectors), 63, 255,
                                         512, 0, &clock));
        options.watchBitmap = [this](const NBitmap* bitmap) {
            guard.Watch(bitmap);
            if (bitmap != nullptr) watched = true;
        };
        scaler.Parent = &progress;
        scaler.Reached = 0.38f;
    }

    // Runs the path; the message thrown, empty on success.
    std::string Convert(const char* label = nullptr) {
        try {
            ConvertChangedClusterSize(image, volume.Memory().SectorCount(), volume.Root(), &guard, label,
                                      &scaler, &volume.Ntfs(), options, &report);
        } catch (const SimpleException& e) {
            EXPECT_EQ(e.Kind, 1);
            return platform::Utf16ToUtf8(e.Text());
        }
        return "";
    }

    // What the NTFS volume held, in the judge's form (paths relative to the root).
    testsupport::NtfsSnapshot Snapshot(const std::vector<std::u16string>& dirs) const {
        testsupport::NtfsSnapshot s;
        for (const auto& d : dirs) s.entries[platform::Utf16ToUtf8(d)] = {platform::Utf16ToUtf8(d), true, 0, crafted::kCraftedUnixTime, 0, ""};
        for (size_t i = 0; i < volume.Files().size(); ++i) {
            const FileSpec& f = volume.Files()[i];
            const std::string path = platform::Utf16ToUtf8(f.parent.empty() ? f.name : f.parent + u"/" + f.name);
            const std::vector<uint8_t> bytes = volume.Expected(i);
            s.entries[path] = {path, false, bytes.size(), crafted::kCraftedUnixTime, f.record,
                               testsupport::Sha256Hex(std::string(bytes.begin(), bytes.end()))};
        }
        return s;
    }

    // The converted image as a file, for the external readers.
    std::string WriteImage() {
        const std::string path = dir.File("fat.img");
        const auto& bytes = volume.Memory().Bytes();
        testsupport::WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
        return path;
    }

    FAT32_BOOT_SECTOR Boot() const {
        FAT32_BOOT_SECTOR boot;
        std::memcpy(&boot, const_cast<crafted::FileVolume&>(volume).Memory().Bytes().data(), sizeof boot);
        return boot;
    }

    crafted::FileVolume volume;
    BitmapGuardDevice guard;
    FAT32_BOOT_SECTOR image{};
    ChangedClusterOptions options;
    ChangedClusterReport report;
    Recorder progress;
    ProgressInforAssist scaler;
    testsupport::TempDir dir{"changedclu"};
    bool watched = false;
};

// 2 MiB of 512-byte clusters, the MFT from LCN 3800. With 4 sectors per FAT32 cluster the
// layout has 8 FAT sectors; most clusters lie at phase 2, so the data area starts at LCN 34
// (18 reserved sectors) and ends at LCN 4093.
const std::vector<std::u16string> kDirs = {u"SUB", u"EMPTY"};
std::vector<FileSpec> ScenarioFiles() {
    return {
        {u"ALIGNED.BIN", 16, {{40, 2002}}, 40 * kCb - 100},              // phase 2: stays
        {u"SHIFT.BIN", 17, {{9, 1001}}, 9 * kCb},                         // phase 1: moves
        {u"LOW.BIN", 18, {{6, 10}}, 6 * kCb - 1},                         // under the FAT area
        {u"CLUSTER2.BIN", 19, {{3, 35}}, 3 * kCb},                        // in cluster 2
        {u"END.BIN", 20, {{4, 4092}}, 4 * kCb},                           // past the data area
        {u"FRAG.BIN", 21, {{2, 1500}, {3, 1600}, {1, 1700}, {5, 1800}}, 11 * kCb - 33},
        {u"PREALLOC.BIN", 22, {{20, 2100}}, 3 * kCb - 7},                 // 17 clusters too many
        {u"UNINIT.BIN", 23, {{8, 2202}}, 8 * kCb - 3, 3 * kCb + 11},     // stays, tail zeroed
        {u"UNINITMV.BIN", 24, {{8, 2301}}, 8 * kCb, 1000},               // moves, tail zeroed
        {u"ZERO.BIN", 25, {{2, 2400}}, 0},                                // size 0, owns clusters
        {u"RES.TXT", 26, {}, 5, ~0ULL, "hello"},                          // resident
        {u"HL.BIN", 27, {{7, 2501}}, 7 * kCb - 9},                        // three names
        {u"HL2.BIN", 0, {}, 0, ~0ULL, "", u"SUB", 27},
        {u"HL3.BIN", 0, {}, 0, ~0ULL, "", u"", 27},
        {u"INNER.BIN", 28, {{5, 2600}}, 5 * kCb, ~0ULL, "", u"SUB"},      // phase 0: moves
    };
}

TEST(ChangedClusterSize, ConvertsEveryKindOfPlacement) {
    Conversion c(Geometry(4096, 3800), ScenarioFiles(), kDirs, 4);
    const std::vector<uint8_t> alignedBefore(c.volume.Memory().Bytes().begin() + 2002 * kCb,
                                             c.volume.Memory().Bytes().begin() + 2042 * kCb);
    ASSERT_EQ(c.Convert("MYLABEL"), "");
    EXPECT_TRUE(c.watched);
    EXPECT_EQ(c.guard.Refused(), 0u);

    // The layout: groups of 4, phase 2, cluster 2 at LCN 34, the root directory there.
    EXPECT_EQ(c.report.groupSize, 4u);
    EXPECT_EQ(c.report.dataPhase, 2u);
    const FAT32_BOOT_SECTOR boot = c.Boot();
    // (Fields of the packed image are copied before gtest takes references to them.)
    EXPECT_EQ(uint32_t{boot.SectorsPerCluster}, 4u);
    EXPECT_EQ(uint32_t{boot.ReservedSectors}, 18u);
    EXPECT_EQ(NFat::FirstDataSectorOf(boot), 34u);
    EXPECT_EQ(uint32_t{boot.RootCluster}, 2u);
    EXPECT_EQ(uint32_t{boot.VolumeSerial}, uint32_t{c.image.VolumeSerial});
    EXPECT_EQ(std::string(boot.VolumeLabel, 11), "MYLABEL    ");
    EXPECT_LE(c.report.clustersNeeded, c.report.clustersFree);
    EXPECT_EQ(c.report.ntfsClustersTrimmed, 17u + 2u);  // PREALLOC and ZERO

    // Data at the chosen phase stayed where it was, unwritten.
    EXPECT_TRUE(std::equal(alignedBefore.begin(), alignedBefore.end(),
                           c.volume.Memory().Bytes().begin() + 2002 * kCb));
    for (const auto& w : c.guard.Writes()) {
        EXPECT_FALSE(w.first < 2042 && w.first + w.count > 2002) << "write " << w.first << "+" << w.count;
    }
    EXPECT_GT(c.report.groupsMoved, 0u);
    EXPECT_EQ(c.report.linkCopyClusters, 2u * 2u);  // two further names of a file of 2 clusters
    EXPECT_TRUE(c.report.unreadFiles.empty());
    EXPECT_TRUE(c.report.unwrittenFiles.empty());

    // The boot area: backup at 6, FSInfo at 1 and 7 with the true free count.
    const auto& bytes = c.volume.Memory().Bytes();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 512, bytes.begin() + 6 * 512));
    FAT32_FSINFO info;
    std::memcpy(&info, bytes.data() + 512, sizeof info);
    EXPECT_TRUE(std::equal(bytes.begin() + 512, bytes.begin() + 1024, bytes.begin() + 7 * 512));
    std::vector<uint32_t> fat(boot.FatSize32 * 128);
    std::memcpy(fat.data(), bytes.data() + boot.ReservedSectors * 512ull, fat.size() * 4);
    EXPECT_EQ(uint32_t{info.FreeCount}, NFat::CountFreeClusters(boot, fat.data(), nullptr));

    // Progress: the texts of the path, ending at 0.97.
    EXPECT_EQ(c.progress.texts, (std::vector<std::u16string>{u"Converting NTFS to FAT32...",
                                                             u"Process the Fat Table in the FAT32."}));
    EXPECT_FLOAT_EQ(c.scaler.Reached, 0.97f);
    EXPECT_TRUE(std::is_sorted(c.progress.positions.begin(), c.progress.positions.end()));

    testsupport::ExpectSmallFat32Matches(c.Snapshot(kDirs), c.WriteImage());
}

TEST(ChangedClusterSize, VolumeOfFat32SizePassesEveryReader) {
    // 68 MiB of 512-byte clusters in groups of 2: about 67,500 FAT32 clusters, enough for
    // fsck.fat and mtools to take the result for the FAT32 it is. The files of the scenario,
    // and one more across the end of the data area.
    std::vector<FileSpec> files = ScenarioFiles();
    files[4].runs = {{6, 139258}};  // END.BIN: the volume's last six clusters
    files[4].dataSize = 6 * kCb;
    Conversion c(Geometry(139264, 139000), files, kDirs, 2);
    ASSERT_EQ(c.Convert("BIG"), "");
    EXPECT_EQ(c.guard.Refused(), 0u);
    EXPECT_EQ(c.report.groupSize, 2u);
    EXPECT_GT(c.report.clustersFree, 65525u);
    EXPECT_GT(c.report.ntfsClustersOutside, 0u);
    testsupport::ExpectConvertedVolumeMatches(c.Snapshot(kDirs), c.WriteImage());
}

TEST(ChangedClusterSize, CheckOnlyWritesNothing) {
    Conversion c(Geometry(4096, 3800), ScenarioFiles(), kDirs, 4);
    const std::vector<uint8_t> before = c.volume.Memory().Bytes();
    c.options.checkOnly = true;
    ASSERT_EQ(c.Convert(), "");
    EXPECT_EQ(c.volume.Memory().Bytes(), before);
    EXPECT_TRUE(c.guard.Writes().empty());
    EXPECT_EQ(c.report.clustersFree, 1015u);
    EXPECT_GT(c.report.clustersNeeded, 0u);
    EXPECT_EQ(c.report.dataPhase, 2u);
    EXPECT_TRUE(c.progress.texts.empty());
}

// A filler file of `filler` clusters from LCN 1 and forty files of one cluster each behind it,
// on 512 KiB with the MFT from LCN 900: with 4 sectors per FAT32 cluster the layout has 250
// clusters, and the space needed grows by one per 4 filler clusters.
std::vector<FileSpec> BoundaryFiles(uint64_t filler) {
    std::vector<FileSpec> files = {{u"FILLER.BIN", 16, {{filler, 1}}, filler * kCb}};
    for (uint64_t k = 0; k < 40; ++k) {
        std::u16string name = u"F00.BIN";
        name[1] = static_cast<char16_t>(u'0' + k / 10);
        name[2] = static_cast<char16_t>(u'0' + k % 10);
        files.push_back({name, 17 + k, {{1, static_cast<int64_t>(filler + 1 + k)}}, kCb - k});
    }
    return files;
}

TEST(ChangedClusterSize, NeedEqualToTheFreeSpaceConvertsOneMoreIsRefusedBeforeAnyWrite) {
    const crafted::Geometry geometry = Geometry(1024, 900);
    // Learn the figures with a first filler, then size it so that need equals what is free.
    uint64_t filler = 400;
    {
        Conversion probe(geometry, BoundaryFiles(filler), {}, 4);
        probe.options.checkOnly = true;
        ASSERT_EQ(probe.Convert(), "");
        ASSERT_LT(probe.report.clustersNeeded, probe.report.clustersFree);
        filler += 4 * (probe.report.clustersFree - probe.report.clustersNeeded);
    }
    ASSERT_LT(filler + 41, 900u) << "the files must fit before the MFT";
    {
        Conversion c(geometry, BoundaryFiles(filler), {}, 4);
        ASSERT_EQ(c.Convert(), "");
        EXPECT_EQ(c.report.clustersNeeded, c.report.clustersFree);
        EXPECT_EQ(c.guard.Refused(), 0u);
        testsupport::ExpectSmallFat32Matches(c.Snapshot({}), c.WriteImage());
    }
    {
        Conversion c(geometry, BoundaryFiles(filler + 1), {}, 4);
        const std::vector<uint8_t> before = c.volume.Memory().Bytes();
        EXPECT_EQ(c.Convert(), "The free space that convert to fat is too few.");
        EXPECT_EQ(c.report.clustersNeeded, c.report.clustersFree + 1);
        EXPECT_EQ(c.volume.Memory().Bytes(), before);
        EXPECT_TRUE(c.guard.Writes().empty());
    }
}

TEST(ChangedClusterSize, FailedReadsAreNamedAfterTheVolumeIsFat32) {
    Conversion c(Geometry(4096, 3800), ScenarioFiles(), kDirs, 4);
    c.guard.FailReadsTouching(1003, 1);  // a cluster of SHIFT.BIN, which moves
    EXPECT_EQ(c.Convert(), "The conversion finished, but these files could not be read completely and "
                           "hold zeros where the read failed:\n/SHIFT.BIN");
    EXPECT_EQ(c.report.unreadFiles, std::vector<std::u16string>{u"/SHIFT.BIN"});
    const FAT32_BOOT_SECTOR boot = c.Boot();
    EXPECT_EQ(std::string(boot.FileSystemType, 8), "FAT32   ");
    // Everything else is whole; the file reads as zeros where its cluster could not be read.
    testsupport::NtfsSnapshot before = c.Snapshot(kDirs);
    std::vector<uint8_t> shift = c.volume.Expected(1);
    std::fill(shift.begin() + 2 * kCb, shift.begin() + 3 * kCb, 0);
    before.entries["SHIFT.BIN"].sha256 = testsupport::Sha256Hex(std::string(shift.begin(), shift.end()));
    testsupport::ExpectSmallFat32Matches(before, c.WriteImage());
}

TEST(ChangedClusterSize, FinalWritesThatFailEndTheConversion) {
    struct Case {
        const char* what;
        uint64_t first, count;  // sectors whose writes fail
        const char* message;
    } cases[] = {
        {"both FAT copies", 18, 16, "Flush the fat table fail."},
        {"sector 0", 0, 1, "Flush fat dbr fail."},
        {"the backup boot sector only", 6, 1, ""},
    };
    for (const Case& k : cases) {
        Conversion c(Geometry(4096, 3800), ScenarioFiles(), kDirs, 4);
        c.guard.FailWritesTouching(k.first, k.count);
        EXPECT_EQ(c.Convert(), k.message) << k.what;
    }
}

TEST(ChangedClusterSize, FailedFolderAndResidentDataWritesFailTheConversion) {
    const std::string folders =
        "The conversion finished, but some folders or small files (whose data NTFS kept inside "
        "their records) could not be written completely: files may be missing from their "
        "folders or hold wrong data. Please check the volume (fsck.fat on Linux, chkdsk /f on "
        "Windows).";
    // Where the resident data of RES.TXT lands, from a clean run: the cluster that starts
    // with its bytes.
    uint64_t residentSector = 0;
    {
        Conversion clean(Geometry(4096, 3800), ScenarioFiles(), kDirs, 4);
        ASSERT_EQ(clean.Convert(), "");
        const auto& bytes = clean.volume.Memory().Bytes();
        const uint64_t dataStart = uint64_t{clean.Boot().ReservedSectors} + 2ull * clean.Boot().FatSize32;
        for (uint64_t at = dataStart * 512; at + 5 <= bytes.size(); at += 4 * kCb) {
            if (std::memcmp(bytes.data() + at, "hello", 5) == 0) residentSector = at / 512;
        }
        ASSERT_NE(residentSector, 0u);
    }
    struct Case {
        const char* what;
        uint64_t first;  // a sector whose writes fail
    } cases[] = {
        {"the root directory (cluster 2, at LCN 34)", 34},
        {"the resident data", residentSector},
    };
    for (const Case& k : cases) {
        Conversion c(Geometry(4096, 3800), ScenarioFiles(), kDirs, 4);
        c.guard.FailWritesTouching(k.first, 1);
        EXPECT_EQ(c.Convert(), folders) << k.what;
        EXPECT_EQ(std::string(c.Boot().FileSystemType, 8), "FAT32   ") << k.what;
    }
}

TEST(ChangedClusterSize, RefusesAClusterSizeThatIsNoMultipleOfTheNtfsOne) {
    Conversion c(Geometry(4096, 3800), ScenarioFiles(), kDirs, 1);
    const std::vector<uint8_t> before = c.volume.Memory().Bytes();
    EXPECT_EQ(c.Convert(), "The FAT32 cluster size does not suit the NTFS cluster size of this volume.");
    EXPECT_EQ(c.volume.Memory().Bytes(), before);
}

}  // namespace
