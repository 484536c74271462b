#include "ntfs/CFileRecord.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "device/Log.h"
#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"

namespace {

constexpr uint32_t kFixupStride = 512;  // update sequence strides are 512 bytes on every volume
constexpr uint32_t kLocalRecordBytes = 4096;  // records up to this size are read into a stack buffer

// List index of a type code: 0 for 0x10 ... 15 for 0x100; -1 for anything else.
int ListIndex(uint32_t typeCode) {
    if (typeCode < 0x10 || typeCode > 0x100 || typeCode % 0x10 != 0) return -1;
    return static_cast<int>(typeCode / 0x10) - 1;
}

// Visits the attributes of a record buffer in order, from the first-attribute offset, while
// each one lies inside the buffer; returns the offset where the walk ended (at the end
// marker, at a length below a resident header's or one that reaches past the buffer). The
// visitor returns false to stop early (the returned offset is then meaningless).
template <typename Visit>
uint32_t WalkAttributes(const uint8_t* buffer, uint32_t size, Visit visit) {
    uint32_t offset = ntfs::LoadLe<uint16_t>(buffer + offsetof(FILE_RECORD_HEADER, FirstAttributeOffset));
    for (;;) {
        if (!ntfs::RangeFits(offset, sizeof(uint32_t), size)) return offset;
        if (ntfs::LoadLe<uint32_t>(buffer + offset) == kAttrEnd) return offset;
        if (!ntfs::RangeFits(offset, 2 * sizeof(uint32_t), size)) return offset;
        const uint32_t length = ntfs::LoadLe<uint32_t>(buffer + offset + offsetof(ATTR_HEADER_COMMON, Length));
        if (length < sizeof(ATTR_HEADER_RESIDENT) || !ntfs::RangeFits(offset, length, size)) return offset;
        if (!visit(offset, length)) return offset;
        offset += length;
    }
}

}  // namespace

CFileRecord::CFileRecord(CNTFSVolume* volume) : OwnerVolume(volume) {}

CFileRecord::~CFileRecord() {
    // Lists first (the attribute list takes the extension records with it), then the buffer.
    ClearLists();
    RecordBuffer.reset();
}

void CFileRecord::ClearLists() {
    for (auto& list : AttrLists) list.Clear();
}

bool CFileRecord::ApplyFixups(uint8_t* buffer, uint32_t bytes) {
    const uint32_t strides = bytes / kFixupStride;
    if (strides == 0) return false;
    // The header's own count is not consulted: the structure's size says how many strides
    // there are. The sequence number and one saved word per stride must lie inside.
    const uint32_t usa = ntfs::LoadLe<uint16_t>(buffer + offsetof(MULTI_SECTOR_HEADER, UsaOffset));
    if (!ntfs::RangeFits(usa, (uint64_t{strides} + 1) * sizeof(uint16_t), bytes)) return false;
    const uint16_t sequence = ntfs::LoadLe<uint16_t>(buffer + usa);
    for (uint32_t k = 0; k < strides; ++k) {
        uint8_t* last = buffer + (k + 1) * kFixupStride - sizeof(uint16_t);
        if (ntfs::LoadLe<uint16_t>(last) != sequence) return false;
        std::memcpy(last, buffer + usa + (k + 1) * sizeof(uint16_t), sizeof(uint16_t));
    }
    return true;
}

