// An anonymous pipe between this process and a child: bytes written to the write end come
// out of the read end, in order. A child started by CChildProcess::Start takes one end as a
// standard stream (platform/Process.h); both ends are closed on exec otherwise, so a child
// never holds an end it was not given, and the reader sees the end of the data as soon as
// the child and every other holder of the write end have closed it.
//
// Ownership: the object owns both descriptors; each end can be closed on its own.
// Threads: one end may be read on one thread while the other is written on another; the
// same end is not shared between threads. Create and the destructor run on one thread.
#pragma once

#include <cstddef>
#include <memory>

namespace platform {

class CAnonymousPipe {
  public:
    // Creates the pipe and asks the kernel for a buffer of sizeHint bytes, at most the
    // system's limit (/proc/sys/fs/pipe-max-size); the buffer may stay smaller, since the
    // hint is only a wish (Capacity tells what was granted). Null with *error = errno when
    // no pipe could be made.
    static std::unique_ptr<CAnonymousPipe> Create(size_t sizeHint, int* error = nullptr);

    ~CAnonymousPipe();
    CAnonymousPipe(const CAnonymousPipe&) = delete;
    CAnonymousPipe& operator=(const CAnonymousPipe&) = delete;

    // The descriptors, -1 once closed.
    int ReadEnd() const { return ReadFd_; }
    int WriteEnd() const { return WriteFd_; }
    void CloseReadEnd();
    void CloseWriteEnd();

    // The kernel's buffer for the pipe in bytes.
    size_t Capacity() const { return Capacity_; }

    // Reads at most `size` bytes, waiting for the first: the count read (> 0), 0 when every
    // write end is closed and nothing is left, -1 with *error = errno on failure.
    long Read(void* buffer, size_t size, int* error = nullptr);
    // Writes all `size` bytes, waiting while the buffer is full. False with *error = errno
    // (EPIPE: nobody holds the read end any more); a write to a pipe without a reader never
    // raises SIGPIPE in this process.
    bool Write(const void* bytes, size_t size, int* error = nullptr);

  private:
    CAnonymousPipe(int readFd, int writeFd, size_t capacity)
        : ReadFd_(readFd), WriteFd_(writeFd), Capacity_(capacity) {}
    int ReadFd_;
    int WriteFd_;
    size_t Capacity_;
};

// The largest pipe buffer an ordinary process may ask for, in bytes
// (/proc/sys/fs/pipe-max-size; 1 MiB when it cannot be read).
size_t PipeMaxSize();

}  // namespace platform
