#include "tests/support/NtfsLs.h"

#include <sstream>
#include <stdexcept>

namespace testsupport {

std::vector<NtfsLsEntry> ParseNtfsLs(const std::string& text) {
    std::vector<NtfsLsEntry> entries;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        const size_t t1 = line.find('\t');
        const size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
        if (t2 == std::string::npos) throw std::runtime_error("unexpected ntfsls line: " + line);
        const std::string rec = line.substr(0, t1), size = line.substr(t1 + 1, t2 - t1 - 1);
        if (rec.empty() || size.empty() || rec.find_first_not_of("0123456789") != std::string::npos ||
            size.find_first_not_of("0123456789") != std::string::npos)
            throw std::runtime_error("unexpected ntfsls line: " + line);
        NtfsLsEntry e;
        e.record = std::stoull(rec);
        e.size = std::stoull(size);
        e.path = line.substr(t2 + 1);
        if (!e.path.empty() && e.path.front() == '/') e.path.erase(0, 1);
        if (!e.path.empty() && e.path.back() == '/') {
            e.isDir = true;
            e.path.pop_back();
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<NtfsLsEntry> RunNtfsLs(const std::string& image, CommandResult* raw) {
    CommandOptions options;
    options.timeoutSeconds = 600;
    const CommandResult r = RunCommand({ToolPath("ntfsls"), image}, options);
    if (raw) *raw = r;
    if (!r.Ok()) return {};
    return ParseNtfsLs(r.out);
}

}  // namespace testsupport
