// velundra-convert end to end on ntfs-3g images: wrong usage, the read-only check and its
// listing, the confirmation on and off a terminal, conversions judged against the NTFS volume
// they came from, refusals that leave the image byte-identical, the log, a mounted target,
// the program's own and the system's volume, and inputs that are not NTFS at all.
//
// FAT32 needs at least 65,525 clusters, so the converting fixtures ("convert512") have 40 MiB
// of 512-byte clusters; the 16 MiB "c512" volume is the one refused as too small.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ntfs/CNTFSVolume.h"
#include "ntfs/NtfsBytes.h"
#include "platform/DriveTable.h"
#include "platform/Process.h"
#include "platform/RawVolume.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/Fixtures.h"
#include "tests/support/NtfsLs.h"
#include "tests/support/Sha256.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

const char kUsageLine[] =
    "usage: velundra-convert [--check [--list]] [--yes] [--quiet] [--log FILE] [--undo FILE] [--partition N] TARGET";
const char kConvertible[] = "convert512";  // 40 MiB, 512-byte clusters, label CONVERT

CommandResult Convert(const std::vector<std::string>& args, CommandOptions options = {}) {
    std::vector<std::string> argv{ProgramPath("velundra-convert")};
    argv.insert(argv.end(), args.begin(), args.end());
    if (options.timeoutSeconds == 0) options.timeoutSeconds = 300;
    return RunCommand(argv, options);
}

// The lines of a text without their ends (LF or CR LF).
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool HasLine(const std::string& text, const std::string& line) {
    const std::vector<std::string> lines = Lines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The program ended by itself: an exit status, neither a signal nor a hang.
void ExpectExited(const CommandResult& r, const std::string& what) {
    EXPECT_FALSE(r.signaled) << what << ": died from signal " << r.signal;
    EXPECT_FALSE(r.timedOut) << what << ": did not finish";
    EXPECT_GE(r.exitCode, 0) << what << ": did not start";
}

// A private copy of a recipe's image and its digest, taken before anything ran on it.
struct Target {
    explicit Target(const std::string& recipe, const std::string& tag = "cli")
        : dir(tag), image(CopyFixture(recipe, dir.File(recipe + ".img"))),
          sha(Sha256File(image)) {}
    TempDir dir;
    std::string image;
    std::string sha;
};

// What velundra-ntfsls finds: the counts of the found line and the paths as --list prints
// them ("/dir/", "/dir/file"), sorted.
struct Listing {
    size_t files = 0;
    size_t directories = 0;
    std::vector<std::string> paths;
};
Listing ListNtfs(const std::string& image) {
    CommandResult raw;
    Listing listing;
    for (const NtfsLsEntry& e : RunNtfsLs(image, &raw)) {
        (e.isDir ? listing.directories : listing.files) += 1;
        listing.paths.push_back("/" + e.path + (e.isDir ? "/" : ""));
    }
    EXPECT_TRUE(raw.Ok()) << raw.Describe();
    std::sort(listing.paths.begin(), listing.paths.end());
    return listing;
}

std::string FoundLine(const std::string& image) {
    return image + ": NTFS, 40.00 MiB, NTFS cluster 512 bytes, FAT32 cluster 512 bytes "
                   "(unchanged: data stays where it is)";
}
std::string CountsLine(const Listing& l) {
    return std::to_string(l.files) + " files, " + std::to_string(l.directories) +
           " directories, label CONVERT";
}
// The summary line of a same-cluster run of the converting fixture.
std::regex SummaryPattern(const std::string& what, const Listing& l) {
    return std::regex("^" + what + ": same-cluster path, cluster 512 -> 512 bytes, " +
                      std::to_string(l.files) + " files, " + std::to_string(l.directories) +
                      " directories, [0-9]+\\.[0-9]{2} MiB read, ([0-9]+\\.[0-9]{2}) MiB "
                      "written, [0-9]+\\.[0-9] s$");
}

// `bytes` bytes of a file from `offset` (fewer at its end).
std::string ReadRange(const std::string& path, uint64_t offset, size_t bytes) {
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    std::string out(bytes, '\0');
    f.read(out.data(), static_cast<std::streamsize>(bytes));
    out.resize(static_cast<size_t>(f.gcount()));
    return out;
}

// The byte offset of an MFT record in an image, from its NTFS boot sector.
uint64_t RecordOffset(const std::string& image, uint64_t record) {
    const std::string sector = ReadRange(image, 0, 512);
    if (sector.size() != 512) throw std::runtime_error("no boot sector in " + image);
    const auto boot = ntfs::LoadStruct<NTFS_BOOT_SECTOR>(sector.data());
    const uint64_t cluster = uint64_t{boot.BytesPerSector} * boot.SectorsPerCluster;
    const uint64_t recordBytes = boot.ClustersPerRecord > 0
                                     ? cluster * static_cast<uint64_t>(boot.ClustersPerRecord)
                                     : uint64_t{1} << -boot.ClustersPerRecord;
    return boot.MftLcn * cluster + record * recordBytes;
}

// Overwrites bytes of a file in place.
void Patch(const std::string& path, uint64_t offset, const std::string& bytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f.is_open()) << path;
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good()) << path;
}

