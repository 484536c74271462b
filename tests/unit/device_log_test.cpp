#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/Log.h"
#include "platform/SharedSegment.h"

namespace {

using Clock = std::chrono::steady_clock;

// The log's process-wide state is chosen once per process, so each test that touches it
// runs its body in a forked child. A failed check prints what failed and ends the child
// with status 1.
#define CHILD_CHECK(cond)                                                               \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            std::fprintf(stderr, "%s:%d: child check failed: %s\n", __FILE__, __LINE__, #cond); \
            _exit(1);                                                                   \
        }                                                                               \
    } while (0)

int WaitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

pid_t Spawn(const std::function<void()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    return pid;
}

int RunInChild(const std::function<void()>& body) { return WaitChild(Spawn(body)); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/velundra-log-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
    std::string path;
};

// Names of a shared buffer of this test only.
SharedLogNames TestNames(const char* what) {
    std::string tag = std::to_string(getpid()) + "-" + what;
    return SharedLogNames{"velundra-logtest-" + tag, "velundra-logtest-mutex-" + tag};
}

TEST(Log, FirstLineOpensDefaultLogInTheCurrentDirectory) {
    TempDir dir;
    std::ofstream(dir.path + "/DefaultLog.log") << "old contents";
    int rc = RunInChild([&] {
        CHILD_CHECK(chdir(dir.path.c_str()) == 0);
        unsetenv("VELUNDRA_DEBUG");
        LogLineA(1, "debug line %d", 1);  // the debugger's line: nowhere without VELUNDRA_DEBUG
        LogInfoA("totalfiles %d", 3);
        LogWarnA("%ws, GetVolumeInformation last error %d.", u"E:\\", 21);
        LogWarnW(u"ReadFile last error %d", 5);
        LogLineA(5, "level five goes nowhere");
        LogLineA(-1, "nor does minus one");
        LogInfoA("%I64d FR actual data run size %I64d < file size %I64d", int64_t{40}, int64_t{4096},
                 int64_t{1} << 33);
        LogErrorW(u"The file '%s' is a sparse file, FAT32 is not supported.", u"\u00E9t\u00E9.txt");
        LogErrorA("ReadSector err, s:%d, n%d", 64, 8);
    });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(ReadFile(dir.path + "/DefaultLog.log"),
              "totalfiles 3\r\n"
              "E:\\, GetVolumeInformation last error 21.\r\n"
              "ReadFile last error 5\r\n"
              "40 FR actual data run size 4096 < file size 8589934592\r\n"
              "The file '\xC3\xA9t\xC3\xA9.txt' is a sparse file, FAT32 is not supported.\r\n"
              "ReadSector err, s:64, n8\r\n");
}

TEST(Log, ReadSectorLineIsTwentySixBytes) {
    TempDir dir;
    ASSERT_EQ(RunInChild([&] {
                  CHILD_CHECK(UseFileLog((dir.path + "/x.log").c_str()));
                  LogErrorA("ReadSector err, s:%d, n%d", 64, 8);
              }),
              0);
    std::string text = ReadFile(dir.path + "/x.log");
    EXPECT_EQ(text.size(), 26u);
    EXPECT_EQ(text, "ReadSector err, s:64, n8\r\n");
}

TEST(Log, DebugLevelsGoToStderrOnlyWhenAskedFor) {
    TempDir dir;
    const std::string err = dir.path + "/stderr.txt";
    ASSERT_EQ(RunInChild([&] {
                  int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                  CHILD_CHECK(fd >= 0 && dup2(fd, 2) == 2);
                  setenv("VELUNDRA_DEBUG", "1", 1);
                  CHILD_CHECK(UseFileLog((dir.path + "/x.log").c_str()));
                  LogLineA(0, "zero %d", 0);
                  LogLineW(1, u"one %s", u"\u20AC");
                  LogInfoA("info");
              }),
              0);
    EXPECT_EQ(ReadFile(err), "zero 0\r\none \xE2\x82\xAC\r\n");
    EXPECT_EQ(ReadFile(dir.path + "/x.log"), "info\r\n");
}

TEST(Log, OverLongLinesAreCutNeverOverrun) {
    TempDir dir;
    ASSERT_EQ(RunInChild([&] {
                  CHILD_CHECK(UseFileLog((dir.path + "/x.log").c_str()));
                  std::string a(5000, 'a');
                  LogInfoA("%s", a.c_str());
                  // 1500 é: 1500 UTF-16 units, 3000 bytes of UTF-8, cut at a character.
                  std::u16string e(1500, u'\u00E9');
                  LogErrorW(u"%s", e.c_str());
                  LogInfoA("next");
              }),
              0);
    std::string e;
    for (int i = 0; i < 1022; ++i) e += "\xC3\xA9";
    EXPECT_EQ(ReadFile(dir.path + "/x.log"), std::string(2045, 'a') + "\r\n" + e + "\r\nnext\r\n");
}

