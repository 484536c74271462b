// The zip archive a crash report is mailed in, beside the executable and named after it.
//
// Each file is stored under its file name without directory, deflated unless its name ends in
// the extension of an already compressed format (".Z", ".zip", ".zoo", ".arc", ".lzh",
// ".arj", ".gz", ".tgz", letter case ignored), which is stored as it is. Every entry keeps the
// file's last-write time, clamped to 1970-01-01 .. 2037-12-31 (the range of the 32-bit Unix
// time of the extended time-stamp extra field, 0x5455, which every entry carries in its local
// and central header; the DOS time field holds the same time, or 1980-01-01 for times before
// the DOS epoch).
//
// Threads: any thread; the functions keep no state. BuildReportArchive blocks while it
// compresses.
#pragma once

#include <string>
#include <vector>

#include "crashreport/ReportEntry.h"

// The application's name in the report's texts: the executable's file name up to (not
// including) its last dot ("/opt/velundra/velundra" -> "velundra").
std::string ReportApplicationName(const std::string& executablePath);

// The archive's path: the executable's directory, the application name, ".zip"
// ("/opt/velundra/velundra" -> "/opt/velundra/velundra.zip").
std::string ReportArchivePath(const std::string& executablePath);

struct ReportArchiveResult {
    int FilesAdded = 0;  // files packed; 0 leaves no archive behind (nor touches an old one)
    bool Written = true; // false: the archive could not be created or completed
    std::string Error;   // when not written: what failed, for the log (UTF-8)
};

// Packs every entry whose send flag is set and whose file can be opened into a new archive at
// `archivePath` (UTF-8), replacing any archive there. The archive is created with the first
// file; entries whose file has vanished or cannot be read are skipped. When writing fails,
// FilesAdded is 0 and an archive that was there before is left as it was.
ReportArchiveResult BuildReportArchive(const std::vector<ReportEntry>& entries,
                                       const std::string& archivePath);
