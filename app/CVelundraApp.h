// The program's three roles, chosen by the first command-line argument:
//  - none: the launcher, a windowless watchdog. It checks the user's rights, keeps a single
//    launcher running, collects the wizard's log into "log.log" beside the executable, starts
//    the wizard ("-run") and, when the wizard crashes, the crash report ("-report");
//  - "-run": the wizard, until its main window closes;
//  - "-report": the crash report window (crashreport/CCrashReportDlg.h), after a wait of
//    2000 ms that lets the crashed wizard finish its dump, until it closes;
//  - anything else: "Invlidate command line param." is logged (to "DefaultLog.log" in the
//    current directory) and the process ends.
//
// The launcher and the wizard meet through machine-wide named objects (the names below) and
// the shared log buffer (device/Log.h).
//
// Threads: everything here runs on the process's main thread.
#pragma once

#include <string>

#include <QString>

#include "app/MessageSeam.h"

// Named objects shared by the launcher, the wizard and the wizard's crash handler.
inline constexpr const char* kLauncherMutexName = "{b892e56d-6297-45dd-8b5a-7189818a4989}";
inline constexpr const char* kUiMutexName = "{f04734b3-d96c-478a-b3e9-cf06aa596723}";
inline constexpr const char* kCrashEventName = "{3093a05f-b0ba-444e-99c9-245dd488e51f}";
inline constexpr const char* kRestartEventName = "{0d3606b1-80cb-4950-b6bb-6b407ac53cec}";

// The launcher wakes at least this often to drain the shared log.
inline constexpr int kSuperviseWakeupMs = 5000;

// Exit statuses of the process.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;    // bad argument, missing rights, already running
inline constexpr int kExitNoDisplay = 2;  // the wizard found no display to open its window on
inline constexpr int kExitNoChild = 3;    // the launcher could not start the wizard

class CVelundraApp {
public:
    enum class Role { Launcher, UserInterface, Report, Invalid };

    // The role named by argv[1] (exact and case-sensitive; later arguments do not count).
    static Role RoleOf(int argc, char** argv);

    // argv must outlive the object.
    CVelundraApp(int argc, char** argv) : Argc(argc), Argv(argv) {}

    // Plays the role and returns the process's exit status.
    int Run();

    // The main window's title: the product name, a blank and the version "%d.%d.%d".
    static QString WindowTitle();

private:
    int RunLauncher();
    // Starts the wizard and watches it until it ends or crashes; drains the shared log.
    int SuperviseUi();
    int RunUserInterface();
    int RunReport();

    static bool IsUserAdmin();
    static void InstallCrashHandler();

    int Argc;
    char** Argv;
};

// Shows a message box captioned with the product name through AskUser. A process that has
// no QApplication yet makes one for the box when a display can be opened; without a
// display the text goes to standard error instead.
void ShowAppMessage(const QString& text, MessageIcon icon = MessageIcon::Information);

// Whether the window system Qt will use can be reached; *why says why not. Asked before the
// QApplication is made, because Qt ends the process when it cannot open its display.
bool CanOpenDisplay(std::string* why);
