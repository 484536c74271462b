// velundra-convert --partition N on whole-disk images that sfdisk partitioned (MBR and GPT),
// holding the 40 MiB ntfs-3g volume "convert512" in one partition and random bytes around
// it: only the partition's sectors change (and, on MBR, the type byte 0x07 -> 0x0C), the
// partition reads back as the NTFS volume it was (fsck.fat on the partition alone, The
// Sleuth Kit through the disk at the partition's offset), an undo file puts the whole disk
// back, and what is no partition is refused without a write. A partition block device
// (losetup -P) is converted where this machine has them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/DriveTable.h"
#include "platform/PartitionTable.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Sha256.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

const char kVolume[] = "convert512";           // 40 MiB, 512-byte clusters
constexpr uint64_t kStart = 2048;              // the partition's first sector
constexpr uint64_t kSectors = 40 * 2048;       // the volume's length in sectors
constexpr uint64_t kDiskSectors = kStart + kSectors + 2048;  // room behind it (GPT's backup)
constexpr uint64_t kMbrTypeOffset = 446 + 4;   // the first MBR entry's type byte

CommandResult Convert(const std::vector<std::string>& args) {
    std::vector<std::string> argv{ProgramPath("velundra-convert")};
    argv.insert(argv.end(), args.begin(), args.end());
    CommandOptions options;
    options.timeoutSeconds = 300;
    return RunCommand(argv, options);
}

std::string LastLine(const std::string& text) {
    std::string t = text;
    while (!t.empty() && t.back() == '\n') t.pop_back();
    const size_t at = t.rfind('\n');
    return at == std::string::npos ? t : t.substr(at + 1);
}

// `count` sectors of a file from sector `first`.
std::string Sectors(const std::string& path, uint64_t first, uint64_t count) {
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(first * 512));
    std::string out(count * 512, '\0');
    f.read(out.data(), static_cast<std::streamsize>(out.size()));
    out.resize(static_cast<size_t>(f.gcount()));
    return out;
}

std::string SfdiskType(const std::string& disk, int number) {
    const CommandResult r = RunCommand({"sfdisk", "--part-type", disk, std::to_string(number)});
    EXPECT_TRUE(r.Ok()) << r.Describe();
    std::string t = r.out;
    t.erase(std::remove_if(t.begin(), t.end(), [](char ch) { return ch == '\n' || ch == ' '; }), t.end());
    return t;
}

// A whole-disk image: random bytes (seeded), the table sfdisk makes from `script` (empty: no
// table), and the NTFS volume's bytes in the partition's place.
std::string MakeDisk(const TempDir& dir, const std::string& name, const std::string& script) {
    const std::string disk = dir.File(name);
    {
        std::mt19937_64 random(0x5D15C);
        std::string bytes(kDiskSectors * 512, '\0');
        for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
            const uint64_t v = random();
            std::copy_n(reinterpret_cast<const char*>(&v), 8, bytes.begin() + static_cast<std::ptrdiff_t>(i));
        }
        const std::string volume = ReadFileBytes(FixtureImage(kVolume));
        EXPECT_EQ(volume.size(), kSectors * 512);
        std::copy(volume.begin(), volume.end(), bytes.begin() + static_cast<std::ptrdiff_t>(kStart * 512));
        WriteFileBytes(disk, bytes);
    }
    if (!script.empty()) {
        CommandOptions input;
        input.input = script;
        const CommandResult r = RunCommand({"sfdisk", "--quiet", "--no-reread", "--no-tell-kernel", disk}, input);
        EXPECT_TRUE(r.Ok()) << r.Describe();
    }
    return disk;
}

std::string Script(const std::string& label, const std::string& type) {
    return "label: " + label + "\nstart=" + std::to_string(kStart) + ", size=" + std::to_string(kSectors) +
           ", type=" + type + "\n";
}

const char kBasicData[] = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

// What the Sleuth Kit lists of a FAT32 volume at `offset` sectors of an image.
std::string FatListing(const std::string& image, uint64_t offset) {
    const CommandResult r =
        RunCommand({"fls", "-o", std::to_string(offset), "-f", "fat32", "-r", "-p", "-m", "/", "-z", "UTC", image});
    EXPECT_TRUE(r.Ok()) << r.Describe();
    return r.out;
}

