#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/ExecutablePath.h"
#include "platform/Process.h"
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

TEST(Process, EffectiveRootMatchesTheUid) { EXPECT_EQ(platform::IsEffectiveRoot(), geteuid() == 0); }

}  // namespace
