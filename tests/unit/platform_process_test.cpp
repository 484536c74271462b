#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Process.h"

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

TEST(Process, EffectiveRootMatchesTheUid) { EXPECT_EQ(platform::IsEffectiveRoot(), geteuid() == 0); }

}  // namespace