// Expects the disk outside the partition as it was; `typeByte` (>= 0): the first MBR entry's
// type, the one byte there that may differ.
void ExpectOutsideUnchanged(const std::string& disk, const std::string& before, int typeByte) {
    std::string head = Sectors(disk, 0, kStart);
    std::string headBefore = Sectors(before, 0, kStart);
    if (typeByte >= 0) {
        EXPECT_EQ(static_cast<unsigned char>(head[kMbrTypeOffset]), typeByte);
        head[kMbrTypeOffset] = headBefore[kMbrTypeOffset];
    }
    EXPECT_TRUE(head == headBefore) << "the sectors before the partition changed";
    EXPECT_TRUE(Sectors(disk, kStart + kSectors, 2048) == Sectors(before, kStart + kSectors, 2048))
        << "the sectors behind the partition changed";
}

TEST(ConvertPartition, ConvertsOnePartitionOfAWholeDiskAndRetypesIt) {
    const NtfsSnapshot snapshot = TakeNtfsSnapshot(FixtureImage(kVolume));
    const struct {
        std::string name, script;
        std::string check;      // what --check says of the type
        std::string done;       // what the end line says of it
        std::string typeAfter;  // as sfdisk reads it back
        int typeByte;           // the MBR byte afterwards; -1 on GPT
    } cases[] = {
        {"mbr", Script("dos", "7"), "partition 1's type would change from 0x07 to 0x0C",
         "partition 1's type changed from 0x07 to 0x0C", "c", 0x0C},
        {"mbr-hidden", Script("dos", "17"), "partition 1's type 0x17 kept", "partition 1's type 0x17 kept", "17", 0x17},
        {"gpt", Script("gpt", kBasicData), "partition 1's type kept (GPT)", "partition 1's type kept (GPT)", kBasicData,
         -1},
    };
    TempDir dir("partition");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string disk = MakeDisk(dir, c.name + ".img", c.script);
        const std::string before = dir.File(c.name + "-before.img");
        fs::copy_file(disk, before);
        const std::string sha = Sha256File(disk);

        const CommandResult check = Convert({"--check", "--partition", "1", disk});
        ASSERT_EQ(check.exitCode, 0) << check.Describe();
        EXPECT_NE(check.out.find(disk + " partition 1: NTFS, 40.00 MiB"), std::string::npos) << check.out;
        EXPECT_TRUE(LastLine(check.out).ends_with(", " + c.check)) << LastLine(check.out);
        ExpectImageUnchanged(disk, sha);

        const CommandResult r = Convert({"--yes", "--partition=1", disk});
        ASSERT_EQ(r.exitCode, 0) << r.Describe();
        const std::string end = LastLine(r.out);
        EXPECT_TRUE(end.starts_with("Converted: same-cluster path, ") && end.ends_with(" s, " + c.done)) << end;
        EXPECT_EQ(SfdiskType(disk, 1), c.typeAfter);
        ExpectOutsideUnchanged(disk, before, c.typeByte);

        // The partition alone is the converted volume; the Sleuth Kit finds the same through
        // the disk at the partition's offset.
        const std::string part = dir.File(c.name + "-part.img");
        WriteFileBytes(part, Sectors(disk, kStart, kSectors));
        ExpectConvertedVolumeMatches(snapshot, part);
        EXPECT_EQ(FatListing(disk, kStart), FatListing(part, 0));
    }
}

// Names, kinds, sizes, times and bytes of an NTFS snapshot, for comparing two volumes.
std::vector<std::string> Contents(const NtfsSnapshot& snapshot) {
    std::vector<std::string> out;
    for (const auto& [path, e] : snapshot.entries)
        out.push_back(path + (e.isDir ? "/" : "") + " " + std::to_string(e.size) + " " + std::to_string(e.mtime) + " " +
                      e.sha256);
    return out;
}

