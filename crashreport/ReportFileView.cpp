#include "crashreport/ReportFileView.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "platform/TextEncoding.h"

namespace {

// How many leading bytes the text test looks at, and the non-text byte that decides.
constexpr size_t kTextTestBytes = 100;
constexpr int kBinaryAtNonText = 5;

bool IsTextByte(unsigned char b) { return (b >= 32 && b <= 126) || (b >= 9 && b <= 13); }

}  // namespace

bool IsTextContent(std::string_view bytes) {
    int nonText = 0;
    const size_t n = bytes.size() < kTextTestBytes ? bytes.size() : kTextTestBytes;
    for (size_t i = 0; i < n; ++i)
        if (!IsTextByte(static_cast<unsigned char>(bytes[i])) && ++nonText == kBinaryAtNonText) return false;
    return true;
}

std::string HexDump(std::string_view bytes) {
    constexpr size_t kLine = 16;
    const size_t lines = (bytes.size() + kLine - 1) / kLine;
    std::string padded(bytes);
    padded.resize(lines * kLine, '\0');
    std::string out;
    out.reserve(lines * 72);
    char field[16];
    for (size_t line = 0; line < lines; ++line) {
        const auto* p = reinterpret_cast<const unsigned char*>(padded.data() + line * kLine);
        std::snprintf(field, sizeof field, "0x%08x: ", static_cast<unsigned>(line * kLine));
        out += field;
        for (int w = 0; w < 4; ++w) {
            const uint32_t word = static_cast<uint32_t>(p[w * 4]) | static_cast<uint32_t>(p[w * 4 + 1]) << 8 |
                                  static_cast<uint32_t>(p[w * 4 + 2]) << 16 |
                                  static_cast<uint32_t>(p[w * 4 + 3]) << 24;
            std::snprintf(field, sizeof field, "%08x ", static_cast<unsigned>(word));
            out += field;
        }
        for (size_t i = 0; i < kLine; ++i) out += (p[i] < 32 || p[i] >= 127) ? '.' : static_cast<char>(p[i]);
        out += "\r\n";
    }
    return out;
}

ReportFileView ViewReportFile(const std::u16string& path) {
    ReportFileView view;
    std::ifstream in(platform::Utf16ToUtf8(path), std::ios::binary);
    if (!in) return view;
    std::string bytes(kReportViewMaxBytes, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    view.Read = true;
    view.Binary = !IsTextContent(bytes);
    if (view.Binary) {
        const std::string dump = HexDump(bytes);
        view.Text.assign(dump.begin(), dump.end());
    } else {
        view.Text = platform::Cp1252ToUtf16(std::string_view(bytes).substr(0, bytes.find('\0')));
    }
    return view;
}
