#include "platform/DebugOutput.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

bool DebugOutputEnabled() { return std::getenv("VELUNDRA_DEBUG") != nullptr; }

void DebugOutput(const char* text, size_t bytes) {
    if (!text || !DebugOutputEnabled()) return;
    while (bytes > 0) {
        ssize_t n = ::write(STDERR_FILENO, text, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // stderr closed or broken: debug text is not worth more
        text += n;
        bytes -= static_cast<size_t>(n);
    }
}

void DebugOutput(const char* text) {
    if (text) DebugOutput(text, std::strlen(text));
}

}  // namespace platform
