// velundra-ntfsls IMAGE: prints the directory tree that the NTFS reader finds on a volume
// (an image file or a block device), one line per name:
//
//     record<TAB>data size<TAB>path
//
// record is the MFT record number, data size the length of the file's unnamed $DATA (0 for
// directories and for files without one), path the name's path from the root, '/'-separated,
// without a leading '/', with a trailing '/' on directories, in UTF-8. The NTFS system files
// (records below 16) and DOS-only names are left out, as the conversion leaves them out.
// Directories are listed depth first, each directory's entries in index order (root node,
// then block by block).
//
// Exit status: 0 listed; 1 the volume cannot be read, or some names were left out because
// their records could not be read (each is reported on stderr); 2 wrong usage.
// The volume is opened for reading and writing (shared) but never written.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"

namespace {

// Types needed to list a name: its data's length, a directory's index (and the attribute
// list that may hold either).
constexpr uint32_t kListMask = 0x382;

struct Pending {
    uint64_t record;
    uint64_t size;
    std::string path;  // with the trailing '/' for a directory
    bool IsDirectory() const { return !path.empty() && path.back() == '/'; }
};

class Lister {
public:
    explicit Lister(CNTFSVolume* volume) : volume_(volume) {}

    // Lists everything below the root; false when the root itself cannot be read.
    bool Run() {
        std::vector<Pending> stack;
        if (!ListDirectory(kRootRecord, std::string(), &stack, true)) return false;
        // Depth first: a directory's line is printed, then its contents, then its siblings.
        while (!stack.empty()) {
            Pending item = std::move(stack.back());
            stack.pop_back();
            Print(item);
            if (item.IsDirectory()) ListDirectory(item.record, item.path, &stack, false);
        }
        Flush();
        return true;
    }

    int Problems() const { return problems_; }

private:
    // Pushes the names of one directory (in reverse, so that they come off the stack in index
    // order).
    bool ListDirectory(uint64_t number, const std::string& path, std::vector<Pending>* stack, bool isRoot) {
        // A directory reached a second time (a damaged index naming a directory twice, or
        // an ancestor) is not listed again: that would never end.
        if (!visitedDirectories_.insert(number).second) {
            Problem("directory record %llu met again at '%s', not listed again", number, path);
            return true;
        }
        CFileRecord directory(volume_);
        if (!directory.LoadRecord(number)) {
            if (!isRoot) Problem("cannot read directory record %llu ('%s')", number, path);
            return false;
        }
        directory.TypeMask = kListMask;
        if (!directory.BuildAttributes()) {
            if (!isRoot) Problem("cannot parse directory record %llu ('%s')", number, path);
            return false;
        }

        std::vector<Pending> names;
        EnumerateDirectory(&directory, [&](CSList<CIndexEntry>* entries) {
            for (CIndexEntry* entry = entries->First(); entry != nullptr; entry = entries->Next()) {
                ListEntry(entry, path, &names);
            }
            return true;
        });
        for (auto it = names.rbegin(); it != names.rend(); ++it) stack->push_back(std::move(*it));
        return true;
    }

    void ListEntry(CIndexEntry* entry, const std::string& parentPath, std::vector<Pending>* names) {
        if (entry->NameValue == nullptr || entry->NameChars == 0) return;  // end marker, keyless
        const uint64_t number = entry->RecordNumber();
        if (number < kFirstUserRecord) return;                   // system files, "." of the root
        if (entry->NameSpace() == kNamespaceDos) return;         // listed under its long name

        std::string path = parentPath + platform::Utf16ToUtf8(entry->Name());
        CFileRecord record(volume_);
        if (!record.LoadRecord(number)) {
            Problem("cannot read record %llu ('%s')", number, path);
            return;
        }
        record.TypeMask = kListMask;
        if (!record.BuildAttributes()) {
            Problem("cannot parse record %llu ('%s')", number, path);
            return;
        }
        const bool isDirectory = (record.RecordFlags() & kRecordDirectory) != 0;
        uint64_t size = 0;
        if (!isDirectory) {
            if (CAttrBase* data = record.FirstUnnamedData()) size = data->DataLength(nullptr);
        } else {
            path += '/';
        }
        names->push_back(Pending{number, size, std::move(path)});
    }

    void Print(const Pending& item) {
        char prefix[48];
        std::snprintf(prefix, sizeof prefix, "%llu\t%llu\t", static_cast<unsigned long long>(item.record),
                      static_cast<unsigned long long>(item.size));
        out_ += prefix;
        out_ += item.path;
        out_ += '\n';
        if (out_.size() > (1 << 16)) Flush();
    }

    void Problem(const char* format, uint64_t number, const std::string& path) {
        Flush();
        std::fprintf(stderr, "velundra-ntfsls: ");
        std::fprintf(stderr, format, static_cast<unsigned long long>(number), path.c_str());
        std::fprintf(stderr, "\n");
        ++problems_;
    }

    void Flush() {
        std::fwrite(out_.data(), 1, out_.size(), stdout);
        out_.clear();
    }

    CNTFSVolume* volume_;
    std::unordered_set<uint64_t> visitedDirectories_;
    std::string out_;
    int problems_ = 0;
};

// The reader's warnings and errors (unreadable sectors, for instance) go to stderr.
void EchoLog(int, const char* line) { std::fprintf(stderr, "velundra-ntfsls: %s\n", line); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: velundra-ntfsls IMAGE\n");
        return 2;
    }
    const char* image = argv[1];
    // No log file for a listing tool: warnings and errors are echoed to stderr.
    UseFileLog("/dev/null");
    SetLogEcho(&EchoLog);

    int error = 0;
    const platform::VolumeHandle handle = platform::OpenVolume(image, platform::VolumeAccess::Shared, &error);
    if (handle == platform::kInvalidVolume) {
        std::fprintf(stderr, "velundra-ntfsls: cannot open %s: %s\n", image, std::strerror(error));
        return 1;
    }
    int status = 0;
    {
        CVolumeDevice device(handle);
        CNTFSVolume volume(&device);
        if (!volume.IsVolumeOK()) {
            std::fprintf(stderr, "velundra-ntfsls: %s: %s\n", image, volume.RefusalReason());
            status = 1;
        } else {
            Lister lister(&volume);
            if (!lister.Run()) {
                std::fprintf(stderr, "velundra-ntfsls: %s: cannot read the root directory (record 5)\n", image);
                status = 1;
            } else if (lister.Problems() > 0) {
                status = 1;
            }
        }
    }
    platform::CloseVolume(handle);
    std::fflush(stdout);
    return status;
}
