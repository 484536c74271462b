// The crash report's zip archive, read back by Info-ZIP's own tools: `unzip -t` tests it,
// `unzip -p` gives each entry's bytes back, and `zipinfo -v` shows each entry's method, its
// DOS time, the extended time-stamp field's time and where that field lies.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crashreport/ReportArchive.h"
#include "platform/TextEncoding.h"
#include "tests/support/Command.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;

namespace {

// One entry of `zipinfo -v`, the fields the tests judge.
struct ZipInfoEntry {
    std::string Method;        // "deflated", "none (stored)"
    std::string DosTime;       // "2024 Mar 5 10:20:30"
    std::string UtcTime;       // the extra field's time, "1970 Jan 1 00:00:00 UTC"; empty: none
    bool CentralTimestamp = false;  // the central header carries field 0x5455
    bool LocalTimestamp = false;    // so does the local header (its modification time)
};

std::string Trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(' ');
    const size_t e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string ValueAfter(const std::string& line, const std::string& key) {
    return line.rfind(key, 0) == 0 ? Trimmed(line.substr(key.size())) : std::string();
}

// The entries of an archive by name, as zipinfo -v describes them (TZ=UTC).
std::map<std::string, ZipInfoEntry> ZipInfo(const std::string& archive) {
    testsupport::CommandOptions utc;
    utc.env = {{"TZ", "UTC"}};
    const auto r = RunCommand({"zipinfo", "-v", archive}, utc);
    EXPECT_TRUE(r.Ok()) << r.Describe();
    std::map<std::string, ZipInfoEntry> entries;
    std::istringstream in(r.out);
    std::string line;
    ZipInfoEntry* current = nullptr;
    bool wantName = false;
    while (std::getline(in, line)) {
        const std::string t = Trimmed(line);
        if (t.rfind("Central directory entry #", 0) == 0) {
            wantName = true;
            continue;
        }
        if (wantName && !t.empty() && t.find_first_not_of('-') != std::string::npos) {
            current = &entries[t];
            wantName = false;
            continue;
        }
        if (!current) continue;
        std::string v;
        if (!(v = ValueAfter(t, "compression method:")).empty()) current->Method = v;
        if (!(v = ValueAfter(t, "file last modified on (DOS date/time):")).empty()) current->DosTime = v;
        if (!(v = ValueAfter(t, "file last modified on (UT extra field modtime):")).empty() &&
            v.ends_with(" UTC"))
            current->UtcTime = v;
        if (t.find("subfield with ID 0x5455 (universal time) and 5 data bytes") != std::string::npos)
            current->CentralTimestamp = true;
        if (t == "The local extra field has UTC/GMT modification time.") current->LocalTimestamp = true;
    }
    return entries;
}

// A file of the test directory with given bytes and modification time (UTC, touch -d form).
std::string MakeFile(const testsupport::TempDir& dir, const std::string& name, const std::string& bytes,
                     const std::string& time) {
    const std::string path = dir.File(name);
    testsupport::WriteFileBytes(path, bytes);
    testsupport::CommandOptions utc;
    utc.env = {{"TZ", "UTC"}};
    const auto r = RunCommand({"touch", "-d", time, path}, utc);
    EXPECT_TRUE(r.Ok()) << r.Describe();
    return path;
}

ReportEntry Entry(const std::string& path, uint32_t send = 1) {
    ReportEntry e;
    e.FullPath = platform::Utf8ToUtf16(path);
    e.Send = send;
    return e;
}

std::string LogText() {
    std::string text;
    for (int i = 0; i < 400; ++i) text += "line " + std::to_string(i) + " of the log\r\n";
    return text;
}

TEST(ReportArchive, PathAndApplicationNameComeFromTheExecutable) {
    struct Case {
        const char* executable;
        const char* name;
        const char* archive;
    } cases[] = {
        {"/opt/velundra/velundra", "velundra", "/opt/velundra/velundra.zip"},
        {"/opt/velundra/velundra.bin", "velundra", "/opt/velundra/velundra.zip"},
        {"/opt/v.2/velundra", "velundra", "/opt/v.2/velundra.zip"},  // a dot of the directory is no extension
        {"/opt/v/a.b.c", "a.b", "/opt/v/a.b.zip"},                   // up to the last dot
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReportApplicationName(c.executable), c.name) << c.executable;
        EXPECT_EQ(ReportArchivePath(c.executable), c.archive) << c.executable;
    }
}

