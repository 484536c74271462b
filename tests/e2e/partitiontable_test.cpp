// Partition tables through libfdisk on whole-disk images that sfdisk partitioned: the kind of
// table, a partition's place and type, the MBR type change (read back by sfdisk), and the
// refusals that leave a disk as it was.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/PartitionTable.h"
#include "tests/support/Command.h"
#include "tests/support/Sha256.h"

namespace {

using platform::PartitionEntry;
using platform::PartitionTableKind;
using testsupport::RunCommand;
using testsupport::TempDir;

// A 16 MiB sparse disk image with the table sfdisk makes from `script`.
std::string MakeDisk(const TempDir& dir, const std::string& name, const std::string& script) {
    const std::string path = dir.File(name);
    EXPECT_TRUE(RunCommand({"truncate", "-s", "16M", path}).Ok());
    if (!script.empty()) {
        testsupport::CommandOptions input;
        input.input = script;
        const auto r = RunCommand({"sfdisk", "--quiet", "--no-reread", "--no-tell-kernel", path}, input);
        EXPECT_TRUE(r.Ok()) << r.Describe();
    }
    return path;
}

std::string SfdiskType(const std::string& disk, int number) {
    const auto r = RunCommand({"sfdisk", "--part-type", disk, std::to_string(number)});
    EXPECT_TRUE(r.Ok()) << r.Describe();
    std::string out = r.out;
    const size_t first = out.find_first_not_of(" \n");
    return first == std::string::npos ? "" : out.substr(first, out.find_last_not_of(" \n") - first + 1);
}

const char kMbrScript[] =
    "label: dos\n"
    "start=2048, size=8192, type=7\n"
    "start=10240, size=4096, type=83\n"
    "start=14336, size=16384, type=5\n"
    "start=16384, size=8192, type=7\n";

const char kGptScript[] =
    "label: gpt\n"
    "start=2048, size=20480, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n";

TEST(PartitionTable, ReadsKindPlaceAndType) {
    TempDir dir("ptable");
    const std::string mbr = MakeDisk(dir, "mbr.img", kMbrScript);
    const std::string gpt = MakeDisk(dir, "gpt.img", kGptScript);
    const std::string bare = MakeDisk(dir, "bare.img", "");

    const struct {
        std::string disk;
        uint32_t number;
        PartitionTableKind kind;
        uint64_t start, sectors;
        uint32_t mbrType;
        std::string gptType;
    } cases[] = {
        {mbr, 1, PartitionTableKind::Mbr, 2048, 8192, 0x07, ""},
        {mbr, 2, PartitionTableKind::Mbr, 10240, 4096, 0x83, ""},
        {mbr, 5, PartitionTableKind::Mbr, 16384, 8192, 0x07, ""},  // the logical one
        {gpt, 1, PartitionTableKind::Gpt, 2048, 20480, 0, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.disk + " " + std::to_string(c.number));
        PartitionTableKind kind = PartitionTableKind::Other;
        PartitionEntry entry;
        std::string error;
        ASSERT_TRUE(platform::ReadPartition(c.disk, platform::kInvalidVolume, c.number, &kind, &entry, &error))
            << error;
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(entry.startSector, c.start);
        EXPECT_EQ(entry.sectors, c.sectors);
        EXPECT_EQ(entry.mbrType, c.mbrType);
        EXPECT_EQ(entry.gptType, c.gptType);
    }

    PartitionTableKind kind = PartitionTableKind::Mbr;
    std::string error;
    ASSERT_TRUE(platform::ReadPartitionTableKind(bare, platform::kInvalidVolume, &kind, &error)) << error;
    EXPECT_EQ(kind, PartitionTableKind::None);

    // Slots that hold no file system are refused with a reason.
    const struct {
        std::string disk;
        uint32_t number;
    } empty[] = {{mbr, 3}, {mbr, 4}, {mbr, 0}, {mbr, 9}, {gpt, 2}, {bare, 1}};
    for (const auto& e : empty) {
        PartitionEntry entry;
        error.clear();
        EXPECT_FALSE(platform::ReadPartition(e.disk, platform::kInvalidVolume, e.number, &kind, &entry, &error))
            << e.disk << " " << e.number;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(platform::ReadPartitionTableKind(dir.File("missing.img"), platform::kInvalidVolume,
                                                  &kind, &error));
}

TEST(PartitionTable, ChangesAnMbrTypeThroughAHeldHandleAndRefusesOtherTables) {
    TempDir dir("ptype");
    const std::string mbr = MakeDisk(dir, "mbr.img", kMbrScript);

    // Through a handle the caller holds: the handle stays open and usable.
    const int fd = open(mbr.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string error;
    ASSERT_TRUE(platform::SetMbrPartitionType(mbr, fd, 1, 0x0C, &error)) << error;
    char byte = 0;
    EXPECT_EQ(pread(fd, &byte, 1, 510), 1) << "the caller's handle was closed";
    close(fd);
    EXPECT_EQ(SfdiskType(mbr, 1), "c");
    EXPECT_EQ(SfdiskType(mbr, 2), "83");
    EXPECT_EQ(SfdiskType(mbr, 5), "7");

    // By path, on a logical partition.
    ASSERT_TRUE(platform::SetMbrPartitionType(mbr, platform::kInvalidVolume, 5, 0x0C, &error)) << error;
    EXPECT_EQ(SfdiskType(mbr, 5), "c");
    EXPECT_EQ(SfdiskType(mbr, 1), "c");

    // GPT, no table, an empty slot: refused, the disk unchanged.
    const std::string gpt = MakeDisk(dir, "gpt.img", kGptScript);
    const std::string bare = MakeDisk(dir, "bare.img", "");
    const struct {
        std::string disk;
        uint32_t number;
    } refused[] = {{gpt, 1}, {bare, 1}, {mbr, 3}, {mbr, 4}};
    for (const auto& r : refused) {
        const std::string before = testsupport::Sha256File(r.disk);
        error.clear();
        EXPECT_FALSE(platform::SetMbrPartitionType(r.disk, platform::kInvalidVolume, r.number, 0x0C, &error))
            << r.disk << " " << r.number;
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(testsupport::Sha256File(r.disk), before) << r.disk << " " << r.number;
    }
}

TEST(PartitionTable, ImagesAndWholeDisksAreNoPartitions) {
    TempDir dir("ploc");
    const std::string mbr = MakeDisk(dir, "mbr.img", kMbrScript);
    EXPECT_FALSE(platform::LocatePartition(mbr).has_value());
    EXPECT_FALSE(platform::LocatePartition(dir.File("missing")).has_value());
    EXPECT_FALSE(platform::LocatePartition("/dev/null").has_value());
}

// Any partition block device of this machine names its disk and number as sysfs does.
TEST(PartitionTable, FindsTheDiskOfAPartitionDevice) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const fs::directory_entry& node : fs::directory_iterator("/sys/class/block", ec)) {
        const std::string name = node.path().filename().string();
        if (!fs::exists(node.path() / "partition") || !fs::exists("/dev/" + name)) continue;
        const auto where = platform::LocatePartition("/dev/" + name);
        ASSERT_TRUE(where.has_value()) << name;
        EXPECT_EQ(where->diskPath, "/dev/" + fs::canonical(node.path()).parent_path().filename().string());
        EXPECT_EQ(std::to_string(where->number), testsupport::ReadFileBytes((node.path() / "partition").string())
                                                      .substr(0, std::to_string(where->number).size()));
        EXPECT_GT(where->sectors, 0u);
        return;
    }
    GTEST_SKIP() << "this machine has no partition block device (loop devices with partitions "
                    "are not available everywhere)";
}

}  // namespace
