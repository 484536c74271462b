#include "platform/CrashSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/NamedObject.h"

extern char** environ;

namespace platform {

namespace {

// Room on the alternate stack: the handler itself needs little, _Fork and the libc calls a
// few pages.
constexpr size_t kAltStackBytes = 64 * 1024;

// Everything the handler uses, prepared at installation.
constexpr size_t kMaxArgs = 8;
constexpr size_t kArgBytes = 16384;
char g_argBytes[kArgBytes];
char* g_argv[kMaxArgs + 4];  // program, pid, state address, the arguments, null
char g_pidText[24];
char g_stateText[24];
NamedEventTarget g_event;
int g_helperTimeoutMs = 60000;
std::atomic<int> g_handling{0};
CrashedThreadState g_state;

// ---- async-signal-safe helpers ----

void FormatDecimal(uint64_t value, char* out) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    for (int i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    out[n] = '\0';
}

void FormatHex(uint64_t value, char* out) {
    static const char kHex[] = "0123456789abcdef";
    char digits[20];
    int n = 0;
    do {
        digits[n++] = kHex[value & 15];
        value >>= 4;
    } while (value);
    out[0] = '0';
    out[1] = 'x';
    for (int i = 0; i < n; ++i) out[2 + i] = digits[n - 1 - i];
    out[2 + n] = '\0';
}

void SleepMs(int ms) {
    timespec ts{0, ms * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void CaptureRegisters(const ucontext_t* uc, ThreadRegisters* r) {
    const greg_t* g = uc->uc_mcontext.gregs;
    r->Rax = g[REG_RAX]; r->Rbx = g[REG_RBX]; r->Rcx = g[REG_RCX]; r->Rdx = g[REG_RDX];
    r->Rsi = g[REG_RSI]; r->Rdi = g[REG_RDI]; r->Rbp = g[REG_RBP]; r->Rsp = g[REG_RSP];
    r->R8 = g[REG_R8];   r->R9 = g[REG_R9];   r->R10 = g[REG_R10]; r->R11 = g[REG_R11];
    r->R12 = g[REG_R12]; r->R13 = g[REG_R13]; r->R14 = g[REG_R14]; r->R15 = g[REG_R15];
    r->Rip = g[REG_RIP]; r->Rflags = g[REG_EFL];
    // REG_CSGSFS packs cs, gs and fs into its low three 16-bit words; the others are the
    // flat user segments of x86_64 Linux, which the kernel does not save here.
    const uint64_t csgsfs = static_cast<uint64_t>(g[REG_CSGSFS]);
    r->Cs = static_cast<uint16_t>(csgsfs);
    r->Gs = static_cast<uint16_t>(csgsfs >> 16);
    r->Fs = static_cast<uint16_t>(csgsfs >> 32);
    r->Ss = 0x2b;
    r->Ds = r->Es = 0;
    r->FsBase = r->GsBase = 0;
    r->HasFxSave = uc->uc_mcontext.fpregs != nullptr;
    if (r->HasFxSave) {
        static_assert(sizeof(*uc->uc_mcontext.fpregs) == sizeof(r->FxSave));
        std::memcpy(r->FxSave, uc->uc_mcontext.fpregs, sizeof(r->FxSave));
    }
}

// Starts the helper and waits until it ends (or the time-out kills it).
void RunHelper() {
    if (!g_argv[0]) return;
    FormatDecimal(static_cast<uint64_t>(getpid()), g_pidText);
    FormatHex(reinterpret_cast<uintptr_t>(&g_state), g_stateText);
    // The child waits on this pipe until we have allowed it to trace us.
    int gate[2] = {-1, -1};
    if (pipe2(gate, O_CLOEXEC) != 0) gate[0] = gate[1] = -1;
    const pid_t child = _Fork();
    if (child == 0) {
        if (gate[0] >= 0) {
            close(gate[1]);
            char byte;
            while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
            }
        }
        execve(g_argv[0], g_argv, environ);
        _exit(127);
    }
    if (child > 0) prctl(PR_SET_PTRACER, child, 0, 0, 0);  // EINVAL without Yama: no matter
    if (gate[0] >= 0) {
        if (child > 0) {
            const char go = 1;
            while (write(gate[1], &go, 1) < 0 && errno == EINTR) {
            }
        }
        close(gate[0]);
        close(gate[1]);
    }
    if (child < 0) return;
    int status = 0;
    for (int waited = 0;; waited += 5) {
        const pid_t got = waitpid(child, &status, WNOHANG);
        if (got == child || (got < 0 && errno != EINTR)) return;
        if (waited >= g_helperTimeoutMs) {
            kill(child, SIGKILL);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            return;
        }
        SleepMs(5);
    }
}

void OnCrashSignal(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    if (g_handling.exchange(1) != 0) {
        // Another thread's crash is being handled; the process ends with it.
        for (;;) pause();
    }
    // 1. Record the thread.
    g_state.ProcessId = static_cast<int32_t>(getpid());
    g_state.ThreadId = static_cast<int32_t>(syscall(SYS_gettid));
    g_state.Signal = signal;
    g_state.Code = info ? info->si_code : 0;
    g_state.FaultAddress = info ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
    g_state.SenderPid = info && info->si_code <= 0 ? info->si_pid : 0;
    if (context) CaptureRegisters(static_cast<const ucontext_t*>(context), &g_state.Registers);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_state.Magic = kCrashStateMagic;
    // 2. Tell whoever waits for our crash.
    SetNamedEvent(g_event);
    // 3. Have the helper look at us, and wait for it.
    RunHelper();
    // 4. Die of the same signal: the default action, raised again for this thread; it is
    //    delivered as soon as the handler returns (a fault would also recur on its own).
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(signal, &dfl, nullptr);
    syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), signal);
    errno = savedErrno;
}

// Frees a thread's alternate stack when the thread ends.
struct AltStack {
    void* Base = nullptr;
    ~AltStack() {
        if (!Base) return;
        stack_t off;
        std::memset(&off, 0, sizeof(off));
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(Base, kAltStackBytes);
    }
};
thread_local AltStack t_altStack;

}  // namespace