// ---------------------------------------------------------------------------------------
// Usage

TEST(ConvertUsage, WrongUsageExitsTwoWithTheUsageAndTouchesNothing) {
    Target t(kConvertible);
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    const Case cases[] = {
        {{}, "no TARGET given"},
        {{"--check"}, "no TARGET given"},
        {{"--frobnicate", t.image}, "unknown option --frobnicate"},
        {{"--list", t.image}, "--list goes with --check"},
        {{"--yes", "--list", t.image}, "--list goes with --check"},
        {{"--yes", t.image, t.image}, "only one TARGET may be given"},
        {{"--yes", "--", t.image, t.image}, "only one TARGET may be given"},
        {{"--yes", t.image, "--log"}, "--log needs a file name"},
        {{"--yes", "--log=", t.image}, "--log needs a file name"},
        {{"--yes", "--undo"}, "--undo needs a file name"},
        {{"--check", "--undo", "u.undo", t.image}, "--undo goes with a conversion, not with --check"},
        {{"--rollback", "u.undo", "--undo", "v.undo", t.image}, "--rollback goes with neither --check nor --undo"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += " " + a;
        SCOPED_TRACE("velundra-convert" + shown);
        const CommandResult r = Convert(c.args);
        ExpectExited(r, shown);
        EXPECT_EQ(r.exitCode, 2) << r.Describe();
        EXPECT_TRUE(HasLine(r.err, "velundra-convert: " + c.reason)) << r.err;
        EXPECT_TRUE(HasLine(r.err, kUsageLine)) << r.err;
        EXPECT_EQ(r.out, "");
    }
    ExpectImageUnchanged(t.image, t.sha);

    const CommandResult help = Convert({"--help"});
    EXPECT_EQ(help.exitCode, 0) << help.Describe();
    EXPECT_TRUE(HasLine(help.out, kUsageLine)) << help.out;
}

// ---------------------------------------------------------------------------------------
// The read-only check

TEST(ConvertCheck, ReportsWhatItFoundAndWritesNothing) {
    Target t(kConvertible);
    const Listing listing = ListNtfs(t.image);
    ASSERT_GT(listing.files, 20u);

    const CommandResult r = Convert({"--check", t.image});
    ExpectExited(r, "--check");
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    const std::vector<std::string> out = Lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out;
    EXPECT_EQ(out[0], FoundLine(t.image));
    EXPECT_EQ(out[1], CountsLine(listing));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out[2], m, SummaryPattern("Convertible", listing))) << out[2];
    EXPECT_EQ(m[1].str(), "0.00");  // nothing written

    // Without a terminal the progress is plain lines, no bar.
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
    for (const std::string& line : Lines(r.err)) {
        EXPECT_TRUE(std::regex_match(line, std::regex("^ *[0-9]{1,3}% .+$"))) << line;
    }
    ExpectImageUnchanged(t.image, t.sha);
}

TEST(ConvertCheck, ListPrintsEveryPathOnce) {
    Target t(kConvertible);
    const Listing listing = ListNtfs(t.image);

    const CommandResult r = Convert({"--check", "--list", "--quiet", t.image});
    ExpectExited(r, "--check --list");
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    std::vector<std::string> out = Lines(r.out);
    ASSERT_EQ(out.size(), listing.paths.size() + 3) << r.out;
    EXPECT_EQ(out[0], FoundLine(t.image));
    EXPECT_TRUE(std::regex_match(out.back(), SummaryPattern("Convertible", listing)))
        << out.back();
    std::vector<std::string> paths(out.begin() + 2, out.end() - 1);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, listing.paths);
    // The names outside ASCII arrive as UTF-8, the one outside the BMP included.
    EXPECT_TRUE(HasLine(r.out, "/Unicode/smile \xF0\x9F\x98\x80.txt")) << r.out;
    EXPECT_EQ(r.err, "");  // --quiet: no progress
    ExpectImageUnchanged(t.image, t.sha);
}

