// Where the running executable lies: the launcher starts its own program again and keeps
// its log file beside it.
//
// Threads: any thread.
#pragma once

#include <string>

namespace platform {

// The absolute path of the running executable (from /proc/self/exe, symbolic links
// resolved); empty when it cannot be read.
std::string ExecutablePath();

// Its directory, ending in '/'; empty when the path cannot be read.
std::string ExecutableDirectory();

}  // namespace platform