bool AddCrashSignalStack() {
    if (t_altStack.Base) return true;
    void* base = mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) return false;
    stack_t ss;
    std::memset(&ss, 0, sizeof(ss));
    ss.ss_sp = base;
    ss.ss_size = kAltStackBytes;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(base, kAltStackBytes);
        return false;
    }
    t_altStack.Base = base;
    return true;
}

bool InstallCrashSignals(const CrashSignalSetup& setup, int* error) {
    auto fail = [error](int code) {
        if (error) *error = code;
        return false;
    };
    // 1. Lay the helper's command line out in static memory.
    if (setup.HelperArguments.size() > kMaxArgs) return fail(EINVAL);
    size_t used = 0;
    auto place = [&](const std::string& s) -> char* {
        if (s.find('\0') != std::string::npos || used + s.size() + 1 > kArgBytes) return nullptr;
        char* at = g_argBytes + used;
        std::memcpy(at, s.c_str(), s.size() + 1);
        used += s.size() + 1;
        return at;
    };
    std::memset(g_argv, 0, sizeof(g_argv));
    if (!setup.HelperProgram.empty()) {
        size_t n = 0;
        if (!(g_argv[n++] = place(setup.HelperProgram))) return fail(EINVAL);
        g_argv[n++] = g_pidText;
        g_argv[n++] = g_stateText;
        for (const std::string& a : setup.HelperArguments)
            if (!(g_argv[n++] = place(a))) return fail(EINVAL);
    }
    // 2. The event's address.
    g_event.Length = 0;
    if (!setup.CrashEventName.empty() && !PrepareNamedEvent(setup.CrashEventName, &g_event))
        return fail(EINVAL);
    g_helperTimeoutMs = setup.HelperTimeoutMs;
    // 3. An alternate stack for this thread, and the signal actions. The crash signals are
    //    blocked while the handler runs, so a fault inside it ends the process at once.
    if (!AddCrashSignalStack()) return fail(errno);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = OnCrashSignal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int s : kCrashSignals) sigaddset(&sa.sa_mask, s);
    for (int s : kCrashSignals)
        if (sigaction(s, &sa, nullptr) != 0) return fail(errno);
    if (error) *error = 0;
    return true;
}

}  // namespace platform
