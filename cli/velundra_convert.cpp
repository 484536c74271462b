// velundra-convert: converts an NTFS block device or image file to FAT32 in place.
//
//   velundra-convert [--check [--list]] [--yes] [--quiet] [--log FILE] [--undo FILE] [--partition N] TARGET
//   velundra-convert --rollback FILE [--yes] [--quiet] [--log FILE] [--partition N] TARGET
//
// The program only parses input, asks, and shows progress; the engine does the work.
// Order of a conversion, so that nothing is written before the user agreed and the volume is
// walked once:
//  1. refuse the volume that holds this program or the running system;
//  2. lock the volume (asking once, and unmounting, when it is busy or mounted);
//  3. walk it under the lock and show what was found;
//  4. ask "Convert TARGET to FAT32? [y/N]" (or take --yes); No closes the volume untouched;
//  5. convert with the tree of step 3, still under the lock, with interrupts held back; flush
//     and release. With --undo, the undo file is created first and the rollback command
//     printed before the first write.
// --check opens the volume read-only, without a lock, walks it and checks the free space.
// --rollback puts back what an undo file saved, after checking the file and the volume.
// --partition N works on partition N of a whole disk or disk image alone; the converted
// partition's MBR type (or that of a TARGET that is itself a partition device) then names
// FAT32.
// Exit status: 0 converted (or convertible with --check), 1 refused or failed, 2 wrong usage.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "device/VolumePreparation.h"
#include "device/CVolumeDevice.h"
#include "device/PartitionType.h"
#include "engine/ConvertNtfsToFat32.h"
#include "platform/DriveTable.h"
#include "platform/PartitionTable.h"
#include "platform/RawVolume.h"
#include "platform/Terminal.h"
#include "platform/TextEncoding.h"
#include "undo/CUndoVolumeDevice.h"
#include "undo/UndoFile.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Arguments {
    bool check = false;
    bool list = false;
    bool yes = false;
    bool quiet = false;
    std::string logFile;
    std::string undoFile;      // --undo: keep an undo file of the conversion here
    std::string rollbackFile;  // --rollback: put back what this undo file saved
    uint32_t partition = 0;    // --partition: the partition of TARGET's table; 0: all of TARGET
    std::string target;
};

const char kUsage[] =
    "usage: velundra-convert [--check [--list]] [--yes] [--quiet] [--log FILE] [--undo FILE] [--partition N] TARGET\n"
    "       velundra-convert --rollback FILE [--yes] [--quiet] [--log FILE] [--partition N] TARGET\n"
    "\n"
    "Converts the NTFS file system on TARGET (a block device such as /dev/sdb1, or an image\n"
    "file) to FAT32 in place, keeping every file. On an MBR disk the partition's type 0x07\n"
    "becomes 0x0C (FAT32).\n"
    "\n"
    "  --check     do everything up to the first write and report; write nothing\n"
    "  --list      with --check: also print every path that would be converted\n"
    "  --yes       answer yes to every question (for scripts)\n"
    "  --quiet     no progress display\n"
    "  --log FILE  write the engine's log to FILE\n"
    "  --undo FILE keep the old contents of every sector the conversion overwrites in FILE\n"
    "              (a new file, not on TARGET), so that --rollback can undo the conversion\n"
    "  --rollback FILE\n"
    "              put TARGET back as it was before the conversion FILE was made for\n"
    "  --partition N\n"
    "              TARGET is a whole disk or disk image: work on its partition N alone\n";

// A partition number as fdisk numbers them: 1 or more, decimal digits only.
bool ParsePartitionNumber(const std::string& text, uint32_t* number) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *number = static_cast<uint32_t>(std::stoul(text));
    return *number != 0;
}

