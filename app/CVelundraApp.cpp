#include "app/CVelundraApp.h"

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>

#include "app/AppInfo.h"
#include "app/CMainFrame.h"
#include "crashreport/CCrashReportDlg.h"
#include "crashreport/CrashHandler.h"
#include "device/Log.h"
#include "platform/DisplayServer.h"
#include "platform/ExecutablePath.h"
#include "platform/NamedObject.h"
#include "platform/OutputFile.h"
#include "platform/Process.h"
#include "platform/Wait.h"

namespace {

// The crash report waits this long first, so that the crashed wizard can finish its dump.
constexpr auto kReportDelay = std::chrono::milliseconds(2000);

// The launcher's wake-up period. Tests shorten it through VELUNDRA_TEST_WAKEUP_MS (never
// beyond the normal period) so that a run spans many wake-ups in little time.
int WakeupMs() {
    if (const char* v = std::getenv("VELUNDRA_TEST_WAKEUP_MS")) {
        char* end = nullptr;
        long ms = std::strtol(v, &end, 10);
        if (end != v && *end == '\0' && ms >= 1 && ms <= kSuperviseWakeupMs) return static_cast<int>(ms);
    }
    return kSuperviseWakeupMs;
}

// Starts the executable again with one argument. Null when it cannot be started.
std::unique_ptr<platform::CChildProcess> StartSelf(const char* argument) {
    const std::string exe = platform::ExecutablePath();
    if (exe.empty()) return nullptr;
    return platform::CChildProcess::Start(exe, {argument});
}

// Moves what the wizard logged since the last wake-up into "log.log", which the first drain
// that brings any bytes creates (emptying an older one) and later drains append to.
void DrainLog(CFMappingLog* sharedLog, platform::COutputFile* logFile, const std::string& path) {
    if (!sharedLog) return;
    std::string bytes;
    if (!sharedLog->Drain(&bytes) || bytes.empty()) return;
    if (!logFile->IsOpen() && !logFile->Open(path, platform::FileOpen::Truncate)) return;
    logFile->Write(bytes.data(), bytes.size());
}

// Whether a Qt platform plugin whose file name starts with `prefix` is installed.
bool HasPlatformPlugin(const char* prefix) {
    for (const QString& dir : QCoreApplication::libraryPaths()) {
        QDir platforms(dir + "/platforms");
        if (!platforms.entryList({QString::fromLatin1(prefix) + "*"}, QDir::Files).isEmpty())
            return true;
    }
    return false;
}

}  // namespace

bool CanOpenDisplay(std::string* why) {
    // The platforms Qt tries, in its order: QT_QPA_PLATFORM's list when set; otherwise
    // Wayland in a Wayland session, then X11.
    std::vector<std::string> candidates;
    const char* forced = std::getenv("QT_QPA_PLATFORM");
    if (forced && *forced) {
        std::string list = forced;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(';', start);
            if (end == std::string::npos) end = list.size();
            candidates.push_back(list.substr(start, end - start));
            start = end + 1;
        }
    } else {
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        const char* session = std::getenv("XDG_SESSION_TYPE");
        if ((wayland && *wayland) || (session && std::strcmp(session, "wayland") == 0))
            candidates.push_back("wayland");
        candidates.push_back("xcb");
    }
    std::string reason = "no window system is configured";
    for (const std::string& candidate : candidates) {
        const std::string name = candidate.substr(0, candidate.find(':'));
        if (name.empty()) continue;
        if (name == "xcb") {
            if (platform::CanConnectX11("", &reason)) return true;
        } else if (name.rfind("wayland", 0) == 0) {
            if (!HasPlatformPlugin("libqwayland"))
                reason = "the Qt Wayland platform plugin is not installed";
            else if (platform::CanConnectWayland(&reason))
                return true;
        } else {
            return true;  // offscreen, minimal, vnc, framebuffers: no server to reach
        }
    }
    if (why) *why = reason;
    return false;
}

