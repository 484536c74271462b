#include "platform/DriveTable.h"

#include "platform/Process.h"

#include <blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform {

namespace {

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Trim(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    return s.substr(i);
}

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        auto octal = [&](size_t k) { return s[k] >= '0' && s[k] <= '7'; };
        if (s[i] == '\\' && i + 3 < s.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

bool ParseMajorMinor(const std::string& text, unsigned* major, unsigned* minor) {
    unsigned a = 0, b = 0;
    char colon = 0;
    std::istringstream in(text);
    if (!(in >> a >> colon >> b) || colon != ':') return false;
    *major = a;
    *minor = b;
    return true;
}

// The real path of an existing file, else the path as given.
std::string Canonical(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// /dev/<name> of a block device number, when the kernel knows one.
std::string BlockDevicePath(unsigned major, unsigned minor) {
    char link[PATH_MAX];
    std::string sys = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    ssize_t n = readlink(sys.c_str(), link, sizeof(link) - 1);
    if (n <= 0) return {};
    link[n] = 0;
    const char* slash = std::strrchr(link, '/');
    return std::string("/dev/") + (slash ? slash + 1 : link);
}

// The device a mount stands on: its block device, else an absolute source (an image file
// under ntfs-3g), else the source as it stands.
std::string DeviceOfMount(const MountEntry& m) {
    if (m.major != 0) {
        std::string dev = BlockDevicePath(m.major, m.minor);
        if (!dev.empty()) return dev;
    }
    return m.source;
}

// The file behind a loop device, "" when it is not one or has none.
std::string LoopBackingFile(const std::string& devicePath) {
    std::string name = devicePath.substr(devicePath.rfind('/') + 1);
    if (name.rfind("loop", 0) != 0) return {};
    return Trim(ReadWholeFile("/sys/block/" + name + "/loop/backing_file"));
}

bool SameFile(const struct stat& a, const struct stat& b) {
    if (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode)) return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Compares names by their runs of digits as numbers: sda2 < sda10.
bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t i2 = i, j2 = j;
            while (i2 < a.size() && std::isdigit(static_cast<unsigned char>(a[i2]))) ++i2;
            while (j2 < b.size() && std::isdigit(static_cast<unsigned char>(b[j2]))) ++j2;
            std::string x = a.substr(i, i2 - i), y = b.substr(j, j2 - j);
            x.erase(0, std::min(x.find_first_not_of('0'), x.size()));
            y.erase(0, std::min(y.find_first_not_of('0'), y.size()));
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            i = i2;
            j = j2;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::string> MountPointsIn(const std::vector<MountEntry>& mounts, const std::string& devicePath) {
    std::vector<std::string> out;
    auto add = [&out](const std::string& mp) {
        if (std::find(out.begin(), out.end(), mp) == out.end()) out.push_back(mp);
    };
    struct stat target {};
    if (stat(devicePath.c_str(), &target) != 0) {
        // Not a file here: only a mount that names it literally ("overlay").
        for (const MountEntry& m : mounts)
            if (m.source == devicePath) add(m.mountPoint);
        return out;
    }

    // Device numbers whose mounts belong to this volume: the block device itself, or
    // every loop device backed by this image file.
    std::vector<dev_t> numbers;
    if (S_ISBLK(target.st_mode)) {
        numbers.push_back(target.st_rdev);
    } else if (S_ISREG(target.st_mode)) {
        if (DIR* d = opendir("/sys/block")) {
            while (dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name.rfind("loop", 0) != 0) continue;
                std::string backing = LoopBackingFile("/dev/" + name);
                struct stat bs {};
                if (backing.empty() || stat(backing.c_str(), &bs) != 0 || !SameFile(bs, target)) continue;
                unsigned ma = 0, mi = 0;
                if (ParseMajorMinor(ReadWholeFile("/sys/block/" + name + "/dev"), &ma, &mi))
                    numbers.push_back(makedev(ma, mi));
            }
            closedir(d);
        }
    }

    // A whole disk (or a loop device with partitions) is in use while any of its partitions
    // is mounted: converting one of them, or the whole, writes where that file system lives.
    const size_t wholes = numbers.size();
    for (size_t i = 0; i < wholes; ++i) {
        const std::string node = "/sys/dev/block/" + std::to_string(major(numbers[i])) + ":" + std::to_string(minor(numbers[i]));
        if (DIR* d = opendir(node.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string child = node + "/" + e->d_name;
                unsigned ma = 0, mi = 0;
                if (e->d_name[0] == '.' || access((child + "/partition").c_str(), F_OK) != 0) continue;
                if (ParseMajorMinor(ReadWholeFile(child + "/dev"), &ma, &mi)) numbers.push_back(makedev(ma, mi));
            }
            closedir(d);
        }
    }

    for (const MountEntry& m : mounts) {
        bool mine = std::find(numbers.begin(), numbers.end(), makedev(m.major, m.minor)) != numbers.end();
        struct stat ss {};
        if (!mine && !m.source.empty() && m.source[0] == '/' && stat(m.source.c_str(), &ss) == 0)
            mine = SameFile(ss, target);
        if (mine) add(m.mountPoint);
    }
    return out;
}

std::string SystemDeviceIn(const std::vector<MountEntry>& mounts) {
    struct stat root {};
    if (stat("/", &root) == 0) {
        std::string dev = BlockDevicePath(major(root.st_dev), minor(root.st_dev));
        if (!dev.empty()) return dev;
    }
    // No block device under "/": take the topmost mount of "/" as it names itself.
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it)
        if (it->mountPoint == "/") return it->source;
    return {};
}

// Letter overrides from VELUNDRA_DRIVES, "E=/path/img;F=/dev/sdc1".
std::vector<std::pair<char, std::string>> DriveOverrides() {
    std::vector<std::pair<char, std::string>> out;
    const char* env = std::getenv("VELUNDRA_DRIVES");
    if (!env) return out;
    std::string all = env;
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(';', start);
        if (end == std::string::npos) end = all.size();
        std::string piece = Trim(all.substr(start, end - start));
        start = end + 1;
        if (piece.size() < 3 || piece[1] != '=') continue;
        char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(piece[0])));
        std::string path = Trim(piece.substr(2));
        if (letter < 'A' || letter > 'Z' || path.empty()) continue;
        out.emplace_back(letter, path);
    }
    return out;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(const std::string& text) {
    // id parent major:minor root mountpoint options [optional fields...] - fstype source superoptions
    std::vector<MountEntry> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::vector<std::string> f;
        for (std::string w; in >> w;) f.push_back(w);
        auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 6 || dash == f.end() || dash - f.begin() < 6 || f.end() - dash < 3) continue;
        MountEntry m;
        if (!ParseMajorMinor(f[2], &m.major, &m.minor)) continue;
        m.mountPoint = Unescape(f[4]);
        m.fsType = Unescape(*(dash + 1));
        m.source = Unescape(*(dash + 2));
        out.push_back(std::move(m));
    }
    return out;
}

