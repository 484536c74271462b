#include "tests/support/ConvertedVolume.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "tests/support/Command.h"
#include "tests/support/FsckFat.h"
#include "tests/support/Sha256.h"
#include "tests/support/SleuthKit.h"

namespace testsupport {
namespace {

// 1980-01-01 00:00:00 and 2108-01-01 00:00:00 UTC: the range of a DOS date.
constexpr int64_t kDosFirstSecond = 315532800;
constexpr int64_t kDosEndSecond = 4354819200;

// At most this many offending paths are spelled out per check; the count is always given.
constexpr size_t kListedPerCheck = 40;

// One EXPECT for one kind of discrepancy, listing the offenders.
void ExpectNone(const std::vector<std::string>& offenders, const std::string& what,
                const std::string& image) {
    if (offenders.empty()) return;
    std::ostringstream m;
    m << offenders.size() << " " << what << " (" << image << "):";
    for (size_t i = 0; i < offenders.size() && i < kListedPerCheck; ++i) m << "\n  " << offenders[i];
    if (offenders.size() > kListedPerCheck)
        m << "\n  ... and " << offenders.size() - kListedPerCheck << " more";
    ADD_FAILURE() << m.str();
}

// Unix seconds as "YYYY-MM-DD hh:mm:ss (seconds)", civil calendar in UTC.
std::string TimeText(int64_t seconds) {
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    // Days since 1970-01-01 to year, month, day (proleptic Gregorian, eras of 400 years).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld (%lld)",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60),
                  static_cast<long long>(seconds));
    return buf;
}

// FAT times are read back as UTC; they equal the NTFS times only when the conversion's
// local zone is UTC too.
bool ZoneIsUtc() {
    const char* tz = std::getenv("TZ");
    if (!tz) return false;
    static const std::set<std::string> utc = {"UTC", "UTC0", ":UTC", "Etc/UTC", ":Etc/UTC",
                                              "GMT", "GMT0", ":GMT", "UCT", "Universal"};
    return utc.count(tz) > 0;
}

std::string LastComponent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsBelow(const std::string& path, const std::string& dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           path[dir.size()] == '/';
}

// The Sleuth Kit drops the first long-name entry of a FAT name (the one holding its last
// units) when the name has more than 15 entries (195 UTF-16 units): a name of n such entries
// shows as its first 13 * (n - 1) units (196 to 208 units show 195, 255 show 247). mdir reads
// such names whole, so they are still checked in full there.
constexpr size_t kLfnUnits = 13;
constexpr size_t kTskWholeEntries = 15;

size_t Utf8Length(unsigned char lead) { return lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1; }

// UTF-16 units of one path component (UTF-8).
size_t Utf16Units(std::string_view component) {
    size_t units = 0;
    for (size_t i = 0; i < component.size(); i += Utf8Length(static_cast<unsigned char>(component[i])))
        units += Utf8Length(static_cast<unsigned char>(component[i])) == 4 ? 2 : 1;
    return units;
}

// The path as fls shows it on FAT: each component of more than 15 entries cut as above.
std::string AsTskShowsOnFat(const std::string& path) {
    std::string out;
    size_t from = 0;
    while (from <= path.size()) {
        size_t end = path.find('/', from);
        if (end == std::string::npos) end = path.size();
        const std::string_view component(path.data() + from, end - from);
        const size_t units = Utf16Units(component);
        const size_t entries = (units + kLfnUnits - 1) / kLfnUnits;
        const size_t shown = entries > kTskWholeEntries ? kLfnUnits * (entries - 1) : units;
        size_t taken = 0;
        for (size_t i = 0; i < component.size();) {
            size_t len = Utf8Length(static_cast<unsigned char>(component[i]));
            if (i + len > component.size()) len = component.size() - i;
            taken += len == 4 ? 2 : 1;
            if (taken > shown) break;
            out.append(component.substr(i, len));
            i += len;
        }
        if (end == path.size()) break;
        out += '/';
        from = end + 1;
    }
    return out;
}

// The first "Flags:" line of istat is that of $STANDARD_INFORMATION.
bool HiddenOrSystem(const std::string& image, uint64_t record) {
    const CommandResult r = RunCommand({"istat", "-f", "ntfs", image, std::to_string(record)});
    if (!r.Ok()) throw std::runtime_error("istat failed: " + r.Describe());
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Flags:", 0) == 0)
            return line.find("Hidden") != std::string::npos ||
                   line.find("System") != std::string::npos;
    }
    return false;
}