// --check opens the target read-only and takes no lock: it reads an image that another open
// holds exclusively, and one that cannot be opened for writing at all (immutable, which even
// root cannot write).
TEST(ConvertCheck, NeverOpensForWritingNorLocks) {
    Target t(kConvertible);
    {
        int error = 0;
        const platform::VolumeHandle holder =
            platform::OpenVolume(t.image, platform::VolumeAccess::Exclusive, &error);
        ASSERT_NE(holder, platform::kInvalidVolume) << error;
        const CommandResult r = Convert({"--check", "--quiet", t.image});
        platform::CloseVolume(holder);
        ExpectExited(r, "--check beside a holder");
        EXPECT_EQ(r.exitCode, 0) << r.Describe();
        EXPECT_TRUE(HasLine(r.out, FoundLine(t.image))) << r.out;
    }
    if (!RunCommand({"chattr", "+i", t.image}).Ok()) GTEST_SKIP() << "no immutable files here";
    const CommandResult r = Convert({"--check", "--quiet", t.image});
    const CommandResult writable = Convert({"--yes", "--quiet", t.image});
    RunCommand({"chattr", "-i", t.image});
    ExpectExited(r, "--check on an immutable image");
    EXPECT_EQ(r.exitCode, 0) << r.Describe();
    EXPECT_TRUE(HasLine(r.out, FoundLine(t.image))) << r.out;
    // The conversion does need to write: it is refused at its first step, the lock.
    EXPECT_EQ(writable.exitCode, 1) << writable.Describe();
    EXPECT_EQ(writable.out, "");
    ExpectImageUnchanged(t.image, t.sha);
}

// ---------------------------------------------------------------------------------------
// Confirmation and conversion

TEST(ConvertConfirmation, WithoutTerminalOrYesItRefuses) {
    Target t(kConvertible);
    CommandOptions piped;
    piped.input = "y\n";  // a pipe is no terminal, whatever it says
    const CommandResult r = Convert({t.image}, piped);
    ExpectExited(r, "no --yes");
    EXPECT_EQ(r.exitCode, 1) << r.Describe();
    EXPECT_TRUE(HasLine(r.err, "velundra-convert: refusing to convert without confirmation: "
                               "run on a terminal or pass --yes"))
        << r.err;
    EXPECT_TRUE(HasLine(r.out, FoundLine(t.image))) << r.out;  // what it found comes first
    EXPECT_EQ(r.out.find("Converted"), std::string::npos);
    ExpectImageUnchanged(t.image, t.sha);
}

TEST(ConvertYes, ConvertsLogsAndSummarises) {
    Target t(kConvertible);
    const Listing listing = ListNtfs(t.image);
    const NtfsSnapshot before = TakeNtfsSnapshot(t.image);
    const std::string log = t.dir.File("convert.log");

    const CommandResult r = Convert({"--yes", "--log", log, t.image});
    ExpectExited(r, "--yes");
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    const std::vector<std::string> out = Lines(r.out);
    ASSERT_FALSE(out.empty());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out.back(), m, SummaryPattern("Converted", listing)))
        << out.back();
    EXPECT_GT(std::stod(m[1].str()), 0.0);
    const std::vector<std::string> err = Lines(r.err);
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.back(), "100% Converting NTFS to FAT32 is successful.");

    // The log file has the engine's lines, each ended with CR LF.
    const std::string logText = ReadFileBytes(log);
    EXPECT_NE(logText.find("totalfiles " + std::to_string(listing.files) + "\r\n"),
              std::string::npos)
        << logText;

    ExpectConvertedVolumeMatches(before, t.image);
}