// Parses argv; false on wrong usage (with the reason in *why).
bool ParseArguments(int argc, char** argv, Arguments* args, std::string* why, bool* help) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--check") {
            args->check = true;
        } else if (a == "--list") {
            args->list = true;
        } else if (a == "--yes" || a == "-y") {
            args->yes = true;
        } else if (a == "--quiet" || a == "-q") {
            args->quiet = true;
        } else if (a == "--help" || a == "-h") {
            *help = true;
            return true;
        } else if (a == "--log" || a.rfind("--log=", 0) == 0) {
            if (a == "--log") {
                if (i + 1 >= argc) {
                    *why = "--log needs a file name";
                    return false;
                }
                args->logFile = argv[++i];
            } else {
                args->logFile = a.substr(6);
            }
            if (args->logFile.empty()) {
                *why = "--log needs a file name";
                return false;
            }
        } else if (a == "--partition" || a.rfind("--partition=", 0) == 0) {
            std::string number;
            if (a == "--partition") {
                if (i + 1 < argc) number = argv[++i];
            } else {
                number = a.substr(12);
            }
            if (!ParsePartitionNumber(number, &args->partition)) {
                *why = "--partition needs a partition number (1, 2, ...)";
                return false;
            }
        } else if (a == "--undo" || a == "--rollback") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                *why = a + " needs a file name";
                return false;
            }
            (a == "--undo" ? args->undoFile : args->rollbackFile) = argv[++i];
        } else if (a == "--") {
            if (i + 1 < argc && args->target.empty()) args->target = argv[++i];
            if (i + 1 < argc) {
                *why = "only one TARGET may be given";
                return false;
            }
        } else if (!a.empty() && a[0] == '-') {
            *why = "unknown option " + a;
            return false;
        } else if (args->target.empty()) {
            args->target = a;
        } else {
            *why = "only one TARGET may be given";
            return false;
        }
    }
    if (args->target.empty()) {
        *why = "no TARGET given";
        return false;
    }
    if (args->list && !args->check) {
        *why = "--list goes with --check";
        return false;
    }
    if (!args->rollbackFile.empty() && (args->check || !args->undoFile.empty())) {
        *why = "--rollback goes with neither --check nor --undo";
        return false;
    }
    if (!args->undoFile.empty() && args->check) {
        *why = "--undo goes with a conversion, not with --check";
        return false;
    }
    return true;
}

std::string Utf8(const std::u16string& s) { return platform::Utf16ToUtf8(s); }

// Puts the target's name into a message written for a drive letter: "'%c:'" names the
// drive, and here the path is the drive's whole name, so "%c:" becomes the path (a trailing
// colon after /dev/sdb1 would only mislead). Any other first conversion (%s) is replaced too.
std::string FillIn(const char* pattern, const std::string& text) {
    std::string out = pattern;
    size_t at = out.find('%');
    if (at == std::string::npos || at + 1 >= out.size()) return out;
    size_t length = out.compare(at, 3, "%c:") == 0 ? 3 : 2;
    out.replace(at, length, text);
    return out;
}

// The program's own complaints (usage, files, confirmation) carry its name.
void PrintError(const std::string& message) {
    std::fprintf(stderr, "velundra-convert: %s\n", message.c_str());
}

// A refusal in the conversion's own words goes to stderr exactly as worded.
void PrintRefusal(const std::string& message) { std::fprintf(stderr, "%s\n", message.c_str()); }

// The last error line of the engine that reached stderr through the log echo.
std::string g_lastEchoedError;

// The conversion's own message goes to stderr exactly as the engine words it, once, and into
// the log. Most refusals are logged by the engine as errors, and the log echo has then shown
// the very same text; the others are logged here, and the echo shows them.
void PrintConversionFailure(const SimpleException& e) {
    std::string text = Utf8(e.Text());
    if (text != g_lastEchoedError) LogErrorW(u"%s", e.Text().c_str());
    if (text != g_lastEchoedError) PrintRefusal(text);  // the log cut the line, or had no echo
    g_lastEchoedError.clear();
}

// Closes a handle when it goes out of scope: with CloseVolume when nothing may have been
// written, with ReleaseVolume (flush, then close) once writing may have begun. Whatever ends
// the scope, a written volume is flushed before the program ends.
class HandleGuard {
public:
    HandleGuard(platform::VolumeHandle handle, bool release) : handle_(handle), release_(release) {}
    ~HandleGuard() { Close(); }
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;
    // From now on the volume may be written: it is flushed when closed.
    void WillWrite() { release_ = true; }
    void Close() {
        if (handle_ == platform::kInvalidVolume) return;
        if (release_) {
            ReleaseVolume(handle_);
        } else {
            platform::CloseVolume(handle_);
        }
        handle_ = platform::kInvalidVolume;
    }

private:
    platform::VolumeHandle handle_;
    bool release_;
};

// Progress on stderr: a redrawn bar on a terminal, plain lines otherwise.
class ConsoleProgress : public IProgressInfor {
public:
    explicit ConsoleProgress(bool enabled) : enabled_(enabled), tty_(platform::StderrIsTerminal()) {}
    ~ConsoleProgress() override { Finish(); }

