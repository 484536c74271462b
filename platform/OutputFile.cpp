#include "platform/OutputFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace platform {

COutputFile::~COutputFile() { Close(); }

bool COutputFile::Open(const std::string& path, FileOpen mode, int* error) {
    Close();
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (mode == FileOpen::Append) flags |= O_APPEND;
    if (mode == FileOpen::Truncate) flags |= O_TRUNC;
    if (mode == FileOpen::CreateNew) flags |= O_EXCL;
    Fd = ::open(path.c_str(), flags, 0644);
    if (Fd < 0) {
        if (error) *error = errno;
        return false;
    }
    if (mode == FileOpen::CreateNew) {
        // A new file survives a power cut only once its directory entry is on disk too.
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = dirFd >= 0 && ::fsync(dirFd) == 0;
        const int saved = errno;
        if (dirFd >= 0) ::close(dirFd);
        if (!synced) {
            Close();
            if (error) *error = saved;
            return false;
        }
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

bool COutputFile::Sync(int* error) {
    if (Fd < 0) {
        if (error) *error = EBADF;
        return false;
    }
    while (::fdatasync(Fd) != 0) {
        if (errno == EINTR) continue;
        if (error) *error = errno;
        return false;
    }
    if (error) *error = 0;
    return true;
}

void COutputFile::Close() {
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
}

}  // namespace platform
