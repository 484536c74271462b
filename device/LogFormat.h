// The printf engine of the log functions. It follows the Microsoft C runtime's conventions,
// which every log format in the converter is written for:
//
//   8-bit format:  %s %hs = 8-bit string; %ws %ls %S = char16_t string;
//                  %c %hc = char; %wc %lc %C = char16_t
//   wide format:   %s %ws %ls = char16_t string; %hs %S = 8-bit string;
//                  %c %wc %lc = char16_t; %hc %C = char
//   integers:      %d %i %u %o %x %X with hh h l ll z j t L and the Microsoft sizes
//                  I64 (64-bit), I32 (32-bit) and I (pointer-sized); %p as 16 hex digits
//   also:          %e %E %f %F %g %G %a %A (double, L: long double), %% and %n (which
//                  takes its pointer and writes nothing); flags - + space # 0; width and
//                  precision, also as *.
//
// 8-bit strings are UTF-8 (bytes pass through unchanged); char16_t text is converted
// between UTF-8 and UTF-16 where output and argument differ. A null string prints
// "(null)". An unknown directive is copied to the output as it stands.
//
// The result holds at most `limit` units (bytes or char16_t units); a longer result is cut
// there, but never inside a UTF-8 sequence or a surrogate pair.
//
// Threads: any thread; no state.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// The log's line buffers: 2048 units, of which the text may fill 2045 before CR LF.
constexpr size_t kLogLineUnits = 2048;
constexpr size_t kLogTextLimit = kLogLineUnits - 3;

std::string FormatTextA(size_t limit, const char* format, va_list args);
std::u16string FormatTextW(size_t limit, const char16_t* format, va_list args);

// The same with the log's limit, for callers that have the arguments at hand.
std::string FormatLogTextA(const char* format, ...);
std::u16string FormatLogTextW(const char16_t* format, ...);

// Cuts UTF-8 text to at most `limit` bytes at a character boundary.
void CutUtf8(std::string* text, size_t limit);