// Whether mtools shows a name as it is: every character within the BMP and allowed in a
// long name. A path qualifies when all its components do.
bool MtoolsShowsAsIs(const std::string& path) {
    for (size_t i = 0; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (c >= 0xF0) return false;  // a 4-byte UTF-8 sequence: outside the BMP
        if (c < 0x20 || std::string_view("\"*:<>?\\|").find(static_cast<char>(c)) !=
                            std::string_view::npos)
            return false;
    }
    return true;
}

}  // namespace

size_t NtfsSnapshot::Files() const {
    size_t n = 0;
    for (const auto& [path, e] : entries) n += e.isDir ? 0 : 1;
    return n;
}

size_t NtfsSnapshot::Directories() const { return entries.size() - Files(); }

std::string IcatSha256(const std::string& fsType, const std::string& image, uint64_t inode) {
    Sha256 hash;
    const CommandResult r = RunCommandStreaming(
        {"icat", "-f", fsType, image, std::to_string(inode)},
        [&hash](const char* data, size_t bytes) { hash.Update(data, bytes); });
    if (!r.Ok())
        throw std::runtime_error("icat -f " + fsType + " " + image + " " + std::to_string(inode) +
                                 " failed: " + r.Describe());
    return hash.FinalHex();
}

NtfsSnapshot TakeNtfsSnapshot(const std::string& image) {
    NtfsSnapshot snap;
    snap.image = image;
    const Tree tree = NtfsTree(image);

    // The conversion skips these two folders when they are marked hidden or system.
    std::vector<std::string> skipped;
    for (const auto& [path, t] : tree) {
        const std::string name = LastComponent(path);
        if (t.isDir && (name == "System Volume Information" || name == "$RECYCLE.BIN") &&
            HiddenOrSystem(image, t.record))
            skipped.push_back(path);
    }

    std::map<uint64_t, std::string> hashOfRecord;  // hard links share their bytes
    for (const auto& [path, t] : tree) {
        bool skip = false;
        for (const std::string& s : skipped) skip = skip || path == s || IsBelow(path, s);
        if (skip) continue;
        NtfsSnapshotEntry e;
        e.path = path;
        e.isDir = t.isDir;
        e.size = t.size;
        e.mtime = t.mtime;
        e.record = t.record;
        if (!e.isDir && t.size == 0) {
            e.sha256 = Sha256Hex("");  // nothing to read: spares a tool run per empty file
        } else if (!e.isDir) {
            auto it = hashOfRecord.find(t.record);
            if (it == hashOfRecord.end())
                it = hashOfRecord.emplace(t.record, IcatSha256("ntfs", image, t.record)).first;
            e.sha256 = it->second;
        }
        snap.entries.emplace(path, std::move(e));
    }
    return snap;
}

int64_t ExpectedFatMtime(int64_t ntfsSeconds) {
    if (ntfsSeconds < kDosFirstSecond || ntfsSeconds >= kDosEndSecond) return 0;
    return ntfsSeconds - ntfsSeconds % 2;
}

std::vector<std::string> MtoolsPaths(const std::string& image) {
    CommandOptions options;
    options.env = {{"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}};
    // -a: hidden and system files are listed too.
    const CommandResult r = RunCommand({"mdir", "-/", "-b", "-a", "-i", image, "::/"}, options);
    // An empty root is reported as a root that is "not found".
    if (!r.Ok() && r.out.empty() && r.err.find("not found") != std::string::npos) return {};
    if (!r.Ok()) throw std::runtime_error("mdir failed: " + r.Describe());
    std::vector<std::string> paths;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line.rfind("::/", 0) != 0) throw std::runtime_error("unexpected mdir line: " + line);
        paths.push_back(line.substr(3));
    }
    return paths;
}

