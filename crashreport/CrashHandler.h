// The wizard's handler for crashes: installed once at start-up, it turns a fatal signal
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) or an exception nobody catches into
//  1. for an uncaught std::bad_alloc, the memory message first (through the caller's
//     function, which shows it),
//  2. the crash event set (the launcher then starts the crash report),
//  3. "dump0.dmp" beside the executable, written by the helper program "velundra-crashdump"
//     that lies beside it too (without the helper no dump is written; the rest still happens),
//  4. the process's death by the original signal (an uncaught exception ends as SIGABRT).
//
// Threads: InstallCrashHandler once, from the main thread, before other threads start. The
// memory function runs on the thread whose exception was not caught.
#pragma once

#include <string>

// The memory message, shown before the dump when the uncaught exception is std::bad_alloc.
inline constexpr const char* kMemoryProblemMessage =
    "has encountered a memory problem and needs to close.\nWe are sorry for the "
    "inconvenience.\nYou can enlarge your virtual memory and try again.";

// The program that writes the dump, beside the executable.
inline constexpr const char* kCrashDumpHelperName = "velundra-crashdump";

struct CrashHandlerOptions {
    // The event set at a crash; empty: none.
    std::string CrashEventName;
    // Shows kMemoryProblemMessage; null: not shown.
    void (*ShowMemoryProblem)() = nullptr;
};

// The dump's path for the process's n-th crash: the executable's directory, "dump", n,
// ".dmp". A process ends at its first crash, so its dump is always "dump0.dmp".
std::string CrashDumpPath(int n);

// Installs the signal handler and the terminate handler. False when the signal handler could
// not be installed (the process then crashes the system's way).
bool InstallCrashHandler(const CrashHandlerOptions& options);