TEST(Log, EchoSeesWarningsAndErrorsOnly) {
    TempDir dir;
    const std::string seen = dir.path + "/echo.txt";
    static std::string* echoed;
    ASSERT_EQ(RunInChild([&] {
                  std::string buffer;
                  echoed = &buffer;
                  SetLogEcho([](int level, const char* line) { *echoed += std::to_string(level) + ":" + line + "|"; });
                  CHILD_CHECK(UseFileLog((dir.path + "/x.log").c_str()));
                  LogInfoA("info");
                  LogWarnA("warn %d", 3);
                  LogErrorW(u"error %s", u"w");
                  SetLogEcho(nullptr);
                  LogErrorA("unseen");
                  std::ofstream(seen) << buffer;
              }),
              0);
    EXPECT_EQ(ReadFile(seen), "3:warn 3|4:error w|");
    EXPECT_EQ(ReadFile(dir.path + "/x.log"), "info\r\nwarn 3\r\nerror w\r\nunseen\r\n");
}

TEST(Log, SinksAreProcessWideAndChosenOnce) {
    TempDir dir;
    SharedLogNames names = TestNames("late");
    ASSERT_EQ(RunInChild([&] {
                  SetSharedLogNames(names);
                  CHILD_CHECK(GetLogSink(0) == GetLogSink(0));
                  CHILD_CHECK(GetLogSink(2) == nullptr && GetLogSink(-1) == nullptr);
                  CHILD_CHECK(UseFileLog((dir.path + "/first.log").c_str()));
                  CHILD_CHECK(!UseFileLog((dir.path + "/second.log").c_str()));
                  UseSharedLog();  // too late: the file stays the sink
                  LogInfoA("kept");
              }),
              0);
    EXPECT_EQ(ReadFile(dir.path + "/first.log"), "kept\r\n");
    EXPECT_EQ(access((dir.path + "/second.log").c_str(), F_OK), -1);
    platform::CSharedMutex::Remove(names.mutex);  // the client made it
}

TEST(SharedLog, ClientProcessWritesAndServerDrains) {
    SharedLogNames names = TestNames("drain");
    auto server = CFMappingLog::CreateServer(names);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(RunInChild([&] {
                  SetSharedLogNames(names);
                  UseSharedLog();
                  LogLineA(1, "debug is dropped after UseSharedLog");
                  LogInfoA("totaldirectories %d", 2);
                  LogWarnW(u"WriteFile last error %d", 28);
                  LogErrorA("%ws", u"\u4E2D");
              }),
              0);
    std::string out;
    ASSERT_TRUE(server->Drain(&out));
    EXPECT_EQ(out, "totaldirectories 2\r\nWriteFile last error 28\r\n\xE4\xB8\xAD\r\n");
    out.clear();
    ASSERT_TRUE(server->Drain(&out));
    EXPECT_EQ(out, "");
}

TEST(SharedLog, AttachingClientKeepsUndrainedLines) {
    SharedLogNames names = TestNames("attach");
    auto server = CFMappingLog::CreateServer(names);
    ASSERT_NE(server, nullptr);
    auto first = CFMappingLog::OpenClient(names);
    ASSERT_EQ(first->Write("first\r\n", 7), 1);
    auto second = CFMappingLog::OpenClient(names);  // e.g. a process started after a crash
    ASSERT_EQ(second->Write("second\r\n", 8), 1);
    std::string out;
    ASSERT_TRUE(server->Drain(&out));
    EXPECT_EQ(out, "first\r\nsecond\r\n");
}

TEST(SharedLog, WithoutServerLinesAreLost) {
    SharedLogNames names = TestNames("none");
    auto client = CFMappingLog::OpenClient(names);
    ASSERT_NE(client, nullptr);
    EXPECT_FALSE(client->HasView());
    EXPECT_EQ(client->Write("x\r\n", 3), 0);
    std::string out;
    EXPECT_FALSE(client->Drain(&out));
    EXPECT_EQ(client->OpenW(u""), 1);
    platform::CSharedMutex::Remove(names.mutex);
}

TEST(SharedLog, FullBufferDropsWholeLinesUntilDrained) {
    SharedLogNames names = TestNames("full");
    auto server = CFMappingLog::CreateServer(names);
    ASSERT_NE(server, nullptr);
    auto client = CFMappingLog::OpenClient(names);
    const uint32_t room = kSharedLogBytes - 4;  // 131068 log bytes at most
    std::string big(room - 1, 'b');
    EXPECT_EQ(client->Write(std::string(room + 1, 'x').data(), room + 1), 0);  // never fits
    ASSERT_EQ(client->Write(big.data(), static_cast<uint32_t>(big.size())), 1);  // 131067 pending
    EXPECT_EQ(client->Write("ab", 2), 0);    // Count + 2 + 4 > 131072: dropped whole
    EXPECT_EQ(client->Write("c", 1), 1);     // exactly full
    EXPECT_EQ(client->Write("d", 1), 0);
    EXPECT_EQ(client->Write("", 0), 0);      // nothing is not a line
    std::string out;
    ASSERT_TRUE(server->Drain(&out));
    EXPECT_EQ(out, big + "c");
    EXPECT_EQ(client->Write("ab", 2), 1);    // the drain made room
    out.clear();
    ASSERT_TRUE(server->Drain(&out));
    EXPECT_EQ(out, "ab");
}

