#include "tests/support/CraftedFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

#include "ntfs/CFileRecord.h"
#include "ntfs/CIndexEntry.h"

namespace testsupport::crafted {

namespace {

constexpr uint64_t kFirstDirectoryRecord = 100;

Bytes NameAttribute(const std::u16string& name, uint32_t flags) {
    return ResidentAttr(kAttrFileName, FileNameValue(name, kNamespaceWin32AndDos, flags, kCraftedFileTime,
                                                     kCraftedFileTime, kCraftedFileTime));
}

Bytes DirectoryRecord(const std::u16string& name, uint32_t recordSize) {
    return FileRecord(recordSize,
                      {ResidentAttr(kAttrStandardInformation, StdInfoValue(0x10)), NameAttribute(name, 0x10000010)},
                      kRecordInUse | kRecordDirectory);
}

// Drops the record's names other than `name`: each hard-link item carries its own name.
void KeepOnlyName(CFileRecord* record, const std::u16string& name) {
    CSList<CAttrBase>* names = record->Attrs(kAttrFileName);
    std::vector<CAttrBase*> others;
    for (CAttrBase* a = names->First(); a != nullptr; a = names->Next()) {
        auto* fileName = dynamic_cast<CAttr_FileName*>(a);
        if (fileName != nullptr && fileName->Name() != name) others.push_back(a);
    }
    for (CAttrBase* a : others) names->Discard(a);
}

uint64_t ClustersOf(const FileSpec& f) {
    uint64_t clusters = 0;
    for (const auto& run : f.runs) clusters += run.first;
    return clusters;
}

void Append(FILE_ITEM* parent, FILE_ITEM* child) {
    FILE_ITEM** slot = &parent->FirstChild;
    while (*slot != nullptr) slot = &(*slot)->NextSibling;
    *slot = child;
}

// The file that owns the record's data (a hard link names another file's record).
const FileSpec& OwnerOf(const std::vector<FileSpec>& files, const FileSpec& f) {
    if (f.linkOf == 0) return f;
    for (const FileSpec& other : files) {
        if (other.linkOf == 0 && other.record == f.linkOf) return other;
    }
    throw std::runtime_error("a hard link names a record no file has");
}

}  // namespace

std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed) {
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 9) + (i >> 17));
    return out;
}

FileVolume::FileVolume(const Geometry& geometry, std::vector<FileSpec> files,
                       const std::vector<std::u16string>& directories)
    : geometry_(geometry), files_(std::move(files)) {
    Volume volume(geometry_);
    const uint32_t recordSize = geometry_.RecordSize();
    const uint32_t clusterBytes = geometry_.ClusterBytes();

    // 1. Records: the root, the directories, every file that owns a record, and its data.
    volume.PutRecord(kRootRecord, DirectoryRecord(u".", recordSize));
    std::map<std::u16string, uint64_t> directoryRecords;
    uint64_t next = kFirstDirectoryRecord;
    for (const auto& d : directories) {
        directoryRecords[d] = next;
        volume.PutRecord(next++, DirectoryRecord(d, recordSize));
    }
    for (size_t i = 0; i < files_.size(); ++i) {
        const FileSpec& f = files_[i];
        if (f.linkOf != 0) continue;
        // One name per hard link, all in the owner's record.
        std::vector<Bytes> attributes = {ResidentAttr(kAttrStandardInformation, StdInfoValue(0x20))};
        for (const FileSpec& name : files_) {
            if (&name == &f || name.linkOf == f.record) attributes.push_back(NameAttribute(name.name, 0x20));
        }
        if (f.runs.empty()) {
            attributes.push_back(ResidentAttr(kAttrData, Bytes(f.resident.begin(), f.resident.end())));
        } else {
            const uint64_t clusters = ClustersOf(f);
            Bytes data = NonResidentAttr(kAttrData, MappingPairs(f.runs), 0, clusters - 1, f.dataSize);
            Put<uint64_t>(&data, offsetof(ATTR_HEADER_NONRESIDENT, AllocatedSize), clusters * clusterBytes);
            if (f.initialized != ~0ULL) {
                Put<uint64_t>(&data, offsetof(ATTR_HEADER_NONRESIDENT, InitializedSize), f.initialized);
            }
            attributes.push_back(data);
            const std::vector<uint8_t> bytes = OnDisk(i);
            uint64_t vcn = 0;
            for (const auto& [count, lcn] : f.runs) {
                volume.Put(static_cast<uint64_t>(lcn) * clusterBytes,
                           Bytes(bytes.begin() + static_cast<ptrdiff_t>(vcn * clusterBytes),
                                 bytes.begin() + static_cast<ptrdiff_t>((vcn + count) * clusterBytes)));
                vcn += count;
            }
        }
        volume.PutRecord(f.record, FileRecord(recordSize, attributes));
    }
    memory_ = std::make_unique<MemoryDevice>(volume.Image());
    ntfs_ = std::make_unique<CNTFSVolume>(memory_.get());
    if (!ntfs_->IsVolumeOK()) throw std::runtime_error("the crafted volume is refused");

    // 2. The tree: files in their directories in the order given, then the directories.
    auto rootRecord = std::make_unique<CFileRecord>(ntfs_.get());
    if (!rootRecord->LoadRecord(kRootRecord)) throw std::runtime_error("no root record");
    rootRecord->TypeMask = kTreeRootTypeMask;
    rootRecord->BuildAttributes();
    tree_ = MakeFileTree(std::move(rootRecord));
    root_ = tree_.Get();
    std::map<std::u16string, FILE_ITEM*> directoryItems;
    for (const auto& d : directories) directoryItems[d] = NewItem(directoryRecords[d]);
    for (const FileSpec& f : files_) {
        FILE_ITEM* item = NewItem(f.linkOf != 0 ? f.linkOf : f.record);
        KeepOnlyName(item->FileRecord.get(), f.name);
        items_.push_back(item);
        Append(f.parent.empty() ? root_ : directoryItems.at(f.parent), item);
    }
    for (const auto& d : directories) Append(root_, directoryItems[d]);
    memory_->ClearReads();
}

