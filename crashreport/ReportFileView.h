// What the report's contents window shows of one file: its first 64 KiB as text, or as a hex
// dump when they do not look like text.
//
// Threads: any thread; nothing here has state. No Qt.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The most bytes of a file the viewer shows.
inline constexpr size_t kReportViewMaxBytes = 65536;

// The viewer's picture of one file.
struct ReportFileView {
    bool Read = false;    // false: the file could not be opened; Text is empty
    bool Binary = false;  // true: Text is HexDump's; false: the bytes as Windows-1252 text
    std::u16string Text;  // lines end in CR LF as read (text) or as HexDump writes them
};

// Reads at most kReportViewMaxBytes of `path` and turns them into what the viewer shows:
// IsTextContent decides; text is decoded from Windows-1252 up to its first NUL byte (an
// edit box shows no more), anything else is HexDump's.
ReportFileView ViewReportFile(const std::u16string& path);

// Whether the bytes read look like text: among the first 100 of them, the bytes 32 to 126
// and the controls 9 to 13 count as text; a fifth byte of any other value makes them binary.
// Only bytes that were read are judged, so a short text file stays text.
bool IsTextContent(std::string_view bytes);

// A hex dump of `bytes`, 16 per line, the last line filled up with zero bytes:
// "0x%08x: " with the line's offset, its four 32-bit little-endian words each as "%08x ",
// its 16 bytes as characters ('.' for bytes below 32, 127 and above 127), CR LF.
std::string HexDump(std::string_view bytes);