    void SetProgress(float position) override {
        if (!std::isfinite(position)) return;
        int percent = static_cast<int>(position * 100.0f);
        if (percent < 0) percent = 0;
        if (percent > 100) percent = 100;
        if (percent == percent_) return;
        int step = tty_ ? 1 : 10;
        bool show = percent / step != percent_ / step;
        percent_ = percent;
        if (show) Draw();
    }

    void SetStatusText(const char16_t* text) override {
        std::string t = text ? Utf8(text) : std::string();
        if (t == text_) return;
        text_ = t;
        Draw();
    }

    // Ends the bar's line so that later output starts on a fresh one.
    void Finish() {
        if (enabled_ && tty_ && drawn_) std::fputc('\n', stderr);
        drawn_ = false;
    }

private:
    void Draw() {
        if (!enabled_) return;
        int pct = percent_ < 0 ? 0 : percent_;
        if (!tty_) {
            std::fprintf(stderr, "%3d%% %s\n", pct, text_.c_str());
            return;
        }
        int columns = platform::TerminalColumns();
        int barWidth = columns >= 60 ? 30 : 10;
        std::string bar(static_cast<size_t>(barWidth * pct / 100), '#');
        bar.resize(static_cast<size_t>(barWidth), '.');
        std::string line = "[" + bar + "] " + std::to_string(pct) + "% " + text_;
        if (static_cast<int>(line.size()) > columns - 1) line.resize(static_cast<size_t>(columns - 1));
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

    bool enabled_;
    bool tty_;
    bool drawn_ = false;
    int percent_ = -1;
    std::string text_;
};

// Warnings and errors of the engine reach stderr; the bar is ended first on a terminal.
ConsoleProgress* g_progress = nullptr;
void EchoLogLine(int level, const char* line) {
    if (g_progress != nullptr) g_progress->Finish();
    std::fprintf(stderr, "%s\n", line);
    if (level >= 4) g_lastEchoedError = line;
}

std::string Mebibytes(uint64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f MiB", static_cast<double>(bytes) / 1048576.0);
    return buf;
}

// The conversion path in a word: the FAT32 cluster larger than, equal to, or a part of the
// NTFS cluster.
const char* PathName(const ConversionReport& r) {
    if (r.changedClusterSize) return "changed-cluster";
    return r.fatClusterBytes < r.ntfsClusterBytes ? "smaller-cluster" : "same-cluster";
}

void PrintFound(const std::string& target, const ConversionReport& r) {
    std::string how;
    if (r.changedClusterSize) {
        how = "larger: data will be moved onto cluster boundaries";
    } else if (r.fatClusterBytes < r.ntfsClusterBytes && r.fatClusterBytes != 0) {
        how = "smaller: data stays where it is, " +
              std::to_string(r.ntfsClusterBytes / r.fatClusterBytes) +
              " FAT32 clusters in each NTFS cluster";
    } else {
        how = "unchanged: data stays where it is";
    }
    std::printf("%s: NTFS, %s, NTFS cluster %u bytes, FAT32 cluster %u bytes (%s)\n",
                target.c_str(), Mebibytes(r.volumeBytes).c_str(), r.ntfsClusterBytes,
                r.fatClusterBytes, how.c_str());
    std::printf("%u files, %u directories%s%s\n", r.files, r.directories,
                r.label.empty() ? "" : ", label ", r.label.empty() ? "" : Utf8(r.label).c_str());
    std::fflush(stdout);
}

// The end line; `partition` says what became of the partition's type ("" when nothing).
void PrintSummary(const char* what, const ConversionReport& r, double seconds, const std::string& partition) {
    std::printf("%s: %s path, cluster %u -> %u bytes, %u files, %u directories, %s read, %s "
                "written, %.1f s%s%s\n",
                what, PathName(r), r.ntfsClusterBytes, r.fatClusterBytes, r.files,
                r.directories, Mebibytes(r.bytesRead).c_str(), Mebibytes(r.bytesWritten).c_str(),
                seconds, partition.empty() ? "" : ", ", partition.c_str());
    std::fflush(stdout);
}

// Asks a yes/no question on the terminal; anything but y/yes (blanks around it allowed) is no.
bool AskYesNo(const std::string& question) {
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!platform::ReadLine(&answer)) return false;
    const char* blanks = " \t\r";
    size_t first = answer.find_first_not_of(blanks);
    answer = first == std::string::npos
                 ? std::string()
                 : answer.substr(first, answer.find_last_not_of(blanks) - first + 1);
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

// True when TARGET is the volume at devicePath or the whole disk it is a partition of: a
// conversion of that disk (of any of its partitions, or of all of it) would have to lock the
// disk, and so unmount that volume, first.
bool Covers(const std::string& target, const std::string& devicePath) {
    if (platform::SameVolume(target, devicePath)) return true;
    const auto partition = platform::LocatePartition(devicePath);
    return partition && platform::SameVolume(target, partition->diskPath);
}

// Refuses the volume that holds this program or the running system, and the disks they lie
// on (step 1).
bool RefuseOwnVolumes(const std::string& target) {
    std::optional<platform::VolumeLocation> self = platform::ExecutableVolume();
    if (self && Covers(target, self->devicePath)) {
        PrintRefusal(FillIn("The program self is running on the volume '%c:' which will be "
                            "converted,\nplease put Velundra installs to other volume and try "
                            "again.",
                            target));
        return true;
    }
    std::string system = platform::SystemVolumeDevice();
    if (!system.empty() && Covers(target, system)) {
        PrintRefusal("The volume '" + target +
                     "' holds the running operating system and cannot be converted.");
        return true;
    }
    return false;
}

// The name of the volume in what the program prints: TARGET, or "TARGET partition N".
std::string VolumeName(const Arguments& args) {
    return args.partition == 0 ? args.target : args.target + " partition " + std::to_string(args.partition);
}

// Where on TARGET the volume lies: all of it, or with --partition the stretch its table gives
// partition N, read through `handle`. False after saying why there is no such partition.
bool FindVolume(const Arguments& args, platform::VolumeHandle handle, std::optional<platform::VolumeRange>* range) {
    range->reset();
    if (args.partition == 0) return true;
    if (const auto itself = platform::LocatePartition(args.target)) {
        PrintError(args.target + " is itself partition " + std::to_string(itself->number) + " of " +
                   itself->diskPath + ": give it without --partition, or give " + itself->diskPath +
                   " --partition " + std::to_string(itself->number));
        return false;
    }
    platform::PartitionTableKind kind = platform::PartitionTableKind::None;
    platform::PartitionEntry entry;
    std::string error;
    if (!platform::ReadPartition(args.target, handle, args.partition, &kind, &entry, &error)) {
        PrintError(error);
        return false;
    }
    const uint64_t diskSectors = GetVolumeSectors(handle);
    if (diskSectors == ~uint64_t{0} || entry.startSector > diskSectors || entry.sectors > diskSectors - entry.startSector) {
        PrintError(VolumeName(args) + " reaches past the end of the disk; its table is damaged");
        return false;
    }
    *range = platform::VolumeRange{entry.startSector, entry.sectors};
    return true;
}

// The volume's device on `handle`: the whole of it, or the partition `range` confines it to.
std::unique_ptr<CVolumeDevice> VolumeDevice(platform::VolumeHandle handle,
                                            const std::optional<platform::VolumeRange>& range) {
    return range ? std::make_unique<CVolumeDevice>(handle, *range) : std::make_unique<CVolumeDevice>(handle);
}

// The volume's length in 512-byte sectors; all ones when it cannot be read.
uint64_t VolumeSectors(platform::VolumeHandle handle, const std::optional<platform::VolumeRange>& range) {
    return range ? range->sectors : GetVolumeSectors(handle);
}

// The partition entry of the volume: partition N of TARGET's table with --partition (read
// through `handle`), or TARGET's own entry in its disk's table when TARGET is a partition
// block device (found through sysfs). False for a volume without a table.
bool PartitionOfVolume(const Arguments& args, platform::VolumeHandle handle, std::string* disk,
                       platform::VolumeHandle* diskHandle, uint32_t* number) {
    if (args.partition != 0) {
        *disk = args.target;
        *diskHandle = handle;
        *number = args.partition;
        return true;
    }
    const auto location = platform::LocatePartition(args.target);
    if (!location) return false;
    *disk = location->diskPath;
    *diskHandle = platform::kInvalidVolume;  // the disk itself is opened for the change
    *number = location->number;
    return true;
}

// "--partition N " when it was given, for commands printed for the user.
std::string PartitionOption(const Arguments& args) {
    return args.partition == 0 ? "" : "--partition " + std::to_string(args.partition) + " ";
}

std::string TypeByte(uint32_t type) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", type);
    return text;
}

