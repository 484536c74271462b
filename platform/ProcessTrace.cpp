#include "platform/ProcessTrace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

// How long one thread may take to reach its stop before we list it without registers (a
// thread in uninterruptible sleep stops only when the kernel lets it go).
constexpr int kStopWaitMs = 1000;

// The thread ids under /proc/<pid>/task; false when the directory cannot be read.
bool ListTasks(int pid, std::vector<int>* tids, int* error) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d) {
        *error = errno;
        return false;
    }
    tids->clear();
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long tid = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && tid > 0) tids->push_back(static_cast<int>(tid));
    }
    closedir(d);
    std::sort(tids->begin(), tids->end());
    return true;
}

void SleepMs(int ms) {
    timespec ts{0, ms * 1000000L};
    nanosleep(&ts, nullptr);
}

void CopyRegisters(const user_regs_struct& r, ThreadRegisters* out) {
    out->Rax = r.rax; out->Rbx = r.rbx; out->Rcx = r.rcx; out->Rdx = r.rdx;
    out->Rsi = r.rsi; out->Rdi = r.rdi; out->Rbp = r.rbp; out->Rsp = r.rsp;
    out->R8 = r.r8;   out->R9 = r.r9;   out->R10 = r.r10; out->R11 = r.r11;
    out->R12 = r.r12; out->R13 = r.r13; out->R14 = r.r14; out->R15 = r.r15;
    out->Rip = r.rip; out->Rflags = r.eflags;
    out->Cs = static_cast<uint16_t>(r.cs); out->Ss = static_cast<uint16_t>(r.ss);
    out->Ds = static_cast<uint16_t>(r.ds); out->Es = static_cast<uint16_t>(r.es);
    out->Fs = static_cast<uint16_t>(r.fs); out->Gs = static_cast<uint16_t>(r.gs);
    out->FsBase = r.fs_base; out->GsBase = r.gs_base;
}

static_assert(sizeof(user_fpregs_struct) == sizeof(ThreadRegisters::FxSave));

}  // namespace

std::unique_ptr<CTracedProcess> CTracedProcess::Attach(int pid, int* error) {
    // 1. Open the process's memory (reading it needs no stop, only the right to trace).
    // 2. Attach to every listed thread, stop it and read its registers.
    // 3. List the threads again until no new one has appeared (a thread may start while we
    //    attach to the others).
    int code = 0;
    std::vector<int> tids;
    if (!ListTasks(pid, &tids, &code)) {
        if (error) *error = code;
        return nullptr;
    }
    std::unique_ptr<CTracedProcess> p(new CTracedProcess(pid));
    const std::string mem = "/proc/" + std::to_string(pid) + "/mem";
    p->MemFd_ = open(mem.c_str(), O_RDONLY | O_CLOEXEC);
    if (p->MemFd_ < 0) {
        if (error) *error = errno;
        return nullptr;
    }
    std::vector<int> seen;
    for (int round = 0; round < 16; ++round) {
        bool added = false;
        for (int tid : tids) {
            if (std::find(seen.begin(), seen.end(), tid) != seen.end()) continue;
            seen.push_back(tid);
            added = true;
            p->AttachThread(tid);
        }
        if (!added || !ListTasks(pid, &tids, &code)) break;
    }
    std::sort(p->Threads_.begin(), p->Threads_.end(),
              [](const Thread& a, const Thread& b) { return a.Id < b.Id; });
    if (error) *error = 0;
    return p;
}

bool CTracedProcess::AttachThread(int tid) {
    Thread t;
    t.Id = tid;
    if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) {
        // ESRCH: the thread ended meanwhile and is not listed.
        if (errno != ESRCH) Threads_.push_back(t);
        return false;
    }
    Attached_.push_back(tid);
    PendingSignal_.push_back(0);
    ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
    int status = 0;
    pid_t got = 0;
    for (int waited = 0; waited <= kStopWaitMs; waited += 5) {
        got = waitpid(tid, &status, __WALL | WNOHANG);
        if (got > 0 || (got < 0 && errno != EINTR)) break;
        if (got == 0) SleepMs(5);
    }
    if (got != tid) {
        Threads_.push_back(t);
        return false;
    }
    if (!WIFSTOPPED(status)) {
        // The thread ended before it stopped.
        Attached_.pop_back();
        PendingSignal_.pop_back();
        return false;
    }
    // A stop that is not our interrupt is the delivery of a signal, which we hand back at
    // the detach so that the thread still receives it.
    if ((status >> 16) != PTRACE_EVENT_STOP) PendingSignal_.back() = WSTOPSIG(status);
    user_regs_struct regs;
    if (ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == 0) {
        CopyRegisters(regs, &t.Registers);
        t.Stopped = true;
        user_fpregs_struct fp;
        if (ptrace(PTRACE_GETFPREGS, tid, nullptr, &fp) == 0) {
            std::memcpy(t.Registers.FxSave, &fp, sizeof(fp));
            t.Registers.HasFxSave = true;
        }
    }
    Threads_.push_back(t);
    return t.Stopped;
}

CTracedProcess::~CTracedProcess() {
    for (size_t i = 0; i < Attached_.size(); ++i)
        ptrace(PTRACE_DETACH, Attached_[i], nullptr,
               reinterpret_cast<void*>(static_cast<intptr_t>(PendingSignal_[i])));
    if (MemFd_ >= 0) close(MemFd_);
}

size_t CTracedProcess::ReadMemory(uint64_t address, void* buffer, size_t size) const {
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(MemFd_, static_cast<char*>(buffer) + done, size - done,
                          static_cast<off_t>(address + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool CTracedProcess::ReadProcFile(const char* name, std::string* contents) const {
    const std::string path = "/proc/" + std::to_string(Pid_) + "/" + name;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    contents->clear();
    char chunk[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        contents->append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

}  // namespace platform
