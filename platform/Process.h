// Child programs and the process's own rights.
//
// Threads: any thread. RunProgram blocks the calling thread until the child has ended.
#pragma once

#include <string>
#include <vector>

namespace platform {

// How a child's standard streams are connected.
enum class ChildOutput {
    Inherit,  // the child writes to our stdout / stderr
    Discard,  // the child's stdout and stderr go to /dev/null
};

// Runs `program` with `args` (argv[1..]; argv[0] is the program itself) and waits for it.
// A program name without '/' is looked up in PATH. The child's stdin is /dev/null.
// Returns the child's exit status (0..255), or -1 when it could not be started or was
// killed by a signal; *error (optional) then holds errno, or 0 for a signal death.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               ChildOutput output = ChildOutput::Inherit, int* error = nullptr);

// True when the process runs with effective user id 0 (our "administrator" right).
bool IsEffectiveRoot();

}  // namespace platform
