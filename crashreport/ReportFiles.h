// The files a crash report offers and their size texts.
//
// A report offers, in this order and each only when it exists and is not empty, the log
// "log.log" and the dump "dump0.dmp" of the executable's directory. The report window lists
// them as ReportEntry records, the contents window lets the user take some out (Send), and
// the Send button hands them to SendErrorReport.
//
// Threads: any thread; nothing here has state. No Qt, so that unit tests check it in every
// build.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crashreport/ReportEntry.h"

// The files a report offers, by name, with their description and type text.
struct ReportFileKind {
    const char* FileName;
    const char16_t* Description;
    const char16_t* TypeText;
};
inline constexpr ReportFileKind kReportFiles[] = {
    {"log.log", u"log file", u"Text Document"},
    {"dump0.dmp", u"crash dump file", u"DMP File"},
};

// The entries for the files of kReportFiles that exist in `directory` (ending in '/') as
// regular files and are not empty, in kReportFiles' order, each to be sent (Send 1) and with
// its size text written with `thousandsSeparator`.
std::vector<ReportEntry> BuildReportEntries(const std::string& directory,
                                            std::u16string_view thousandsSeparator);

// A size as the report shows it: (bytes + 512) / 1024 KB, at least 1, its digits grouped by
// threes with `thousandsSeparator` (may be empty), then " KB ". 1536 bytes: u"2 KB ".
std::u16string ReportSizeText(uint64_t bytes, std::u16string_view thousandsSeparator);

// The file name of a path: what follows its last '/'.
std::u16string ReportFileName(std::u16string_view path);
