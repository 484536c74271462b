// velundra-crashme MODE EVENT-NAME: installs the wizard's crash handler (with EVENT-NAME as
// the crash event), then crashes as MODE says. Test program of the crash handler.
//  wait       print "ready" and wait to be killed with a signal from outside
//  null       start two waiting threads, then write through a null pointer
//  bad_alloc  throw a std::bad_alloc that nobody catches (the memory message goes to stderr)
//  overflow   recurse until the stack is exhausted
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "crashreport/CrashHandler.h"

namespace {

int* volatile g_nowhere = nullptr;
volatile int g_sink = 0;

void ShowMemoryProblem() { std::fprintf(stderr, "memory problem: %s\n", kMemoryProblemMessage); }

[[gnu::noinline]] void WaitToBeKilled() {
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) pause();
}

[[gnu::noinline]] void WriteThroughNullPointer() {
    *g_nowhere = 42;
    g_sink = 1;
}

[[gnu::noinline]] void ThrowBadAlloc() {
    g_sink = 2;
    throw std::bad_alloc();
}

[[gnu::noinline]] int RecurseForever(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (g_sink < 0) return 0;  // never: g_sink is not negative, but the compiler cannot know
    return RecurseForever(depth + 1) + frame[0];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    CrashHandlerOptions options;
    options.CrashEventName = argv[2];
    options.ShowMemoryProblem = ShowMemoryProblem;
    if (!InstallCrashHandler(options)) return 3;
    const char* mode = argv[1];
    if (std::strcmp(mode, "wait") == 0) WaitToBeKilled();
    if (std::strcmp(mode, "null") == 0) {
        std::mutex m;
        std::condition_variable never;
        auto idle = [&] {
            std::unique_lock<std::mutex> lock(m);
            never.wait(lock, [] { return false; });
        };
        std::thread a(idle), b(idle);
        a.detach();
        b.detach();
        usleep(20000);  // both threads wait before the crash
        WriteThroughNullPointer();
    }
    if (std::strcmp(mode, "bad_alloc") == 0) ThrowBadAlloc();
    if (std::strcmp(mode, "overflow") == 0) return RecurseForever(0);
    return 4;
}