// The conversion locks the target before it reads anything: a target held by another program
// is refused before anything is walked or shown, and the volume is walked once (the walk's
// count of files is logged once), under that lock.
TEST(ConvertYes, LocksFirstAndWalksOnce) {
    Target t(kConvertible);
    int error = 0;
    const platform::VolumeHandle holder =
        platform::OpenVolume(t.image, platform::VolumeAccess::Exclusive, &error);
    ASSERT_NE(holder, platform::kInvalidVolume) << error;
    const CommandResult held = Convert({"--quiet", t.image});  // no terminal: the question is No
    platform::CloseVolume(holder);
    ExpectExited(held, "held");
    EXPECT_EQ(held.exitCode, 1) << held.Describe();
    EXPECT_EQ(held.out, "");  // nothing was walked, so nothing was found
    EXPECT_EQ(held.err, "Opening volume '" + t.image +
                            "' failed. \nPlease try closing the programs that are running on "
                            "this volume.\n");
    ExpectImageUnchanged(t.image, t.sha);

    const Listing listing = ListNtfs(t.image);
    const NtfsSnapshot before = TakeNtfsSnapshot(t.image);
    const std::string log = t.dir.File("once.log");
    const CommandResult r = Convert({"--yes", "--quiet", "--log", log, t.image});
    ExpectExited(r, "--yes");
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    const std::vector<std::string> out = Lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out;
    EXPECT_EQ(out[0], FoundLine(t.image));
    EXPECT_EQ(out[1], CountsLine(listing));
    EXPECT_TRUE(std::regex_match(out[2], SummaryPattern("Converted", listing))) << out[2];
    const std::string logText = ReadFileBytes(log);
    const std::string walked = "totalfiles " + std::to_string(listing.files) + "\r\n";
    const size_t at = logText.find(walked);
    EXPECT_NE(at, std::string::npos) << logText;
    EXPECT_EQ(logText.find("totalfiles", at + 1), std::string::npos) << logText;
    ExpectConvertedVolumeMatches(before, t.image);
}

// A small card whose NTFS clusters give FAT32 too few: --check and the conversion both name the
// smaller FAT32 cluster, in what was found and in the end line.
TEST(ConvertYes, SmallCardTakesSmallerClusters) {
    Target t("small-128m");
    const Listing listing = ListNtfs(t.image);
    const NtfsSnapshot before = TakeNtfsSnapshot(t.image);
    const std::string found = t.image +
                              ": NTFS, 128.00 MiB, NTFS cluster 4096 bytes, FAT32 cluster 1024 "
                              "bytes (smaller: data stays where it is, 4 FAT32 clusters in each "
                              "NTFS cluster)";
    const auto summary = [&](const std::string& what) {
        return std::regex("^" + what + ": smaller-cluster path, cluster 4096 -> 1024 bytes, " +
                          std::to_string(listing.files) + " files, " +
                          std::to_string(listing.directories) +
                          " directories, [0-9]+\\.[0-9]{2} MiB read, [0-9]+\\.[0-9]{2} MiB "
                          "written, [0-9]+\\.[0-9] s$");
    };
    for (const bool check : {true, false}) {
        const CommandResult r =
            Convert(check ? std::vector<std::string>{"--check", "--quiet", t.image}
                          : std::vector<std::string>{"--yes", "--quiet", t.image});
        ExpectExited(r, check ? "--check" : "--yes");
        ASSERT_EQ(r.exitCode, 0) << r.Describe();
        const std::vector<std::string> out = Lines(r.out);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.front(), found);
        EXPECT_TRUE(std::regex_match(out.back(), summary(check ? "Convertible" : "Converted")))
            << out.back();
        if (check) ExpectImageUnchanged(t.image, t.sha);
    }
    ExpectConvertedVolumeMatches(before, t.image);
}

// The sample volume that scripts/demo.sh converts: committed, so it must keep converting.
TEST(ConvertYes, TheDemoSampleConverts) {
    TempDir dir("cli-sample");
    const std::string image = dir.File("sample.img");
    const std::string packed = SourcePath("tests/fixtures/sample-ntfs.img.xz");
    const CommandResult unpack =
        RunShell("xz -dc " + ShellQuote(packed) + " > " + ShellQuote(image));
    ASSERT_TRUE(unpack.Ok()) << unpack.Describe();
    const NtfsSnapshot before = TakeNtfsSnapshot(image);
    ASSERT_GE(before.Files(), 10u);

    const CommandResult r = Convert({"--yes", "--quiet", image});
    ExpectExited(r, "sample");
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    EXPECT_TRUE(HasLine(r.out, std::to_string(before.Files()) + " files, " +
                                   std::to_string(before.Directories()) +
                                   " directories, label VELUNDRA"))
        << r.out;
    ExpectConvertedVolumeMatches(before, image);
}

