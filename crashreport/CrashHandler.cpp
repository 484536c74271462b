#include "crashreport/CrashHandler.h"

#include <cstdlib>
#include <exception>
#include <new>

#include "platform/CrashSignals.h"
#include "platform/ExecutablePath.h"

namespace {

std::terminate_handler g_previousTerminate = nullptr;
void (*g_showMemoryProblem)() = nullptr;

// Crash counter of the process: the number in the next dump's name.
int g_dumpCounter = 0;

[[noreturn]] void OnTerminate() {
    // The memory message for an uncaught std::bad_alloc; then the runtime's own handler, which
    // names the exception on standard error and aborts (the SIGABRT handler writes the dump).
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::bad_alloc&) {
            if (g_showMemoryProblem) g_showMemoryProblem();
        } catch (...) {
        }
    }
    if (g_previousTerminate) g_previousTerminate();
    std::abort();
}

}  // namespace

std::string CrashDumpPath(int n) {
    return platform::ExecutableDirectory() + "dump" + std::to_string(n) + ".dmp";
}

bool InstallCrashHandler(const CrashHandlerOptions& options) {
    g_showMemoryProblem = options.ShowMemoryProblem;
    g_previousTerminate = std::set_terminate(OnTerminate);

    platform::CrashSignalSetup setup;
    const std::string dir = platform::ExecutableDirectory();
    if (!dir.empty()) {
        setup.HelperProgram = dir + kCrashDumpHelperName;
        setup.HelperArguments = {CrashDumpPath(g_dumpCounter++)};
    }
    setup.CrashEventName = options.CrashEventName;
    return platform::InstallCrashSignals(setup);
}
