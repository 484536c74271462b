// One file the crash report offers: the log or the dump, as the report window lists it and
// the send step packs it.
//
// Threads: a plain record; whoever holds it may use it on any thread.
#pragma once

#include <cstdint>
#include <string>

struct ReportEntry {
    std::u16string FullPath;     // the file's absolute path
    std::u16string Description;  // "log file", "crash dump file"
    std::u16string SizeText;     // the size as the list shows it, e.g. u"2 KB "
    std::u16string TypeText;     // "Text Document", "DMP File"
    uint32_t Send = 1;           // 1: packed into the archive when the report is sent; 0: left out
};
