// The crash handler in a real crashing process: a small program that installs the wizard's
// handler is killed by each crash signal from outside, writes through a null pointer, lets a
// std::bad_alloc escape and overflows its stack. Each time the process must die of the
// signal, set the crash event and leave a "dump0.dmp" beside itself that the independent
// reader takes apart stream by stream and lldb opens with the crashing function on its stack.
//
// Each test runs private copies of the program and the dump helper in a directory of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "crashreport/CrashHandler.h"
#include "platform/NamedObject.h"
#include "tests/support/Command.h"
#include "tests/support/MiniDumpReader.h"
#include "tests/support/ProcessUniqueName.h"

namespace fs = std::filesystem;
using testsupport::ParsedMiniDump;

namespace {

// A crash-test directory holding velundra-crashme and velundra-crashdump.
struct CrashDir {
    testsupport::TempDir Dir{"crash"};
    std::string Program;
    explicit CrashDir(bool withHelper = true) {
        Program = Dir.Path() + "/velundra-crashme";
        fs::copy_file(testsupport::ProgramPath("velundra-crashme"), Program);
        if (withHelper)
            fs::copy_file(testsupport::ProgramPath("velundra-crashdump"),
                          Dir.Path() + "/velundra-crashdump");
    }
    std::string Dump() const { return Dir.Path() + "/dump0.dmp"; }
};

// A started velundra-crashme; standard output comes through a pipe, standard error goes to
// a file.
struct Crashme {
    pid_t Pid = -1;
    int Out = -1;
    std::string ErrPath;

