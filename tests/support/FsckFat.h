// fsck.fat as the judge of a FAT32 volume: `fsck.fat -n IMAGE` must exit 0 and print nothing
// between its banner ("fsck.fat 4.2 (2021-01-31)") and its summary line ("IMAGE: 12 files,
// 40/80628 clusters"). With -n it queues its repairs in memory and some findings change only
// its text, not its exit code, so both are read.
//
// Threads: any.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct FsckResult {
    int exitCode = -1;
    std::string output;                 // standard output and standard error, in order
    std::vector<std::string> findings;  // the lines between banner and summary (blank ones dropped)
    bool sawBanner = false;
    bool sawSummary = false;
    // Exit 0, banner and summary seen, nothing in between.
    bool Clean() const { return exitCode == 0 && sawBanner && sawSummary && findings.empty(); }
};

// Judges fsck.fat's output (exposed for tests of the judging itself).
FsckResult ParseFsckFat(int exitCode, const std::string& output);

// Runs `fsck.fat -n IMAGE` (never changes the image).
FsckResult FsckFat(const std::string& image);

// The same run for a FAT32 volume of fewer than 65,525 clusters, as test-sized volumes are:
// the warning fsck.fat gives about that cluster count (its three lines) is dropped from the
// findings, so Clean() judges everything else.
FsckResult FsckSmallFat(const std::string& image);

}  // namespace testsupport
