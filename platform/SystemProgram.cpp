#include "platform/SystemProgram.h"

#include <strings.h>

#include <mutex>

#include "platform/ExecutablePath.h"

namespace platform {

namespace {

std::mutex& DirectoryLock() {
    static std::mutex lock;
    return lock;
}

std::string& ChosenDirectory() {
    static std::string directory;
    return directory;
}

}  // namespace

void SetSystemProgramDirectory(const std::string& directory) {
    std::lock_guard<std::mutex> lock(DirectoryLock());
    ChosenDirectory() = directory;
}

std::string SystemProgramPath(const std::string& name) {
    if (strcasecmp(name.c_str(), "convert") != 0) return {};
    std::string directory;
    {
        std::lock_guard<std::mutex> lock(DirectoryLock());
        directory = ChosenDirectory();
    }
    if (directory.empty()) directory = ExecutableDirectory();
    if (directory.empty()) return {};
    if (directory.back() != '/') directory += '/';
    return directory + "velundra-tontfs";
}

}  // namespace platform
