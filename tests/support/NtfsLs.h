// velundra-ntfsls, the reader's own listing of an NTFS volume: one line per name,
// "record<TAB>data size<TAB>path", directories with a trailing "/"; system files (records
// below 16) and DOS-only names are left out.
//
// Threads: any.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/Command.h"

namespace testsupport {

struct NtfsLsEntry {
    uint64_t record = 0;
    uint64_t size = 0;
    std::string path;  // relative to the root, without leading or trailing "/"
    bool isDir = false;
};

// Parses the listing; throws std::runtime_error on a malformed line.
std::vector<NtfsLsEntry> ParseNtfsLs(const std::string& text);

// Runs velundra-ntfsls on an image. The raw result is returned in *raw when given (exit
// code, messages); the listing is parsed only when the tool succeeded.
std::vector<NtfsLsEntry> RunNtfsLs(const std::string& image, CommandResult* raw = nullptr);

}  // namespace testsupport
