#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/SharedSegment.h"
#include "tests/support/ProcessUniqueName.h"

namespace {

using platform::CSharedMutex;
using platform::CSharedSegment;
using platform::MutexLock;
using platform::SegmentOpen;

using testsupport::ProcessUniqueName;

// Removes the names a test made, whatever its outcome.
struct NameCleanup {
    std::string name;
    ~NameCleanup() { CSharedSegment::Remove(name); }
};

// Waits for a child and returns its exit status (-1 when it did not exit normally).
int WaitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SharedSegment, CreatedZeroedAndSharedBetweenOpeners) {
    NameCleanup n{ProcessUniqueName("seg")};
    int err = -1;
    EXPECT_EQ(CSharedSegment::Open(n.name, 4096, SegmentOpen::OpenExisting, &err), nullptr);
    EXPECT_EQ(err, ENOENT);

    auto a = CSharedSegment::Open(n.name, 4096, SegmentOpen::CreateOrOpen, &err);
    ASSERT_NE(a, nullptr) << err;
    auto* bytes = static_cast<unsigned char*>(a->Data());
    for (size_t i = 0; i < 4096; ++i) ASSERT_EQ(bytes[i], 0) << i;
    std::memcpy(bytes + 100, "hello", 5);

    auto b = CSharedSegment::Open(n.name, 4096, SegmentOpen::OpenExisting, &err);
    ASSERT_NE(b, nullptr) << err;
    EXPECT_EQ(std::memcmp(static_cast<char*>(b->Data()) + 100, "hello", 5), 0);
    // A smaller opener does not shrink it; a larger one grows it without touching the data.
    auto c = CSharedSegment::Open(n.name, 16, SegmentOpen::CreateOrOpen);
    auto d = CSharedSegment::Open(n.name, 65536, SegmentOpen::CreateOrOpen);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::memcmp(static_cast<char*>(d->Data()) + 100, "hello", 5), 0);
    EXPECT_EQ(static_cast<unsigned char*>(d->Data())[65535], 0);
}

TEST(SharedSegment, RefusesBadNames) {
    for (std::string bad : {std::string(), std::string("a/b"), std::string(300, 'x')}) {
        int err = 0;
        EXPECT_EQ(CSharedSegment::Open(bad, 64, SegmentOpen::CreateOrOpen, &err), nullptr) << bad;
        EXPECT_EQ(err, EINVAL);
    }
}

TEST(SharedMutex, OwnerDyingWhileHoldingItIsRecovered) {
    NameCleanup n{ProcessUniqueName("mtx-dead")};
    auto m = CSharedMutex::Open(n.name);
    ASSERT_NE(m, nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto mine = CSharedMutex::Open(n.name);
        _exit(mine && mine->Lock(1000) == MutexLock::Acquired ? 0 : 1);  // dies holding it
    }
    ASSERT_EQ(WaitChild(pid), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m->Lock(1000), MutexLock::Recovered);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    m->Unlock();
    EXPECT_EQ(m->Lock(1000), MutexLock::Acquired);
    m->Unlock();
}

TEST(SharedMutex, LockGivesUpAfterItsTimeout) {
    NameCleanup n{ProcessUniqueName("mtx-held")};
    auto m = CSharedMutex::Open(n.name);
    ASSERT_NE(m, nullptr);
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto mine = CSharedMutex::Open(n.name);
        bool ok = mine && mine->Lock(1000) == MutexLock::Acquired;
        char c = ok ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        if (ok) mine->Unlock();
        _exit(ok ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m->Lock(300), MutexLock::TimedOut);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(290));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
    ASSERT_EQ(write(release[1], "x", 1), 1);
    EXPECT_EQ(WaitChild(pid), 0);
    {
        platform::CSharedMutexGuard guard(m.get(), 1000);
        EXPECT_EQ(guard.Result(), MutexLock::Acquired);
    }
    EXPECT_EQ(m->Lock(0), MutexLock::Acquired);  // the guard released it
    m->Unlock();
    for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST(SharedMutex, AnInitialiserThatDiedIsReplaced) {
    // The mutex segment starts with a word that names the process initialising it; a
    // process that died at that moment must not leave the name unusable.
    NameCleanup n{ProcessUniqueName("mtx-init")};
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(0);
    ASSERT_EQ(WaitChild(pid), 0);  // its pid is now free
    {
        auto raw = CSharedSegment::Open(n.name, sizeof(uint32_t), SegmentOpen::CreateOrOpen);
        ASSERT_NE(raw, nullptr);
        *static_cast<uint32_t*>(raw->Data()) = static_cast<uint32_t>(pid);
    }
    auto start = std::chrono::steady_clock::now();
    auto m = CSharedMutex::Open(n.name);
    ASSERT_NE(m, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(m->Lock(1000), MutexLock::Acquired);
    m->Unlock();
}

TEST(SharedMutex, ProcessesRacingToCreateItShareOneMutex) {
    // Several processes open a mutex nobody made yet at the same moment, then count under
    // it. A second initialisation or a missing exclusion loses increments.
    NameCleanup mutexName{ProcessUniqueName("mtx-race")};
    NameCleanup counterName{ProcessUniqueName("counter")};
    auto counter = CSharedSegment::Open(counterName.name, sizeof(uint64_t), SegmentOpen::CreateOrOpen);
    ASSERT_NE(counter, nullptr);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    constexpr int kChildren = 4, kRounds = 2000;
    pid_t pids[kChildren];
    for (pid_t& pid : pids) {
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(go[1]);
            char c;
            (void)!read(go[0], &c, 1);  // returns 0 when the parent closes its end
            auto m = CSharedMutex::Open(mutexName.name);
            if (!m) _exit(2);
            auto* value = static_cast<volatile uint64_t*>(counter->Data());
            for (int i = 0; i < kRounds; ++i) {
                if (!platform::IsLocked(m->Lock(5000))) _exit(3);
                uint64_t v = *value;
                *value = v + 1;
                m->Unlock();
            }
            _exit(0);
        }
    }
    close(go[0]);
    close(go[1]);
    for (pid_t pid : pids) EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_EQ(*static_cast<uint64_t*>(counter->Data()), uint64_t{kChildren} * kRounds);
}

}  // namespace
