#include "platform/OutputFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

COutputFile::~COutputFile() { Close(); }

bool COutputFile::Open(const std::string& path, FileOpen mode, int* error) {
    Close();
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == FileOpen::Append ? O_APPEND : O_TRUNC);
    Fd = ::open(path.c_str(), flags, 0644);
    if (Fd < 0) {
        if (error) *error = errno;
        return false;
    }
    if (error) *error = 0;
    return true;
}

bool COutputFile::Write(const void* bytes, size_t count, int* error) {
    if (Fd < 0) {
        if (error) *error = EBADF;
        return false;
    }
    const char* p = static_cast<const char*>(bytes);
    while (count > 0) {
        ssize_t n = ::write(Fd, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (error) *error = n < 0 ? errno : EIO;
            return false;
        }
        p += n;
        count -= static_cast<size_t>(n);
    }
    if (error) *error = 0;
    return true;
}

void COutputFile::Close() {
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
}

}  // namespace platform