void ShowAppMessage(const QString& text, MessageIcon icon) {
    if (QCoreApplication::instance()) {
        AskUser(nullptr, text, icon);
        return;
    }
    std::string why;
    if (!CanOpenDisplay(&why)) {
        std::fprintf(stderr, "%s: %s\n", kProductName, text.toUtf8().constData());
        return;
    }
    int argc = 1;
    char name[] = "velundra";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    AskUser(nullptr, text, icon);
}

CVelundraApp::Role CVelundraApp::RoleOf(int argc, char** argv) {
    if (argc < 2) return Role::Launcher;
    if (std::strcmp(argv[1], "-run") == 0) return Role::UserInterface;
    if (std::strcmp(argv[1], "-report") == 0) return Role::Report;
    return Role::Invalid;
}

QString CVelundraApp::WindowTitle() {
    return QString::asprintf("%s %d.%d.%d", kProductName, kVersionMajor, kVersionMinor, kVersionBuild);
}

int CVelundraApp::Run() {
    switch (RoleOf(Argc, Argv)) {
    case Role::Launcher: return RunLauncher();
    case Role::UserInterface: return RunUserInterface();
    case Role::Report: return RunReport();
    case Role::Invalid: break;
    }
    LogErrorW(u"Invlidate command line param.");
    return kExitRefused;
}

bool CVelundraApp::IsUserAdmin() { return platform::IsEffectiveRoot(); }

int CVelundraApp::RunLauncher() {
    // 1. The family check of other systems: every system we run on passes it.
    // 2. Rights: raw volumes are opened only by root.
    if (!IsUserAdmin()) {
        ShowAppMessage("You must have administrator rights to run this program.");
        return kExitRefused;
    }
    // 3. A single launcher; when the lock cannot be made at all, the launcher goes on.
    std::unique_ptr<platform::CInstanceLock> lock;
    if (platform::CInstanceLock::Acquire(kLauncherMutexName, &lock) ==
        platform::InstanceLockResult::HeldElsewhere) {
        ShowAppMessage("This program has been running!");
        return kExitRefused;
    }
    // 4. Supervise the wizard.
    return SuperviseUi();
}

int CVelundraApp::SuperviseUi() {
    // 1. Create the shared log buffer (without it the wizard's lines are lost, nothing else).
    // 2. Start the wizard; when it cannot be started, end.
    // 3. Make the crash and restart events; wait for the wizard's end or an event, waking
    //    at least every kSuperviseWakeupMs.
    // 4. After every wake-up drain the shared log into "log.log".
    // 5. Time-out: wait again. Crash: start the report and end (a crash signal on the first
    //    wake-up after a restart is ignored once). Restart: drop the
    //    events and the old wizard's descriptor, start a new wizard, back to step 3. The
    //    wizard ended, or the wait failed: end.
    std::unique_ptr<CFMappingLog> sharedLog = CFMappingLog::CreateServer();
    const std::string logPath = platform::ExecutableDirectory() + "log.log";
    platform::COutputFile logFile;

    std::unique_ptr<platform::CChildProcess> ui = StartSelf("-run");
    if (!ui) return kExitNoChild;
    const int wakeupMs = WakeupMs();
    bool restarted = false;
    enum class Next { End, Restart, Report };
    for (;;) {
        int wakeups = 0;
        std::unique_ptr<platform::CNamedEvent> crash = platform::CNamedEvent::Create(kCrashEventName);
        std::unique_ptr<platform::CNamedEvent> restart;
        if (crash) restart = platform::CNamedEvent::Create(kRestartEventName);
        std::vector<int> fds{ui->PidFd()};
        const int crashIndex = crash ? static_cast<int>(fds.size()) : -1;
        if (crash) fds.push_back(crash->Fd());
        const int restartIndex = restart ? static_cast<int>(fds.size()) : -1;
        if (restart) fds.push_back(restart->Fd());

        // A crash that is not the first wake-up after a restart asks for the report.
        auto crashCounts = [&] { return crash && crash->Consume() && !(restarted && wakeups == 1); };
        Next next = Next::End;
        for (;;) {
            const int woke = platform::WaitForReadable(fds, wakeupMs);
            DrainLog(sharedLog.get(), &logFile, logPath);
            ++wakeups;
            if (woke == platform::kWaitTimedOut) continue;
            if (woke == platform::kWaitFailed) break;
            if (woke == 0) {
                // The wizard ended. A crashing wizard sets the event just before it dies, so
                // both may be ready at once: the crash (or a restart it asked for) still counts.
                if (crashCounts()) next = Next::Report;
                else if (restart && restart->Consume()) next = Next::Restart;
                break;
            }
            if (woke == crashIndex) {
                if (!crashCounts()) continue;
                next = Next::Report;
                break;
            }
            if (woke == restartIndex && restart->Consume()) {
                next = Next::Restart;
                break;
            }
        }
        crash.reset();
        restart.reset();
        ui.reset();
        if (next == Next::Restart) {
            ui = StartSelf("-run");
            if (!ui) break;
            restarted = true;
            continue;
        }
        if (next == Next::Report) StartSelf("-report");  // its descriptor is closed at once
        break;
    }
    return kExitOk;
}

