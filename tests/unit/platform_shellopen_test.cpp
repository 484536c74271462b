// Opening an address through a stand-in xdg-open put first on PATH, which writes down who
// it runs as and with what; running a helper to its end the same way.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/ShellOpen.h"

namespace {

namespace fs = std::filesystem;

// A private directory (readable by every user, so that a dropped-rights child can run the
// stand-in and write beside it) with PATH and PKEXEC_UID restored afterwards.
class ShellOpenTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velundra-shellopen-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
        chmod(Dir.c_str(), 0777);
        OldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
        const char* uid = std::getenv("PKEXEC_UID");
        HadUid = uid != nullptr;
        OldUid = uid ? uid : "";
        unsetenv("PKEXEC_UID");
        setenv("PATH", (Dir + ":" + OldPath).c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", OldPath.c_str(), 1);
        if (HadUid) setenv("PKEXEC_UID", OldUid.c_str(), 1);
        else unsetenv("PKEXEC_UID");
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }

    // An xdg-open that writes "<target> <uid> <gid> <HOME> <USER>" to opened.txt.
    void InstallOpener(const std::string& firstLine = "#!/bin/sh") {
        std::ofstream(Dir + "/xdg-open") << firstLine << "\n"
                                         << "echo \"$1 $(id -u) $(id -g) $HOME $USER\" > '" << Dir
                                         << "/opened.tmp' && mv '" << Dir << "/opened.tmp' '" << Dir
                                         << "/opened.txt'\n";
        chmod((Dir + "/xdg-open").c_str(), 0755);
    }

    // What the stand-in wrote, waiting for it a while; empty when it never wrote.
    std::string Opened() {
        const std::string file = Dir + "/opened.txt";
        for (int i = 0; i < 250 && access(file.c_str(), R_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ifstream in(file);
        std::string line;
        std::getline(in, line);
        return line;
    }

    std::string Dir;
    std::string OldPath;
    std::string OldUid;
    bool HadUid = false;
};

TEST_F(ShellOpenTest, StartsTheOpenerWithTheTargetAsWeAre) {
    InstallOpener();
    int error = -1;
    ASSERT_TRUE(platform::OpenForUser("https://example.org/a b?c=1", &error));
    EXPECT_EQ(error, 0);
    std::ostringstream want;
    want << "https://example.org/a b?c=1 " << geteuid() << " " << getegid() << " ";
    EXPECT_EQ(Opened().rfind(want.str(), 0), 0u) << Opened();
}

TEST_F(ShellOpenTest, FailsWhenNoOpenerCanBeStarted) {
    struct Case {
        const char* name;
        bool install;
        const char* firstLine;
    };
    for (const Case& c : {Case{"missing", false, ""}, Case{"interpreter missing", true, "#!/velundra/no/such/shell"}}) {
        if (c.install) InstallOpener(c.firstLine);
        setenv("PATH", c.install ? Dir.c_str() : (Dir + "/none").c_str(), 1);
        int error = 0;
        EXPECT_FALSE(platform::OpenForUser("/tmp", &error)) << c.name;
        EXPECT_EQ(error, ENOENT) << c.name;
    }
}

TEST_F(ShellOpenTest, AsRootRunsTheOpenerAsTheUserWhoStartedUs) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    InstallOpener();
    setenv("PKEXEC_UID", "65534", 1);
    ASSERT_TRUE(platform::OpenForUser("/media/disk"));
    const std::string line = Opened();
    EXPECT_EQ(line.rfind("/media/disk 65534 ", 0), 0u) << line;
    EXPECT_NE(line.find(" nobody"), std::string::npos) << line;  // USER of that user
}

TEST_F(ShellOpenTest, AsRootRefusesAUserItCannotTakeOnAndStaysRootForRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    InstallOpener();
    struct Case {
        const char* uid;
        int error;  // 0: started as root
    };
    for (const Case& c : {Case{"", 0}, Case{"0", 0}, Case{"x12", EINVAL}, Case{"-5", EINVAL},
                          Case{"99999999999", EINVAL}, Case{"3999999", ENOENT}}) {
        setenv("PKEXEC_UID", c.uid, 1);
        int error = -1;
        const bool started = platform::OpenForUser("/srv", &error);
        EXPECT_EQ(started, c.error == 0) << "'" << c.uid << "'";
        EXPECT_EQ(error, c.error) << "'" << c.uid << "'";
        if (started) {
            EXPECT_EQ(Opened().rfind("/srv 0 0 ", 0), 0u) << Opened();
        }
        fs::remove(Dir + "/opened.txt");
    }
}

// A helper run to its end: its exit status comes back, its arguments arrive whole, and as
// root it runs as the user who started us.
TEST_F(ShellOpenTest, RunForUserWaitsAndGivesTheExitStatus) {
    const std::string helper = Dir + "/velundra-helper";
    std::ofstream(helper) << "#!/bin/sh\n"
                          << "printf '%s|' \"$@\" \"$(id -u)\" \"$USER\" > '" << Dir << "/ran.txt'\n"
                          << "exit $1\n";
    chmod(helper.c_str(), 0755);
    struct Case {
        const char* uid;  // PKEXEC_UID; null: unset
        std::vector<std::string> args;
        int status;
        std::string ran;  // what the helper wrote, before its uid and USER
        bool asNobody;
    } cases[] = {
        {nullptr, {"0", "a b", ""}, 0, "0|a b||", false},
        {nullptr, {"3"}, 3, "3|", false},
        {"65534", {"5", "x"}, 5, "5|x|", true},
    };
    for (const Case& c : cases) {
        if (c.asNobody && geteuid() != 0) continue;
        if (c.uid) setenv("PKEXEC_UID", c.uid, 1);
        else unsetenv("PKEXEC_UID");
        fs::remove(Dir + "/ran.txt");
        int error = -1;
        EXPECT_EQ(platform::RunForUser("velundra-helper", c.args, &error), c.status);
        EXPECT_EQ(error, 0);
        std::ifstream in(Dir + "/ran.txt");
        std::string ran;
        std::getline(in, ran);
        const std::string who = c.asNobody ? "65534|nobody|" : std::to_string(geteuid()) + "|" +
                                                                   (std::getenv("USER") ? std::getenv("USER") : "") + "|";
        EXPECT_EQ(ran, c.ran + who) << c.args[0];
    }
    unsetenv("PKEXEC_UID");
    int error = 0;
    EXPECT_EQ(platform::RunForUser("velundra-no-such-helper", {}, &error), -1);
    EXPECT_EQ(error, ENOENT);
}

}  // namespace
