// Debug output: the stand-in for a debugger's output window. Lines go to stderr, and only
// when the environment variable VELUNDRA_DEBUG is set (to anything, even empty).
//
// Threads: any thread; each call is one write, so lines of different threads do not mix.
#pragma once

#include <cstddef>

namespace platform {

// True when VELUNDRA_DEBUG is set (looked up on every call, so tests may change it).
bool DebugOutputEnabled();

// Writes `bytes` bytes of text as they stand (the caller supplies any line end).
void DebugOutput(const char* text, size_t bytes);

// Writes a NUL-terminated text.
void DebugOutput(const char* text);

}  // namespace platform