// The MBR type of the volume's partition follows its file system: type `from` becomes `to`
// (0x07 to 0x0C once the FAT32 boot sector is written; back after a rollback), while the
// volume is still held (`handle`). With `checkOnly` nothing is changed and the words say what
// would be. Returns what the end line says of it ("" for a volume without a table). A change
// that fails is a warning: the volume is what it is all the same.
std::string RetypeVolumePartition(const Arguments& args, platform::VolumeHandle handle, uint8_t from, uint8_t to,
                                  bool checkOnly) {
    std::string disk;
    platform::VolumeHandle diskHandle = platform::kInvalidVolume;
    uint32_t number = 0;
    if (!PartitionOfVolume(args, handle, &disk, &diskHandle, &number)) return "";
    const std::string which = "partition " + std::to_string(number) + "'s type";
    const auto applies = [checkOnly, from](uint32_t type) { return !checkOnly && type == from; };
    PartitionRetype r;
    if (!RetypeMbrPartition(disk, diskHandle, number, applies, to, &r)) {
        PrintError("warning: " + which + " could not be " + (r.found ? "changed to " + TypeByte(to) + ": " : "read: ") +
                   r.error);
        return r.found ? which + " left at " + TypeByte(r.oldType) + " (it could not be changed)"
                       : which + " unknown (the partition table could not be read)";
    }
    switch (r.kind) {
    case platform::PartitionTableKind::Mbr:
        if (r.changed) return which + " changed from " + TypeByte(r.oldType) + " to " + TypeByte(r.newType);
        if (checkOnly && r.oldType == from) return which + " would change from " + TypeByte(from) + " to " + TypeByte(to);
        return which + " " + TypeByte(r.oldType) + " kept";
    case platform::PartitionTableKind::Gpt:
        return which + " kept (GPT)";
    default:
        return which + " kept";
    }
}