// Runs the converter under a pseudo-terminal (script(1)), typing `input`.
CommandResult ConvertOnTerminal(const std::string& image, const std::string& input) {
    CommandOptions options;
    options.input = input;
    options.timeoutSeconds = 300;
    return RunCommand({"script", "-qec",
                       ShellQuote(ProgramPath("velundra-convert")) + " " + ShellQuote(image),
                       "/dev/null"},
                      options);
}

TEST(ConvertTerminal, AsksAndHonoursTheAnswer) {
    if (RunCommand({"script", "--version"}).exitCode != 0) GTEST_SKIP() << "no script(1)";
    struct Case {
        const char* typed;
        bool converts;
    };
    const Case cases[] = {{"n\n", false}, {"\n", false}, {"maybe\n", false}, {" y\n", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("typed: ") + c.typed);
        Target t(kConvertible);
        const NtfsSnapshot before = c.converts ? TakeNtfsSnapshot(t.image) : NtfsSnapshot{};
        const CommandResult r = ConvertOnTerminal(t.image, c.typed);
        ExpectExited(r, "terminal");
        EXPECT_NE(r.out.find("Convert " + t.image + " to FAT32? [y/N] "), std::string::npos)
            << r.out;
        if (!c.converts) {
            EXPECT_EQ(r.exitCode, 1) << r.out;
            EXPECT_NE(r.out.find("Nothing was changed."), std::string::npos) << r.out;
            ExpectImageUnchanged(t.image, t.sha);
            continue;
        }
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_NE(r.out.find("Converted: same-cluster path"), std::string::npos) << r.out;
        // On a terminal the progress is a bar redrawn in place.
        EXPECT_NE(r.out.find("\r\033[K["), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("100% Converting NTFS to FAT32 is successful."), std::string::npos);
        ExpectConvertedVolumeMatches(before, t.image);
    }
}

// ---------------------------------------------------------------------------------------
// Refusals

TEST(ConvertRefusals, EngineMessageExactlyOnStderrAndImageUnchanged) {
    struct Case {
        const char* recipe;
        const char* message;
    };
    const Case cases[] = {
        {"sparse512", "The file '/holes/sparse.bin' is a sparse file, FAT32 is not supported."},
        {"c512",
         "The volume is too small for FAT32: even with the smallest clusters, of 512 bytes, it "
         "would have 32248 clusters, and FAT32 needs at least 65525 (a volume of about 33 MiB). "
         "Nothing was written."},
        {"small-30m",  // 4096-byte NTFS clusters: halved to the smallest, still too few
         "The volume is too small for FAT32: even with the smallest clusters, of 512 bytes, it "
         "would have 60472 clusters, and FAT32 needs at least 65525 (a volume of about 33 MiB). "
         "Nothing was written."},
        {"sector4096",
         "The volume has sectors of 4096 bytes; only volumes with 512-byte sectors can be "
         "converted to FAT32 here."},
    };
    for (const Case& c : cases) {
        Target t(c.recipe);
        for (const char* mode : {"--check", "--yes"}) {
            SCOPED_TRACE(std::string(c.recipe) + " " + mode);
            const std::string log = t.dir.File(std::string("refused") + mode + ".log");
            const CommandResult r = Convert({mode, "--quiet", "--log", log, t.image});
            ExpectExited(r, mode);
            EXPECT_EQ(r.exitCode, 1) << r.Describe();
            EXPECT_EQ(r.err, std::string(c.message) + "\n");  // once, word for word
            EXPECT_EQ(r.out, "");
            // The log says why the conversion ended, once.
            const std::string logText = ReadFileBytes(log);
            const size_t at = logText.find(std::string(c.message) + "\r\n");
            EXPECT_NE(at, std::string::npos) << logText;
            EXPECT_EQ(logText.find(c.message, at + 1), std::string::npos) << logText;
            ExpectImageUnchanged(t.image, t.sha);
        }
    }
}