bool CFileRecord::LoadRecord(uint64_t n) {
    // 1. Everything of the previous record goes.
    ClearLists();
    RecordBuffer.reset();
    recordBytes_ = 0;

    // 2, 3. The raw bytes, read into a scratch buffer: only the part kept is copied out.
    const uint32_t size = OwnerVolume->RecordSize;
    uint8_t local[kLocalRecordBytes];
    std::unique_ptr<uint8_t[]> large;
    uint8_t* bytes = local;
    if (size > kLocalRecordBytes) {
        large.reset(new uint8_t[size]);
        bytes = large.get();
    }
    if (!OwnerVolume->FetchRecordInto(n, bytes)) {
        RecordNumber = ~0ULL;
        return false;
    }
    RecordNumber = n;

    // 4. Signature.
    if (std::memcmp(bytes, "FILE", 4) != 0) return false;

    // 5. Fix-ups, then the first attribute must start inside the record, after the fields of
    //    the header that are read.
    if (!ApplyFixups(bytes, size)) return false;
    const uint32_t first = ntfs::LoadLe<uint16_t>(bytes + offsetof(FILE_RECORD_HEADER, FirstAttributeOffset));
    if (first < offsetof(FILE_RECORD_HEADER, BytesInUse) || !ntfs::RangeFits(first, sizeof(uint32_t), size)) {
        return false;
    }

    // 6. Keep the record up to its end marker only: the free tail of a record is most of it,
    //    and the engine keeps one record per file for the whole conversion. The walk over the
    //    kept bytes ends where it ended over the whole record (at the end marker, or at an
    //    attribute that reaches past the kept bytes just as it reached past the record).
    const uint32_t end = WalkAttributes(bytes, size, [](uint32_t, uint32_t) { return true; });
    const uint32_t keep = static_cast<uint32_t>(std::min<uint64_t>(size, uint64_t{end} + 8));
    RecordBuffer.reset(new uint8_t[keep]);
    std::memcpy(RecordBuffer.get(), bytes, keep);
    recordBytes_ = keep;
    return true;
}

bool CFileRecord::BuildAttributes() {
    // 1. Fresh lists.
    ClearLists();
    if (RecordBuffer == nullptr) return false;

    // 2, 3. The record's own attributes in order; an $ATTRIBUTE_LIST is only remembered
    //    (the last one wins) so that it is followed after them.
    uint8_t* attributeList = nullptr;
    bool failed = false;
    WalkAttributes(RecordBuffer.get(), recordBytes_, [&](uint32_t offset, uint32_t) {
        uint8_t* header = RecordBuffer.get() + offset;
        const uint32_t type = ntfs::LoadLe<uint32_t>(header);
        const uint32_t bit = type < 0x10 ? 1u << 31 : 1u << (((type / 0x10) - 1) % 32);
        if ((TypeMask & bit) == 0) return true;
        if (type == kAttrAttributeList) {
            attributeList = header;
            return true;
        }
        if (!AddAttribute(header)) {
            failed = true;
            return false;
        }
        return true;
    });
    if (failed) return false;

    // 4. The attribute list brings in the extension records; their extents are then joined.
    if (attributeList != nullptr) {
        if (!AddAttribute(attributeList)) return false;
        MergeExtents();
    }
    return true;
}

bool CFileRecord::AddAttribute(uint8_t* header) {
    const int index = ListIndex(ntfs::LoadLe<uint32_t>(header));
    if (index < 0) return false;
    CAttrBase* attribute = MakeAttribute(header, this);
    if (attribute == nullptr) return false;
    AttrLists[index].Append(attribute);
    return true;
}

