// Undo files on real ntfs-3g volumes converted to FAT32, on both conversion paths: a finished
// conversion and conversions cut off by a power cut at writes spread over the whole run are
// rolled back, and every sector the NTFS volume used must come back byte for byte; ntfsfix,
// an ntfs-3g mount and the Sleuth Kit then find the same sound NTFS volume with every file.
// The command line's --undo and --rollback are tested the same way, with the process killed
// at random moments,
// and so is the FAT to NTFS direction on FAT12, FAT16 and FAT32 volumes made by mkfs.fat.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/ConvertNtfsToFat32.h"
#include "engine/Fat32BootSector.h"
#include "engine/FileTree.h"
#include "engine/VolumeCheck.h"
#include "engine/VolumeEnumeration.h"
#include "fattontfs/CFatVolume.h"
#include "fattontfs/CNtfsWriter.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CNTFSVolume.h"
#include "platform/RawVolume.h"
#include "platform/Terminal.h"
#include "platform/TextEncoding.h"
#include "relocation/ConvertChangedClusterSize.h"
#include "tests/support/Command.h"
#include "tests/support/FatFixture.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/Fixtures.h"
#include "tests/support/FaultyDevice.h"
#include "tests/support/FsckFat.h"
#include "tests/support/Sha256.h"
#include "undo/CUndoVolumeDevice.h"