    Crashme(const CrashDir& dir, const std::string& mode, const std::string& event) {
        ErrPath = dir.Dir.Path() + "/stderr.txt";
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return;
        Pid = fork();
        if (Pid == 0) {
            rlimit none{0, 0};
            setrlimit(RLIMIT_CORE, &none);  // the kernel's core file is not what we test
            dup2(pipeFds[1], 1);
            FILE* err = std::fopen(ErrPath.c_str(), "w");
            if (err) dup2(fileno(err), 2);
            close(pipeFds[0]);
            execl(dir.Program.c_str(), dir.Program.c_str(), mode.c_str(), event.c_str(), nullptr);
            _exit(127);
        }
        close(pipeFds[1]);
        Out = pipeFds[0];
    }
    ~Crashme() {
        if (Out >= 0) close(Out);
        if (Pid > 0 && !Reaped) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
    }
    // Reads standard output until `word` has come (or the output ends).
    bool WaitFor(const std::string& word) {
        std::string seen;
        char buf[256];
        while (seen.find(word) == std::string::npos) {
            ssize_t n = read(Out, buf, sizeof(buf));
            if (n <= 0) return false;
            seen.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    // Waits at most 60 s for the end; the raw wait status, or -1 on time-out.
    int Wait() {
        for (int i = 0; i < 6000; ++i) {
            int status = 0;
            if (waitpid(Pid, &status, WNOHANG) == Pid) {
                Reaped = true;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    std::string Err() const {
        try {
            return testsupport::ReadFileBytes(ErrPath);
        } catch (const std::exception&) {
            return {};
        }
    }
    bool Reaped = false;
};

std::string DescribeStatus(int status) {
    if (status < 0) return "still running after 60 s";
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exit " + std::to_string(WEXITSTATUS(status));
}

// The dump at `path`, parsed; fails the test when it is missing or malformed.
ParsedMiniDump ReadDump(const std::string& path) {
    ParsedMiniDump dump;
    std::string bytes, error;
    EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_FALSE(fs::exists(path + ".part"));
    if (!fs::exists(path)) return dump;
    bytes = testsupport::ReadFileBytes(path);
    EXPECT_TRUE(testsupport::ParseMiniDump(bytes, &dump, &error)) << error;
    return dump;
}

// The build id `readelf -n` reports for a file, lower-case hex.
std::string ReadelfBuildId(const std::string& file) {
    auto r = testsupport::RunCommand({"readelf", "-n", file});
    const std::string key = "Build ID: ";
    size_t at = r.out.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    return r.out.substr(at, r.out.find('\n', at) - at);
}

// `bt` of the crashing thread as lldb shows it for the dump and the program.
std::string LldbBacktrace(const std::string& program, const std::string& dump) {
    testsupport::CommandOptions options;
    options.mergeStderr = true;
    options.timeoutSeconds = 120;
    auto r = testsupport::RunCommand({"lldb", "-b", "-c", dump, program, "-o", "bt"}, options);
    return r.out;
}

bool HaveLldb() { return testsupport::RunShell("command -v lldb >/dev/null").Ok(); }

// One crash of velundra-crashme in `dir`: the mode's own crash, or for "wait" the signal
// `sendSignal` from outside once the handler is installed.
struct CrashRun {
    int Pid = -1;
    int Status = -1;        // raw wait status
    bool EventSet = false;  // the crash event was set
    std::string EventName;
    std::string Err;        // the program's standard error
    bool DiedOf(int sig) const { return Status >= 0 && WIFSIGNALED(Status) && WTERMSIG(Status) == sig; }
};

CrashRun RunToCrash(const CrashDir& dir, const std::string& mode, int sendSignal = 0) {
    CrashRun run;
    run.EventName = testsupport::ProcessUniqueName("crash-event");
    auto event = platform::CNamedEvent::Create(run.EventName);
    EXPECT_TRUE(event);
    Crashme p(dir, mode, run.EventName);
    run.Pid = p.Pid;
    if (sendSignal) {
        EXPECT_TRUE(p.WaitFor("ready")) << p.Err();
        EXPECT_EQ(kill(p.Pid, sendSignal), 0);
    }
    run.Status = p.Wait();
    run.EventSet = event && event->Consume();
    run.Err = p.Err();
    return run;
}

}  // namespace

TEST(CrashHandler, EachCrashSignalFromOutsideLeavesADumpAndKillsWithThatSignal) {
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        SCOPED_TRACE(strsignal(sig));
        CrashDir dir;
        const CrashRun p = RunToCrash(dir, "wait", sig);
        ASSERT_TRUE(p.DiedOf(sig)) << DescribeStatus(p.Status) << p.Err;
        EXPECT_TRUE(p.EventSet);

        ParsedMiniDump dump = ReadDump(dir.Dump());
        EXPECT_EQ(dump.ProcessId, static_cast<uint32_t>(p.Pid));
        EXPECT_EQ(dump.Exception.ExceptionRecord.ExceptionCode, static_cast<uint32_t>(sig));
        EXPECT_EQ(dump.Exception.ExceptionRecord.ExceptionFlags, static_cast<uint32_t>(SI_USER));
        EXPECT_EQ(dump.Exception.ThreadId, static_cast<uint32_t>(p.Pid));  // the main thread
        ASSERT_EQ(dump.Threads.size(), 1u);
        EXPECT_EQ(dump.Threads[0].Id, static_cast<uint32_t>(p.Pid));
    }
}

TEST(CrashHandler, NullPointerWriteDumpHoldsEveryStreamAndLldbShowsTheCrashingFunction) {
    CrashDir dir;
    const CrashRun p = RunToCrash(dir, "null");
    ASSERT_TRUE(p.DiedOf(SIGSEGV)) << DescribeStatus(p.Status) << p.Err;
    EXPECT_TRUE(p.EventSet);

    ParsedMiniDump dump = ReadDump(dir.Dump());
    // System and process.
    EXPECT_EQ(dump.SystemInfo.ProcessorArchitecture, kArchitectureAmd64);
    EXPECT_EQ(dump.SystemInfo.PlatformId, kPlatformLinux);
    EXPECT_EQ(dump.SystemDescription.rfind("Linux ", 0), 0u) << dump.SystemDescription;
    EXPECT_EQ(dump.ProcessId, static_cast<uint32_t>(p.Pid));
    // The exception: a SIGSEGV at address 0 on the main thread, whose context points into the
    // program itself.
    EXPECT_EQ(dump.Exception.ExceptionRecord.ExceptionCode, static_cast<uint32_t>(SIGSEGV));
    EXPECT_EQ(dump.Exception.ExceptionRecord.ExceptionFlags, static_cast<uint32_t>(SEGV_MAPERR));
    EXPECT_EQ(dump.Exception.ExceptionRecord.ExceptionAddress, 0u);
    EXPECT_EQ(dump.Exception.ThreadId, static_cast<uint32_t>(p.Pid));
    const DUMP_CONTEXT_AMD64& c = dump.ExceptionContext;
    EXPECT_EQ(c.ContextFlags & kContextControl, kContextControl);
    EXPECT_EQ(c.ContextFlags & kContextInteger, kContextInteger);
    const ParsedMiniDump::Module* at = dump.ModuleAt(c.Rip);
    ASSERT_TRUE(at) << std::hex << c.Rip;
    EXPECT_EQ(at->Name, dir.Program);
    EXPECT_TRUE(dump.HasMemory(c.Rip));  // the code around the crash
    // Three threads, each with registers and a stack that holds its stack pointer.
    ASSERT_EQ(dump.Threads.size(), 3u);
    for (const auto& t : dump.Threads) {
        SCOPED_TRACE(t.Id);
        EXPECT_NE(t.Context.ContextFlags & kContextControl, 0u);
        EXPECT_LE(t.StackStart, t.Context.Rsp);
        EXPECT_GT(t.StackStart + t.Stack.size(), t.Context.Rsp);
        EXPECT_TRUE(dump.HasMemory(t.Context.Rsp));
    }
    // Modules: the program with the build id the linker gave it, and the C library.
    bool sawLibc = false, sawProgram = false;
    for (const auto& m : dump.Modules) {
        if (m.Name == dir.Program) {
            sawProgram = true;
            EXPECT_EQ(m.BuildId, ReadelfBuildId(dir.Program));
            EXPECT_FALSE(m.BuildId.empty());
        }
        if (fs::path(m.Name).filename().string().rfind("libc.so", 0) == 0) {
            sawLibc = true;
            EXPECT_EQ(m.BuildId, ReadelfBuildId(m.Name)) << m.Name;
        }
    }
    EXPECT_TRUE(sawProgram);
    EXPECT_TRUE(sawLibc);
    // The Linux streams.
    EXPECT_NE(dump.Maps.find(dir.Program), std::string::npos);
    EXPECT_NE(dump.Status.find("Pid:\t" + std::to_string(p.Pid) + "\n"), std::string::npos);
    EXPECT_EQ(dump.CmdLine, dir.Program + '\0' + "null" + '\0' + p.EventName + '\0');

    if (!HaveLldb()) GTEST_SKIP() << "lldb is not installed";
    const std::string bt = LldbBacktrace(dir.Program, dir.Dump());
    EXPECT_NE(bt.find("WriteThroughNullPointer"), std::string::npos) << bt;
    EXPECT_NE(bt.find("main"), std::string::npos) << bt;
}

TEST(CrashHandler, UncaughtBadAllocShowsTheMemoryMessageThenDumpsAndAborts) {
    CrashDir dir;
    const CrashRun p = RunToCrash(dir, "bad_alloc");
    ASSERT_TRUE(p.DiedOf(SIGABRT)) << DescribeStatus(p.Status) << p.Err;
    EXPECT_TRUE(p.EventSet);
    const std::string& err = p.Err;
    const size_t message = err.find(std::string("memory problem: ") + kMemoryProblemMessage);
    EXPECT_NE(message, std::string::npos) << err;
    // The runtime still names the exception, after our message.
    EXPECT_GT(err.find("std::bad_alloc"), message) << err;
    ParsedMiniDump dump = ReadDump(dir.Dump());
    EXPECT_EQ(dump.Exception.ExceptionRecord.ExceptionCode, static_cast<uint32_t>(SIGABRT));

    if (!HaveLldb()) GTEST_SKIP() << "lldb is not installed";
    const std::string bt = LldbBacktrace(dir.Program, dir.Dump());
    EXPECT_NE(bt.find("ThrowBadAlloc"), std::string::npos) << bt;
}

TEST(CrashHandler, StackOverflowIsCaughtOnTheAlternateStack) {
    CrashDir dir;
    const CrashRun p = RunToCrash(dir, "overflow");
    ASSERT_TRUE(p.DiedOf(SIGSEGV)) << DescribeStatus(p.Status) << p.Err;
    EXPECT_TRUE(p.EventSet);
    ParsedMiniDump dump = ReadDump(dir.Dump());
    ASSERT_EQ(dump.Threads.size(), 1u);
    EXPECT_FALSE(dump.Threads[0].Stack.empty());
}

TEST(CrashHandler, WithoutTheHelperTheEventIsSetAndTheSignalStillKills) {
    CrashDir dir(/*withHelper=*/false);
    const CrashRun p = RunToCrash(dir, "null");
    ASSERT_TRUE(p.DiedOf(SIGSEGV)) << DescribeStatus(p.Status) << p.Err;
    EXPECT_TRUE(p.EventSet);
    EXPECT_FALSE(fs::exists(dir.Dump()));
}