void ExpectConvertedVolumeMatches(const NtfsSnapshot& before, const std::string& fatImage) {
    // 1. fsck.fat.
    const FsckResult fsck = FsckFat(fatImage);
    EXPECT_TRUE(fsck.Clean()) << "fsck.fat -n does not pass " << fatImage << ": exit "
                              << fsck.exitCode << (fsck.sawBanner ? "" : ", no banner")
                              << (fsck.sawSummary ? "" : ", no summary") << ", output:\n"
                              << fsck.output;

    // 2. The same paths.
    Tree fat;
    try {
        fat = FatTree(fatImage);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "the FAT volume cannot be listed: " << e.what();
        return;
    }
    std::map<std::string, std::string> shownAs;  // NTFS path -> the path fls shows on FAT
    std::set<std::string> expectedOnFat;
    for (const auto& [path, e] : before.entries)
        expectedOnFat.insert(shownAs[path] = AsTskShowsOnFat(path));
    std::vector<std::string> missing, extra;
    for (const auto& [path, e] : before.entries)
        if (!fat.count(shownAs[path])) missing.push_back(path + (e.isDir ? "/" : ""));
    for (const auto& [path, e] : fat)
        if (!expectedOnFat.count(path)) extra.push_back(path + (e.isDir ? "/" : ""));
    ExpectNone(missing, "paths of the NTFS volume missing from the FAT volume", fatImage);
    ExpectNone(extra, "paths on the FAT volume that the NTFS volume does not have", fatImage);

    // 3. Kind, size, time and bytes of each path both have.
    const bool compareTimes = ZoneIsUtc();
    if (!compareTimes) {
        const char* tz = std::getenv("TZ");
        ADD_FAILURE() << "modification times are compared in UTC: run with TZ=UTC (TZ is "
                      << (tz ? std::string("'") + tz + "'" : std::string("not set")) << ")";
    }
    std::vector<std::string> kind, size, mtime, bytes;
    for (const auto& [path, n] : before.entries) {
        const auto it = fat.find(shownAs[path]);
        if (it == fat.end()) continue;
        const TreeEntry& f = it->second;
        if (n.isDir != f.isDir) {
            kind.push_back(path + ": NTFS " + (n.isDir ? "directory" : "file") + ", FAT " +
                           (f.isDir ? "directory" : "file"));
            continue;
        }
        const int64_t expected = ExpectedFatMtime(n.mtime);
        if (compareTimes && f.mtime != expected)
            mtime.push_back(path + ": NTFS " + TimeText(n.mtime) + ", expected " +
                            TimeText(expected) + ", FAT " + TimeText(f.mtime));
        if (n.isDir) continue;
        if (n.size != f.size) {
            size.push_back(path + ": NTFS " + std::to_string(n.size) + ", FAT " +
                           std::to_string(f.size));
            continue;  // the bytes differ too; one finding is enough
        }
        std::string got;
        try {
            // An empty file has no bytes to compare (fsck.fat judges its chain).
            got = f.size == 0 ? Sha256Hex("") : IcatSha256("fat32", fatImage, f.record);
        } catch (const std::exception& e) {
            got = std::string("unreadable: ") + e.what();
        }
        if (got != n.sha256) bytes.push_back(path + " (FAT inode " + std::to_string(f.record) + ")");
    }
    ExpectNone(kind, "paths that changed kind", fatImage);
    ExpectNone(size, "files whose size differs", fatImage);
    ExpectNone(mtime, "paths whose modification time differs", fatImage);
    ExpectNone(bytes, "files whose bytes differ", fatImage);

    // 4. mtools as a second reader of the names.
    std::vector<std::string> listed;
    try {
        listed = MtoolsPaths(fatImage);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "mdir cannot list the FAT volume: " << e.what();
        return;
    }
    const std::set<std::string> mdir(listed.begin(), listed.end());
    std::vector<std::string> unlisted;
    for (const auto& [path, e] : before.entries) {
        const std::string shown = path + (e.isDir ? "/" : "");
        if (MtoolsShowsAsIs(path) && !mdir.count(shown)) unlisted.push_back(shown);
    }
    ExpectNone(unlisted, "paths of the NTFS volume that mdir does not list", fatImage);
    EXPECT_EQ(listed.size(), before.entries.size())
        << "mdir lists " << listed.size() << " paths on " << fatImage << ", the NTFS volume has "
        << before.entries.size();
}

void ExpectImageUnchanged(const std::string& path, const std::string& sha256Before) {
    std::string now;
    try {
        now = Sha256File(path);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "cannot hash " << path << ": " << e.what();
        return;
    }
    EXPECT_EQ(now, sha256Before) << "the image " << path << " was changed";
}

}  // namespace testsupport
