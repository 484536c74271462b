// velundra-crashdump PID STATE-ADDRESS DUMP-PATH
//
// Started by the crash handler of a crashing process (which waits for us): attaches to every
// thread of PID, reads the crashing thread's state the handler left at STATE-ADDRESS, writes
// the minidump to DUMP-PATH and lets the threads go. Exit status 0 when the dump is written.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crashreport/MiniDump.h"
#include "platform/CrashSignals.h"
#include "platform/ProcessTrace.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: velundra-crashdump PID STATE-ADDRESS DUMP-PATH\n");
        return 2;
    }
    char* end = nullptr;
    const long pid = std::strtol(argv[1], &end, 10);
    if (*end != '\0' || pid <= 0) return 2;
    const uint64_t stateAddress = std::strtoull(argv[2], &end, 16);
    if (*end != '\0' || stateAddress == 0) return 2;

    int error = 0;
    std::unique_ptr<platform::CTracedProcess> process =
        platform::CTracedProcess::Attach(static_cast<int>(pid), &error);
    if (!process) {
        std::fprintf(stderr, "velundra-crashdump: cannot look into process %ld: %s\n", pid,
                     std::strerror(error));
        return 1;
    }
    platform::CrashedThreadState state;
    if (process->ReadMemory(stateAddress, &state, sizeof(state)) != sizeof(state) ||
        state.Magic != platform::kCrashStateMagic || state.ProcessId != pid) {
        std::fprintf(stderr, "velundra-crashdump: process %ld left no crash record\n", pid);
        return 1;
    }
    CMiniDumpWriter writer(*process, state);
    std::string why;
    if (!writer.Write(argv[3], &why)) {
        std::fprintf(stderr, "velundra-crashdump: %s\n", why.c_str());
        return 1;
    }
    return 0;
}