// An undo file of a partition's conversion puts the partition's NTFS volume back and its type
// byte too, and the disk around it stays as it was; the same file does not fit the whole disk.
TEST(ConvertPartition, RollbackPutsTheVolumeAndItsTypeBack) {
    TempDir dir("partundo");
    const std::string disk = MakeDisk(dir, "mbr.img", Script("dos", "7"));
    const std::string before = dir.File("before.img");
    fs::copy_file(disk, before);
    const std::string undo = dir.File("undo.vlu");

    const CommandResult r = Convert({"--yes", "--undo", undo, "--partition", "1", disk});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    EXPECT_NE(r.err.find("To undo this conversion: velundra-convert --rollback " + undo + " --partition 1 " + disk),
              std::string::npos)
        << r.err;
    EXPECT_EQ(SfdiskType(disk, 1), "c");
    const std::string converted = Sha256File(disk);

    const CommandResult whole = Convert({"--yes", "--rollback", undo, disk});
    EXPECT_EQ(whole.exitCode, 1) << whole.Describe();
    ExpectImageUnchanged(disk, converted);

    const CommandResult back = Convert({"--yes", "--rollback", undo, "--partition", "1", disk});
    ASSERT_EQ(back.exitCode, 0) << back.Describe();
    EXPECT_NE(back.err.find("partition 1's type changed from 0x0C to 0x07."), std::string::npos) << back.err;
    EXPECT_EQ(SfdiskType(disk, 1), "7");
    ExpectOutsideUnchanged(disk, before, 0x07);
    const std::string part = dir.File("part.img");
    WriteFileBytes(part, Sectors(disk, kStart, kSectors));
    EXPECT_EQ(Contents(TakeNtfsSnapshot(part)), Contents(TakeNtfsSnapshot(FixtureImage(kVolume))));
}

// What names no partition holding a volume is refused before anything is written; a missing
// or malformed number is wrong usage.
TEST(ConvertPartition, WhatIsNoPartitionIsRefusedAndNothingChanges) {
    TempDir dir("partrefuse");
    const std::string bare = MakeDisk(dir, "bare.img", "");
    const std::string mbr = MakeDisk(dir, "mbr.img",
                                     "label: dos\nstart=2048, size=81920, type=7\nstart=83968, size=2048, type=5\n");
    // A table whose first entry runs past the end of the disk (sfdisk will not write one).
    const std::string longer = MakeDisk(dir, "longer.img", Script("dos", "7"));
    {
        std::string head = Sectors(longer, 0, 1);
        const uint32_t sectors = kDiskSectors;  // from sector 2048 on: 2048 sectors too many
        std::copy_n(reinterpret_cast<const char*>(&sectors), 4, head.begin() + 446 + 12);
        std::fstream f(longer, std::ios::in | std::ios::out | std::ios::binary);
        f.write(head.data(), 512);
    }
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string says;  // on stderr
    } cases[] = {
        {{"--yes", "--partition", "1", bare}, 1, bare + " has no partition table"},
        {{"--check", "--partition", "1", bare}, 1, bare + " has no partition table"},
        {{"--yes", "--partition", "3", mbr}, 1, mbr + " has no partition 3"},
        {{"--yes", "--partition", "2", mbr}, 1, "is an extended partition"},
        {{"--yes", "--partition", "1", longer}, 1, longer + " partition 1 reaches past the end of the disk"},
        {{"--yes", mbr}, 1, ""},  // the whole disk is no NTFS volume
        {{"--yes", "--partition", "0", mbr}, 2, "--partition needs a partition number (1, 2, ...)"},
        {{"--yes", "--partition=x1", mbr}, 2, "--partition needs a partition number (1, 2, ...)"},
        {{"--yes", "--partition"}, 2, "--partition needs a partition number (1, 2, ...)"},
    };
    const std::string shaBare = Sha256File(bare), shaMbr = Sha256File(mbr), shaLonger = Sha256File(longer);
    for (const auto& c : cases) {
        const CommandResult r = Convert(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.Describe();
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Converted"), std::string::npos) << r.out;
    }
    ExpectImageUnchanged(bare, shaBare);
    ExpectImageUnchanged(mbr, shaMbr);
    ExpectImageUnchanged(longer, shaLonger);
}

// The disk the running system lies on is refused as a whole and partition by partition:
// locking it would unmount the system's partitions first. Only --check is asked, which never
// writes, so a fault here cannot harm the machine.
TEST(ConvertPartition, TheDiskOfTheSystemVolumeIsRefused) {
    const std::string system = platform::SystemVolumeDevice();
    const auto where = platform::LocatePartition(system);
    if (!where) GTEST_SKIP() << "/ is not on a partition block device here (" << system << ")";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--check", where->diskPath},
          std::vector<std::string>{"--check", "--partition", std::to_string(where->number), where->diskPath}}) {
        const CommandResult r = Convert(args);
        EXPECT_EQ(r.exitCode, 1) << r.Describe();
        const std::string disk = where->diskPath;
        EXPECT_TRUE(r.err == "The volume '" + disk + "' holds the running operating system and cannot be converted.\n" ||
                    r.err.rfind("The program self is running on the volume '" + disk + "' which will be converted", 0) == 0)
            << r.err;
    }
}

