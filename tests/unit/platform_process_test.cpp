#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>

#include "platform/AnonymousPipe.h"
#include "platform/ExecutablePath.h"
#include "platform/Process.h"
#include "platform/SystemProgram.h"
#include "platform/Wait.h"

namespace {

using platform::ChildOutput;
using platform::RunProgram;

TEST(Process, ReportsTheChildsExitStatus) {
    struct Case {
        const char* program;
        std::vector<std::string> args;
        int status;
        int error;
    } cases[] = {
        {"true", {}, 0, 0},
        {"false", {}, 1, 0},
        {"sh", {"-c", "exit 7"}, 7, 0},
        {"sh", {"-c", "[ \"$1\" = 'a b' ] && [ $# = 1 ]", "sh", "a b"}, 0, 0},  // arguments kept whole
        {"sh", {"-c", "kill -9 $$"}, -1, 0},                               // killed by a signal
        {"velundra-no-such-program", {}, -1, ENOENT},
        {"/bin/sh", {"-c", "read x; [ -z \"$x\" ]"}, 0, 0},               // stdin is empty
    };
    for (const Case& c : cases) {
        int error = -2;
        EXPECT_EQ(RunProgram(c.program, c.args, ChildOutput::Discard, &error), c.status) << c.program;
        EXPECT_EQ(error, c.error) << c.program;
    }
}

TEST(ChildProcess, ItsDescriptorIsReadableWhenItEnds) {
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"-c", "exit 0"}, 0},
        {{"-c", "[ \"$1\" = 'a b' ] && exit 5", "sh", "a b"}, 5},
        {{"-c", "kill -9 $$"}, 128 + SIGKILL},
    };
    for (const Case& c : cases) {
        int error = -1;
        auto child = platform::CChildProcess::Start("/bin/sh", c.args, &error);
        ASSERT_NE(child, nullptr) << error;
        EXPECT_GT(child->Pid(), 0);
        EXPECT_EQ(platform::WaitForReadable({child->PidFd()}, 10000), 0);
        int status = -1;
        EXPECT_TRUE(child->Ended(&status));
        EXPECT_EQ(status, c.status) << c.args[1];
    }

    // A running child is not ready; a child still running when its object goes runs on.
    auto sleeper = platform::CChildProcess::Start("/bin/sleep", {"30"});
    ASSERT_NE(sleeper, nullptr);
    EXPECT_EQ(platform::WaitForReadable({sleeper->PidFd()}, 20), platform::kWaitTimedOut);
    EXPECT_FALSE(sleeper->Ended());
    const int pid = sleeper->Pid();
    sleeper.reset();
    EXPECT_EQ(kill(pid, 0), 0);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    int error = 0;
    EXPECT_EQ(platform::CChildProcess::Start("velundra-no-such-program", {}, &error), nullptr);
    EXPECT_EQ(error, ENOENT);  // never looked up in PATH
}

TEST(ExecutablePath, NamesThisTestProgram) {
    const std::string path = platform::ExecutablePath();
    const std::string dir = platform::ExecutableDirectory();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path[0], '/');
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(path, dir + "platform_process_test");
    EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
}

TEST(Process, SplitsCommandLinesIntoWords) {
    struct Case {
        std::string line;
        std::vector<std::string> words;
    } cases[] = {
        {"convert E: /FS:NTFS /X", {"convert", "E:", "/FS:NTFS", "/X"}},
        {"  convert\tE:  /FS:NTFS ", {"convert", "E:", "/FS:NTFS"}},
        {"\"/opt/my tools/convert\" E:", {"/opt/my tools/convert", "E:"}},
        {"a \"\" b", {"a", "", "b"}},
        {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::SplitCommandLine(c.line), c.words) << c.line;
}

// "convert" is our converter beside the executable, or in the directory tests choose; no
// other bare name is a system program.
TEST(SystemProgram, ConvertIsOurConverterBesideTheExecutable) {
    const std::string beside = platform::ExecutableDirectory() + "velundra-tontfs";
    EXPECT_EQ(platform::SystemProgramPath("convert"), beside);
    EXPECT_EQ(platform::SystemProgramPath("CONVERT"), beside);
    EXPECT_EQ(platform::SystemProgramPath("fsutil"), "");
    EXPECT_EQ(platform::SystemProgramPath("convert.exe"), "");
    platform::SetSystemProgramDirectory("/opt/stand-ins");
    EXPECT_EQ(platform::SystemProgramPath("convert"), "/opt/stand-ins/velundra-tontfs");
    platform::SetSystemProgramDirectory("");
    EXPECT_EQ(platform::SystemProgramPath("convert"), beside);
}

// A command line starts the program its first word names, with the other words as its
// arguments and its standard streams on our pipes; a name that is no system program is not
// looked up in PATH, and a converter that is missing or not executable is not started.
TEST(ChildProcess, StartsACommandLineOnRedirectedStreams) {
    char pattern[] = "/tmp/velundra-cmdline-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string script = dir + "/velundra-tontfs";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\necho \"$# $1 $2 $3\"\nread answer\necho \"read [$answer]\" >&2\nexit 3\n";
    }
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    platform::SetSystemProgramDirectory(dir);

    auto output = platform::CAnonymousPipe::Create(65536);
    auto input = platform::CAnonymousPipe::Create(65536);
    ASSERT_TRUE(output && input);
    platform::ChildStreams streams;
    streams.Input = input->ReadEnd();
    streams.Output = output->WriteEnd();
    streams.Error = output->WriteEnd();
    int error = -1;
    auto child = platform::CChildProcess::StartCommandLine("convert E: /FS:NTFS /X", streams, &error);
    ASSERT_NE(child, nullptr) << error;
    ASSERT_TRUE(input->Write("LABEL\n", 6));
    EXPECT_EQ(child->Wait(), 3);
    output->CloseWriteEnd();
    std::string printed;
    char buffer[256];
    for (long n; (n = output->Read(buffer, sizeof buffer)) > 0;) printed.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(printed, "3 E: /FS:NTFS /X\nread [LABEL]\n");

    struct Failure {
        std::string line;
        int error;
    } failures[] = {
        {"true", ENOENT},      // no system program, and PATH is not searched
        {"", EINVAL},
        {"convert E:", EACCES},  // the converter is not executable (below)
    };
    ASSERT_EQ(chmod(script.c_str(), 0644), 0);
    for (const Failure& f : failures) {
        error = 0;
        EXPECT_EQ(platform::CChildProcess::StartCommandLine(f.line, {}, &error), nullptr) << f.line;
        EXPECT_EQ(error, f.error) << f.line;
    }
    unlink(script.c_str());
    error = 0;
    EXPECT_EQ(platform::CChildProcess::StartCommandLine("convert E:", {}, &error), nullptr);
    EXPECT_EQ(error, ENOENT);
    platform::SetSystemProgramDirectory("");
    rmdir(dir.c_str());
}

TEST(Process, EffectiveRootMatchesTheUid) { EXPECT_EQ(platform::IsEffectiveRoot(), geteuid() == 0); }

}  // namespace