namespace {

using namespace testsupport;

[[maybe_unused]] const bool kQuietLog = UseFileLog("/dev/null");

enum class Path { SameCluster, LargerCluster };

// Opens an image exclusively for the length of a scope.
struct OpenImage {
    explicit OpenImage(const std::string& image) {
        int error = 0;
        handle = platform::OpenVolume(image, platform::VolumeAccess::Exclusive, &error);
        EXPECT_NE(handle, platform::kInvalidVolume) << error;
        device.Handle = handle;
    }
    ~OpenImage() {
        device.Handle = platform::kInvalidVolume;
        platform::CloseVolume(handle);
    }
    platform::VolumeHandle handle;
    CVolumeDevice device;
};

// The larger-cluster path with FAT32 clusters `factor` times the NTFS ones, as its own tests
// drive it (the driver takes it only for volumes far larger than a test's).
void ConvertLarger(CVolumeDevice* device, uint32_t factor) {
    CNTFSVolume volume(device);
    ASSERT_TRUE(volume.IsVolumeOK());
    auto rootRecord = std::make_unique<CFileRecord>(&volume);
    ASSERT_TRUE(rootRecord->LoadRecord(kRootRecord));
    rootRecord->TypeMask = kTreeRootTypeMask;
    ASSERT_TRUE(rootRecord->BuildAttributes());
    ShCount<FILE_ITEM> tree = MakeFileTree(std::move(rootRecord));
    WalkDirectory(tree->FileRecord.get(), &volume, tree.Get());
    CheckTree(tree.Get(), &volume);
    const uint64_t sectors = device->SectorCount();
    FAT32_BOOT_SECTOR boot{};
    ASSERT_TRUE(BuildFat32BootSector(volume.ClusterBytes / 512 * factor, &boot, static_cast<uint32_t>(sectors), 63,
                                     255, 512, 0));
    ProgressInforAssist scaler;
    ChangedClusterReport report;
    ConvertChangedClusterSize(boot, sectors, tree.Get(), device, nullptr, &scaler, &volume, {}, &report);
}

// Converts image with an undo file, the volume losing power before write `cutAt` (0: never).
// Returns the number of writes the conversion issued; *failure holds what it threw.
uint64_t ConvertWithUndo(const std::string& image, const std::string& undoPath, Path path, uint64_t cutAt,
                         std::string* failure) {
    OpenImage open(image);
    FaultyDevice disk(open.device);
    disk.FailWritesFrom(cutAt);
    std::string problem;
    auto undo = StartUndo(undoPath, image, UndoDirection::NtfsToFat32, disk, &problem);
    EXPECT_TRUE(undo) << problem;
    if (!undo) return 0;
    try {
        if (path == Path::SameCluster) {
            ConvertNtfsToFat32(nullptr, undo.get(), undo->SectorCount());
        } else {
            ConvertLarger(undo.get(), 4);
        }
    } catch (const SimpleException& e) {
        *failure = platform::Utf16ToUtf8(e.Text());
    }
    return disk.WriteCalls();
}

// Digest of every sector the old file system in image uses (NTFS, or FAT for FatToNtfs),
// worked out here from the file system's own allocation map, apart from the undo device's
// map, so that a fault there cannot hide itself.
std::string UsedDigest(const std::string& image, UndoDirection direction = UndoDirection::NtfsToFat32) {
    OpenImage open(image);
    const uint64_t sectors = open.device.SectorCount();
    std::vector<bool> used(sectors, true);  // sectors outside the cluster area count as used
    if (direction == UndoDirection::NtfsToFat32) {
        NtfsClusterBitmap bitmap;
        EXPECT_TRUE(ReadNtfsClusterBitmap(&open.device, &bitmap));
        const uint64_t spc = bitmap.ClusterBytes / 512;
        for (uint64_t c = 0; c < bitmap.Clusters; ++c) {
            const bool set = (bitmap.Bits[c / 8] >> (c % 8)) & 1;
            for (uint64_t s = c * spc; s < (c + 1) * spc && s < sectors; ++s) used[s] = set;
        }
    } else {
        CFatVolume fat(&open.device);
        EXPECT_TRUE(fat.ReadBootSector() && fat.ReadFats()) << fat.Problem();
        const uint64_t spc = fat.ClusterBytes() / 512, first = fat.FirstDataByte() / 512;
        for (uint32_t c = 2; c < fat.ClusterCount() + 2; ++c) {
            const bool set = fat.Entry(c) != CFatVolume::kFree && fat.Entry(c) != CFatVolume::kBad;
            for (uint64_t s = first + (c - 2) * spc; s < first + (c - 1) * spc && s < sectors; ++s) used[s] = set;
        }
    }
    Sha256 digest;
    std::vector<uint8_t> buffer(512);
    for (uint64_t s = 0; s < sectors; ++s) {
        if (!used[s]) continue;
        EXPECT_EQ(open.device.ReadSectors(buffer.data(), s, 1), 1);
        digest.Update(&s, sizeof s);
        digest.Update(buffer.data(), buffer.size());
    }
    return digest.FinalHex();
}

void Rollback(const std::string& image, const std::string& undoPath) {
    OpenImage open(image);
    std::string problem;
    EXPECT_TRUE(RollbackVolume(undoPath, &open.device, &problem)) << problem;
}

void ExpectSoundNtfs(const std::string& image, const NtfsSnapshot& before) {
    const CommandResult fix = RunCommand({"ntfsfix", "-n", image});
    EXPECT_EQ(fix.exitCode, 0) << fix.out << fix.err;
    // ntfs-3g mounts it and shows every name.
    {
        TempDir mnt("undo-mnt");
        const CommandResult mount = RunCommand({"ntfs-3g", "-o", "ro", image, mnt.Path()});
        ASSERT_EQ(mount.exitCode, 0) << mount.Describe();
        for (const auto& [name, entry] : before.entries)
            EXPECT_TRUE(std::filesystem::exists(mnt.Path() + "/" + name)) << name;
        RunCommand({"umount", mnt.Path()});
    }
    const NtfsSnapshot after = TakeNtfsSnapshot(image);
    ASSERT_EQ(after.entries.size(), before.entries.size());
    for (const auto& [name, entry] : before.entries) {
        const auto it = after.entries.find(name);
        ASSERT_NE(it, after.entries.end()) << name;
        EXPECT_EQ(it->second.sha256, entry.sha256) << name;
        EXPECT_EQ(it->second.mtime, entry.mtime) << name;
    }
}

struct Case {
    const char* recipe;
    Path path;
};

class UndoRollback : public ::testing::TestWithParam<Case> {};

TEST_P(UndoRollback, FinishedAndCutOffConversionsRollBackToTheSameSectors) {
    const Case c = GetParam();
    TempDir dir("undo-e2e");
    const std::string pristine = CopyFixture(c.recipe, dir.File("pristine.img"));
    const NtfsSnapshot before = TakeNtfsSnapshot(pristine);
    const std::string usedBefore = UsedDigest(pristine);

    // A finished conversion: FAT32 that fsck.fat finds clean, then back to the same NTFS.
    const std::string image = dir.File("volume.img");
    const std::string undo = dir.File("finished.undo");
    CopyFixture(c.recipe, image);
    std::string failure;
    const uint64_t writes = ConvertWithUndo(image, undo, c.path, 0, &failure);
    ASSERT_EQ(failure, "");
    ASSERT_GT(writes, 2u);
    if (c.path == Path::SameCluster) {
        const FsckResult fsck = FsckSmallFat(image);
        EXPECT_TRUE(fsck.Clean()) << fsck.output;
    }
    Rollback(image, undo);
    EXPECT_EQ(UsedDigest(image), usedBefore);
    ExpectSoundNtfs(image, before);

    // Power cuts at writes spread over the whole conversion, the last one included (the boot
    // sector's), each rolled back twice (a rollback run again changes nothing).
    for (int step = 0; step <= 6; ++step) {
        const uint64_t cut = 1 + (writes - 1) * step / 6;
        SCOPED_TRACE("power cut before write " + std::to_string(cut) + " of " + std::to_string(writes));
        CopyFixture(c.recipe, image);
        const std::string cutUndo = dir.File("cut" + std::to_string(step) + ".undo");
        std::string thrown;
        ConvertWithUndo(image, cutUndo, c.path, cut, &thrown);
        Rollback(image, cutUndo);
        Rollback(image, cutUndo);
        EXPECT_EQ(UsedDigest(image), usedBefore);
    }
    ExpectSoundNtfs(image, before);
}

INSTANTIATE_TEST_SUITE_P(Paths, UndoRollback,
                         ::testing::Values(Case{"same-lowdata", Path::SameCluster},
                                           Case{"same-lowdata", Path::LargerCluster},
                                           Case{"convert512", Path::SameCluster}),
                         [](const auto& info) {
                             std::string name = info.param.recipe;
                             for (char& ch : name) if (ch == '-') ch = '_';
                             return name + (info.param.path == Path::SameCluster ? "_same" : "_larger");
                         });

// The undo file may not lie on the volume it protects: for an image, the image itself.
TEST(UndoRollbackRefusal, UndoFileOnTheTargetIsRefusedBeforeAnyWrite) {
    TempDir dir("undo-e2e");
    const std::string image = CopyFixture("same-lowdata", dir.File("volume.img"));
    const std::string digest = Sha256File(image);
    OpenImage open(image);
    std::string problem;
    EXPECT_FALSE(StartUndo(image, image, UndoDirection::NtfsToFat32, open.device, &problem));
    EXPECT_NE(problem.find("must not lie on the volume"), std::string::npos) << problem;
    EXPECT_EQ(Sha256File(image), digest);
}

// FAT to NTFS with an undo file, cut off by a power cut before write `cutAt` (0: never).
// Returns the writes the conversion issued.
uint64_t FatToNtfsWithUndo(const std::string& image, const std::string& undoPath, uint64_t cutAt) {
    OpenImage open(image);
    FaultyDevice disk(open.device);
    disk.FailWritesFrom(cutAt);
    CFatVolume fat(&disk);
    EXPECT_TRUE(fat.Read()) << fat.Problem();
    std::string problem;
    auto undo = StartUndo(undoPath, image, UndoDirection::FatToNtfs, disk, &problem);
    EXPECT_TRUE(undo) << problem;
    if (!undo) return 0;
    CNtfsWriter writer(&fat, undo.get(), [] { return true; });
    EXPECT_TRUE(writer.Plan()) << writer.Problem();
    const bool written = writer.Write([](const std::string&) {});
    EXPECT_EQ(written, cutAt == 0) << writer.Problem();
    return disk.WriteCalls();
}

// The FAT volumes rolled back: the sample tree on FAT12, FAT16 and FAT32, and a FAT16 and a
// FAT32 volume whose last cluster holds file data (the NTFS backup boot sector goes there, so
// the conversion moves that data and overwrites sectors the FAT used).
std::vector<FatFixtureLayout> UndoFatLayouts(const TempDir& dir) {
    std::vector<FatFixtureLayout> out;
    for (const int bits : {12, 16, 32}) {
        FatFixtureLayout layout;
        layout.fatBits = bits;
        layout.megabytes = bits == 32 ? 48 : bits == 16 ? 16 : 8;
        layout.sectorsPerCluster = bits == 12 ? 4 : 1;
        layout.label = "UNDO";
        layout.steps = SampleFatSteps();
        out.push_back(layout);
    }
    for (const int bits : {16, 32}) {
        FatFixtureLayout layout;
        layout.fatBits = bits;
        layout.megabytes = bits == 32 ? 40 : 16;
        layout.label = "FULL";
        const std::string empty = dir.File("empty" + std::to_string(bits) + ".img");
        MakeFatImage(empty, layout);
        OpenImage open(empty);
        CFatVolume fat(&open.device);
        EXPECT_TRUE(fat.ReadBootSector() && fat.ReadFats()) << fat.Problem();
        const uint64_t free = uint64_t{fat.FreeClusters()} * fat.ClusterBytes();
        layout.steps = {FatStep::File("head.bin", 2 << 20), FatStep::File("tail.bin", free - (2 << 20)),
                        FatStep::Delete("head.bin")};
        out.push_back(layout);
    }
    return out;
}

TEST(UndoFatToNtfs, FinishedAndCutOffConversionsRollBackToTheSameFat) {
    TempDir dir("undo-fat");
    for (const FatFixtureLayout& layout : UndoFatLayouts(dir)) {
        SCOPED_TRACE("FAT" + std::to_string(layout.fatBits) + " " + layout.label);
        const std::string pristine = dir.File("pristine.img");
        MakeFatImage(pristine, layout);
        const std::string usedBefore = UsedDigest(pristine, UndoDirection::FatToNtfs);
        const std::string image = dir.File("volume.img");

        std::filesystem::copy_file(pristine, image, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::remove(dir.File("whole.undo"));
        const uint64_t writes = FatToNtfsWithUndo(image, dir.File("whole.undo"), 0);
        ASSERT_GT(writes, 3u);
        EXPECT_EQ(RunCommand({"ntfsfix", "-n", image}).exitCode, 0);
        Rollback(image, dir.File("whole.undo"));
        EXPECT_EQ(UsedDigest(image, UndoDirection::FatToNtfs), usedBefore);
        EXPECT_TRUE(FsckFat(image).Clean()) << FsckFat(image).output;

        for (int step = 0; step <= 5; ++step) {
            const uint64_t cut = 1 + (writes - 1) * step / 5;
            SCOPED_TRACE("power cut before write " + std::to_string(cut) + " of " + std::to_string(writes));
            std::filesystem::copy_file(pristine, image, std::filesystem::copy_options::overwrite_existing);
            const std::string undo = dir.File("cut" + std::to_string(step) + ".undo");
            std::filesystem::remove(undo);
            FatToNtfsWithUndo(image, undo, cut);
            Rollback(image, undo);
            EXPECT_EQ(UsedDigest(image, UndoDirection::FatToNtfs), usedBefore);
            const FsckResult fsck = FsckFat(image);
            EXPECT_TRUE(fsck.Clean()) << fsck.output;
        }
    }
}

// The command lines of the FAT to NTFS direction: velundra-tontfs --undo, then
// velundra-convert --rollback gives the FAT volume back.
TEST(UndoFatToNtfs, CommandLinesConvertAndRollBack) {
    TempDir dir("undo-fat-cli");
    FatFixtureLayout layout;
    layout.fatBits = 32;
    layout.megabytes = 48;
    layout.label = "UNDO";
    layout.steps = SampleFatSteps();
    const std::string image = dir.File("volume.img"), undo = dir.File("volume.undo");
    MakeFatImage(image, layout);
    const std::string usedBefore = UsedDigest(image, UndoDirection::FatToNtfs);
    CommandOptions options;
    options.input = "UNDO\n";
    const CommandResult converted = RunCommand({ToolPath("tontfs"), "--undo", undo, image, "/FS:NTFS"}, options);
    ASSERT_EQ(converted.exitCode, 0) << converted.out << converted.err;
    EXPECT_NE(converted.out.find("To undo this conversion: velundra-convert --rollback " + undo + " " + image),
              std::string::npos) << converted.out;
    EXPECT_EQ(RunCommand({"ntfsfix", "-n", image}).exitCode, 0);
    const CommandResult back = RunCommand({ProgramPath("velundra-convert"), "--rollback", undo, "--yes", image});
    ASSERT_EQ(back.exitCode, 0) << back.Describe();
    EXPECT_EQ(UsedDigest(image, UndoDirection::FatToNtfs), usedBefore);
    EXPECT_TRUE(FsckFat(image).Clean());
}

// velundra-convert killed by SIGKILL at random moments of a conversion with --undo: whatever
// the moment, --rollback gives back the used sectors (or, when the kill came before the undo
// file's header was durable, nothing was written).
TEST(UndoCommandLine, KilledAtRandomMomentsRollsBack) {
    TempDir dir("undo-cli");
    const std::string pristine = CopyFixture("same-lowdata", dir.File("pristine.img"));
    const std::string usedBefore = UsedDigest(pristine);
    const std::string pristineDigest = Sha256File(pristine);
    const std::string convert = ProgramPath("velundra-convert");
    const std::string image = dir.File("volume.img");

    // A whole run first: how long a conversion takes, and the rollback command it prints.
    CopyFixture("same-lowdata", image);
    const std::string firstUndo = dir.File("whole.undo");
    const double t0 = platform::MonotonicSeconds();
    const CommandResult whole = RunCommand({convert, "--yes", "--quiet", "--undo", firstUndo, image});
    const double seconds = platform::MonotonicSeconds() - t0;
    ASSERT_EQ(whole.exitCode, 0) << whole.Describe();
    EXPECT_NE(whole.err.find("To undo this conversion: velundra-convert --rollback " + firstUndo + " " + image),
              std::string::npos) << whole.err;
    const CommandResult back = RunCommand({convert, "--rollback", firstUndo, "--yes", image});
    ASSERT_EQ(back.exitCode, 0) << back.Describe();
    EXPECT_EQ(UsedDigest(image), usedBefore);

    std::mt19937 random(20261211);
    std::uniform_real_distribution<double> moment(0.0, seconds * 1.2);
    for (int run = 0; run < 6; ++run) {
        const double killAt = moment(random);
        SCOPED_TRACE("killed after " + std::to_string(killAt) + " s of " + std::to_string(seconds));
        CopyFixture("same-lowdata", image);
        const std::string undo = dir.File("kill" + std::to_string(run) + ".undo");
        RunShell("timeout -s KILL " + std::to_string(killAt) + " " + ShellQuote(convert) +
                 " --yes --quiet --undo " + ShellQuote(undo) + " " + ShellQuote(image));
        const CommandResult rolled = RunCommand({convert, "--rollback", undo, "--yes", image});
        if (rolled.exitCode != 0) {
            // Only a kill before the header was written leaves no usable file; then the volume
            // must be as it was.
            EXPECT_EQ(Sha256File(image), pristineDigest) << rolled.Describe();
            continue;
        }
        EXPECT_EQ(UsedDigest(image), usedBefore);
    }
}

// What the command line refuses, before anything is written.
TEST(UndoCommandLine, RefusalsChangeNothing) {
    TempDir dir("undo-cli");
    const std::string convert = ProgramPath("velundra-convert");
    const std::string image = CopyFixture("same-lowdata", dir.File("volume.img"));
    const std::string other = CopyFixture("convert512", dir.File("other.img"));
    const std::string undo = dir.File("volume.undo");
    const std::string digest = Sha256File(image);

    // An undo file that exists already is never overwritten.
    { std::FILE* f = std::fopen(undo.c_str(), "w"); std::fputs("earlier", f); std::fclose(f); }
    CommandResult r = RunCommand({convert, "--yes", "--undo", undo, image});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;
    EXPECT_EQ(Sha256File(image), digest);
    std::remove(undo.c_str());

    // The rollback of a file made for another volume, or of a damaged file.
    ASSERT_EQ(RunCommand({convert, "--yes", "--quiet", "--undo", undo, image}).exitCode, 0);
    const std::string converted = Sha256File(image);
    const std::string otherDigest = Sha256File(other);
    r = RunCommand({convert, "--rollback", undo, "--yes", other});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("does not belong"), std::string::npos) << r.err;
    EXPECT_EQ(Sha256File(other), otherDigest);

    std::string bytes = ReadFileBytes(undo);
    bytes[sizeof(UNDO_FILE_HEADER) + sizeof(UNDO_RECORD_HEADER) + 100] ^= 0x40;
    { std::FILE* f = std::fopen(undo.c_str(), "wb"); std::fwrite(bytes.data(), 1, bytes.size(), f); std::fclose(f); }
    r = RunCommand({convert, "--rollback", undo, "--yes", image});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
    EXPECT_EQ(Sha256File(image), converted);
}

}  // namespace
