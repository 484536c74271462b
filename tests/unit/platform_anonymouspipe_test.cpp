#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

#include "platform/AnonymousPipe.h"
#include "platform/Process.h"
#include "platform/Wait.h"

namespace {

using platform::CAnonymousPipe;

// The buffer follows the hint within the system's limit; a hint above it gets the limit.
TEST(AnonymousPipe, BufferFollowsTheHintUpToTheLimit) {
    const size_t limit = platform::PipeMaxSize();
    ASSERT_GE(limit, 65536u);
    struct Case {
        size_t hint;
        size_t capacity;
    } cases[] = {
        {4096, 4096},
        {65536, 65536},
        {16777216, limit},
    };
    for (const Case& c : cases) {
        int error = -1;
        auto pipe = CAnonymousPipe::Create(c.hint, &error);
        ASSERT_NE(pipe, nullptr) << error;
        EXPECT_EQ(pipe->Capacity(), c.capacity) << c.hint;
    }
}

// Bytes come out as they went in; a closed write end is the end of the data.
TEST(AnonymousPipe, CarriesBytesAndEndsWhenTheWriteEndCloses) {
    auto pipe = CAnonymousPipe::Create(65536);
    ASSERT_NE(pipe, nullptr);
    const std::string text = "The type of the file system is FAT32.\n";
    ASSERT_TRUE(pipe->Write(text.data(), text.size()));
    char buffer[256];
    ASSERT_EQ(pipe->Read(buffer, sizeof buffer), static_cast<long>(text.size()));
    EXPECT_EQ(std::string(buffer, text.size()), text);
    pipe->CloseWriteEnd();
    EXPECT_EQ(pipe->WriteEnd(), -1);
    EXPECT_EQ(pipe->Read(buffer, sizeof buffer), 0);
}

// Writing when nobody can read fails with EPIPE; the process is not killed by SIGPIPE, and
// no SIGPIPE is left pending for later.
TEST(AnonymousPipe, WriteWithoutReaderFailsWithoutSignal) {
    signal(SIGPIPE, SIG_DFL);
    auto pipe = CAnonymousPipe::Create(4096);
    ASSERT_NE(pipe, nullptr);
    pipe->CloseReadEnd();
    int error = 0;
    EXPECT_FALSE(pipe->Write("\r\n", 2, &error));
    EXPECT_EQ(error, EPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    sigset_t mask;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);  // the thread's mask is as it was
}

// A child started without its ends does not hold them: once we close the write end, the
// reader sees the end at once, although the child runs on.
TEST(AnonymousPipe, ChildrenDoNotInheritTheEnds) {
    auto pipe = CAnonymousPipe::Create(4096);
    ASSERT_NE(pipe, nullptr);
    auto sleeper = platform::CChildProcess::Start("/bin/sleep", {"30"});
    ASSERT_NE(sleeper, nullptr);
    pipe->CloseWriteEnd();
    EXPECT_EQ(platform::WaitForReadable({pipe->ReadEnd()}, 5000), 0);
    char byte;
    EXPECT_EQ(pipe->Read(&byte, 1), 0);
    kill(sleeper->Pid(), SIGKILL);
    EXPECT_EQ(sleeper->Wait(), 128 + SIGKILL);
}

}  // namespace