FileVolume::~FileVolume() = default;

FILE_ITEM* FileVolume::NewItem(uint64_t record) {
    auto* item = new FILE_ITEM;
    item->FileRecord = std::make_unique<CFileRecord>(ntfs_.get());
    if (!item->FileRecord->LoadRecord(record)) {
        delete item;
        throw std::runtime_error("a crafted record cannot be read");
    }
    item->FileRecord->TypeMask = kTreeRecordTypeMask;
    if (!item->FileRecord->BuildAttributes()) {
        delete item;
        throw std::runtime_error("a crafted record's attributes cannot be built");
    }
    return item;
}

CAttrNonResident* FileVolume::Data(size_t i) {
    CAttrBase* data = items_[i]->FileRecord->FirstUnnamedData();
    return data != nullptr && data->IsNonResident() ? dynamic_cast<CAttrNonResident*>(data) : nullptr;
}

std::vector<uint8_t> FileVolume::OnDisk(size_t i) const {
    const FileSpec& owner = OwnerOf(files_, files_[i]);
    return Pattern(ClustersOf(owner) * geometry_.ClusterBytes(), static_cast<uint32_t>(owner.record));
}

std::vector<uint8_t> FileVolume::Expected(size_t i) const {
    const FileSpec& owner = OwnerOf(files_, files_[i]);
    if (owner.runs.empty()) return std::vector<uint8_t>(owner.resident.begin(), owner.resident.end());
    std::vector<uint8_t> bytes = OnDisk(i);
    bytes.resize(owner.dataSize);
    if (owner.initialized < owner.dataSize) {
        std::fill(bytes.begin() + static_cast<ptrdiff_t>(owner.initialized), bytes.end(), 0);
    }
    return bytes;
}

std::vector<uint8_t> FileVolume::ReadThroughRuns(size_t i) {
    CAttrNonResident* data = Data(i);
    std::vector<uint8_t> out;
    if (data == nullptr) return out;
    const uint32_t clusterBytes = geometry_.ClusterBytes();
    const std::vector<uint8_t>& image = memory_->Bytes();
    for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
        const uint64_t at = static_cast<uint64_t>(run->Lcn) * clusterBytes;
        const uint64_t bytes = run->ClusterCount * clusterBytes;
        if (at + bytes > image.size()) {
            ADD_FAILURE() << "a run reaches past the volume: LCN " << run->Lcn;
            break;
        }
        out.insert(out.end(), image.begin() + static_cast<ptrdiff_t>(at),
                   image.begin() + static_cast<ptrdiff_t>(at + bytes));
    }
    out.resize(std::min<uint64_t>(out.size(), data->DataLength()));
    return out;
}

}  // namespace testsupport::crafted