// A file record that cannot be read: the reader's warning reaches stderr and the log, and the
// refusal follows it, once.
TEST(ConvertRefusals, WarningsReachStderrAndTheLog) {
    Target t(kConvertible);
    uint64_t record = 0;
    for (const NtfsLsEntry& e : RunNtfsLs(t.image)) {
        if (e.path == "tiny.txt") record = e.record;
    }
    ASSERT_GE(record, 16u);
    Patch(t.image, RecordOffset(t.image, record), "BAAD");
    const std::string sha = Sha256File(t.image);
    const std::string log = t.dir.File("refused.log");

    const CommandResult r = Convert({"--yes", "--quiet", "--log", log, t.image});
    ExpectExited(r, "damaged record");
    EXPECT_EQ(r.exitCode, 1) << r.Describe();
    const std::string warning = "can't parse a file record " + std::to_string(record);
    const std::string refusal =
        "The file record " + std::to_string(record) + " ('/tiny.txt') cannot be read.";
    const std::vector<std::string> err = Lines(r.err);
    ASSERT_EQ(err.size(), 2u) << r.err;
    EXPECT_EQ(err[0], warning);
    EXPECT_EQ(err[1].rfind(refusal, 0), 0u) << err[1];
    const std::string logText = ReadFileBytes(log);
    EXPECT_NE(logText.find(warning + "\r\n"), std::string::npos) << logText;
    EXPECT_NE(logText.find(err[1] + "\r\n"), std::string::npos) << logText;
    ExpectImageUnchanged(t.image, sha);
}

