// The converted-volume judge on a hand-made pair: an NTFS image (ntfs-3g) and a FAT32 image
// (mkfs.fat + mcopy -m) built from the same staged files and times. The pair must match; each
// kind of damage done to a copy of the FAT image must be caught, with the path named.

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>

#include "tests/support/Command.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/Sha256.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// What is staged: files with their bytes, directories, and every time set explicitly (odd
// seconds among them, so that the 2-second rounding is exercised).
struct StagedFile {
    const char* path;
    size_t bytes;
    int64_t mtime;
};
// The longest name: fls shows only its first 247 units, mdir all 255.
const std::string kLongName = std::string(251, 'N') + ".txt";
const StagedFile kFiles[] = {
    {"empty.txt", 0, 981173107},                        // 2001-02-03 04:05:07
    {"tiny.txt", 6, 1276603200},                        // 2010-06-15 12:00:00
    {"data/block.bin", 10000, 946684799},               // 1999-12-31 23:59:59
    {"data/large.bin", 1536 * 1024 + 3, 1582971072},    // 2020-02-29 10:11:12
    {"Sub Dir/deep/nested.txt", 700, 1700000001},
    {"\xC3\x9Cn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9 fa\xC3\xA7" "ade.txt", 42, 1234567891},
    {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", 4097, 1111111111},
    {"A long file name with spaces.text", 300, 1300000000},
    {kLongName.c_str(), 5, 1300000002},
};
struct StagedDir {
    const char* path;
    int64_t mtime;
};
// Deepest first, so that setting a parent's time comes after its children are complete.
const StagedDir kDirs[] = {
    {"Sub Dir/deep", 1600000003}, {"Sub Dir", 1500000000}, {"data", 1400000005},
    {"emptydir", 1115269505},
};

std::string Bytes(size_t n, uint32_t seed) {
    std::mt19937 random(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(random());
    return s;
}

void RunOrThrow(const std::vector<std::string>& argv, const CommandOptions& options = {}) {
    const CommandResult r = RunCommand(argv, options);
    if (!r.Ok()) throw std::runtime_error(argv[0] + " failed: " + r.Describe());
}

CommandOptions MtoolsEnv() {
    CommandOptions o;
    o.env = {{"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}, {"TZ", "UTC"}};
    return o;
}

// The failure messages a statement produces, intercepted so that the test itself passes.
std::vector<std::string> FailuresOf(const std::function<void()>& statement) {
    ::testing::TestPartResultArray results;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
        statement();
    }
    std::vector<std::string> messages;
    for (int i = 0; i < results.size(); ++i) messages.push_back(results.GetTestPartResult(i).message());
    return messages;
}

std::string Joined(const std::vector<std::string>& messages) {
    std::string s;
    for (const std::string& m : messages) s += "--\n" + m + "\n";
    return s;
}

// Overwrites bytes of a file in place.
void Patch(const std::string& path, uint64_t offset, const std::string& bytes) {
    std::string all = ReadFileBytes(path);
    ASSERT_LE(offset + bytes.size(), all.size());
    all.replace(offset, bytes.size(), bytes);
    WriteFileBytes(path, all);
}

// The offset of the only occurrence of `needle` in a file.
uint64_t FindUnique(const std::string& path, const std::string& needle) {
    const std::string all = ReadFileBytes(path);
    const size_t at = all.find(needle);
    if (at == std::string::npos || all.find(needle, at + 1) != std::string::npos)
        throw std::runtime_error("not exactly one occurrence in " + path);
    return at;
}

std::string Le32(uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

class ConvertedVolumeJudge : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>("judge");
        const std::string stage = dir_->File("stage");
        for (size_t i = 0; i < std::size(kFiles); ++i) {
            const fs::path p = fs::path(stage) / kFiles[i].path;
            fs::create_directories(p.parent_path());
            WriteFileBytes(p.string(), Bytes(kFiles[i].bytes, static_cast<uint32_t>(i + 1)));
        }
        for (const StagedDir& d : kDirs) fs::create_directories(fs::path(stage) / d.path);
        for (const StagedFile& f : kFiles)
            RunOrThrow({"touch", "-d", "@" + std::to_string(f.mtime), stage + "/" + f.path});
        for (const StagedDir& d : kDirs)
            RunOrThrow({"touch", "-d", "@" + std::to_string(d.mtime), stage + "/" + d.path});

        // NTFS: mount in the foreground so that after the unmount we can wait for ntfs-3g to
        // have written everything.
        ntfs_ = dir_->File("ntfs.img");
        const std::string mnt = dir_->File("mnt");
        const std::string script =
            "set -e\n"
            "truncate -s 16M " + ShellQuote(ntfs_) + "\n"
            "mkntfs -F -Q -q -c 4096 -L Pair " + ShellQuote(ntfs_) + "\n"
            "mkdir " + ShellQuote(mnt) + "\n"
            "ntfs-3g -o no_detach " + ShellQuote(ntfs_) + " " + ShellQuote(mnt) + " & pid=$!\n"
            "i=0; until mountpoint -q " + ShellQuote(mnt) + "; do\n"
            "  i=$((i+1)); [ $i -lt 400 ] || exit 1; sleep 0.05; done\n"
            "cp -r --preserve=timestamps " + ShellQuote(stage) + "/. " + ShellQuote(mnt) + "/\n"
            "umount " + ShellQuote(mnt) + "\n"
            "wait $pid\n";
        CommandOptions env;
        env.env = {{"LC_ALL", "C.UTF-8"}};
        env.timeoutSeconds = 120;
        const CommandResult r = RunShell(script, env);
        if (!r.Ok()) throw std::runtime_error("building the NTFS image failed: " + r.Describe());

        // FAT32 with the same files: 512-byte clusters so that 40 MiB is a FAT32 size.
        fat_ = dir_->File("fat.img");
        RunOrThrow({"truncate", "-s", "40M", fat_});
        RunOrThrow({"mkfs.fat", "-F", "32", "-S", "512", "-s", "1", "-n", "PAIR", fat_});
        std::vector<std::string> mcopy = {"mcopy", "-s", "-m", "-i", fat_};
        for (const auto& entry : fs::directory_iterator(stage))
            mcopy.push_back(entry.path().filename().string());
        mcopy.push_back("::/");
        CommandOptions inStage = MtoolsEnv();
        inStage.workingDir = stage;
        RunOrThrow(mcopy, inStage);

        snapshot_ = std::make_unique<NtfsSnapshot>(TakeNtfsSnapshot(ntfs_));
    }
    static void TearDownTestSuite() {
        snapshot_.reset();
        dir_.reset();
    }

    // A private copy of the FAT image to damage.
    std::string FatCopy(const std::string& name) {
        const std::string copy = dir_->File(name);
        fs::copy_file(fat_, copy, fs::copy_options::overwrite_existing);
        return copy;
    }

    static std::unique_ptr<TempDir> dir_;
    static std::string ntfs_, fat_;
    static std::unique_ptr<NtfsSnapshot> snapshot_;
};
std::unique_ptr<TempDir> ConvertedVolumeJudge::dir_;
std::string ConvertedVolumeJudge::ntfs_;
std::string ConvertedVolumeJudge::fat_;
std::unique_ptr<NtfsSnapshot> ConvertedVolumeJudge::snapshot_;

TEST_F(ConvertedVolumeJudge, SnapshotHoldsWhatWasStaged) {
    const NtfsSnapshot& s = *snapshot_;
    EXPECT_EQ(s.Files(), std::size(kFiles));
    EXPECT_EQ(s.Directories(), std::size(kDirs));
    for (size_t i = 0; i < std::size(kFiles); ++i) {
        SCOPED_TRACE(kFiles[i].path);
        const auto it = s.entries.find(kFiles[i].path);
        ASSERT_NE(it, s.entries.end());
        EXPECT_FALSE(it->second.isDir);
        EXPECT_EQ(it->second.size, kFiles[i].bytes);
        EXPECT_EQ(it->second.mtime, kFiles[i].mtime);
        EXPECT_EQ(it->second.sha256, Sha256Hex(Bytes(kFiles[i].bytes, static_cast<uint32_t>(i + 1))));
    }
    for (const StagedDir& d : kDirs) {
        SCOPED_TRACE(d.path);
        const auto it = s.entries.find(d.path);
        ASSERT_NE(it, s.entries.end());
        EXPECT_TRUE(it->second.isDir);
        EXPECT_EQ(it->second.mtime, d.mtime);
        EXPECT_TRUE(it->second.sha256.empty());
    }
}

TEST_F(ConvertedVolumeJudge, TheSameFilesOnFatMatch) {
    const std::vector<std::string> failures =
        FailuresOf([&] { ExpectConvertedVolumeMatches(*snapshot_, fat_); });
    EXPECT_TRUE(failures.empty()) << Joined(failures);
}

TEST_F(ConvertedVolumeJudge, EmptyVolumesMatch) {
    TempDir dir("judge-empty");
    const std::string fat = dir.File("empty.img");
    RunOrThrow({"truncate", "-s", "40M", fat});
    RunOrThrow({"mkfs.fat", "-F", "32", "-S", "512", "-s", "1", fat});
    EXPECT_TRUE(MtoolsPaths(fat).empty());
    const std::vector<std::string> failures =
        FailuresOf([&] { ExpectConvertedVolumeMatches(NtfsSnapshot{}, fat); });
    EXPECT_TRUE(failures.empty()) << Joined(failures);
    // And everything the pair's NTFS side has is then missing.
    const std::vector<std::string> all =
        FailuresOf([&] { ExpectConvertedVolumeMatches(*snapshot_, fat); });
    EXPECT_NE(Joined(all).find("13 paths of the NTFS volume missing"), std::string::npos)
        << Joined(all);
}

// Each damage done to the FAT copy, and the findings it must produce: every expected text
// appears in some failure, and there are exactly `failures` failures (no check fires twice,
// none fires for a damage it does not concern).
struct Damage {
    const char* name;
    std::function<void(const std::string& image)> apply;
    std::vector<std::string> expected;
    size_t failures;
};

TEST_F(ConvertedVolumeJudge, EveryDamageIsFound) {
    const std::string block = Bytes(10000, 3);  // data/block.bin
    const std::vector<Damage> damages = {
        {"one byte of a file",
         [&](const std::string& img) {
             Patch(img, FindUnique(img, block.substr(0, 64)) + 100,
                   std::string(1, static_cast<char>(block[100] ^ 0x5A)));
         },
         {"1 files whose bytes differ", "\n  data/block.bin (FAT inode"},
         1},
        {"a renamed file",
         [](const std::string& img) { RunOrThrow({"mren", "-i", img, "::/tiny.txt", "::/tiny2.txt"}, MtoolsEnv()); },
         {"missing from the FAT volume (", "\n  tiny.txt", "does not have (", "\n  tiny2.txt",
          "mdir does not list"},
         3},
        {"a dropped file",
         [](const std::string& img) { RunOrThrow({"mdel", "-i", img, "::/data/block.bin"}, MtoolsEnv()); },
         {"1 paths of the NTFS volume missing", "\n  data/block.bin",
          "mdir does not list (", "mdir lists 12 paths"},
         3},
        {"an extra directory",
         [](const std::string& img) { RunOrThrow({"mmd", "-i", img, "::/data/newdir"}, MtoolsEnv()); },
         {"1 paths on the FAT volume that the NTFS volume does not have", "\n  data/newdir/",
          "mdir lists 14 paths"},
         2},
        {"a size field",
         [](const std::string& img) { Patch(img, FindUnique(img, "TINY    TXT") + 0x1C, Le32(5)); },
         {"1 files whose size differs", "\n  tiny.txt: NTFS 6, FAT 5"},
         1},
        {"a write date one day on",
         [](const std::string& img) {
             // 2010-06-15 is (30 << 9) | (6 << 5) | 15; one day on is the 16th.
             Patch(img, FindUnique(img, "TINY    TXT") + 0x18, std::string{'\xD0', '\x3C'});
         },
         {"1 paths whose modification time differs",
          "tiny.txt: NTFS 2010-06-15 12:00:00 (1276603200), expected 2010-06-15 12:00:00 "
          "(1276603200), FAT 2010-06-16 12:00:00"},
         1},
        {"a chain in one FAT only",
         [](const std::string& img) {
             // 40 MiB with 32 reserved sectors (mkfs.fat's default): FAT 1 starts at 16 KiB.
             const std::string boot = ReadFileBytes(img).substr(0, 512);
             const uint32_t reserved = static_cast<uint8_t>(boot[0x0E]) |
                                       static_cast<uint8_t>(boot[0x0F]) << 8;
             Patch(img, reserved * 512ull + 4 * 50000, Le32(0x0FFFFFFF));
         },
         {"fsck.fat -n does not pass"},
         1},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        const std::string img = FatCopy("damaged.img");
        d.apply(img);
        const std::vector<std::string> failures =
            FailuresOf([&] { ExpectConvertedVolumeMatches(*snapshot_, img); });
        const std::string all = Joined(failures);
        for (const std::string& text : d.expected)
            EXPECT_NE(all.find(text), std::string::npos) << "no finding says \"" << text << "\":\n" << all;
        EXPECT_EQ(failures.size(), d.failures) << all;
    }
}

TEST(ExpectedFatMtime, RoundsDownToEvenSecondsWithinTheDosRange) {
    const struct {
        int64_t ntfs, fat;
    } cases[] = {
        {315532800, 315532800},    // 1980-01-01 00:00:00, the first DOS second
        {315532801, 315532800},
        {315532799, 0},            // 1979-12-31 23:59:59: no DOS form
        {-1, 0},
        {-11644473600, 0},         // 1601-01-01, FILETIME 0
        {981173107, 981173106},
        {981173106, 981173106},
        {4354819199, 4354819198},  // 2107-12-31 23:59:59, the last DOS day
        {4354819200, 0},           // 2108-01-01
    };
    for (const auto& c : cases) EXPECT_EQ(ExpectedFatMtime(c.ntfs), c.fat) << c.ntfs;
}

TEST(ExpectImageUnchanged, NamesTheChangedImage) {
    TempDir dir("unchanged");
    const std::string img = dir.File("x.img");
    WriteFileBytes(img, std::string(4096, 'a'));
    const std::string before = Sha256File(img);
    ExpectImageUnchanged(img, before);
    Patch(img, 4000, "b");
    EXPECT_NONFATAL_FAILURE(ExpectImageUnchanged(img, before), "was changed");
    EXPECT_NONFATAL_FAILURE(ExpectImageUnchanged(dir.File("gone.img"), before), "cannot hash");
}

TEST(RunCommandStreaming, HandsTheOutputOverInChunksAndKeepsStderr) {
    std::string streamed;
    size_t chunks = 0;
    const CommandResult r = RunCommandStreaming({"seq", "1", "100000"}, [&](const char* p, size_t n) {
        streamed.append(p, n);
        ++chunks;
    });
    EXPECT_TRUE(r.Ok()) << r.Describe();
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(streamed, RunCommand({"seq", "1", "100000"}).out);
    EXPECT_GT(chunks, 1u);

    CommandOptions merged;
    merged.mergeStderr = true;  // ignored: standard error never joins the stream
    streamed.clear();
    const CommandResult bad = RunCommandStreaming(
        {"sh", "-c", "printf data; echo oops >&2; exit 3"},
        [&](const char* p, size_t n) { streamed.append(p, n); }, merged);
    EXPECT_EQ(bad.exitCode, 3);
    EXPECT_EQ(streamed, "data");
    EXPECT_EQ(bad.err, "oops\n");
}

TEST(IcatSha256, FailsLoudlyOnAnUnreadableInode) {
    TempDir dir("icat");
    const std::string img = dir.File("x.img");
    WriteFileBytes(img, std::string(65536, '\0'));
    EXPECT_THROW(IcatSha256("fat32", img, 5), std::runtime_error);
}

}  // namespace