void CVelundraApp::InstallCrashHandler() {
    // A crash sets the crash event, leaves "dump0.dmp" beside the executable and ends the
    // wizard by the same signal; an uncaught std::bad_alloc shows the memory message first.
    CrashHandlerOptions options;
    options.CrashEventName = kCrashEventName;
    options.ShowMemoryProblem = [] { ShowAppMessage(kMemoryProblemMessage, MessageIcon::Warning); };
    if (!::InstallCrashHandler(options)) LogErrorA("The crash handler could not be installed.");
}

int CVelundraApp::RunUserInterface() {
    // 1. Log into the launcher's shared buffer.
    UseSharedLog();
    // 2. A single wizard; when the lock cannot be made at all, the wizard goes on.
    std::unique_ptr<platform::CInstanceLock> lock;
    if (platform::CInstanceLock::Acquire(kUiMutexName, &lock) ==
        platform::InstanceLockResult::HeldElsewhere) {
        ShowAppMessage("This program has been running!");
        return kExitRefused;
    }
    // 3. The crash handler.
    InstallCrashHandler();
    // 4. The C library's locale: the user's.
    std::setlocale(LC_ALL, "");
    // 5. A display to show the window on; Qt would end the process without one.
    std::string why;
    if (!CanOpenDisplay(&why)) {
        std::fprintf(stderr, "%s: Program requires a display: %s.\n", kProductName, why.c_str());
        LogErrorA("Program requires a display: %s.", why.c_str());
        return kExitNoDisplay;
    }
    // 6. The main window, its client area exactly 602 x 453, until it closes.
    int qtArgc = 1;
    char* qtArgv[] = {Argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    auto frame = std::make_unique<CMainFrame>();
    frame->setWindowTitle(WindowTitle());
    frame->resize(CMainFrame::kClientWidth, CMainFrame::kClientHeight);
    frame->show();
    const int status = app.exec();
    frame.reset();
    return status;
}

int CVelundraApp::RunReport() {
    // 1. Wait, so that the crashed wizard can finish its dump.
    // 2. A display to show the window on; Qt would end the process without one.
    // 3. The report window with the program's fonts and icon, modal, until it closes.
    std::this_thread::sleep_for(kReportDelay);
    std::string why;
    if (!CanOpenDisplay(&why)) {
        // No log line: the launcher and its shared log are gone by now.
        std::fprintf(stderr, "%s: Program requires a display: %s.\n", kProductName, why.c_str());
        return kExitNoDisplay;
    }
    int qtArgc = 1;
    char* qtArgv[] = {Argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    const QIcon icon = LoadProgramResources();
    QApplication::setWindowIcon(icon);
    QApplication::setFont(TahomaFont(11, 400));
    CCrashReportDlg report(QString::fromUtf8(kProductName), platform::ExecutableDirectory(), icon);
    report.exec();
    return kExitOk;
}
