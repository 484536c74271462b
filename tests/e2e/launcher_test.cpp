// The program's roles as real processes: the launcher, the wizard it supervises, the crash
// report, and the machine-wide named objects between them.
//
// Each test runs its own copy of the executable in a private directory, so that "log.log"
// (beside the executable) and "DefaultLog.log" (in the current directory) land there. The
// named objects are machine-wide: these tests run one at a time (RESOURCE_LOCK). The wizard
// runs on Qt's offscreen platform, message boxes are answered through VELUNDRA_MESSAGE_LOG,
// and the launcher wakes every 100 ms instead of every 5 s.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/Log.h"
#include "platform/NamedObject.h"
#include "tests/support/Command.h"
#include "tests/support/MiniDumpReader.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using testsupport::CommandOptions;
using testsupport::RunCommand;
using testsupport::TempDir;

constexpr const char* kCrashEvent = "{3093a05f-b0ba-444e-99c9-245dd488e51f}";
constexpr const char* kRestartEvent = "{0d3606b1-80cb-4950-b6bb-6b407ac53cec}";
constexpr const char* kNoRights = "information\tYou must have administrator rights to run this program.\n";
constexpr const char* kRunning = "information\tThis program has been running!\n";
constexpr uint32_t kNobody = 65534;

// A file's content; "" when it does not exist (or the process it described has gone).
std::string ReadOrEmpty(const std::string& path) {
    try {
        return testsupport::ReadFileBytes(path);
    } catch (const std::exception&) {
        return {};
    }
}

// One process as /proc shows it.
struct Proc {
    int pid = 0;
    int ppid = 0;
    char state = '?';
    std::vector<std::string> argv;
};