CAttrBase* CFileRecord::MakeAttribute(uint8_t* header, CFileRecord* record) {
    const auto common = ntfs::LoadStruct<ATTR_HEADER_COMMON>(header);
    const bool nonResident = common.NonResident != 0;
    if (!AttributeFits(header, common.Length, nonResident)) return nullptr;
    const uint32_t valueLength =
        nonResident ? 0 : ntfs::LoadStruct<ATTR_HEADER_RESIDENT>(header).ValueLength;

    switch (common.TypeCode) {
    case kAttrStandardInformation:
        // FileFlags is read at value offset 0x20.
        if (nonResident || valueLength < offsetof(STANDARD_INFORMATION, FileAttributes) + 4) return nullptr;
        return new CAttr_StdInfo(header, record);
    case kAttrAttributeList:
        if (nonResident) return new CAttr_AttrList<CAttrNonResident>(header, record);
        return new CAttr_AttrList<CAttrResident>(header, record);
    case kAttrFileName: {
        if (nonResident || valueLength < sizeof(FILE_NAME_VALUE)) return nullptr;
        const uint8_t* value = header + ntfs::LoadStruct<ATTR_HEADER_RESIDENT>(header).ValueOffset;
        const uint8_t nameLength = value[offsetof(FILE_NAME_VALUE, NameLength)];
        if (valueLength < sizeof(FILE_NAME_VALUE) + uint32_t{nameLength} * 2) return nullptr;
        return new CAttr_FileName(header, record);
    }
    case kAttrVolumeName:
        if (nonResident) return nullptr;
        return new CAttr_VolName(header, record);
    case kAttrVolumeInformation:
        if (nonResident || valueLength < offsetof(VOLUME_INFORMATION, Flags)) return nullptr;
        return new CAttr_VolInfo(header, record);
    case kAttrData:
        if (nonResident) return new CAttr_Data<CAttrNonResident>(header, record);
        return new CAttr_Data<CAttrResident>(header, record);
    case kAttrIndexRoot:
        if (nonResident || valueLength < sizeof(INDEX_ROOT_VALUE)) return nullptr;
        return new CAttr_IndexRoot(header, record);
    case kAttrIndexAllocation:
        if (!nonResident) return nullptr;
        return new CAttr_IndexAlloc(header, record);
    case kAttrBitmap:
        if (nonResident) return new CAttr_Bitmap<CAttrNonResident>(header, record);
        return new CAttr_Bitmap<CAttrResident>(header, record);
    default:
        if (nonResident) return new CAttrNonResident(header, record);
        return new CAttrResident(header, record);
    }
}

namespace {

// The name a stream is matched by while merging (at most 255 units: the length is a byte).
std::u16string MergeName(const CAttrBase* attribute) { return attribute->AttrName(); }

// Puts the runs in ascending VcnFrom order; of several runs with the same VcnFrom the first
// stays and the others are destroyed (duplicate extents).
void SortRuns(CSList<tagDataRun_Entry>* runs) {
    std::vector<tagDataRun_Entry*> all;
    for (tagDataRun_Entry* run = runs->First(); run != nullptr; run = runs->Next()) all.push_back(run);
    runs->Release();
    std::stable_sort(all.begin(), all.end(),
                     [](const tagDataRun_Entry* a, const tagDataRun_Entry* b) { return a->VcnFrom < b->VcnFrom; });
    for (size_t i = 0; i < all.size(); ++i) {
        if (i > 0 && all[i]->VcnFrom == all[i - 1]->VcnFrom) {
            // all[i - 1] is the one kept for this VcnFrom (stable order: the first arrived).
            delete all[i];
            all[i] = all[i - 1];
            continue;
        }
        runs->Append(all[i]);
    }
}

bool StrictlyAscending(CSList<tagDataRun_Entry>* runs) {
    const tagDataRun_Entry* previous = nullptr;
    for (tagDataRun_Entry* run = runs->First(); run != nullptr; run = runs->Next()) {
        if (previous != nullptr && run->VcnFrom <= previous->VcnFrom) return false;
        previous = run;
    }
    return true;
}

}  // namespace

