// The process's last moments: a handler for the signals that end a process by a fault
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) that records the crashing thread, sets a named
// event, has a helper program look at the process and waits for it, then lets the process
// die of the original signal with the system's default action, so that whoever waits for the
// process sees the true cause.
//
// The handler runs on an alternate signal stack (a thread whose stack overflowed has none
// left) and does only what is safe inside a signal handler: it allocates nothing, takes no
// lock and calls no function that might. Everything it needs (the helper's path and
// arguments, the event's address) is prepared when the handler is installed. The helper is
// started with _Fork and execve and runs as an ordinary program: it attaches to the crashed
// process with ptrace (allowed to by PR_SET_PTRACER) and reads the crashing thread's state
// from the CrashedThreadState block whose address it is given.
//
// Only the first crash is handled; a thread that crashes while another crash is being handled
// waits for the process to end.
//
// Threads: InstallCrashSignals once, from the main thread, before other threads start (it
// also gives the calling thread its alternate stack); AddCrashSignalStack from each further
// thread that should survive its own stack overflow long enough to be reported.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ProcessTrace.h"

namespace platform {

// Marks a filled CrashedThreadState ("VLCRASH1").
inline constexpr uint64_t kCrashStateMagic = 0x3148534152434c56ull;

// What the crashing thread leaves in its own memory for the helper.
struct CrashedThreadState {
    uint64_t Magic;          // kCrashStateMagic once the block is complete
    int32_t ProcessId;
    int32_t ThreadId;        // the thread that received the signal
    int32_t Signal;          // the signal number
    int32_t Code;            // its si_code (SI_USER and friends when sent by a process)
    uint64_t FaultAddress;   // si_addr: the faulting address for SIGSEGV, SIGBUS, SIGFPE, SIGILL
    int32_t SenderPid;       // for a signal sent by a process: who sent it
    int32_t Reserved;
    ThreadRegisters Registers;  // the thread's registers at the moment of the signal
};

struct CrashSignalSetup {
    // Run after a crash as: HelperProgram PID STATE-ADDRESS (hexadecimal) HelperArguments...
    std::string HelperProgram;
    std::vector<std::string> HelperArguments;
    // Set before the helper starts; empty: no event.
    std::string CrashEventName;
    // How long the crashed process waits for the helper before it kills it and dies.
    int HelperTimeoutMs = 60000;
};

// Installs the handler. False with *error = errno when a signal action or the alternate
// stack could not be set, or EINVAL when the setup does not fit the handler's fixed buffers.
bool InstallCrashSignals(const CrashSignalSetup& setup, int* error = nullptr);

// Gives the calling thread an alternate signal stack (freed when the thread ends). False
// when it cannot be mapped.
bool AddCrashSignalStack();

// The signals the handler takes.
inline constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

}  // namespace platform
