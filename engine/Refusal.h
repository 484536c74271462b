// Refusing a volume: the text the user reads, bounded, logged and thrown.
//
// Every refusal of the tree walk and the volume checks goes through ThrowRefusal, which
// formats the message (Microsoft conventions: "%s" is a char16_t string, "%I64d" a 64-bit
// integer) into at most kRefusalTextLimit units, cutting rather than overrunning, logs it at
// level 4 and throws it as SimpleException of kind 1. Paths are put into messages through
// DisplayPath, which keeps them readable and bounded.
//
// Threads: any; no state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Longest message text thrown (UTF-16 units; a longer one is cut at a character boundary).
constexpr size_t kRefusalTextLimit = 2045;
// Longest path shown in a message; a longer path keeps its end (the file's own name).
constexpr size_t kDisplayPathLimit = 1024;

// Formats the message, logs it at level 4 and throws it (SimpleException, kind 1).
[[noreturn]] void ThrowRefusal(const char16_t* format, ...);

// The sentence that follows every refusal caused by damage on the volume.
constexpr const char16_t* kCheckVolumeAdvice =
    u" The volume may be damaged: please check it (chkdsk /f on Windows, ntfsfix on Linux) and try again.";

// ThrowRefusal for damage: the formatted text (cut so that the whole still fits), then
// kCheckVolumeAdvice.
[[noreturn]] void ThrowDamaged(const char16_t* format, ...);

// The path as it goes into a message: characters below 0x20 become U+FFFD (they would
// upset a terminal or a message box), and a path longer than kDisplayPathLimit units
// becomes "..." followed by its end, never cut inside a surrogate pair.
std::u16string DisplayPath(std::u16string_view path);
