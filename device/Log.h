// Logging: printf-style lines with an 8-bit or a UTF-16 ("wide") format and a level.
// A line is exactly the formatted text followed by CR LF: no prefix, no timestamp.
// Levels: 0 and 1 debug (stderr, only when VELUNDRA_DEBUG is set), 2 information,
// 3 warning, 4 error; other levels go nowhere.
//
// Formats follow the Microsoft C runtime, which every caller relies on: "%I64d" is a signed
// 64-bit integer, "%ws" in an 8-bit format is a wide (char16_t) string, and "%s" in a wide
// format is a wide string. Wide arguments are char16_t strings. device/LogFormat.h lists
// the whole set. The 8-bit text written is UTF-8; wide lines are converted to it.
//
// A line holds at most 2045 units of text before its CR LF (bytes for an 8-bit line, and
// both UTF-16 units and UTF-8 bytes for a wide one); a longer line is cut there, never
// inside a character.
//
// A process has one current sink, chosen once: the shared log buffer (UseSharedLog), a file
// named by UseFileLog, or, at the first line without either, "DefaultLog.log" in the
// current directory.
//
// Threads: the log functions may be called from any thread of the process; logging never
// fails towards its caller and never throws.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/OutputFile.h"

namespace platform {
class CSharedSegment;
class CSharedMutex;
}  // namespace platform

// A place where log bytes go.
class ILog {
public:
    virtual int OpenW(const char16_t* fileName) = 0;
    virtual int OpenA(const char* fileName) = 0;
    // Nonzero when all `count` bytes were taken.
    virtual int Write(const void* bytes, uint32_t count) = 0;
    virtual ~ILog() = default;
};

// A log file. Opening creates the file or empties an existing one (and closes a file
// opened before). Owns its descriptor.
class CFileLog : public ILog {
public:
    CFileLog() = default;
    ~CFileLog() override = default;
    CFileLog(const CFileLog&) = delete;
    CFileLog& operator=(const CFileLog&) = delete;

    int OpenW(const char16_t* fileName) override;  // the name is converted to UTF-8
    int OpenA(const char* fileName) override;
    // Writes all bytes (retrying short writes); with no file open only a count of 0 succeeds.
    int Write(const void* bytes, uint32_t count) override;

private:
    platform::COutputFile File;
};

// Names and size of the shared log buffer. Tests use names of their own.
constexpr const char* kSharedLogName = "Velundra{61a658f1-6a6e-45d0-8597-de35119fc9b3}";
constexpr const char* kSharedLogMutexName = "Velundra_MUTEX{44efecfd-793b-4ce2-885d-3814137169cb}";
constexpr uint32_t kSharedLogBytes = 131072;
constexpr uint32_t kSharedLogTimeoutMs = 1000;

struct SharedLogNames {
    std::string mapping = kSharedLogName;
    std::string mutex = kSharedLogMutexName;
};

// Start of the shared buffer; the log bytes follow it.
#pragma pack(push, 1)
struct SharedLogHeader {
    uint32_t Count;  // log bytes after the header not drained yet (little-endian); complete
                     // CR LF lines, never more than kSharedLogBytes - 4
};
#pragma pack(pop)
static_assert(sizeof(SharedLogHeader) == 4);
static_assert(offsetof(SharedLogHeader, Count) == 0);

// The shared log buffer: clients append whole lines, the server (the launcher) drains them
// into its log file. Both take the shared mutex for at most kSharedLogTimeoutMs.
// Owns its mapping and its mutex. A server removes both names when it is destroyed.
// Threads: Write and Drain may be called from any thread.
class CFMappingLog : public ILog {
public:
    // Client: attaches to the buffer a server made; without one it has no view and every
    // Write returns 0. Creates the mutex when missing. Never null.
    static std::unique_ptr<CFMappingLog> OpenClient(const SharedLogNames& names = {});
    // Server: creates the buffer (or takes over a stale one) with Count 0, and the mutex.
    // Null when the buffer cannot be created.
    static std::unique_ptr<CFMappingLog> CreateServer(const SharedLogNames& names = {});

    ~CFMappingLog() override;
    CFMappingLog(const CFMappingLog&) = delete;
    CFMappingLog& operator=(const CFMappingLog&) = delete;

    int OpenW(const char16_t*) override { return 1; }  // the buffer is already open
    int OpenA(const char*) override { return 1; }
    // Appends the bytes when they fit whole; 0 (bytes dropped) with no view, when the mutex
    // is not obtained in time, or when the buffer cannot hold them all.
    int Write(const void* bytes, uint32_t count) override;
    // Moves the pending bytes to the end of *out and empties the buffer. False when there is
    // no view or the mutex was not obtained (nothing drained this time).
    bool Drain(std::string* out);

    bool HasView() const { return Header != nullptr; }

private:
    CFMappingLog() = default;
    std::unique_ptr<platform::CSharedSegment> Mapping;
    std::unique_ptr<platform::CSharedMutex> Mutex;
    SharedLogHeader* Header = nullptr;  // start of the mapped view; null without a view
    uint32_t Capacity = 0;              // bytes of the view, header included
    bool Server = false;
    SharedLogNames Names;
};

// Kind 0: the process-wide CFileLog; kind 1: the process-wide CFMappingLog (client of the
// shared buffer); any other kind: null. Made on first request and never destroyed, so lines
// logged while the process exits still find them.
ILog* GetLogSink(int kind);

// The names the process-wide client attaches to; takes effect only before its first
// GetLogSink(1). For tests.
void SetSharedLogNames(const SharedLogNames& names);

// Makes the shared buffer the current sink (when none is chosen yet), level 2 and up.
void UseSharedLog();

// Makes the process-wide CFileLog the current sink (when none is chosen yet), opened on
// `path`, all levels. True when the file was opened now.
bool UseFileLog(const char* path);

// Called with every warning and error line (levels 3 and 4), as UTF-8 without CR LF, in
// addition to the sink. Null turns it off. The function may be called from any thread
// that logs.
void SetLogEcho(void (*echo)(int level, const char* utf8Line));

void LogLineA(int level, const char* format, ...);
void LogLineW(int level, const char16_t* format, ...);
void LogLineAV(int level, const char* format, va_list args);
void LogLineWV(int level, const char16_t* format, va_list args);

void LogInfoA(const char* format, ...);       // level 2
void LogWarnA(const char* format, ...);       // level 3
void LogWarnW(const char16_t* format, ...);   // level 3
void LogErrorA(const char* format, ...);      // level 4
void LogErrorW(const char16_t* format, ...);  // level 4