// TARGET opened for reading only, without a lock; the invalid handle after saying why it
// cannot be opened at all (not a volume, no right).
platform::VolumeHandle OpenReadOnly(const Arguments& args) {
    int error = 0;
    const platform::VolumeHandle handle =
        platform::OpenVolume(args.target, platform::VolumeAccess::ReadOnly, &error);
    if (handle == platform::kInvalidVolume) PrintError("cannot open " + args.target + ": " + std::strerror(error));
    return handle;
}

// --check: the walk and the free-space check on the volume opened read-only, without a lock.
// Returns false after printing the engine's refusal.
bool CheckVolume(const Arguments& args, ConsoleProgress* progress, ConversionReport* report) {
    const platform::VolumeHandle handle = OpenReadOnly(args);
    if (handle == platform::kInvalidVolume) return false;
    HandleGuard guard(handle, false);
    std::optional<platform::VolumeRange> range;
    if (!FindVolume(args, handle, &range)) return false;
    ConversionOptions options;
    options.checkOnly = true;
    options.listPaths = args.list;
    bool ok = true;
    try {
        ConvertNtfsToFat32(progress, VolumeDevice(handle, range).get(), VolumeSectors(handle, range), options, report);
    } catch (const SimpleException& e) {
        progress->Finish();
        PrintConversionFailure(e);
        ok = false;
    }
    progress->Finish();
    return ok;
}

// The undo file must be new and must not lie on the target (nor on a partition of a target
// disk); checked before anything is asked (and again when it is created).
bool UndoFileUsable(const Arguments& args) {
    std::error_code ec;
    if (std::filesystem::exists(args.undoFile, ec)) {
        PrintError("the undo file " + args.undoFile + " exists already; an undo file is never overwritten");
        return false;
    }
    const std::filesystem::path parent = std::filesystem::absolute(args.undoFile, ec).parent_path();
    const auto where = platform::VolumeOfPath(parent.string());
    if (platform::SameVolume(args.undoFile, args.target) || (where && Covers(args.target, where->devicePath))) {
        PrintError("the undo file " + args.undoFile + " must not lie on " + args.target);
        return false;
    }
    return true;
}

