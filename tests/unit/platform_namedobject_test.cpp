#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "platform/NamedObject.h"
#include "platform/Wait.h"
#include "tests/support/ProcessUniqueName.h"

namespace {

using platform::CInstanceLock;
using platform::CNamedEvent;
using platform::InstanceLockResult;
using platform::WaitForReadable;

using testsupport::ProcessUniqueName;

// Runs `body` in a child process and returns its exit status (-1 when it did not exit).
template <typename Body>
int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(InstanceLock, HeldUntilItsHolderGoesEvenWhenKilled) {
    const std::string name = ProcessUniqueName("lock");
    std::unique_ptr<CInstanceLock> first;
    ASSERT_EQ(CInstanceLock::Acquire(name, &first), InstanceLockResult::Owned);
    std::unique_ptr<CInstanceLock> second;
    int error = 0;
    EXPECT_EQ(CInstanceLock::Acquire(name, &second, &error), InstanceLockResult::HeldElsewhere);
    EXPECT_EQ(error, EADDRINUSE);
    EXPECT_EQ(second, nullptr);
    // Another process sees it held too.
    EXPECT_EQ(InChild([&] {
                  return CInstanceLock::Acquire(name, nullptr) == InstanceLockResult::HeldElsewhere ? 0 : 1;
              }),
              0);
    first.reset();
    ASSERT_EQ(CInstanceLock::Acquire(name, &second), InstanceLockResult::Owned);
    second.reset();

    // A holder killed outright leaves nothing behind.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        std::unique_ptr<CInstanceLock> lock;
        char ok = CInstanceLock::Acquire(name, &lock) == InstanceLockResult::Owned ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    EXPECT_EQ(CInstanceLock::Acquire(name, nullptr), InstanceLockResult::HeldElsewhere);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(CInstanceLock::Acquire(name, &first), InstanceLockResult::Owned);
}

TEST(InstanceLock, RefusesNamesTheNamespaceCannotHold) {
    for (const std::string& name : {std::string(), std::string(108, 'x'), std::string("a\0b", 3)}) {
        int error = 0;
        EXPECT_EQ(CInstanceLock::Acquire(name, nullptr, &error), InstanceLockResult::Failed) << name.size();
        EXPECT_EQ(error, EINVAL);
    }
    std::unique_ptr<CInstanceLock> longest;
    EXPECT_EQ(CInstanceLock::Acquire(ProcessUniqueName("") + std::string(107 - ProcessUniqueName("").size(), 'x'), &longest),
              InstanceLockResult::Owned);
}

TEST(NamedEvent, AutoResetSetsFromAnotherProcessCountOnce) {
    const std::string name = ProcessUniqueName("event");
    EXPECT_FALSE(platform::SetNamedEvent(name));  // nobody created it yet
    int error = 0;
    auto event = CNamedEvent::Create(name, &error);
    ASSERT_NE(event, nullptr) << error;
    EXPECT_EQ(CNamedEvent::Create(name, &error), nullptr);
    EXPECT_EQ(error, EADDRINUSE);

    EXPECT_EQ(WaitForReadable({event->Fd()}, 0), platform::kWaitTimedOut);
    EXPECT_FALSE(event->Consume());

    EXPECT_EQ(InChild([&] { return platform::SetNamedEvent(name) && platform::SetNamedEvent(name) ? 0 : 1; }), 0);
    EXPECT_EQ(WaitForReadable({event->Fd()}, 1000), 0);
    EXPECT_TRUE(event->Consume());
    EXPECT_FALSE(event->Consume());  // two sets before the wake-up were one
    EXPECT_EQ(WaitForReadable({event->Fd()}, 0), platform::kWaitTimedOut);

    // Far more sets than the socket queues still leave it set, and each sender hears so.
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(platform::SetNamedEvent(name)) << i;
    EXPECT_TRUE(event->Consume());
    EXPECT_FALSE(event->Consume());

    event.reset();
    EXPECT_FALSE(platform::SetNamedEvent(name));  // gone with its creator
}

TEST(NamedEvent, IgnoresSetsFromOtherUsers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
    const std::string name = ProcessUniqueName("foreign");
    auto event = CNamedEvent::Create(name);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(InChild([&] {
                  if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) return 2;
                  return platform::SetNamedEvent(name) ? 0 : 1;
              }),
              0);
    // The datagram arrives and wakes the waiter, but does not set the event.
    EXPECT_EQ(WaitForReadable({event->Fd()}, 1000), 0);
    EXPECT_FALSE(event->Consume());
    EXPECT_EQ(WaitForReadable({event->Fd()}, 0), platform::kWaitTimedOut);
}

platform::NamedEventTarget gHandlerTarget;
void SetFromHandler(int) { platform::SetNamedEvent(gHandlerTarget); }

TEST(NamedEvent, SetFromASignalHandlerWithAPreparedTarget) {
    const std::string name = ProcessUniqueName("signal");
    auto event = CNamedEvent::Create(name);
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(platform::PrepareNamedEvent(name, &gHandlerTarget));
    platform::NamedEventTarget unprepared;
    EXPECT_FALSE(platform::SetNamedEvent(unprepared));
    EXPECT_FALSE(platform::PrepareNamedEvent("", &unprepared));

    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = SetFromHandler;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    errno = 1234;
    raise(SIGUSR1);
    EXPECT_EQ(errno, 1234);  // the handler keeps errno
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(event->Consume());
}

TEST(Wait, LowestReadyIndexTimeOutAndBadDescriptors) {
    auto a = CNamedEvent::Create(ProcessUniqueName("a"));
    auto b = CNamedEvent::Create(ProcessUniqueName("b"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForReadable({a->Fd(), b->Fd()}, 50), platform::kWaitTimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    ASSERT_TRUE(platform::SetNamedEvent(ProcessUniqueName("b")));
    EXPECT_EQ(WaitForReadable({a->Fd(), b->Fd()}, 1000), 1);
    ASSERT_TRUE(platform::SetNamedEvent(ProcessUniqueName("a")));
    EXPECT_EQ(WaitForReadable({a->Fd(), b->Fd()}, 1000), 0);  // both ready: the first wins

    int error = 0;
    EXPECT_EQ(WaitForReadable({}, 0, &error), platform::kWaitFailed);
    EXPECT_EQ(error, EINVAL);
    EXPECT_EQ(WaitForReadable({a->Fd(), 9999}, 0, &error), platform::kWaitFailed);
    EXPECT_EQ(error, EBADF);
}

}  // namespace
