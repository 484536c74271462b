// A file written front to back: log files, reports and undo files.
//
// Ownership: the object owns its descriptor and closes it when destroyed or reopened.
// Threads: one Write call is one write(2) loop; concurrent Writes from several threads on
// one object each land whole only while every call is completed by a single write(2) (the
// usual case for short lines on a local file); the caller locks otherwise.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

enum class FileOpen {
    Truncate,  // create, or empty an existing file
    Append,    // create, or add to the end of an existing file
    CreateNew, // create a file that must not exist yet; its directory entry is made durable
};

class COutputFile {
public:
    COutputFile() = default;
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    // Opens path for writing (mode 0644 when created), closing any file open before.
    // False with *error = errno when it cannot be opened.
    bool Open(const std::string& path, FileOpen mode, int* error = nullptr);
    // Writes all bytes, retrying short writes and EINTR. False with *error = errno (or EBADF
    // when no file is open).
    bool Write(const void* bytes, size_t count, int* error = nullptr);
    // Makes every byte written so far durable (fdatasync) before returning. False with
    // *error = errno.
    bool Sync(int* error = nullptr);
    void Close();
    bool IsOpen() const { return Fd >= 0; }

private:
    int Fd = -1;
};

}  // namespace platform
