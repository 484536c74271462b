#include "platform/ExecutablePath.h"

#include <unistd.h>

#include <vector>

namespace platform {

std::string ExecutablePath() {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
        if (buffer.size() >= 65536) return {};
        buffer.resize(buffer.size() * 2);  // possibly cut: try a larger buffer
    }
}

std::string ExecutableDirectory() {
    std::string path = ExecutablePath();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return path.substr(0, slash + 1);
}

}  // namespace platform
