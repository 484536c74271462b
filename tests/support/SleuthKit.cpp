#include "tests/support/SleuthKit.h"

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "tests/support/Command.h"

namespace testsupport {
namespace {

// Splits text into lines, dropping only the line ends (names may end in blanks).
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

[[noreturn]] void Unexpected(const char* tool, const std::string& line) {
    throw std::runtime_error(std::string("unexpected ") + tool + " line: " + line);
}

uint64_t ToU64(const std::string& s, const char* tool, const std::string& line) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos) Unexpected(tool, line);
    return std::stoull(s);
}

int64_t ToI64(const std::string& s, const char* tool, const std::string& line) {
    if (!s.empty() && s[0] == '-') return -static_cast<int64_t>(ToU64(s.substr(1), tool, line));
    return static_cast<int64_t>(ToU64(s, tool, line));
}

bool StripSuffix(std::string& s, const std::string& suffix) {
    if (s.size() < suffix.size() || s.compare(s.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    s.erase(s.size() - suffix.size());
    return true;
}

std::string LastComponent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string TopComponent(const std::string& path) { return path.substr(0, path.find('/')); }

std::vector<BodyEntry> RunFlsBody(const std::vector<std::string>& argv) {
    const CommandResult r = RunCommand(argv);
    if (!r.Ok()) throw std::runtime_error("fls failed: " + r.Describe());
    return ParseBody(r.out);
}

TreeEntry ToTreeEntry(const BodyEntry& b) {
    TreeEntry t;
    t.path = b.path;
    t.isDir = b.IsDir();
    t.size = t.isDir ? 0 : b.size;
    t.record = b.record;
    t.atime = b.atime;
    t.mtime = b.mtime;
    t.ctime = b.ctime;
    t.crtime = b.crtime;
    return t;
}

}  // namespace

std::vector<FlsEntry> ParseFls(const std::string& text) {
    // "r/r 64-128-2:\tpath", "-/r * 16:\tpath", "r/r * 70-128-2(realloc):\tpath", "r/r 5:\tpath"
    static const std::regex head(R"(^(.)/(.) (\* )?(\d+)(?:-(\d+)-(\d+))?(\(realloc\))?:$)");
    std::vector<FlsEntry> entries;
    for (const std::string& line : Lines(text)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) Unexpected("fls", line);
        std::smatch m;
        const std::string h = line.substr(0, tab);
        if (!std::regex_match(h, m, head)) Unexpected("fls", line);
        FlsEntry e;
        e.nameType = m[1].str()[0];
        e.metaType = m[2].str()[0];
        e.deleted = m[3].matched;
        e.inode = ToU64(m[4].str(), "fls", line);
        if (m[5].matched) {
            e.attrType = static_cast<int>(ToU64(m[5].str(), "fls", line));
            e.attrId = static_cast<int>(ToU64(m[6].str(), "fls", line));
        }
        e.reallocated = m[7].matched;
        e.path = line.substr(tab + 1);
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<BodyEntry> ParseBody(const std::string& text) {
    std::vector<BodyEntry> entries;
    for (const std::string& line : Lines(text)) {
        // The first field and the last nine are fixed; the name is whatever lies between.
        std::vector<size_t> bars;
        for (size_t i = 0; i < line.size(); ++i)
            if (line[i] == '|') bars.push_back(i);
        if (bars.size() < 10) Unexpected("fls -m", line);
        const size_t nameEnd = bars[bars.size() - 9];
        std::vector<std::string> tail;
        for (size_t k = bars.size() - 9; k < bars.size(); ++k) {
            const size_t from = bars[k] + 1;
            const size_t to = k + 1 < bars.size() ? bars[k + 1] : line.size();
            tail.push_back(line.substr(from, to - from));
        }
        BodyEntry e;
        std::string name = line.substr(bars[0] + 1, nameEnd - bars[0] - 1);
        e.deleted = StripSuffix(name, " (deleted)") || StripSuffix(name, " (deleted-realloc)");
        e.fileNameAttr = StripSuffix(name, " ($FILE_NAME)");
        e.volumeLabel = StripSuffix(name, " (Volume Label Entry)");
        if (!name.empty() && name[0] == '/') name.erase(0, 1);
        e.path = name;
        e.inode = tail[0];
        e.record = ToU64(e.inode.substr(0, e.inode.find('-')), "fls -m", line);
        e.mode = tail[1];
        e.size = ToU64(tail[4], "fls -m", line);
        e.atime = ToI64(tail[5], "fls -m", line);
        e.mtime = ToI64(tail[6], "fls -m", line);
        e.ctime = ToI64(tail[7], "fls -m", line);
        e.crtime = ToI64(tail[8], "fls -m", line);
        entries.push_back(std::move(e));
    }
    return entries;
}

Tree NtfsTree(const std::string& image) {
    const std::vector<BodyEntry> body = RunFlsBody({"fls", "-f", "ntfs", "-r", "-p", "-m", "/", image});
    // System files are the records below 16; whatever lies below one of them ($Extend's
    // $Quota, $ObjId, ...) is part of the system too, whatever its own record number.
    std::set<std::string> systemTops;
    for (const BodyEntry& b : body)
        if (b.path.find('/') == std::string::npos && (b.record < 16 || b.IsVirtual()))
            systemTops.insert(b.path);
    Tree tree;
    for (const BodyEntry& b : body) {
        if (b.deleted || b.fileNameAttr || b.IsVirtual() || b.record < 16) continue;
        if (systemTops.count(TopComponent(b.path))) continue;
        if (LastComponent(b.path).find(':') != std::string::npos) continue;  // a named stream
        tree[b.path] = ToTreeEntry(b);
    }
    return tree;
}

namespace {

// `fls -r` on FAT also searches the whole data area for orphan files, which on a sparse
// image of several GiB takes longer than everything else; such images are listed one folder
// at a time (the lists are the same).
constexpr uint64_t kRecursiveFlsBytes = uint64_t{1} << 30;

std::vector<BodyEntry> FatBodyByFolder(const std::string& image) {
    std::vector<BodyEntry> body;
    std::vector<std::pair<std::string, std::string>> folders{{"/", ""}};  // prefix, inode
    while (!folders.empty()) {
        auto [prefix, inode] = folders.back();
        folders.pop_back();
        std::vector<std::string> argv{"fls", "-f", "fat32", "-p", "-m", prefix, "-z", "UTC", image};
        if (!inode.empty()) argv.push_back(inode);
        for (BodyEntry& b : RunFlsBody(argv)) {
            if (b.IsDir() && !b.deleted && !b.IsVirtual()) folders.emplace_back("/" + b.path + "/", b.inode);
            body.push_back(std::move(b));
        }
    }
    return body;
}

}  // namespace

Tree FatTree(const std::string& image) {
    std::error_code error;
    const uint64_t bytes = std::filesystem::file_size(image, error);
    const std::vector<BodyEntry> body =
        !error && bytes > kRecursiveFlsBytes
            ? FatBodyByFolder(image)
            : RunFlsBody({"fls", "-f", "fat32", "-r", "-p", "-m", "/", "-z", "UTC", image});
    Tree tree;
    for (const BodyEntry& b : body) {
        if (b.deleted || b.volumeLabel || b.IsVirtual()) continue;
        tree[b.path] = ToTreeEntry(b);
    }
    return tree;
}

const IstatAttribute* IstatNtfs::UnnamedData() const {
    for (const IstatAttribute& a : attributes)
        if (a.type == 128 && a.name.empty()) return &a;
    return nullptr;
}

IstatNtfs ParseIstatNtfs(const std::string& text) {
    static const std::regex entry(R"(^Entry: (\d+)\s+Sequence: (\d+))");
    static const std::regex links(R"(^Links: (\d+))");
    static const std::regex listEntry(R"(^Type: (\d+)-(\d+)\s+MFT Entry: (\d+)\s+VCN: (\d+))");
    static const std::regex attr(
        R"(^Type: (\S+) \((\d+)-(\d+)\)\s+Name: (.*?)\s+(Resident|Non-Resident)((?:, [A-Za-z]+)*)\s+size: (\d+)(?:\s+init_size: (\d+))?\s*$)");
    static const std::regex parent(R"(^Parent MFT Entry: (\d+))");
    static const std::regex actual(R"(Actual Size: (\d+))");
    static const std::regex clusters(R"(^[0-9 ]+$)");

    IstatNtfs info;
    enum class Section { Header, FileName, AttrList, Attributes, Other } section = Section::Header;
    for (const std::string& line : Lines(text)) {
        std::smatch m;
        if (line == "Allocated File") {
            info.allocated = true;
        } else if (std::regex_search(line, m, entry)) {
            info.entry = ToU64(m[1], "istat", line);
            info.sequence = static_cast<uint32_t>(ToU64(m[2], "istat", line));
        } else if (std::regex_search(line, m, links)) {
            info.links = static_cast<uint32_t>(ToU64(m[1], "istat", line));
        } else if (line == "$FILE_NAME Attribute Values:") {
            section = Section::FileName;
            info.names.emplace_back();
        } else if (line == "$ATTRIBUTE_LIST Attribute Values:") {
            section = Section::AttrList;
        } else if (line.rfind("Attributes:", 0) == 0) {
            section = Section::Attributes;
        } else if (line.size() > 1 && line.back() == ':' && line[0] == '$') {
            section = Section::Other;  // "$STANDARD_INFORMATION Attribute Values:" and the like
        } else if (section == Section::FileName) {
            if (line.rfind("Name: ", 0) == 0)
                info.names.back().name = line.substr(6);
            else if (std::regex_search(line, m, parent))
                info.names.back().parent = ToU64(m[1], "istat", line);
            else if (std::regex_search(line, m, actual))
                info.names.back().actualSize = ToU64(m[1], "istat", line);
        } else if (section == Section::AttrList && std::regex_search(line, m, listEntry)) {
            IstatListEntry e;
            e.type = static_cast<uint32_t>(ToU64(m[1], "istat", line));
            e.id = static_cast<uint32_t>(ToU64(m[2], "istat", line));
            e.record = ToU64(m[3], "istat", line);
            e.vcn = ToU64(m[4], "istat", line);
            info.attributeList.push_back(e);
        } else if (section == Section::Attributes) {
            if (std::regex_match(line, m, attr)) {
                IstatAttribute a;
                a.typeName = m[1];
                a.type = static_cast<uint32_t>(ToU64(m[2], "istat", line));
                a.id = static_cast<uint32_t>(ToU64(m[3], "istat", line));
                a.name = m[4] == "N/A" ? "" : m[4].str();
                a.resident = m[5] == "Resident";
                a.flags = m[6];
                a.size = ToU64(m[7], "istat", line);
                if (m[8].matched) a.initSize = ToU64(m[8], "istat", line);
                info.attributes.push_back(std::move(a));
            } else if (std::regex_match(line, clusters) && !info.attributes.empty()) {
                std::istringstream numbers(line);
                uint64_t c;
                while (numbers >> c) info.attributes.back().clusters.push_back(c);
            } else {
                Unexpected("istat", line);
            }
        }
    }
    return info;
}

IstatNtfs IstatNtfsRecord(const std::string& image, uint64_t record) {
    const CommandResult r = RunCommand({"istat", "-f", "ntfs", image, std::to_string(record)});
    if (!r.Ok()) throw std::runtime_error("istat failed: " + r.Describe());
    return ParseIstatNtfs(r.out);
}

}  // namespace testsupport
