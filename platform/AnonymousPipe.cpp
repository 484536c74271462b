#include "platform/AnonymousPipe.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

namespace platform {

namespace {

// SIGPIPE blocked for the calling thread while it writes: a write to a pipe without a reader
// then fails with EPIPE, and the signal it raised is taken off the thread's pending set
// before the old mask returns, so it is never delivered.
class BrokenPipeShield {
  public:
    BrokenPipeShield() {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &old_);
        wasBlocked_ = sigismember(&old_, SIGPIPE) == 1;
    }
    ~BrokenPipeShield() {
        if (!wasBlocked_) pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    BrokenPipeShield(const BrokenPipeShield&) = delete;
    BrokenPipeShield& operator=(const BrokenPipeShield&) = delete;

    // After an EPIPE: takes the SIGPIPE that this thread's write raised (unless it was
    // blocked before, when it was somebody else's to take).
    void Consume() {
        if (wasBlocked_) return;
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        const timespec now{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
        }
    }

  private:
    sigset_t old_;
    bool wasBlocked_ = false;
};

}  // namespace

size_t PipeMaxSize() {
    size_t limit = 1024 * 1024;
    if (FILE* f = std::fopen("/proc/sys/fs/pipe-max-size", "r")) {
        unsigned long value = 0;
        if (std::fscanf(f, "%lu", &value) == 1 && value > 0) limit = value;
        std::fclose(f);
    }
    return limit;
}

std::unique_ptr<CAnonymousPipe> CAnonymousPipe::Create(size_t sizeHint, int* error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        if (error) *error = errno;
        return nullptr;
    }
    // The buffer: the hint within the limit; a refusal (the user's pipe pages used up)
    // leaves the default buffer.
    const size_t wish = std::min({sizeHint, PipeMaxSize(), static_cast<size_t>(INT_MAX)});
    if (wish > 0) fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(wish));
    const int granted = fcntl(fds[1], F_GETPIPE_SZ);
    if (error) *error = 0;
    return std::unique_ptr<CAnonymousPipe>(
        new CAnonymousPipe(fds[0], fds[1], granted > 0 ? static_cast<size_t>(granted) : 0));
}

CAnonymousPipe::~CAnonymousPipe() {
    CloseReadEnd();
    CloseWriteEnd();
}

void CAnonymousPipe::CloseReadEnd() {
    if (ReadFd_ >= 0) close(ReadFd_);
    ReadFd_ = -1;
}

void CAnonymousPipe::CloseWriteEnd() {
    if (WriteFd_ >= 0) close(WriteFd_);
    WriteFd_ = -1;
}

long CAnonymousPipe::Read(void* buffer, size_t size, int* error) {
    if (ReadFd_ < 0) {
        if (error) *error = EBADF;
        return -1;
    }
    for (;;) {
        const ssize_t n = read(ReadFd_, buffer, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) {
            if (error) *error = errno;
            return -1;
        }
    }
}

bool CAnonymousPipe::Write(const void* bytes, size_t size, int* error) {
    if (WriteFd_ < 0) {
        if (error) *error = EBADF;
        return false;
    }
    BrokenPipeShield shield;
    const char* p = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t n = write(WriteFd_, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int code = errno;
            if (code == EPIPE) shield.Consume();
            if (error) *error = code;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    if (error) *error = 0;
    return true;
}

}  // namespace platform
