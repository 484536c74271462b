// Fuzz target for the whole NTFS reader: the input is a volume image (padded to whole
// sectors) in memory. The boot sector is checked, $Volume and $MFT are loaded (following
// $MFT's attribute list), and the tree is walked from the root the way the conversion lists
// it: every record named by an index entry is loaded and built with the conversion's
// attribute mask, its names, flags, runs and some of its data are read, and directories are
// enumerated through their index root and INDX blocks.
//
// The walk itself is bounded (records visited, directory depth, bytes read), so that an
// input can only be slow because the reader is; a directory met twice is not walked again.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "device/Log.h"
#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"
#include "tests/support/MemoryDevice.h"

namespace {

constexpr size_t kMaxInput = 4u << 20;
constexpr int kMaxRecords = 3000;  // records loaded per input
constexpr int kMaxDepth = 24;
constexpr uint32_t kTreeMask = 0x387;  // standard information, attribute list, names, data, indexes

// The memory device, without its record of every read (which would grow without bound over
// a long walk).
class FuzzDevice : public testsupport::MemoryDevice {
public:
    using MemoryDevice::MemoryDevice;
    int ReadSectors(void* buffer, uint64_t first, uint64_t count) override {
        ClearReads();
        return MemoryDevice::ReadSectors(buffer, first, count);
    }
};

class Walker {
public:
    explicit Walker(CNTFSVolume* volume) : volume_(volume) {}

    void Directory(uint64_t number, int depth) {
        if (depth > kMaxDepth || records_ >= kMaxRecords) return;
        if (!directories_.insert(number).second) return;
        CFileRecord dir(volume_);
        ++records_;
        if (!dir.LoadRecord(number)) return;
        dir.TypeMask = kTreeMask;
        if (!dir.BuildAttributes()) return;
        Examine(&dir);
        std::vector<uint64_t> subdirectories;
        EnumerateDirectory(&dir, [&](CSList<CIndexEntry>* entries) {
            for (CIndexEntry* e = entries->First(); e != nullptr; e = entries->Next()) {
                if (records_ >= kMaxRecords) return false;
                if (e->NameValue == nullptr || e->NameChars == 0) continue;
                char16_t name[256];
                e->CopyName(name);
                uint64_t times[3];
                e->LocalTimes(&times[0], &times[1], &times[2]);
                sink_ += e->NameSpace() + e->FileAttributes() + static_cast<uint32_t>(times[0]);
                const uint64_t child = e->RecordNumber();
                if (child < kFirstUserRecord || e->NameSpace() == kNamespaceDos) continue;
                if (File(child)) subdirectories.push_back(child);
            }
            return true;
        });
        for (uint64_t sub : subdirectories) Directory(sub, depth + 1);
    }

    uint32_t Sink() const { return sink_; }

private:
    // Loads and examines one named record; true when it is a directory.
    bool File(uint64_t number) {
        CFileRecord record(volume_);
        ++records_;
        if (!record.LoadRecord(number)) return false;
        record.TypeMask = kTreeMask;
        if (!record.BuildAttributes()) return false;
        Examine(&record);
        return (record.RecordFlags() & kRecordDirectory) != 0;
    }

    // Everything the conversion asks of a built record.
    void Examine(CFileRecord* record) {
        char16_t name[256];
        sink_ += static_cast<uint32_t>(record->CopyLongName(name));
        sink_ += record->HasCompressedFlag() + record->HasEncryptedFlag();
        for (uint8_t ns = 0; ns < 4; ++ns)
            if (CAttr_FileName* fn = record->FileNameInNamespace(ns)) sink_ += fn->NameChars;
        CSList<CAttrBase>* data = record->Attrs(0x80);
        for (CAttrBase* a = data->First(); a != nullptr; a = data->Next()) ReadSome(a);
        if (CAttrBase* main = record->FirstUnnamedData()) {
            if (main->IsNonResident()) {
                auto* nr = static_cast<CAttrNonResident*>(main);
                for (tagDataRun_Entry* r = nr->Runs.First(); r != nullptr; r = nr->Runs.Next())
                    sink_ += static_cast<uint32_t>(r->Lcn ^ r->ClusterCount ^ r->VcnFrom ^ r->VcnTo);
            }
        }
    }

    // Reads the start, a middle piece and the end of an attribute's data.
    void ReadSome(CAttrBase* attr) {
        uint64_t allocated = 0;
        const uint64_t size = attr->DataLength(&allocated);
        sink_ += attr->RunsValid();
        static uint8_t buffer[8192];
        const uint64_t offsets[] = {0, size / 2, size > 100 ? size - 100 : 0, size, size + 1};
        for (uint64_t at : offsets) {
            uint32_t got = 0;
            const uint32_t want = static_cast<uint32_t>(sizeof buffer);
            if (attr->ReadAt(&at, buffer, want, &got) && got <= want && got > 0) sink_ += buffer[got - 1];
        }
    }

    CNTFSVolume* volume_;
    std::unordered_set<uint64_t> directories_;
    int records_ = 0;
    uint32_t sink_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        UseFileLog("/dev/null");  // the reader's warnings about bad sectors are expected here
        return true;
    }();
    (void)quiet;
    if (size < 512 || size > kMaxInput) return 0;
    std::vector<uint8_t> image(data, data + size);
    image.resize((size + 511) / 512 * 512, 0);
    FuzzDevice device(std::move(image));
    CNTFSVolume volume(&device);
    if (!volume.IsVolumeOK()) return 0;

    // The label, as the conversion reads it.
    uint32_t sink = 0;
    CFileRecord vol(&volume);
    if (vol.LoadRecord(kVolumeRecord)) {
        vol.TypeMask = 0x63;
        vol.BuildAttributes();
        CSList<CAttrBase>* names = vol.Attrs(0x60);
        for (CAttrBase* a = names->First(); a != nullptr; a = names->Next()) {
            auto* label = static_cast<CAttr_VolName*>(a);
            for (uint32_t i = 0; i <= label->LabelLength; ++i)
                sink += static_cast<uint8_t>(label->AnsiLabel[i]) + label->WideLabel[i];
        }
    }

    Walker walker(&volume);
    walker.Directory(kRootRecord, 0);
    volatile uint32_t keep = sink + walker.Sink();
    (void)keep;
    return 0;
}
