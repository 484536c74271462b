#include "platform/Terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <iostream>

namespace platform {

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }
bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int TerminalColumns() {
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

bool ReadLine(std::string* line) { return static_cast<bool>(std::getline(std::cin, *line)); }

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

namespace {

std::atomic<bool> g_interrupted{false};
constexpr int kShielded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction g_saved[4];

void NoteInterrupt(int) { g_interrupted.store(true); }

}  // namespace

InterruptShield::InterruptShield() {
    struct sigaction sa {};
    sa.sa_handler = NoteInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int i = 0; i < 4; ++i) sigaction(kShielded[i], &sa, &g_saved[i]);
}

InterruptShield::~InterruptShield() {
    for (int i = 0; i < 4; ++i) sigaction(kShielded[i], &g_saved[i], nullptr);
}

bool InterruptShield::InterruptRequested() { return g_interrupted.load(); }

double MonotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace platform
