// The report's Send command against a stand-in for xdg-email, the only program in PATH: a
// script that records its arguments and ends with the status the test asks for, or no such
// program at all. Each case checks what reached the mail program, word for word, and the outcome and
// texts the report window shows.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/AppInfo.h"
#include "crashreport/SendErrorReport.h"
#include "platform/TextEncoding.h"
#include "tests/support/Command.h"

namespace fs = std::filesystem;

namespace {

// A directory with "velundra" (the executable the report is named after), its log and
// dump, and a bin/ directory that may hold the recording xdg-email.
class SendErrorReportTest : public ::testing::Test {
protected:
    testsupport::TempDir Dir{"reportsend"};
    std::string Executable = Dir.File("velundra");
    std::string Archive = Dir.File("velundra.zip");
    std::string Record = Dir.File("xdg-email.args");
    std::string SavedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    std::vector<ReportEntry> Entries;

    void SetUp() override {
        testsupport::WriteFileBytes(Executable, "");
        fs::create_directory(Dir.File("bin"));
        for (const char* name : {"log.log", "dump0.dmp"}) {
            testsupport::WriteFileBytes(Dir.File(name), std::string("contents of ") + name);
            ReportEntry e;
            e.FullPath = platform::Utf8ToUtf16(Dir.File(name));
            Entries.push_back(e);
        }
    }
    // The Send command with our bin/ as the whole PATH: the recorder when installed, no
    // xdg-email at all otherwise (the recorder's "#!/bin/sh" needs no PATH).
    SendReportResult Send(const std::u16string& description, const std::string& executable) {
        setenv("PATH", Dir.File("bin").c_str(), 1);
        SendReportResult r = SendErrorReport(Entries, description, executable);
        setenv("PATH", SavedPath.c_str(), 1);
        return r;
    }

    // xdg-email that writes each argument followed by a NUL to Record, then exits `status`.
    void InstallRecorder(int status) {
        const std::string path = Dir.File("bin/xdg-email");
        testsupport::WriteFileBytes(path, "#!/bin/sh\nprintf '%s\\0' \"$@\" > " + testsupport::ShellQuote(Record) +
                                              "\nexit " + std::to_string(status) + "\n");
        chmod(path.c_str(), 0755);
    }
    // The recorded arguments; empty when xdg-email never ran.
    std::vector<std::string> Recorded() const {
        std::vector<std::string> args;
        if (!fs::exists(Record)) return args;
        const std::string bytes = testsupport::ReadFileBytes(Record);
        size_t start = 0;
        for (size_t nul; (nul = bytes.find('\0', start)) != std::string::npos; start = nul + 1)
            args.push_back(bytes.substr(start, nul - start));
        return args;
    }
    std::string NotSentMessage() const {
        return "The error report was not sent.  Please send the file\r\n    '" + Archive + "'\r\nto " +
               kSupportAddress + ".";
    }
};

const std::string kRecipient = std::string("Velundra Support <") + kSupportAddress + ">";

TEST_F(SendErrorReportTest, TheMailProgramGetsTheMailAndItsStatusDecides) {
    struct Case {
        const char* what;
        int recorder;  // the recorder's exit status; -1: no xdg-email
        SendOutcome outcome;
        std::string error;
    } cases[] = {
        {"handed over", 0, SendOutcome::Sent, ""},
        {"xdg-email fails", 1, SendOutcome::NotSent,
         "xdg-email failed (exit status 1), the mail was not handed to the mail client."},
        {"no xdg-email", -1, SendOutcome::NotSent, "Failed to find xdg-email."},
    };
    const std::vector<std::string> expectedArgs = {
        "--utf8",   "--subject", "Error report for velundra", "--body", "It crashed\r\nwhen I pressed Convert.",
        "--attach", Archive,     kRecipient};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(Record);
        fs::remove(Dir.File("bin/xdg-email"));
        if (c.recorder >= 0) InstallRecorder(c.recorder);
        const SendReportResult r = Send(u"It crashed\r\nwhen I pressed Convert.", Executable);
        EXPECT_EQ(r.Outcome, c.outcome);
        EXPECT_EQ(r.Error, c.error);
        EXPECT_EQ(r.Message, c.outcome == SendOutcome::Sent ? "" : NotSentMessage());
        EXPECT_EQ(r.FilesAdded, 2);
        EXPECT_EQ(Recorded(), c.recorder >= 0 ? expectedArgs : std::vector<std::string>{});
        EXPECT_EQ(testsupport::RunCommand({"unzip", "-t", Archive}).exitCode, 0);
    }
}

// Without a chosen file the mail goes without attachment if there is a description, and not
// at all if there is none; the text carries only what Windows-1252 holds.
TEST_F(SendErrorReportTest, NoFileChosen) {
    InstallRecorder(0);
    for (ReportEntry& e : Entries) e.Send = 0;

    SendReportResult r = Send(u"", Executable);
    EXPECT_EQ(r.Outcome, SendOutcome::NothingToSend);
    EXPECT_EQ(r.Message, "Please select a file to send, or enter  \r\na message describing the problem.");
    EXPECT_EQ(r.Error, "");
    EXPECT_TRUE(Recorded().empty());
    EXPECT_FALSE(fs::exists(Archive));

    r = Send(u"Caf\u00e9 \u03a9 \u20ac", Executable);
    EXPECT_EQ(r.Outcome, SendOutcome::Sent);
    EXPECT_EQ(r.FilesAdded, 0);
    EXPECT_EQ(Recorded(), (std::vector<std::string>{"--utf8", "--subject", "Error report for velundra", "--body",
                                                    "Caf\u00e9 _ \u20ac", kRecipient}));
    EXPECT_FALSE(fs::exists(Archive));
}

// An archive that cannot be written is not mailed: the user is told, and told where the
// report should have been.
TEST_F(SendErrorReportTest, AnArchiveThatCannotBeWrittenIsNotSent) {
    InstallRecorder(0);
    const std::string executable = Dir.File("missing/velundra");
    const std::string archive = Dir.File("missing/velundra.zip");
    const SendReportResult r = Send(u"", executable);
    EXPECT_EQ(r.Outcome, SendOutcome::NotSent);
    EXPECT_EQ(r.Error, "Failed to write the archive '" + archive + "'.");
    EXPECT_EQ(r.Message, "The error report was not sent.  Please send the file\r\n    '" + archive + "'\r\nto " +
                             kSupportAddress + ".");
    EXPECT_TRUE(Recorded().empty());
}

}  // namespace