TEST(ConvertRefusals, TargetsWithoutNtfsAreRefused) {
    TempDir dir("cli-notntfs");
    const std::string zeros = dir.File("zeros.img");
    WriteFileBytes(zeros, "");
    fs::resize_file(zeros, 40 << 20);
    const std::string fat = dir.File("fat32.img");
    const CommandResult mkfs = RunCommand({"mkfs.fat", "-F", "32", "-C", fat, "40960"});
    ASSERT_TRUE(mkfs.Ok()) << mkfs.Describe();
    const std::string notNtfs =
        "This is not an NTFS volume that can be converted: the volume is not NTFS (no NTFS "
        "boot sector).";
    const std::string missing = dir.File("missing.img");
    struct Case {
        std::string target;
        std::string message;  // the start of stderr
        bool file;            // an image that must stay byte-identical
    };
    const Case cases[] = {
        {zeros, notNtfs + "\n", true},
        {fat, notNtfs + "\n", true},
        {missing, "velundra-convert: " + missing + " does not exist\n", false},
        {dir.Path(), "velundra-convert: cannot open " + dir.Path() + ": ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const std::string sha = c.file ? Sha256File(c.target) : "";
        const CommandResult r = Convert({"--yes", "--quiet", c.target});
        ExpectExited(r, c.target);
        EXPECT_EQ(r.exitCode, 1) << r.Describe();
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
        if (c.file) ExpectImageUnchanged(c.target, sha);
    }
    EXPECT_FALSE(fs::exists(missing));
}

// ---------------------------------------------------------------------------------------
// Robustness: whatever the bytes, the program ends with an exit status.

TEST(ConvertRobustness, GarbageImagesAreRefusedWithoutASignal) {
    TempDir dir("cli-garbage");
    std::mt19937_64 random(0x7E1D2A);
    const std::string ntfsBoot = ReadRange(FixtureImage(kConvertible), 0, 512);
    ASSERT_EQ(ntfsBoot.size(), 512u);
    struct Case {
        uint64_t bytes;
        bool ntfsBootSector;  // a real NTFS boot sector in front of the garbage
    };
    const Case cases[] = {
        {0, false},        {511, false},     {4096, false}, {(1 << 20) + 7, false},
        {40 << 20, false}, {40 << 20, true}, {8192, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string bytes(c.bytes, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        if (c.ntfsBootSector) bytes.replace(0, 512, ntfsBoot);
        const std::string image = dir.File("garbage" + std::to_string(n++) + ".img");
        WriteFileBytes(image, bytes);
        const std::string sha = Sha256Hex(bytes);
        SCOPED_TRACE(image + " (" + std::to_string(c.bytes) + " bytes)");
        const CommandResult r = Convert({"--yes", "--quiet", image});
        ExpectExited(r, image);
        EXPECT_EQ(r.exitCode, 1) << r.Describe();
        EXPECT_FALSE(r.err.empty());
        ExpectImageUnchanged(image, sha);
    }
}

// Bytes changed at random in the boot sector and in the MFT records in use (the system
// files' and every listed file's), a few at a time, each damage undone before the next: the
// check refuses or accepts, never dies.
TEST(ConvertRobustness, DamagedMetadataNeverKillsTheProcess) {
    Target t(kConvertible);
    std::vector<uint64_t> records;
    for (uint64_t r = 0; r < 16; ++r) records.push_back(r);
    for (const NtfsLsEntry& e : RunNtfsLs(t.image)) records.push_back(e.record);
    const uint64_t recordBytes = RecordOffset(t.image, 1) - RecordOffset(t.image, 0);
    std::mt19937_64 random(0xDA3A9E);
    for (int round = 0; round < 32; ++round) {
        const bool boot = round % 4 == 0;
        const int count = 1 + static_cast<int>(random() % 16);
        std::vector<std::pair<uint64_t, std::string>> undo;
        for (int i = 0; i < count; ++i) {
            const uint64_t at =
                boot ? random() % 512
                     : RecordOffset(t.image, records[random() % records.size()]) +
                           random() % recordBytes;
            undo.emplace_back(at, ReadRange(t.image, at, 1));
            Patch(t.image, at, std::string(1, static_cast<char>(random())));
        }
        const CommandResult r = Convert({"--check", "--quiet", t.image});
        SCOPED_TRACE("round " + std::to_string(round));
        ExpectExited(r, "damaged metadata");
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.Describe();
        for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
            Patch(t.image, it->first, it->second);
        }
    }
    ExpectImageUnchanged(t.image, t.sha);
}

// ---------------------------------------------------------------------------------------
// Mounted targets, the program's own volume and the system's

TEST(ConvertMounted, AnNtfs3gMountIsUnmountedAndConverted) {
    if (!platform::IsEffectiveRoot()) GTEST_SKIP() << "needs root";
    Target t(kConvertible);
    const NtfsSnapshot before = TakeNtfsSnapshot(t.image);
    TempDir mnt("cli-mnt");
    if (!RunCommand({"ntfs-3g", t.image, mnt.Path()}).Ok()) GTEST_SKIP() << "cannot mount FUSE";
    ASSERT_FALSE(platform::MountPointsOf(t.image).empty());

    const CommandResult r = Convert({"--yes", "--quiet", t.image});
    ExpectExited(r, "mounted");
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    EXPECT_TRUE(platform::MountPointsOf(t.image).empty());
    ExpectConvertedVolumeMatches(before, t.image);
}

TEST(ConvertOwnVolumes, TheVolumeTheProgramRunsFromIsRefused) {
    if (!platform::IsEffectiveRoot()) GTEST_SKIP() << "needs root";
    Target t(kConvertible);
    TempDir mnt("cli-self");
    if (!RunCommand({"ntfs-3g", t.image, mnt.Path()}).Ok()) GTEST_SKIP() << "cannot mount FUSE";
    const std::string copy = mnt.File("velundra-convert");
    fs::copy_file(ProgramPath("velundra-convert"), copy);

    CommandOptions limited;
    limited.timeoutSeconds = 120;
    const CommandResult r = RunCommand({copy, "--yes", "--quiet", t.image}, limited);
    ExpectExited(r, "own volume");
    EXPECT_EQ(r.exitCode, 1) << r.Describe();
    EXPECT_EQ(r.err, "The program self is running on the volume '" + t.image +
                         "' which will be converted,\nplease put Velundra installs to other "
                         "volume and try again.\n");
    EXPECT_FALSE(platform::MountPointsOf(t.image).empty());  // left alone, not unmounted
}

TEST(ConvertOwnVolumes, TheSystemVolumeIsRefused) {
    const std::string system = platform::SystemVolumeDevice();
    if (system.rfind("/dev/", 0) != 0 || !fs::exists(system)) {
        GTEST_SKIP() << "/ is not on a block device here (" << system << ")";
    }
    const CommandResult r = Convert({"--check", "--quiet", system});
    ExpectExited(r, "system volume");
    EXPECT_EQ(r.exitCode, 1) << r.Describe();
    // A program installed on the system volume meets the refusal of its own volume first.
    const std::optional<platform::VolumeLocation> program =
        platform::VolumeOfPath(ProgramPath("velundra-convert"));
    if (program && platform::SameVolume(system, program->devicePath)) {
        EXPECT_EQ(r.err, "The program self is running on the volume '" + system +
                             "' which will be converted,\nplease put Velundra installs to "
                             "other volume and try again.\n");
    } else {
        EXPECT_EQ(r.err, "The volume '" + system +
                             "' holds the running operating system and cannot be converted.\n");
    }
}

}  // namespace
