// Looking into another process of this machine the way a debugger does: every thread stopped
// under ptrace with its registers, its memory, and the /proc files that describe it. The
// crash-dump helper uses it on a crashed process that started the helper and waits for it.
//
// Ownership: a CTracedProcess owns its attachment; destroying it lets every thread run on.
// Threads: one object belongs to the thread that attached (ptrace ties each tracee to the
// tracing thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// The x86_64 registers of one thread, as a debugger sees them.
struct ThreadRegisters {
    uint64_t Rax, Rbx, Rcx, Rdx, Rsi, Rdi, Rbp, Rsp;
    uint64_t R8, R9, R10, R11, R12, R13, R14, R15;
    uint64_t Rip, Rflags;
    uint16_t Cs, Ss, Ds, Es, Fs, Gs;
    uint64_t FsBase, GsBase;
    // x87 and SSE state in the 512-byte FXSAVE layout; valid when HasFxSave.
    uint8_t FxSave[512];
    bool HasFxSave;
};

class CTracedProcess {
public:
    struct Thread {
        int Id = 0;                 // the kernel's thread id
        bool Stopped = false;       // attached and stopped: Registers hold its state
        ThreadRegisters Registers{};
    };

    // Attaches to every thread of process `pid` (threads started meanwhile too) and stops
    // them. A thread that cannot be attached is listed without registers. Null, with
    // *error = errno, when the process's threads cannot be listed or its memory not opened.
    static std::unique_ptr<CTracedProcess> Attach(int pid, int* error = nullptr);

    // Detaches from every thread; they run on.
    ~CTracedProcess();
    CTracedProcess(const CTracedProcess&) = delete;
    CTracedProcess& operator=(const CTracedProcess&) = delete;

    int Pid() const { return Pid_; }
    const std::vector<Thread>& Threads() const { return Threads_; }

    // Copies up to `size` bytes from `address`; returns how many were readable from the
    // start (reading stops at the first page that is not mapped or not readable).
    size_t ReadMemory(uint64_t address, void* buffer, size_t size) const;

    // The whole of /proc/<pid>/<name> ("maps", "status", "cmdline", ...). False when it
    // cannot be read.
    bool ReadProcFile(const char* name, std::string* contents) const;

private:
    explicit CTracedProcess(int pid) : Pid_(pid) {}
    bool AttachThread(int tid);

    int Pid_;
    int MemFd_ = -1;
    std::vector<Thread> Threads_;
    std::vector<int> Attached_;       // tids we must detach
    std::vector<int> PendingSignal_;  // per Attached_: a signal the stop swallowed, re-sent at detach
};

}  // namespace platform