// A loop device with partitions, detached when the test ends.
class PartitionedLoop {
public:
    explicit PartitionedLoop(const std::string& image) {
        const CommandResult r = RunCommand({"losetup", "-P", "-f", "--show", image});
        if (r.Ok()) device_ = LastLine(r.out);
    }
    ~PartitionedLoop() { Detach(); }
    // Detaches the device (once), which writes what it holds through to the image.
    void Detach() {
        if (!device_.empty()) RunCommand({"losetup", "-d", device_});
        device_.clear();
    }
    PartitionedLoop(const PartitionedLoop&) = delete;
    PartitionedLoop& operator=(const PartitionedLoop&) = delete;
    const std::string& Device() const { return device_; }
    // The kernel's device of partition 1, when the kernel made one.
    std::string FirstPartition() const {
        if (device_.empty()) return "";
        const std::string name = fs::path(device_).filename().string() + "p1";
        for (int i = 0; i < 50; ++i) {  // udev, where there is one, makes the node a moment later
            if (fs::exists("/sys/class/block/" + name + "/partition") && fs::exists("/dev/" + name)) return "/dev/" + name;
            RunCommand({"sleep", "0.1"});
        }
        return "";
    }

private:
    std::string device_;
};

// A TARGET that is itself a partition block device is converted without --partition, and its
// entry in the disk's table (found through sysfs) is retyped.
TEST(ConvertPartition, APartitionDeviceIsRetypedInItsDisksTable) {
    TempDir dir("partloop");
    const std::string disk = MakeDisk(dir, "mbr.img", Script("dos", "7"));
    const std::string before = dir.File("before.img");
    fs::copy_file(disk, before);
    PartitionedLoop loop(disk);
    const std::string partition = loop.FirstPartition();
    if (partition.empty()) {
        GTEST_SKIP() << "this machine gives loop devices no partition devices (losetup -P "
                     << (loop.Device().empty() ? "failed" : "made no " + loop.Device() + "p1") << ")";
    }

    const CommandResult wrong = Convert({"--yes", "--partition", "1", partition});
    EXPECT_EQ(wrong.exitCode, 1) << wrong.Describe();
    EXPECT_NE(wrong.err.find(partition + " is itself partition 1 of " + loop.Device()), std::string::npos) << wrong.err;
    ExpectImageUnchanged(disk, Sha256File(before));

    const CommandResult r = Convert({"--yes", partition});
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    EXPECT_TRUE(LastLine(r.out).ends_with(", partition 1's type changed from 0x07 to 0x0C")) << LastLine(r.out);
    loop.Detach();
    EXPECT_EQ(SfdiskType(disk, 1), "c");
    ExpectOutsideUnchanged(disk, before, 0x0C);
    const std::string part = dir.File("part.img");
    WriteFileBytes(part, Sectors(disk, kStart, kSectors));
    ExpectConvertedVolumeMatches(TakeNtfsSnapshot(FixtureImage(kVolume)), part);
}

// A disk image one of whose partitions is mounted through a loop device is in use: the
// conversion asks, unmounts it and only then writes.
TEST(ConvertPartition, AMountedPartitionOfTheImageIsUnmountedFirst) {
    TempDir dir("partmount");
    const std::string disk = MakeDisk(dir, "mbr.img", Script("dos", "7"));
    PartitionedLoop loop(disk);
    const std::string partition = loop.FirstPartition();
    if (partition.empty()) {
        GTEST_SKIP() << "this machine gives loop devices no partition devices (losetup -P "
                     << (loop.Device().empty() ? "failed" : "made no " + loop.Device() + "p1") << ")";
    }
    const std::string mnt = dir.File("mnt");
    fs::create_directory(mnt);
    const CommandResult mounted = RunCommand({"ntfs-3g", partition, mnt});
    ASSERT_TRUE(mounted.Ok()) << mounted.Describe();
    const std::vector<std::string> points = platform::MountPointsOf(disk);
    EXPECT_NE(std::find(points.begin(), points.end(), fs::canonical(mnt).string()), points.end()) << mnt;

    const CommandResult r = Convert({"--yes", "--partition", "1", disk});
    UnmountBelow(dir.Path());  // in case the conversion did not
    EXPECT_EQ(r.exitCode, 0) << r.Describe();
    EXPECT_TRUE(platform::MountPointsOf(disk).empty());
    loop.Detach();
    EXPECT_EQ(SfdiskType(disk, 1), "c");
}

}  // namespace