std::vector<MountEntry> ReadMountInfo() { return ParseMountInfo(ReadWholeFile("/proc/self/mountinfo")); }

std::string SystemVolumeDevice() { return SystemDeviceIn(ReadMountInfo()); }

std::vector<std::string> MountPointsOf(const std::string& devicePath) {
    return MountPointsIn(ReadMountInfo(), devicePath);
}

std::optional<VolumeLocation> VolumeOfPath(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    const std::string real = Canonical(path);
    const unsigned ma = major(st.st_dev), mi = minor(st.st_dev);
    // The mount with the file's device number whose mount point is the longest prefix of
    // the file's real path (a later mount of the same length hides an earlier one).
    const MountEntry* best = nullptr;
    std::vector<MountEntry> mounts = ReadMountInfo();
    for (const MountEntry& m : mounts) {
        if (m.major != ma || m.minor != mi) continue;
        const std::string& mp = m.mountPoint;
        bool under = mp == "/" || real == mp || (real.rfind(mp, 0) == 0 && real.size() > mp.size() && real[mp.size()] == '/');
        if (under && (!best || mp.size() >= best->mountPoint.size())) best = &m;
    }
    if (!best) return std::nullopt;
    return VolumeLocation{DeviceOfMount(*best), best->mountPoint};
}

std::optional<VolumeLocation> ExecutableVolume() { return VolumeOfPath("/proc/self/exe"); }

