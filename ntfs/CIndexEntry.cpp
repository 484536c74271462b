#include "ntfs/CIndexEntry.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <cwctype>

#include "ntfs/CNTFSVolume.h"
#include "platform/LocalTime.h"

// ---- CFileName ----------------------------------------------------------------------------

namespace {

// towupper of one unit; a unit whose upper case lies outside the 16-bit range stays as it is.
char16_t UpperUnit(char16_t unit) {
    const wint_t upper = std::towupper(static_cast<wint_t>(unit));
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

// UpperUnit of the ASCII units, most of almost every name: a table filled by towupper itself
// on first use (the program sets its locale once, at start, before any volume is read).
const std::array<char16_t, 128>& AsciiUpper() {
    static const auto kTable = [] {
        std::array<char16_t, 128> table{};
        for (char16_t u = 0; u < 128; ++u) table[u] = UpperUnit(u);
        return table;
    }();
    return kTable;
}

}  // namespace

CFileName::CFileName(uint8_t* nameValue) : NameValue(nameValue) { LoadName(); }

void CFileName::LoadName() {
    // 1. Start empty.
    UpperName.reset();
    NameChars = 0;
    if (NameValue == nullptr) return;

    // 2. The n units at 0x42, upper-cased one by one (a unit whose upper case lies outside
    //    the 16-bit range stays as it is).
    const uint8_t n = NameValue[offsetof(FILE_NAME_VALUE, NameLength)];
    if (n == 0) return;
    char16_t units[260];
    std::memcpy(units, NameValue + sizeof(FILE_NAME_VALUE), n * sizeof(char16_t));
    UpperName.reset(new char16_t[n + 1]);
    const std::array<char16_t, 128>& ascii = AsciiUpper();
    for (unsigned i = 0; i < n; ++i) UpperName[i] = units[i] < 128 ? ascii[units[i]] : UpperUnit(units[i]);
    UpperName[n] = u'\0';
    NameChars = n;
}

int CFileName::CopyName(char16_t* buffer) const {
    if (NameValue == nullptr || NameChars == 0) return 0;
    std::memcpy(buffer, NameValue + sizeof(FILE_NAME_VALUE), static_cast<size_t>(NameChars) * sizeof(char16_t));
    buffer[NameChars] = u'\0';
    return NameChars;
}

std::u16string CFileName::Name() const {
    std::u16string name(static_cast<size_t>(NameChars), u'\0');
    if (NameChars > 0) {
        std::memcpy(name.data(), NameValue + sizeof(FILE_NAME_VALUE), name.size() * sizeof(char16_t));
    }
    return name;
}

void CFileName::AppendName(std::u16string* out) const {
    if (NameChars <= 0) return;
    const size_t at = out->size();
    out->resize(at + static_cast<size_t>(NameChars));
    std::memcpy(out->data() + at, NameValue + sizeof(FILE_NAME_VALUE), static_cast<size_t>(NameChars) * sizeof(char16_t));
}

bool CFileName::SameName(const CFileName& other) const {
    if (NameChars != other.NameChars) return false;
    return NameChars <= 0 || std::memcmp(NameValue + sizeof(FILE_NAME_VALUE), other.NameValue + sizeof(FILE_NAME_VALUE),
                                         static_cast<size_t>(NameChars) * sizeof(char16_t)) == 0;
}

void CFileName::LocalTimes(uint64_t* lastWrite, uint64_t* creation, uint64_t* lastAccess) const {
    auto local = [this](size_t at) {
        const uint64_t utc = NameValue == nullptr ? 0 : ntfs::LoadLe<uint64_t>(NameValue + at);
        uint64_t shifted = utc;
        return platform::FileTimeToLocalFileTime(utc, &shifted) ? shifted : utc;
    };
    if (lastWrite != nullptr) *lastWrite = local(offsetof(FILE_NAME_VALUE, LastWriteTime));
    if (creation != nullptr) *creation = local(offsetof(FILE_NAME_VALUE, CreationTime));
    if (lastAccess != nullptr) *lastAccess = local(offsetof(FILE_NAME_VALUE, LastAccessTime));
}

// ---- CIndexEntry --------------------------------------------------------------------------

namespace {

// The key of an entry when it holds a whole $FILE_NAME value with its name; else null.
uint8_t* UsableKey(uint8_t* rawEntry) {
    const auto header = ntfs::LoadStruct<INDEX_ENTRY_HEADER>(rawEntry);
    if (header.KeyLength < sizeof(FILE_NAME_VALUE)) return nullptr;
    uint8_t* key = rawEntry + sizeof(INDEX_ENTRY_HEADER);
    const uint8_t nameLength = key[offsetof(FILE_NAME_VALUE, NameLength)];
    if (header.KeyLength < sizeof(FILE_NAME_VALUE) + uint32_t{nameLength} * 2) return nullptr;
    return key;
}

}  // namespace

CIndexEntry::CIndexEntry(uint8_t* rawEntry) : CFileName(UsableKey(rawEntry)), RawEntry(rawEntry) {}

uint64_t CIndexEntry::FileReference() const {
    return ntfs::LoadLe<uint64_t>(RawEntry + offsetof(INDEX_ENTRY_HEADER, FileReference));
}

uint8_t CIndexEntry::EntryFlags() const { return RawEntry[offsetof(INDEX_ENTRY_HEADER, Flags)]; }

bool CIndexEntry::HasDamagedKey() const {
    return NameValue == nullptr && ntfs::LoadLe<uint16_t>(RawEntry + offsetof(INDEX_ENTRY_HEADER, KeyLength)) != 0;
}

bool CollectIndexEntries(CSList<CIndexEntry>* entries, uint8_t* node, uint64_t available) {
    if (available < sizeof(INDEX_HEADER)) return false;
    const auto header = ntfs::LoadStruct<INDEX_HEADER>(node);
    // The node's real end: its bytes in use, but never past the buffer.
    const uint64_t end = std::min<uint64_t>(header.BytesInUse, available);
    // Entries start after the node header.
    uint64_t at = header.FirstEntryOffset;
    if (at < sizeof(INDEX_HEADER)) return false;
    for (;;) {
        if (!ntfs::RangeFits(at, sizeof(INDEX_ENTRY_HEADER), end)) return false;
        const auto entry = ntfs::LoadStruct<INDEX_ENTRY_HEADER>(node + at);
        if (entry.EntryLength < sizeof(INDEX_ENTRY_HEADER) || !ntfs::RangeFits(at, entry.EntryLength, end)) return false;
        if (entry.KeyLength > entry.EntryLength - sizeof(INDEX_ENTRY_HEADER)) return false;
        entries->Append(new CIndexEntry(node + at));
        if ((entry.Flags & kIndexEntryLast) != 0) return true;
        at += entry.EntryLength;
    }
}

// ---- CAttr_FileName -----------------------------------------------------------------------

CAttr_FileName::CAttr_FileName(uint8_t* header, CFileRecord* record)
    : CAttrResident(header, record), CFileName(Value) {}

// ---- CAttr_IndexRoot ----------------------------------------------------------------------

CAttr_IndexRoot::CAttr_IndexRoot(uint8_t* header, CFileRecord* record)
    : CAttrResident(header, record), RootValue(Value) {
    if (IndexedType() == kAttrFileName) CollectRootEntries();
}

void CAttr_IndexRoot::CollectRootEntries() {
    NodeComplete = CollectIndexEntries(this, RootValue + offsetof(INDEX_ROOT_VALUE, Node),
                                       ValueLength - offsetof(INDEX_ROOT_VALUE, Node));
}

uint32_t CAttr_IndexRoot::IndexedType() const {
    return ntfs::LoadLe<uint32_t>(RootValue + offsetof(INDEX_ROOT_VALUE, IndexedType));
}

uint8_t CAttr_IndexRoot::NodeFlags() const {
    return RootValue[offsetof(INDEX_ROOT_VALUE, Node) + offsetof(INDEX_HEADER, Flags)];
}

// ---- CAttr_IndexAlloc ---------------------------------------------------------------------

CAttr_IndexAlloc::CAttr_IndexAlloc(uint8_t* header, CFileRecord* record) : CAttrNonResident(header, record) {
    CountBlocks();
}

void CAttr_IndexAlloc::CountBlocks() {
    BlockCount = 0;
    const uint64_t size = DataLength(nullptr);
    if (!RunsValid() || IndexBlockBytes == 0 || size % IndexBlockBytes != 0) return;
    // The blocks must lie in clusters the runs place on the volume. A data size beyond them
    // (an index is never sparse) would make every walk over the blocks try block numbers
    // that cannot be read, up to 2^64 / IndexBlockBytes of them.
    uint64_t onDisk = 0;
    for (tagDataRun_Entry* run = Runs.First(); run != nullptr; run = Runs.Next()) {
        if (run->Lcn != -1 && __builtin_add_overflow(onDisk, run->ClusterCount, &onDisk)) onDisk = UINT64_MAX;
    }
    const uint64_t clusters = size / ClusterBytes + (size % ClusterBytes != 0 ? 1 : 0);
    if (clusters > onDisk) return;
    BlockCount = size / IndexBlockBytes;
}

bool CAttr_IndexAlloc::ReadBlock(const uint64_t* n, CIndexBlock* block) {
    // 1. Only blocks that exist.
    if (*n >= BlockCount) return false;

    // 2. The previous block's entries go; its buffer takes this block.
    block->Clear();
    block->NodeComplete = false;
    if (block->BlockBuffer == nullptr || block->BlockBufferBytes != IndexBlockBytes) {
        block->BlockBuffer.reset(new uint8_t[IndexBlockBytes]);
        block->BlockBufferBytes = IndexBlockBytes;
    }
    uint8_t* buffer = block->BlockBuffer.get();

    // 3. Read it whole (n < BlockCount, so the offset fits).
    const uint64_t offset = *n * IndexBlockBytes;
    uint32_t got = 0;
    if (!ReadAt(&offset, buffer, IndexBlockBytes, &got) || got != IndexBlockBytes) return false;

    // 4, 5. Signature and fix-ups.
    if (std::memcmp(buffer, "INDX", 4) != 0) return false;
    if (!CFileRecord::ApplyFixups(buffer, IndexBlockBytes)) return false;

    // 6. The entries of the node.
    block->NodeComplete = CollectIndexEntries(block, buffer + offsetof(INDEX_BLOCK_HEADER, Node),
                                              IndexBlockBytes - offsetof(INDEX_BLOCK_HEADER, Node));
    return true;
}

// ---- enumeration --------------------------------------------------------------------------

bool EnumerateDirectory(CFileRecord* directory,
                        const std::function<bool(CSList<CIndexEntry>* entries)>& visit) {
    // 1. The first $INDEX_ROOT, over $FILE_NAME.
    auto* root = static_cast<CAttr_IndexRoot*>(directory->Attrs(kAttrIndexRoot)->First());
    if (root == nullptr || root->IndexedType() != kAttrFileName) return false;

    // 2. The root's entries.
    if (!visit(root)) return true;

    // 3. When the index continues: every block in block-number order, one at a time.
    if (root->NodeFlags() != kIndexRootHasBlocks) return true;
    auto* allocation = static_cast<CAttr_IndexAlloc*>(directory->Attrs(kAttrIndexAllocation)->First());
    if (allocation == nullptr) return true;
    CIndexBlock block;
    for (uint64_t n = 0; n < allocation->BlockCount; ++n) {
        if (allocation->ReadBlock(&n, &block) && !visit(&block)) break;
    }
    return true;
}