void CFileRecord::MergeExtents() {
    for (auto& list : AttrLists) {
        if (list.Count() < 2) continue;
        // The list shrinks while it is merged: take it as it stands and re-check membership
        // through the vector of survivors.
        std::vector<CAttrBase*> attributes;
        for (CAttrBase* a = list.First(); a != nullptr; a = list.Next()) attributes.push_back(a);

        for (size_t i = 0; i < attributes.size(); ++i) {
            CAttrBase* a = attributes[i];
            if (a == nullptr || !a->IsNonResident()) continue;
            auto* target = static_cast<CAttrNonResident*>(a);
            const std::u16string name = MergeName(a);

            // The highest last VCN of the extents joined into this one.
            uint64_t lastVcn = 0;
            for (size_t j = i + 1; j < attributes.size(); ++j) {
                CAttrBase* b = attributes[j];
                if (b == nullptr) continue;
                if (!b->IsNonResident()) {
                    LogWarnA("ATTR with ATTR_LIST is a resident attribute!");
                    continue;
                }
                if (MergeName(b) != name) continue;
                auto* extent = static_cast<CAttrNonResident*>(b);
                for (tagDataRun_Entry* run = extent->Runs.First(); run != nullptr; run = extent->Runs.Next()) {
                    target->Runs.Append(run);
                }
                extent->Runs.Release();
                lastVcn = std::max(lastVcn, extent->LastVcn());
                attributes[j] = nullptr;
                list.Discard(b);
            }

            // The first extent's header now covers every extent joined into it.
            if (lastVcn > target->LastVcn()) {
                ntfs::StoreLe<uint64_t>(target->Header + offsetof(ATTR_HEADER_NONRESIDENT, LastVcn), lastVcn);
            }
            if (!StrictlyAscending(&target->Runs)) SortRuns(&target->Runs);
            // An index's blocks are counted over all its extents.
            if (auto* index = dynamic_cast<CAttr_IndexAlloc*>(target)) index->CountBlocks();
        }
    }
}

CSList<CAttrBase>* CFileRecord::Attrs(uint32_t typeCode) {
    const int index = ListIndex(typeCode);
    return index < 0 ? nullptr : &AttrLists[index];
}

CAttrBase* CFileRecord::FirstUnnamedData() {
    CSList<CAttrBase>& list = AttrLists[ListIndex(kAttrData)];
    for (CAttrBase* a = list.First(); a != nullptr; a = list.Next()) {
        if (a->NameLength() == 0) return a;
    }
    return nullptr;
}

int CFileRecord::HasCompressedFlag() {
    auto* info = static_cast<CAttr_StdInfo*>(AttrLists[ListIndex(kAttrStandardInformation)].First());
    return info != nullptr && (info->FileFlags() & kFileAttrCompressed) != 0 ? 1 : 0;
}

int CFileRecord::HasEncryptedFlag() {
    auto* info = static_cast<CAttr_StdInfo*>(AttrLists[ListIndex(kAttrStandardInformation)].First());
    return info != nullptr && (info->FileFlags() & kFileAttrEncrypted) != 0 ? 1 : 0;
}

CAttr_FileName* CFileRecord::FileNameInNamespace(uint8_t nameSpace) {
    CSList<CAttrBase>& list = AttrLists[ListIndex(kAttrFileName)];
    for (CAttrBase* a = list.First(); a != nullptr; a = list.Next()) {
        auto* name = static_cast<CAttr_FileName*>(a);
        if (name->NameValue != nullptr && name->NameSpace() == nameSpace) return name;
    }
    return nullptr;
}

void CFileRecord::FileNamesByNamespace(CAttr_FileName* first[4]) {
    for (int ns = 0; ns < 4; ++ns) first[ns] = nullptr;
    CSList<CAttrBase>& list = AttrLists[ListIndex(kAttrFileName)];
    for (CAttrBase* a = list.First(); a != nullptr; a = list.Next()) {
        auto* name = static_cast<CAttr_FileName*>(a);
        if (name->NameValue == nullptr) continue;
        const uint8_t ns = name->NameSpace();
        if (ns < 4 && first[ns] == nullptr) first[ns] = name;
    }
}

int CFileRecord::CopyLongName(char16_t* buffer) {
    CSList<CAttrBase>& list = AttrLists[ListIndex(kAttrFileName)];
    for (CAttrBase* a = list.First(); a != nullptr; a = list.Next()) {
        auto* name = static_cast<CAttr_FileName*>(a);
        if (name->NameValue != nullptr && name->NameChars > 0 && name->NameSpace() != kNamespaceDos) {
            return name->CopyName(buffer);
        }
    }
    return 0;
}

