// Text conversions between the encodings the converter meets.
//
// - UTF-16 (char16_t): NTFS names, FAT long names and every "wide" string of the system.
// - Code page 437, the OEM code page: the 8-bit text of FAT short names and of the volume
//   label, as DOS, the FAT short-name field and Linux's vfat default (codepage=437) read
//   them. A character that 437 cannot hold becomes '_' (never '?', which is not allowed in
//   a short name).
// - Windows-1252, the ANSI code page: 8-bit text meant for Western Windows programs (mail
//   text, the report viewer). Same '_' rule.
// - UTF-8: the 8-bit text of log lines and of everything shown on a Linux terminal.
//
// A surrogate pair is one character; a lone surrogate is a character that cannot be
// represented: '_' in 1252, U+FFFD in UTF-8. Invalid UTF-8 decodes to U+FFFD, one per
// maximal invalid subsequence.
//
// Threads: any thread; these functions have no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The two 8-bit code pages by their Windows numbers.
constexpr unsigned kOemCodePage = 437;    // on-disk FAT short names and volume label
constexpr unsigned kAnsiCodePage = 1252;  // text for Western Windows programs

// The 437 byte of one Unicode code point, or -1 when 437 has none for it. The bytes
// 0x00..0x7F are ASCII (controls included, as Windows maps them, not the glyphs DOS drew
// for them).
int Cp437ByteOf(char32_t codePoint);

// The Unicode character of a 437 byte (always defined).
char16_t Cp437ToUtf16(unsigned char byte);

// UTF-16 to 437: one byte per character, '_' for each character 437 cannot hold (a
// surrogate pair gives one '_', a lone surrogate one '_'). A NUL unit gives a 0 byte.
std::string Utf16ToCp437(std::u16string_view text);
// The same into *out (replacing what it held; its capacity is reused).
void Utf16ToCp437(std::u16string_view text, std::string* out);

// 437 to UTF-16: one unit per byte.
std::u16string Cp437ToUtf16(std::string_view bytes);

// The 1252 byte of one Unicode code point, or -1 when 1252 has none for it. The five
// bytes that 1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 control
// characters of the same value, as Windows maps them.
int Cp1252ByteOf(char32_t codePoint);

// The Unicode character of a 1252 byte (always defined, see Cp1252ByteOf).
char16_t Cp1252ToUtf16(unsigned char byte);

// UTF-16 to 1252: one byte per character, '_' for each character 1252 cannot hold
// (a surrogate pair gives one '_', a lone surrogate one '_'). A NUL unit gives a 0 byte.
std::string Utf16ToCp1252(std::u16string_view text);

// 1252 to UTF-16: one unit per byte.
std::u16string Cp1252ToUtf16(std::string_view bytes);

// UTF-16 to UTF-8; lone surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// UTF-8 to UTF-16; invalid, overlong and surrogate-encoding sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// Appends the UTF-8 form of one code point to *out (U+FFFD for a surrogate or a value
// above U+10FFFF).
void AppendUtf8(char32_t codePoint, std::string* out);

// Decodes the UTF-16 character starting at text[*pos] and advances *pos past it (one or
// two units). A lone surrogate yields kLoneSurrogate. *pos must be below text.size().
constexpr char32_t kLoneSurrogate = 0xFFFFFFFF;
char32_t NextUtf16(std::u16string_view text, size_t* pos);

// Decodes the UTF-8 character starting at text[*pos] and advances *pos past it (past the
// maximal invalid subsequence for bad input, which yields U+FFFD).
char32_t NextUtf8(std::string_view text, size_t* pos);

}  // namespace platform