// The user's agreement to `question`: --yes, or y on a terminal. `what` names the job in the
// refusal without a terminal ("convert", "roll back").
bool Agreed(const Arguments& args, const std::string& question, const char* what) {
    if (args.yes) return true;
    if (!platform::StdinIsTerminal()) {
        PrintError(std::string("refusing to ") + what + " without confirmation: run on a terminal or pass --yes");
        return false;
    }
    if (!AskYesNo(question)) {
        std::fprintf(stderr, "Nothing was changed.\n");
        return false;
    }
    return true;
}

// Locks the target, with the one question about programs that hold it; the invalid handle
// after printing the refusal.
platform::VolumeHandle LockTarget(const Arguments& args) {
    const bool interactive = platform::StdinIsTerminal();
    auto ask = [&](const char16_t* question) {
        if (args.yes) return true;
        if (!interactive) return false;
        return AskYesNo(Utf8(question));
    };
    platform::VolumeHandle handle = LockVolume(args.target, ask);
    if (handle == platform::kInvalidVolume) {
        PrintRefusal(FillIn("Opening volume '%c:' failed. \nPlease try closing the programs "
                            "that are running on this volume.",
                            args.target));
    }
    return handle;
}

// --rollback: check the undo file against the volume, ask, lock, write back, release.
int RunRollback(const Arguments& args) {
    UndoContents contents;
    std::string problem;
    if (!ReadUndoFile(args.rollbackFile, &contents, &problem)) {
        PrintRefusal(problem + " Nothing was changed.");
        return kExitFailed;
    }
    if (!Agreed(args, "Put " + args.target + " back as it was before the conversion?", "roll back"))
        return kExitFailed;
    platform::VolumeHandle handle = LockTarget(args);
    if (handle == platform::kInvalidVolume) return kExitFailed;
    platform::InterruptShield shield;
    HandleGuard guard(handle, true);
    std::optional<platform::VolumeRange> range;
    if (!FindVolume(args, handle, &range)) return kExitFailed;
    if (!RollbackVolume(args.rollbackFile, VolumeDevice(handle, range).get(), &problem)) {
        PrintRefusal(problem);
        return kExitFailed;
    }
    // An NTFS volume back from FAT32 gets its partition type back. The type a FAT volume had
    // before its conversion to NTFS is not kept, so that one is left as it is.
    std::string partitionDone;
    if (contents.Header.Direction == static_cast<uint32_t>(UndoDirection::NtfsToFat32))
        partitionDone = RetypeVolumePartition(args, handle, kMbrTypeFat32Lba, kMbrTypeNtfs, false);
    guard.Close();
    uint64_t sectors = 0;
    for (const UndoExtent& e : contents.Extents) sectors += e.Count;
    std::fprintf(stderr, "Rolled back: %llu sectors of %s put back from %s%s%s.\n",
                 static_cast<unsigned long long>(sectors), VolumeName(args).c_str(), args.rollbackFile.c_str(),
                 partitionDone.empty() ? "" : ", ", partitionDone.c_str());
    return kExitOk;
}

