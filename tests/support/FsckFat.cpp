#include "tests/support/FsckFat.h"

#include <regex>
#include <sstream>

#include "tests/support/Command.h"

namespace testsupport {

FsckResult ParseFsckFat(int exitCode, const std::string& output) {
    static const std::regex banner(R"(^fsck\.fat \S+ \(.*\)$)");
    static const std::regex summary(R"(^.*: \d+ files, \d+/\d+ clusters$)");
    FsckResult r;
    r.exitCode = exitCode;
    r.output = output;
    std::istringstream in(output);
    std::string line;
    std::vector<std::string> between;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!r.sawBanner && std::regex_match(line, banner)) {
            r.sawBanner = true;
            continue;
        }
        if (std::regex_match(line, summary)) {
            // Whatever came before the summary is a finding; a second summary would be too.
            r.findings.insert(r.findings.end(), between.begin(), between.end());
            between.clear();
            if (r.sawSummary) r.findings.push_back(line);
            r.sawSummary = true;
            continue;
        }
        if (line.find_first_not_of(" \t") != std::string::npos) between.push_back(line);
    }
    // Lines after the summary are findings too.
    r.findings.insert(r.findings.end(), between.begin(), between.end());
    return r;
}

FsckResult FsckFat(const std::string& image) {
    CommandOptions options;
    options.mergeStderr = true;
    options.timeoutSeconds = 600;
    const CommandResult c = RunCommand({"fsck.fat", "-n", image}, options);
    return ParseFsckFat(c.exitCode, c.out);
}

FsckResult FsckSmallFat(const std::string& image) {
    FsckResult result = FsckFat(image);
    std::erase_if(result.findings, [](const std::string& line) {
        return line.find("Filesystem is FAT32 according to fat_length") != std::string::npos ||
               line.find("less than the required minimum of 65525") != std::string::npos ||
               line.find("This may lead to problems on some systems") != std::string::npos;
    });
    return result;
}

}  // namespace testsupport