// Deflated but for the compressed formats' extensions, whatever their letter case; each
// entry's time clamped to 1970..2037 in the DOS field and the time-stamp field alike, which
// both headers carry; the bytes come back unchanged.
TEST(ReportArchive, MethodsTimesAndTimestampFieldsAsInfoZipReadsThem) {
    testsupport::TempDir dir("reportzip");
    struct Case {
        const char* name;
        const char* touched;
        const char* method;
        const char* dosTime;
        const char* utcTime;
    } cases[] = {
        {"log.log", "2024-03-05 10:20:30", "deflated", "2024 Mar 5 10:20:30", "2024 Mar 5 10:20:30 UTC"},
        {"dump0.dmp", "1960-06-01 12:00:00", "deflated", "1980 Jan 1 00:00:00", "1970 Jan 1 00:00:00 UTC"},
        {"a.GZ", "2050-06-01 12:00:00", "none (stored)", "2037 Dec 31 00:00:00", "2037 Dec 31 00:00:00 UTC"},
        {"b.tgz", "2037-12-31 23:59:58", "none (stored)", "2037 Dec 31 23:59:58", "2037 Dec 31 23:59:58 UTC"},
        {"c.z", "1970-01-01 00:00:00", "none (stored)", "1980 Jan 1 00:00:00", "1970 Jan 1 00:00:00 UTC"},
        {"d.Zip", "2001-01-01 00:00:00", "none (stored)", "2001 Jan 1 00:00:00", "2001 Jan 1 00:00:00 UTC"},
        {"e.zoo", "2001-01-01 00:00:00", "none (stored)", "2001 Jan 1 00:00:00", "2001 Jan 1 00:00:00 UTC"},
        {"f.ARC", "2001-01-01 00:00:00", "none (stored)", "2001 Jan 1 00:00:00", "2001 Jan 1 00:00:00 UTC"},
        {"g.lzh", "2001-01-01 00:00:00", "none (stored)", "2001 Jan 1 00:00:00", "2001 Jan 1 00:00:00 UTC"},
        {"h.arj", "2001-01-01 00:00:00", "none (stored)", "2001 Jan 1 00:00:00", "2001 Jan 1 00:00:00 UTC"},
        {"i.gzip", "2001-01-01 00:00:00", "deflated", "2001 Jan 1 00:00:00", "2001 Jan 1 00:00:00 UTC"},
        {"zip", "2001-01-01 00:00:00", "deflated", "2001 Jan 1 00:00:00", "2001 Jan 1 00:00:00 UTC"},
    };
    std::vector<ReportEntry> entries;
    std::map<std::string, std::string> bytes;
    for (const Case& c : cases) {
        bytes[c.name] = LogText() + c.name;
        entries.push_back(Entry(MakeFile(dir, c.name, bytes[c.name], c.touched)));
    }
    const std::string archive = dir.File("velundra.zip");
    const ReportArchiveResult result = BuildReportArchive(entries, archive);
    ASSERT_TRUE(result.Written) << result.Error;
    EXPECT_EQ(result.FilesAdded, static_cast<int>(std::size(cases)));

    const auto test = RunCommand({"unzip", "-t", archive});
    EXPECT_EQ(test.exitCode, 0) << test.out << test.err;
    const auto info = ZipInfo(archive);
    ASSERT_EQ(info.size(), std::size(cases));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(info.count(c.name), 1u);
        const ZipInfoEntry& e = info.at(c.name);
        EXPECT_EQ(e.Method, c.method);
        EXPECT_EQ(e.DosTime, c.dosTime);
        EXPECT_EQ(e.UtcTime, c.utcTime);
        EXPECT_TRUE(e.CentralTimestamp);
        EXPECT_TRUE(e.LocalTimestamp);
        EXPECT_EQ(RunCommand({"unzip", "-p", archive, c.name}).out, bytes[c.name]);
    }
}

// Unchosen files, vanished files and paths that are no regular file stay out; an older
// archive at the path is replaced, not added to.
TEST(ReportArchive, PacksOnlyChosenFilesThatExistAndReplacesAnOlderArchive) {
    testsupport::TempDir dir("reportzip");
    const std::string archive = dir.File("velundra.zip");
    const std::string log = MakeFile(dir, "log.log", LogText(), "2024-03-05 10:20:30");
    const std::string dump = MakeFile(dir, "dump0.dmp", "MDMP", "2024-03-05 10:20:30");
    const std::string old = MakeFile(dir, "old.txt", "from the last crash", "2024-03-05 10:20:30");

    ASSERT_EQ(BuildReportArchive({Entry(old)}, archive).FilesAdded, 1);
    const ReportArchiveResult result =
        BuildReportArchive({Entry(dir.File("gone.log")), Entry(log), Entry(dump, 0), Entry(dir.Path())}, archive);
    ASSERT_TRUE(result.Written) << result.Error;
    EXPECT_EQ(result.FilesAdded, 1);
    const auto info = ZipInfo(archive);
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info.count("log.log"), 1u);
}

// Nothing to pack leaves no archive; an archive that cannot be written says so and counts
// nothing.
TEST(ReportArchive, NothingPackedOrNotWritable) {
    testsupport::TempDir dir("reportzip");
    const std::string log = MakeFile(dir, "log.log", LogText(), "2024-03-05 10:20:30");

    ReportArchiveResult none = BuildReportArchive({Entry(log, 0), Entry(dir.File("gone.log"))}, dir.File("a.zip"));
    EXPECT_TRUE(none.Written);
    EXPECT_EQ(none.FilesAdded, 0);
    EXPECT_FALSE(fs::exists(dir.File("a.zip")));

    ReportArchiveResult failed = BuildReportArchive({Entry(log)}, dir.File("no/such/dir/a.zip"));
    EXPECT_FALSE(failed.Written);
    EXPECT_EQ(failed.FilesAdded, 0);
    EXPECT_FALSE(failed.Error.empty());
}

}  // namespace