int Run(const Arguments& args) {
    std::error_code ec;
    if (!std::filesystem::exists(args.target, ec)) {
        PrintError(args.target + " does not exist");
        return kExitFailed;
    }
    if (RefuseOwnVolumes(args.target)) return kExitFailed;
    if (!args.rollbackFile.empty()) return RunRollback(args);
    if (!args.undoFile.empty() && !UndoFileUsable(args)) return kExitFailed;

    ConsoleProgress progress(!args.quiet);
    g_progress = &progress;
    double started = platform::MonotonicSeconds();

    if (args.check) {
        ConversionReport found;
        if (!CheckVolume(args, &progress, &found)) return kExitFailed;
        PrintFound(VolumeName(args), found);
        for (const std::u16string& path : found.paths) std::printf("%s\n", Utf8(path).c_str());
        PrintSummary("Convertible", found, platform::MonotonicSeconds() - started,
                     RetypeVolumePartition(args, platform::kInvalidVolume, kMbrTypeNtfs, kMbrTypeFat32Lba, true));
        return kExitOk;
    }

    // Step 2: the lock, with the one question about programs that hold the volume. A target
    // that cannot be opened at all (not a volume, no right) is named with its reason first:
    // no question about programs would help there.
    const platform::VolumeHandle probe = OpenReadOnly(args);
    if (probe == platform::kInvalidVolume) return kExitFailed;
    platform::CloseVolume(probe);
    platform::VolumeHandle handle = LockTarget(args);
    if (handle == platform::kInvalidVolume) return kExitFailed;
    HandleGuard guard(handle, false);
    std::optional<platform::VolumeRange> range;
    if (!FindVolume(args, handle, &range)) return kExitFailed;
    const std::unique_ptr<CVolumeDevice> volume = VolumeDevice(handle, range);
    CVolumeDevice& device = *volume;

    // Step 3: the walk, under the lock; what it found is shown.
    ConversionReport report;
    NtfsAnalysisPtr analysis;
    try {
        analysis = AnalyseNtfsVolume(&progress, &device, VolumeSectors(handle, range), {}, &report);
    } catch (const SimpleException& e) {
        progress.Finish();
        PrintConversionFailure(e);
        return kExitFailed;
    }
    progress.Finish();
    PrintFound(VolumeName(args), report);
    double seconds = platform::MonotonicSeconds() - started;

    // Step 4: the user's agreement; without it the volume is closed as it was.
    if (!Agreed(args, "Convert " + VolumeName(args) + " to FAT32?", "convert")) return kExitFailed;

    // Step 5: the conversion itself, with the tree of step 3; then the partition's type.
    int status = kExitOk;
    std::string partitionDone;
    started = platform::MonotonicSeconds();
    {
        platform::InterruptShield shield;
        guard.WillWrite();
        try {
            std::unique_ptr<CUndoVolumeDevice> undo;
            if (!args.undoFile.empty()) {
                std::string problem;
                undo = StartUndo(args.undoFile, args.target, UndoDirection::NtfsToFat32, device, &problem);
                if (!undo) throw SimpleException(platform::Utf8ToUtf16(problem + " Nothing was changed."), 1);
                std::fprintf(stderr, "To undo this conversion: velundra-convert --rollback %s %s%s\n",
                             args.undoFile.c_str(), PartitionOption(args).c_str(), args.target.c_str());
            }
            CVolumeDevice* target = undo ? static_cast<CVolumeDevice*>(undo.get()) : &device;
            ConvertAnalysedVolume(analysis.get(), target, {}, &report);
            progress.Finish();
            partitionDone = RetypeVolumePartition(args, handle, kMbrTypeNtfs, kMbrTypeFat32Lba, false);
            if (undo) {
                std::fprintf(stderr, "Undo file %s: %s for %s overwritten.\n", args.undoFile.c_str(),
                             Mebibytes(undo->UndoFileBytes()).c_str(),
                             Mebibytes(undo->OverwrittenSectors() * kDeviceSectorBytes).c_str());
            }
        } catch (const SimpleException& e) {
            progress.Finish();
            PrintConversionFailure(e);
            status = kExitFailed;
        } catch (const std::bad_alloc&) {
            progress.Finish();
            PrintError("out of memory. Please increase the RAM of your computer and try again.");
            status = kExitFailed;
        } catch (const std::exception& e) {
            progress.Finish();
            PrintError(e.what());
            status = kExitFailed;
        }
        progress.Finish();
        analysis.reset();
        guard.Close();
        if (platform::InterruptShield::InterruptRequested()) {
            std::fprintf(stderr, "An interrupt arrived during the conversion and was held back "
                                 "until the volume was complete.\n");
        }
    }
    seconds += platform::MonotonicSeconds() - started;
    if (status == kExitOk) PrintSummary("Converted", report, seconds, partitionDone);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    platform::IgnoreBrokenPipes();
    Arguments args;
    std::string why;
    bool help = false;
    if (!ParseArguments(argc, argv, &args, &why, &help)) {
        std::fprintf(stderr, "velundra-convert: %s\n%s", why.c_str(), kUsage);
        return kExitUsage;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!args.logFile.empty() && !UseFileLog(args.logFile.c_str())) {
        PrintError("cannot create the log file " + args.logFile);
        return kExitFailed;
    }
    // Without --log the log has no file: warnings and errors still reach stderr below.
    if (args.logFile.empty()) UseFileLog("/dev/null");
    SetLogEcho(EchoLogLine);
    try {
        return Run(args);
    } catch (const std::bad_alloc&) {
        PrintError("out of memory. Please increase the RAM of your computer and try again.");
    } catch (const std::exception& e) {
        PrintError(e.what());
    }
    return kExitFailed;
}