TEST(SharedLog, DamagedCountIsNeitherOverrunNorTrusted) {
    SharedLogNames names = TestNames("damaged");
    auto server = CFMappingLog::CreateServer(names);
    ASSERT_NE(server, nullptr);
    auto client = CFMappingLog::OpenClient(names);
    auto raw = platform::CSharedSegment::Open(names.mapping, kSharedLogBytes, platform::SegmentOpen::OpenExisting);
    ASSERT_NE(raw, nullptr);
    auto* header = static_cast<SharedLogHeader*>(raw->Data());
    for (uint32_t bad : {kSharedLogBytes - 2, 0xFFFFFFF0u}) {
        header->Count = bad;
        EXPECT_EQ(client->Write("ab", 2), 0);
        std::string out;
        EXPECT_TRUE(server->Drain(&out));
        EXPECT_EQ(out, "");
        EXPECT_EQ(header->Count, 0u);
        EXPECT_EQ(client->Write("ab", 2), 1);
        EXPECT_TRUE(server->Drain(&out));
        EXPECT_EQ(out, "ab");
    }
}

TEST(SharedLog, MutexHeldElsewhereMakesWriteGiveUpAfterOneSecond) {
    SharedLogNames names = TestNames("held");
    auto server = CFMappingLog::CreateServer(names);
    ASSERT_NE(server, nullptr);
    auto client = CFMappingLog::OpenClient(names);
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t holder = Spawn([&] {
        auto m = platform::CSharedMutex::Open(names.mutex);
        CHILD_CHECK(m && m->Lock(1000) == platform::MutexLock::Acquired);
        CHILD_CHECK(write(ready[1], "r", 1) == 1);
        char c;
        CHILD_CHECK(read(release[0], &c, 1) == 1);
        m->Unlock();
    });
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    auto start = Clock::now();
    EXPECT_EQ(client->Write("lost\r\n", 6), 0);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(950));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    std::string out;
    EXPECT_FALSE(server->Drain(&out));  // the launcher's drain waits the same second
    ASSERT_EQ(write(release[1], "x", 1), 1);
    EXPECT_EQ(WaitChild(holder), 0);
    ASSERT_TRUE(server->Drain(&out));
    EXPECT_EQ(out, "");  // the line was dropped, not delayed
    for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST(SharedLog, ClientDyingWhileHoldingTheMutexDoesNotWedgeTheServer) {
    SharedLogNames names = TestNames("dead");
    auto server = CFMappingLog::CreateServer(names);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(RunInChild([&] {
                  auto client = CFMappingLog::OpenClient(names);
                  CHILD_CHECK(client->Write("before\r\n", 8) == 1);
                  auto m = platform::CSharedMutex::Open(names.mutex);
                  CHILD_CHECK(m && m->Lock(1000) == platform::MutexLock::Acquired);
                  _exit(0);  // dies holding it
              }),
              0);
    auto start = Clock::now();
    std::string out;
    ASSERT_TRUE(server->Drain(&out));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(out, "before\r\n");
    auto client = CFMappingLog::OpenClient(names);
    EXPECT_EQ(client->Write("after\r\n", 7), 1);
    out.clear();
    ASSERT_TRUE(server->Drain(&out));
    EXPECT_EQ(out, "after\r\n");
}

TEST(SharedLog, ConcurrentWritersNeverInterleaveLines) {
    SharedLogNames names = TestNames("threads");
    auto server = CFMappingLog::CreateServer(names);
    ASSERT_NE(server, nullptr);
    constexpr int kLines = 300;
    pid_t other = Spawn([&] {
        auto client = CFMappingLog::OpenClient(names);
        for (int i = 0; i < kLines; ++i) CHILD_CHECK(client->Write("process-line\r\n", 14) == 1);
    });
    auto client = CFMappingLog::OpenClient(names);
    std::thread t([&] {
        for (int i = 0; i < kLines; ++i) client->Write("thread-line\r\n", 13);
    });
    for (int i = 0; i < kLines; ++i) client->Write("main-line\r\n", 11);
    t.join();
    EXPECT_EQ(WaitChild(other), 0);
    std::string out;
    ASSERT_TRUE(server->Drain(&out));
    std::istringstream lines(out);
    int counts[3] = {0, 0, 0};
    for (std::string line; std::getline(lines, line);) {
        if (line == "process-line\r") ++counts[0];
        else if (line == "thread-line\r") ++counts[1];
        else if (line == "main-line\r") ++counts[2];
        else ADD_FAILURE() << "mixed line: " << line;
    }
    EXPECT_EQ(counts[0], kLines);
    EXPECT_EQ(counts[1], kLines);
    EXPECT_EQ(counts[2], kLines);
}

TEST(SharedLog, ServerRemovesItsNamesWhenDestroyed) {
    SharedLogNames names = TestNames("gone");
    CFMappingLog::CreateServer(names).reset();
    int err = 0;
    EXPECT_EQ(platform::CSharedSegment::Open(names.mapping, 16, platform::SegmentOpen::OpenExisting, &err), nullptr);
    EXPECT_EQ(err, ENOENT);
}

}  // namespace
