// Logging: printf-style lines with an 8-bit or a UTF-16 ("wide") format and a level.
// A line is exactly the formatted text followed by CR LF: no prefix, no timestamp.
// Levels: 0 and 1 debug (stderr, only when VELUNDRA_DEBUG is set), 2 information,
// 3 warning, 4 error; other levels go nowhere.
//
// Formats follow the Microsoft C runtime, which every caller relies on: "%I64d" is a signed
// 64-bit integer, "%ws" in an 8-bit format is a wide (char16_t) string, and "%s" in a wide
// format is a wide string. Wide arguments are char16_t strings.
//
// A process has one current sink, chosen once: the shared log buffer (UseSharedLog) or,
// at the first line without it, "DefaultLog.log" in the current directory.
//
// Threads: the log functions may be called from any thread of the process; logging never
// fails towards its caller and never throws.
#pragma once

#include <cstdint>

// A place where log bytes go.
class ILog {
public:
    virtual int OpenW(const char16_t* fileName) = 0;
    virtual int OpenA(const char* fileName) = 0;
    // Nonzero when all `count` bytes were taken.
    virtual int Write(const void* bytes, uint32_t count) = 0;
    virtual ~ILog() = default;
};

// Kind 0: the process-wide CFileLog; kind 1: the process-wide CFMappingLog (client of the
// shared buffer); any other kind: null. Made on first request, alive until process exit.
ILog* GetLogSink(int kind);

// Makes the shared buffer the current sink (when none is chosen yet), level 2 and up.
void UseSharedLog();

void LogLineA(int level, const char* format, ...);
void LogLineW(int level, const char16_t* format, ...);

void LogInfoA(const char* format, ...);       // level 2
void LogWarnA(const char* format, ...);       // level 3
void LogWarnW(const char16_t* format, ...);   // level 3
void LogErrorA(const char* format, ...);      // level 4
void LogErrorW(const char16_t* format, ...);  // level 4