bool ReadProc(int pid, Proc* p) {
    const std::string base = "/proc/" + std::to_string(pid);
    std::string stat = ReadOrEmpty(base + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(stat.substr(close + 2));
    p->pid = pid;
    rest >> p->state >> p->ppid;
    p->argv.clear();
    std::string cmdline = ReadOrEmpty(base + "/cmdline");
    for (size_t start = 0; start < cmdline.size();) {
        size_t end = cmdline.find('\0', start);
        if (end == std::string::npos) end = cmdline.size();
        p->argv.push_back(cmdline.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

char StateOf(int pid) {
    Proc p;
    return ReadProc(pid, &p) ? p.state : '?';
}

bool Alive(int pid) {
    const char state = StateOf(pid);
    return state != '?' && state != 'Z' && state != 'X';
}

// Every live process running the executable `exe`.
std::vector<Proc> ProcessesOf(const std::string& exe) {
    std::vector<Proc> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkError;
        if (fs::read_symlink(entry.path() / "exe", linkError) != exe) continue;
        Proc p;
        if (ReadProc(std::stoi(name), &p) && p.state != 'Z') found.push_back(p);
    }
    return found;
}

// Whether someone has created the named event, found without setting it.
bool EventExists(const char* name) {
    int error = 0;
    return platform::CNamedEvent::Create(name, &error) == nullptr && error == EADDRINUSE;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Waits for a child of ours to end: its exit status, 128 + N after signal N, or -1 when it
// is still running after `limit`.
int WaitExit(int pid, std::chrono::milliseconds limit = 10s) {
    int status = -1;
    WaitFor(
        [&] {
            int raw = 0;
            if (waitpid(pid, &raw, WNOHANG) != pid) return false;
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return true;
        },
        limit);
    return status;
}

// A private copy of the executable and what its processes leave: log files, the answered
// message boxes, each process's output. Its processes are killed when the object goes.
class Program {
public:
    Program() : dir_("launcher") {
        // Orphans (a wizard whose launcher ended) become our children, so that they are
        // waited for and never left as zombies.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        fs::copy_file(testsupport::ProgramPath("velundra"), Exe());
        fs::create_directories(dir_.File("messages"));
        fs::create_directories(dir_.File("runtime"));
        // Another user must be able to run the copy and answer its message boxes.
        chmod(dir_.Path().c_str(), 0755);
        chmod(dir_.File("messages").c_str(), 0777);
        chmod(dir_.File("runtime").c_str(), 0700);
        env_ = {{"QT_QPA_PLATFORM", "offscreen"},
                {"VELUNDRA_MESSAGE_LOG", dir_.File("messages/messages.log")},
                {"VELUNDRA_TEST_WAKEUP_MS", "100"},
                {"XDG_RUNTIME_DIR", dir_.File("runtime")}};
    }
    ~Program() {
        for (int round = 0; round < 3; ++round) {
            for (const Proc& p : ProcessesOf(Exe())) kill(p.pid, SIGKILL);
            std::this_thread::sleep_for(20ms);
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
        }
    }

    std::string Exe() const { return dir_.File("velundra"); }
    std::string File(const std::string& name) const { return dir_.File(name); }
    std::string Messages() const { return ReadOrEmpty(dir_.File("messages/messages.log")); }
    void SetEnv(const std::string& name, const std::string& value) { env_[name] = value; }

    // Starts the copy with `args` in the private directory; its output goes to out.N.
    int Start(const std::vector<std::string>& args = {}) {
        const std::string out = dir_.File("out." + std::to_string(++started_));
        const std::string exe = Exe();
        std::vector<std::string> words{exe};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            for (const auto& [name, value] : env_) setenv(name.c_str(), value.c_str(), 1);
            if (chdir(dir_.Path().c_str()) != 0) _exit(126);
            if (FILE* f = std::fopen(out.c_str(), "w")) {
                dup2(fileno(f), 1);
                dup2(fileno(f), 2);
            }
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        return pid;
    }

    // The wizard ("-run") started by the launcher `parent`, once it runs.
    int WizardOf(int parent, int other = 0) const {
        int pid = 0;
        WaitFor([&] {
            for (const Proc& p : ProcessesOf(Exe())) {
                if (p.ppid == parent && p.pid != other && p.argv.size() == 2 && p.argv[1] == "-run") {
                    pid = p.pid;
                    return true;
                }
            }
            return false;
        });
        return pid;
    }

    // Like WizardOf, and also waits until the launcher listens for its events.
    int SupervisedWizard(int launcher) const {
        const int wizard = WizardOf(launcher);
        if (!WaitFor([] { return EventExists(kCrashEvent) && EventExists(kRestartEvent); })) return 0;
        return wizard;
    }

    int Count(const std::string& role) const {
        int n = 0;
        for (const Proc& p : ProcessesOf(Exe())) n += p.argv.size() >= 2 && p.argv[1] == role;
        return n;
    }

    // A run to its end, with the environment of Start changed by `extra`.
    testsupport::CommandResult Run(const std::vector<std::string>& args,
                                   const std::vector<std::pair<std::string, std::string>>& extra = {},
                                   const std::string& cwd = {}) const {
        std::vector<std::string> argv{Exe()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::map<std::string, std::string> env = env_;
        for (const auto& [name, value] : extra) env[name] = value;
        CommandOptions options;
        options.workingDir = cwd.empty() ? dir_.Path() : cwd;
        options.env.assign(env.begin(), env.end());
        options.timeoutSeconds = 30;
        return RunCommand(argv, options);
    }

private:
    TempDir dir_;
    std::map<std::string, std::string> env_;
    int started_ = 0;
};

// Environment that leaves Qt no display at all: a process that made a QApplication now
// would abort.
const std::vector<std::pair<std::string, std::string>> kNoDisplay = {
    {"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"XDG_SESSION_TYPE", ""}};

TEST(Roles, OnlyTheExactArgumentsNameARole) {
    Program program;
    TempDir elsewhere("cwd");
    struct Row {
        std::vector<std::string> args;
        int status;
        const char* defaultLog;  // what DefaultLog.log in the current directory holds
    } rows[] = {
        {{"-RUN"}, 1, "Invlidate command line param.\r\n"},
        {{"-x"}, 1, "Invlidate command line param.\r\n"},
        {{""}, 1, "Invlidate command line param.\r\n"},
        {{"run"}, 1, "Invlidate command line param.\r\n"},
        {{"-run "}, 1, "Invlidate command line param.\r\n"},
        {{"-Report", "-run"}, 1, "Invlidate command line param.\r\n"},
        // Only the first argument counts. The report without a display: after its wait for
        // the crashed wizard's dump it says so and ends.
        {{"-report", "-x"}, 2, ""},
        // The wizard without a launcher and without a display: it says so and ends; its log
        // line is lost, as nobody created the shared buffer.
        {{"-run"}, 2, ""},
    };
    for (const Row& row : rows) {
        fs::remove(elsewhere.File("DefaultLog.log"));
        auto r = program.Run(row.args, kNoDisplay, elsewhere.Path());
        const std::string label = row.args[0];
        EXPECT_EQ(r.exitCode, row.status) << label << ": " << r.Describe();
        EXPECT_FALSE(r.signaled) << label;
        EXPECT_EQ(ReadOrEmpty(elsewhere.File("DefaultLog.log")), row.defaultLog) << label;
        EXPECT_FALSE(fs::exists(program.File("log.log"))) << label;
        EXPECT_FALSE(fs::exists(program.File("DefaultLog.log"))) << label;
        EXPECT_EQ(program.Messages(), "") << label;
        EXPECT_TRUE(ProcessesOf(program.Exe()).empty()) << label << ": it started a child";
        if (label == "-run" || label == "-report") {
            EXPECT_NE(r.err.find("Program requires a display"), std::string::npos) << r.err;
        }
    }
}

TEST(Launcher, WithoutRootRefusesWithTheAdministratorMessage) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    Program program;
    const std::string nobody = "--reuid=" + std::to_string(kNobody);
    const std::string group = "--regid=" + std::to_string(kNobody);
    const std::vector<std::string> asNobody{"setpriv", nobody, group, "--clear-groups", program.Exe()};
    auto runAsNobody = [&](std::vector<std::pair<std::string, std::string>> env) {
        CommandOptions options;
        options.workingDir = program.File("messages");
        options.env = std::move(env);
        options.env.push_back({"HOME", program.File("messages")});
        options.timeoutSeconds = 30;
        return RunCommand(asNobody, options);
    };
    // With a display: the message box (answered through the seam).
    auto r = runAsNobody({{"QT_QPA_PLATFORM", "offscreen"},
                          {"VELUNDRA_MESSAGE_LOG", program.File("messages/messages.log")},
                          {"XDG_RUNTIME_DIR", ""}});
    EXPECT_EQ(r.exitCode, 1) << r.Describe();
    EXPECT_EQ(program.Messages(), kNoRights);
    // Without one: the same words on standard error, and no abort from Qt.
    auto bare = kNoDisplay;
    bare.push_back({"VELUNDRA_MESSAGE_LOG", program.File("messages/messages.log")});
    r = runAsNobody(bare);
    EXPECT_EQ(r.exitCode, 1) << r.Describe();
    EXPECT_NE(r.err.find("Velundra: You must have administrator rights to run this program.\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(program.Messages(), kNoRights);  // no second box
    EXPECT_EQ(program.Count("-run"), 0);
    EXPECT_FALSE(fs::exists(program.File("log.log")));
}

TEST(Launcher, StartsTheWizardAndASecondLauncherLeavesItAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "the launcher needs root";
    Program program;
    const int launcher = program.Start();
    const int wizard = program.WizardOf(launcher);
    ASSERT_GT(wizard, 0) << ReadOrEmpty(program.File("out.1"));

    // A second launcher, and a second wizard started directly, both refuse.
    auto second = program.Run({});
    EXPECT_EQ(second.exitCode, 1) << second.Describe();
    EXPECT_EQ(program.Messages(), kRunning);
    auto direct = program.Run({"-run"});
    EXPECT_EQ(direct.exitCode, 1) << direct.Describe();
    EXPECT_EQ(program.Messages(), std::string(kRunning) + kRunning);

    // The first pair runs on, untouched.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(program.WizardOf(launcher), wizard);
    EXPECT_EQ(program.Count("-run"), 1);
    EXPECT_TRUE(Alive(launcher));

    // The launcher ends with its wizard.
    kill(wizard, SIGTERM);
    EXPECT_EQ(WaitExit(launcher), 0);
    EXPECT_EQ(program.Count("-report"), 0);
}

TEST(Launcher, CollectsEveryLoggedLineInOrderIntoOneLogFile) {
    if (geteuid() != 0) GTEST_SKIP() << "the launcher needs root";
    Program program;
    testsupport::WriteFileBytes(program.File("log.log"), "left by an earlier run\r\n");
    const int launcher = program.Start();
    const int wizard = program.WizardOf(launcher);
    ASSERT_GT(wizard, 0);

    // We write into the shared buffer as the wizard does, over many wake-ups.
    auto writer = CFMappingLog::OpenClient();
    ASSERT_TRUE(writer->HasView());
    std::string expected;
    uintmax_t midRun = 0;
    for (int i = 0; i < 400; ++i) {
        const std::string line = "line " + std::to_string(i) + " of the wizard's log\r\n";
        ASSERT_EQ(writer->Write(line.data(), static_cast<uint32_t>(line.size())), 1) << i;
        expected += line;
        std::this_thread::sleep_for(5ms);
        if (i == 200) {
            std::this_thread::sleep_for(300ms);
            std::error_code ec;
            midRun = fs::file_size(program.File("log.log"), ec);
        }
    }
    // The last lines are drained on the wake-up that sees the wizard end.
    kill(wizard, SIGKILL);
    EXPECT_EQ(WaitExit(launcher), 0);
    EXPECT_GT(midRun, 0u);
    EXPECT_LT(midRun, expected.size());
    EXPECT_EQ(ReadOrEmpty(program.File("log.log")), expected);
}

TEST(Launcher, TheWizardsOwnLogLinesReachTheLogFile) {
    if (geteuid() != 0) GTEST_SKIP() << "the launcher needs root";
    Program program;
    for (const auto& [name, value] : kNoDisplay) program.SetEnv(name, value);
    const int launcher = program.Start();
    // The wizard finds no display, logs it and ends; the launcher drains the line and ends.
    EXPECT_EQ(WaitExit(launcher), 0);
    EXPECT_EQ(ReadOrEmpty(program.File("log.log")), "Program requires a display: DISPLAY is not set.\r\n");
    EXPECT_NE(ReadOrEmpty(program.File("out.1")).find("Program requires a display"), std::string::npos);
}

TEST(Launcher, AKilledLauncherLeavesNothingThatBlocksTheNextStart) {
    if (geteuid() != 0) GTEST_SKIP() << "the launcher needs root";
    Program program;
    const int launcher = program.Start();
    const int wizard = program.WizardOf(launcher);
    ASSERT_GT(wizard, 0);
    // Both die without a chance to clean up, the wizard in the middle of its lock's use.
    auto writer = CFMappingLog::OpenClient();
    ASSERT_TRUE(writer->HasView());
    const std::string lost = "written before the crash\r\n";
    ASSERT_EQ(writer->Write(lost.data(), static_cast<uint32_t>(lost.size())), 1);
    kill(launcher, SIGKILL);
    kill(wizard, SIGKILL);
    EXPECT_EQ(WaitExit(launcher), 128 + SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return program.Count("-run") == 0; }));

    const int next = program.Start();
    const int nextWizard = program.WizardOf(next);
    ASSERT_GT(nextWizard, 0) << ReadOrEmpty(program.File("out.2"));
    EXPECT_EQ(program.Messages(), "");
    auto again = CFMappingLog::OpenClient();
    const std::string line = "the next run logs\r\n";
    ASSERT_EQ(again->Write(line.data(), static_cast<uint32_t>(line.size())), 1);
    kill(nextWizard, SIGTERM);
    EXPECT_EQ(WaitExit(next), 0);
    EXPECT_EQ(ReadOrEmpty(program.File("log.log")), line);
}

// Stops the launcher, lets `act` happen while it cannot look, and lets it go on: whatever
// `act` causes is ready at once when the launcher wakes.
void WhileStopped(int launcher, const std::function<void()>& act) {
    kill(launcher, SIGSTOP);
    ASSERT_TRUE(WaitFor([&] { return StateOf(launcher) == 'T'; }));
    act();
    kill(launcher, SIGCONT);
}

TEST(Launcher, ACrashSignalStartsTheReportAndEndsTheLauncher) {
    if (geteuid() != 0) GTEST_SKIP() << "the launcher needs root";
    struct Case {
        const char* what;
        bool wizardDies;  // a crashing wizard sets the event and dies straight after
    } cases[] = {{"the wizard still runs", false}, {"the wizard died with the signal", true}};
    for (const Case& c : cases) {
        Program program;
        const int launcher = program.Start();
        const int wizard = program.SupervisedWizard(launcher);
        ASSERT_GT(wizard, 0);
        WhileStopped(launcher, [&] {
            EXPECT_TRUE(platform::SetNamedEvent(kCrashEvent));
            if (c.wizardDies) {
                kill(wizard, SIGKILL);
                WaitFor([&] { return StateOf(wizard) == 'Z'; });
            }
        });
        EXPECT_EQ(WaitExit(launcher), 0) << c.what;
        // The report waits two seconds before it would show its window.
        EXPECT_EQ(program.Count("-report"), 1) << c.what;
        EXPECT_EQ(program.Count("-run"), c.wizardDies ? 0 : 1) << c.what;
        EXPECT_EQ(program.Messages(), "") << c.what;
    }
}

TEST(Launcher, ACrashingWizardLeavesItsDumpAndTheLauncherStartsTheReport) {
    if (geteuid() != 0) GTEST_SKIP() << "the launcher needs root";
    Program program;
    fs::copy_file(testsupport::ProgramPath("velundra-crashdump"), program.File("velundra-crashdump"));
    const int launcher = program.Start();
    const int wizard = program.SupervisedWizard(launcher);
    ASSERT_GT(wizard, 0);
    // Once the wizard catches SIGSEGV (its handler is installed), crash it.
    ASSERT_TRUE(WaitFor([&] {
        const std::string status = ReadOrEmpty("/proc/" + std::to_string(wizard) + "/status");
        const size_t at = status.find("SigCgt:\t");
        return at != std::string::npos &&
               (std::stoull(status.substr(at + 8, 16), nullptr, 16) & (1ull << (SIGSEGV - 1)));
    }));
    ASSERT_EQ(kill(wizard, SIGSEGV), 0);
    EXPECT_EQ(WaitExit(launcher), 0);
    EXPECT_EQ(program.Count("-report"), 1);
    // The launcher ends at the crash event; the wizard ends once its dump is written.
    EXPECT_TRUE(WaitFor([&] { return program.Count("-run") == 0; }));
    testsupport::ParsedMiniDump dump;
    std::string error;
    ASSERT_TRUE(testsupport::ParseMiniDump(ReadOrEmpty(program.File("dump0.dmp")), &dump, &error))
        << error;
    EXPECT_EQ(dump.ProcessId, static_cast<uint32_t>(wizard));
    EXPECT_EQ(dump.Exception.ExceptionRecord.ExceptionCode, static_cast<uint32_t>(SIGSEGV));
}

TEST(Launcher, ARestartStartsANewWizard) {
    if (geteuid() != 0) GTEST_SKIP() << "the launcher needs root";
    Program program;
    // A longer wake-up period, so that the first wake-up after the restart is ours to cause.
    program.SetEnv("VELUNDRA_TEST_WAKEUP_MS", "2000");
    const int launcher = program.Start();
    const int first = program.SupervisedWizard(launcher);
    ASSERT_GT(first, 0);

    // The wizard asks for a restart and ends: the launcher starts a new one.
    WhileStopped(launcher, [&] {
        EXPECT_TRUE(platform::SetNamedEvent(kRestartEvent));
        kill(first, SIGKILL);
        WaitFor([&] { return StateOf(first) == 'Z'; });
    });
    const int second = program.WizardOf(launcher, first);
    ASSERT_GT(second, 0);
    EXPECT_EQ(program.Messages(), "");

    // A crash signal on the first wake-up after a restart is ignored once; the next counts.
    ASSERT_TRUE(WaitFor([] { return platform::SetNamedEvent(kCrashEvent); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(Alive(launcher));
    EXPECT_EQ(program.Count("-report"), 0);
    EXPECT_TRUE(platform::SetNamedEvent(kCrashEvent));
    EXPECT_EQ(WaitExit(launcher), 0);
    EXPECT_EQ(program.Count("-report"), 1);
    EXPECT_TRUE(Alive(second));  // the launcher never ends a wizard itself
}

TEST(Wizard, OpensItsTitledWindowWithTheExactClientAreaOnAnXDisplay) {
    Program program;
    // Without a window manager the top-level window is its client area.
    const std::string script =
        "\"$0\" -run & pid=$!\n"
        "id=$(timeout 20 xdotool search --sync --name '^Velundra 2\\.3\\.1$' | head -n 1)\n"
        "[ -n \"$id\" ] && xdotool getwindowname \"$id\" && xdotool getwindowgeometry --shell \"$id\"\n"
        "kill $pid; wait $pid\n";
    CommandOptions options;
    options.workingDir = program.File("messages");
    options.env = {{"QT_QPA_PLATFORM", ""}, {"WAYLAND_DISPLAY", ""}, {"XDG_SESSION_TYPE", ""},
                   {"XDG_RUNTIME_DIR", program.File("runtime")}};
    options.timeoutSeconds = 60;
    // Xvfb here refuses a few per cent of X connections ("Can't open display"), whoever
    // connects; such a refused start is tried again, up to three times.
    testsupport::CommandResult r;
    for (int attempt = 0; attempt < 3; ++attempt) {
        r = RunCommand({"xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "sh", "-c", script, program.Exe()},
                       options);
        if (r.out.find("Velundra 2.3.1\n") != std::string::npos) break;
    }
    EXPECT_NE(r.out.find("Velundra 2.3.1\n"), std::string::npos) << r.Describe() << r.out;
    EXPECT_NE(r.out.find("WIDTH=602\nHEIGHT=453\n"), std::string::npos) << r.out;

    // A display that does not answer: the wizard says so and ends instead of aborting.
    auto gone = program.Run({"-run"}, {{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ":1023"}, {"XDG_SESSION_TYPE", ""}});
    EXPECT_EQ(gone.exitCode, 2) << gone.Describe();
    EXPECT_NE(gone.err.find("Program requires a display: cannot connect to the X server :1023."),
              std::string::npos)
        << gone.err;
}

}  // namespace
