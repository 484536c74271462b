#include "crashreport/ReportFiles.h"

#include <filesystem>
#include <system_error>

#include "platform/TextEncoding.h"

std::vector<ReportEntry> BuildReportEntries(const std::string& directory,
                                            std::u16string_view thousandsSeparator) {
    std::vector<ReportEntry> entries;
    for (const ReportFileKind& kind : kReportFiles) {
        const std::string path = directory + kind.FileName;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) continue;
        const uintmax_t size = std::filesystem::file_size(path, ec);
        if (ec || size == 0) continue;
        ReportEntry entry;
        entry.FullPath = platform::Utf8ToUtf16(path);
        entry.Description = kind.Description;
        entry.SizeText = ReportSizeText(size, thousandsSeparator);
        entry.TypeText = kind.TypeText;
        entry.Send = 1;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::u16string ReportSizeText(uint64_t bytes, std::u16string_view thousandsSeparator) {
    // Rounded to the nearest KB without overflowing for the largest sizes.
    uint64_t kb = bytes / 1024 + (bytes % 1024 >= 512 ? 1 : 0);
    if (kb == 0) kb = 1;
    const std::string digits = std::to_string(kb);
    std::u16string text;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += thousandsSeparator;
        text += static_cast<char16_t>(digits[i]);
    }
    text += u" KB ";
    return text;
}

std::u16string ReportFileName(std::u16string_view path) {
    const size_t slash = path.rfind(u'/');
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}