uint16_t CFileRecord::RecordFlags() const {
    if (RecordBuffer == nullptr) return 0;
    return ntfs::LoadLe<uint16_t>(RecordBuffer.get() + offsetof(FILE_RECORD_HEADER, Flags));
}

// ---- attribute lists ----------------------------------------------------------------------

void LoadAttrListExtensions(CAttrBase* listAttribute, CSList<CFileRecord>* extensions) {
    CFileRecord* owner = listAttribute->Record;
    // 1. Nothing to do for a record that was never read.
    if (owner->RecordNumber == ~0ULL) return;

    // 2. Entries are read as 32-byte blocks. A list of sensible size is read in one go;
    //    otherwise (or when that read fails) block by block, as far as the reads go.
    constexpr uint64_t kWholeListLimit = 1 << 20;
    const uint64_t valueLength = listAttribute->DataLength(nullptr);
    std::vector<uint8_t> whole;
    if (valueLength > 0 && valueLength <= kWholeListLimit) {
        whole.resize(static_cast<size_t>(valueLength));
        const uint64_t zero = 0;
        uint32_t got = 0;
        if (!listAttribute->ReadAt(&zero, whole.data(), static_cast<uint32_t>(valueLength), &got) ||
            got != valueLength) {
            whole.clear();
        }
    }
    auto readEntry = [&](uint64_t offset, uint8_t* entry) -> bool {
        if (!whole.empty()) {
            if (!ntfs::RangeFits(offset, sizeof(ATTR_LIST_ENTRY), whole.size())) return false;
            std::memcpy(entry, whole.data() + offset, sizeof(ATTR_LIST_ENTRY));
            return true;
        }
        uint32_t got = 0;
        return listAttribute->ReadAt(&offset, entry, sizeof(ATTR_LIST_ENTRY), &got) &&
               got == sizeof(ATTR_LIST_ENTRY);
    };

    // Each (record, type) pair is loaded once: a list names an extension record once per
    // attribute it holds (a file with many hard links has one entry per name), and loading
    // it again would bring the same attributes in again.
    std::set<std::pair<uint64_t, int>> loaded;
    uint8_t raw[sizeof(ATTR_LIST_ENTRY)];
    for (uint64_t offset = 0;;) {
        if (!readEntry(offset, raw)) return;
        const auto entry = ntfs::LoadStruct<ATTR_LIST_ENTRY>(raw);

        // 3. Type codes beyond 0x110 end the walk; 0x110 is skipped. A length too short to
        //    hold the fields read ends it too (0 would never move on).
        const int index = entry.TypeCode < 0x10 ? -1 : static_cast<int>(entry.TypeCode / 0x10) - 1;
        if (index < 0 || index > 16) return;
        if (entry.EntryLength < offsetof(ATTR_LIST_ENTRY, Instance)) return;
        const uint64_t recordNumber = ntfs::RecordNumberOf(entry.FileReference);

        // 4-6. Skipped: the base record's own attributes, types not selected, a listed
        //    attribute list (following it would recurse), pairs already loaded.
        const bool wanted = index != 16 && index != 1 && recordNumber != owner->RecordNumber &&
                            (owner->TypeMask & (1u << index)) != 0 &&
                            loaded.emplace(recordNumber, index).second;
        if (wanted) {
            auto* extension = new CFileRecord(owner->OwnerVolume);
            extensions->Append(extension);
            extension->TypeMask = 1u << index;
            if (!extension->LoadRecord(recordNumber)) return;

            // 7. Build, move the attributes of that type into the owner, let the hook see each.
            extension->BuildAttributes();
            CSList<CAttrBase>& from = extension->AttrLists[index];
            for (CAttrBase* a = from.First(); a != nullptr; a = from.Next()) {
                owner->AttrLists[index].Append(a);
                // The hook may merge `a` away; it is not touched after this call.
                if (owner->AttrAddedHook != nullptr) owner->AttrAddedHook(owner->HookContext, owner, a);
            }
            from.Release();
        }

        // 8. The next entry.
        offset += entry.EntryLength;
    }
}