std::vector<std::string> LoopDevicesOf(const std::string& imagePath) {
    std::vector<std::string> out;
    struct stat target {};
    if (stat(imagePath.c_str(), &target) != 0 || !S_ISREG(target.st_mode)) return out;
    std::vector<std::string> names;
    if (DIR* d = opendir("/sys/block")) {
        while (dirent* e = readdir(d))
            if (std::strncmp(e->d_name, "loop", 4) == 0) names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    for (const std::string& name : names) {
        std::string backing = LoopBackingFile("/dev/" + name);
        struct stat bs {};
        if (!backing.empty() && stat(backing.c_str(), &bs) == 0 && SameFile(bs, target)) out.push_back("/dev/" + name);
    }
    return out;
}

std::vector<std::string> MountThroughUdisks(const std::string& devicePath) {
    struct stat st {};
    if (stat(devicePath.c_str(), &st) != 0) return {};
    std::string block = devicePath;
    if (S_ISREG(st.st_mode)) {
        std::vector<std::string> loops = LoopDevicesOf(devicePath);
        if (loops.empty()) {
            RunProgram("udisksctl", {"loop-setup", "--no-user-interaction", "-f", devicePath}, ChildOutput::Discard);
            loops = LoopDevicesOf(devicePath);
        }
        if (loops.empty()) return {};
        block = loops.front();
        // udisks may mount a new loop device by itself; then nothing is left to do.
        if (!MountPointsOf(devicePath).empty()) return MountPointsOf(devicePath);
    }
    RunProgram("udisksctl", {"mount", "--no-user-interaction", "-b", block}, ChildOutput::Discard);
    return MountPointsOf(devicePath);
}

bool SameVolume(const std::string& a, const std::string& b) {
    // Follow loop devices to their files, so an image and its loop device compare equal.
    auto resolve = [](const std::string& p) {
        std::string backing = LoopBackingFile(Canonical(p));
        return backing.empty() ? p : backing;
    };
    struct stat sa {}, sb {};
    std::string ra = resolve(a), rb = resolve(b);
    if (stat(ra.c_str(), &sa) != 0 || stat(rb.c_str(), &sb) != 0) return ra == rb;
    return SameFile(sa, sb);
}

std::string FileSystemName(const std::string& type, const std::string& version) {
    if (type == "ntfs") return "NTFS";
    if (type == "vfat" || type == "msdos") return version == "FAT32" ? "FAT32" : "FAT";
    if (type == "exfat") return "exFAT";
    return type;
}

VolumeProbe ProbeVolume(const std::string& devicePath) {
    VolumeProbe out;
    blkid_probe probe = blkid_new_probe_from_filename(devicePath.c_str());
    if (probe == nullptr) return out;
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(
        probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_USAGE);
    // The partition-table probes stay off: a whole disk with partitions is no volume, and a
    // safe probe reports a file system only when exactly one signature matches.
    blkid_probe_enable_partitions(probe, 0);
    if (blkid_do_safeprobe(probe) == 0) {
        auto value = [probe](const char* name) {
            const char* data = nullptr;
            size_t length = 0;
            if (blkid_probe_lookup_value(probe, name, &data, &length) != 0 || data == nullptr) return std::string();
            return std::string(data, strnlen(data, length));
        };
        // RAID members, encrypted containers and swap carry no files.
        if (value("USAGE") == "filesystem") {
            out.fileSystem = FileSystemName(value("TYPE"), value("VERSION"));
            out.label = value("LABEL");
        }
    }
    blkid_free_probe(probe);
    return out;
}

std::string ProbeFileSystem(const std::string& devicePath) { return ProbeVolume(devicePath).fileSystem; }

bool MountedSpace(const std::string& mountPoint, uint64_t* totalBytes, uint64_t* freeBytes) {
    struct statvfs st {};
    if (statvfs(mountPoint.c_str(), &st) != 0) return false;
    const uint64_t unit = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
    *totalBytes = static_cast<uint64_t>(st.f_blocks) * unit;
    *freeBytes = static_cast<uint64_t>(st.f_bfree) * unit;
    return true;
}

std::vector<DriveEntry> DriveTable() {
    // 1. C: the system volume.
    // 2. D..Z: the other block devices with a file system or a mount, in name order.
    // 3. VELUNDRA_DRIVES adds or replaces letters.
    std::vector<MountEntry> mounts = ReadMountInfo();
    std::vector<DriveEntry> table;
    auto makeEntry = [&mounts](char letter, const std::string& path, std::optional<VolumeProbe> found = {}) {
        VolumeProbe probe = found ? *found : ProbeVolume(path);
        DriveEntry e;
        e.letter = letter;
        e.devicePath = path;
        e.mountPoints = MountPointsIn(mounts, path);
        e.fileSystem = std::move(probe.fileSystem);
        e.label = std::move(probe.label);
        return e;
    };

    std::string system = SystemDeviceIn(mounts);
    if (!system.empty()) table.push_back(makeEntry('C', system));

    std::vector<std::string> names;
    if (DIR* d = opendir("/sys/class/block")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    struct stat rootSt {};
    bool haveRoot = stat("/", &rootSt) == 0;
    char next = 'D';
    for (const std::string& name : names) {
        if (next > 'Z') break;
        unsigned ma = 0, mi = 0;
        if (!ParseMajorMinor(ReadWholeFile("/sys/class/block/" + name + "/dev"), &ma, &mi)) continue;
        if (haveRoot && makedev(ma, mi) == rootSt.st_dev) continue;  // that is C
        if (std::atoll(ReadWholeFile("/sys/class/block/" + name + "/size").c_str()) <= 0) continue;
        bool mounted = std::any_of(mounts.begin(), mounts.end(),
                                   [&](const MountEntry& m) { return m.major == ma && m.minor == mi; });
        std::string path = "/dev/" + name;
        VolumeProbe probe = ProbeVolume(path);
        if (!mounted && probe.fileSystem.empty()) continue;
        table.push_back(makeEntry(next++, path, std::move(probe)));
    }

    for (const auto& [letter, path] : DriveOverrides()) {
        auto it = std::find_if(table.begin(), table.end(), [l = letter](const DriveEntry& e) { return e.letter == l; });
        if (it != table.end())
            *it = makeEntry(letter, path);
        else
            table.push_back(makeEntry(letter, path));
    }
    std::sort(table.begin(), table.end(), [](const DriveEntry& a, const DriveEntry& b) { return a.letter < b.letter; });
    return table;
}

std::optional<DriveEntry> LookupDrive(char letter) {
    char want = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    for (DriveEntry& e : DriveTable())
        if (e.letter == want) return std::move(e);
    return std::nullopt;
}

}  // namespace platform
