#include "engine/DirectoryWriter.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/FileData.h"
#include "engine/FileTree.h"
#include "engine/UnicodeCase.h"
#include "engine/ZeroedBytes.h"
#include "ntfs/CIndexEntry.h"
#include "platform/LocalTime.h"
#include "platform/TextEncoding.h"

namespace {

constexpr uint32_t kMaxOemNameBytes = 260;  // the converted name is cut here
constexpr int kMaxRedraws = 8;               // new random numbers tried for a taken name
constexpr uint64_t kRootRecord = 5;

// ---- Letters of the OEM code page ----------------------------------------------------------

// Upper- and lower-case maps of the 256 bytes of code page 437, built once from the Unicode
// simple upper-case mapping: a byte becomes the byte of its capital when 437 has that capital
// (é -> É, ä -> Ä, σ -> Σ); letters whose capital 437 lacks (à, ß, ÿ) stay as they are, as
// Linux's vfat does. The lower map is the inverse of the upper one.
struct OemCase {
    uint8_t upper[256];
    uint8_t lower[256];
    OemCase() {
        for (int b = 0; b < 256; ++b) upper[b] = lower[b] = static_cast<uint8_t>(b);
        for (int b = 0; b < 256; ++b) {
            const char16_t u = platform::Cp437ToUtf16(static_cast<unsigned char>(b));
            const int capital = platform::Cp437ByteOf(UpcaseUnit(u));
            if (capital >= 0 && capital != b) {
                upper[b] = static_cast<uint8_t>(capital);
                lower[capital] = static_cast<uint8_t>(b);
            }
        }
    }
};

const OemCase& OemLetters() {
    static const OemCase table;
    return table;
}

uint8_t UpperOem(uint8_t b) { return OemLetters().upper[b]; }
uint8_t LowerOem(uint8_t b) { return OemLetters().lower[b]; }

// A byte that may stand at position `pos` of a short name (0x05 is never taken from a name:
// only the 0xE5 rule below produces it).
bool IsLegalShortByte(uint8_t b, size_t pos) {
    // Bytes never legal in a short name: controls, DEL and the punctuation FAT reserves.
    static constexpr auto kIllegal = [] {
        std::array<bool, 256> illegal{};
        for (int c = 0; c < 0x20; ++c) illegal[c] = true;
        illegal[0x7F] = true;
        for (const char* p = "\"*+,./:;<=>?[\\]|"; *p != '\0'; ++p) illegal[static_cast<uint8_t>(*p)] = true;
        return illegal;
    }();
    if (pos == 0 && b == ' ') return false;
    return !kIllegal[b];
}

// Steps 4 and 5 of a short name (also the volume label): capitals, then '_' for every byte
// that is not legal where it stands, then 0xE5 in the first place as 0x05. True when a byte
// had to be replaced.
bool UpperAndLegalise(uint8_t name[11]) {
    bool replaced = false;
    const OemCase& oem = OemLetters();
    for (size_t i = 0; i < 11; ++i) {
        uint8_t b = oem.upper[name[i]];
        if (!IsLegalShortByte(b, i)) {
            b = '_';
            replaced = true;
        }
        name[i] = b;
    }
    if (name[0] == 0xE5) name[0] = 0x05;
    return replaced;
}

// Readers take a blank as the end of the 8-byte part and of the extension, and Windows never
// makes a short name with a blank inside a part: the Sleuth Kit does not take such an entry
// for one at all, and then gives its long name to the entry after it. So a blank followed by
// anything but blanks in its part becomes '_'. Labels are one 11-byte field and keep theirs.
bool NoBlankInsideParts(uint8_t name[11]) {
    bool replaced = false;
    auto part = [&](size_t from, size_t size) {
        size_t end = from + size;
        while (end > from && name[end - 1] == ' ') --end;  // trailing blanks stay
        for (size_t i = from; i < end; ++i) {
            if (name[i] == ' ') {
                name[i] = '_';
                replaced = true;
            }
        }
    };
    part(0, 8);
    part(8, 3);
    return replaced;
}

// ---- Short names --------------------------------------------------------------------------

// The parts of a converted name.
struct OemName {
    std::string bytes;     // code page 437, at most kMaxOemNameBytes
    bool lossless = true;  // every character survived the conversion and the cut
    size_t base = 0;       // bytes before the last dot (all of them without a dot)
    size_t ext = 0;        // bytes after the last dot (0 without a dot)
    bool hasDot = false;
    bool longPath = false; // base + ext > 11 or ext > 3
};

// Converts and splits `name` into *out (whose bytes' capacity is reused).
void SplitName(std::u16string_view name, OemName* out) {
    OemName& a = *out;
    platform::Utf16ToCp437(name, &a.bytes);
    // Lossless when the bytes decode to the name again, unit for unit.
    a.lossless = a.bytes.size() == name.size();
    for (size_t i = 0; a.lossless && i < name.size(); ++i) {
        a.lossless = platform::Cp437ToUtf16(static_cast<unsigned char>(a.bytes[i])) == name[i];
    }
    if (a.bytes.size() > kMaxOemNameBytes) {
        a.bytes.resize(kMaxOemNameBytes);
        a.lossless = false;
    }
    const size_t len = a.bytes.size();
    const size_t dot = a.bytes.rfind('.');
    a.hasDot = dot != std::string::npos;
    a.base = a.hasDot ? dot : len;
    a.ext = a.hasDot ? len - dot - 1 : 0;
    a.longPath = a.base + a.ext > 11 || a.ext > 3;
}

// Long path: the first 11 bytes (blanks after a shorter name, so no zero byte is left between
// the name and the digits), the random number's decimal digits over the last positions.
void LongPathName(const OemName& a, uint32_t number, uint8_t out[11]) {
    std::memset(out, ' ', 11);
    std::memcpy(out, a.bytes.data(), std::min<size_t>(11, a.bytes.size()));
    const std::string digits = std::to_string(number);
    std::memcpy(out + 11 - digits.size(), digits.data(), digits.size());
}

// Fitting path: the base from offset 0 (all its bytes), the extension at offset 8 over them.
void FittingPathName(const OemName& a, uint8_t out[11]) {
    std::memset(out, ' ', 11);
    std::memcpy(out, a.bytes.data(), a.base);
    if (a.ext > 0) std::memcpy(out + 8, a.bytes.data() + a.base + 1, a.ext);
}

// The name with the numeric tail "~n" at the end of its 8-byte part (trailing blanks of that
// part dropped first, its start cut to make room); the extension stays.
void WithTail(const uint8_t name[11], uint32_t n, uint8_t out[11]) {
    char tail[16];
    const size_t tailLen =
        std::min<size_t>(8, static_cast<size_t>(std::snprintf(tail, sizeof tail, "~%u", n)));
    size_t baseLen = 8;
    while (baseLen > 0 && name[baseLen - 1] == ' ') --baseLen;
    const size_t keep = std::min(baseLen, 8 - tailLen);
    std::memset(out, ' ', 8);
    std::memcpy(out, name, keep);
    std::memcpy(out + keep, tail, tailLen);
    std::memcpy(out + 8, name + 8, 3);
}

// A free numeric-tail form of a taken name (unique with n up to 9,999,999 tails per name).
void NumericTail(uint8_t name[11], ShortNameSet* taken) {
    uint32_t& next = taken->NextTail(name);
    uint8_t candidate[11];
    for (;;) {
        WithTail(name, next++, candidate);
        if (!taken->Contains(candidate)) break;
    }
    std::memcpy(name, candidate, 11);
}

// Whether a part of a short name (its trailing blanks dropped) shown in small letters is
// exactly the part of the name it came from, and that part has small letters at all: then
// the case flag of the part may be set.
bool ShowsAsSmallLetters(const uint8_t* shortPart, size_t size, std::string_view namePart) {
    while (size > 0 && shortPart[size - 1] == ' ') --size;
    if (size != namePart.size()) return false;
    bool small = false;
    for (size_t i = 0; i < size; ++i) {
        const auto b = static_cast<uint8_t>(namePart[i]);
        if (LowerOem(shortPart[i]) != b) return false;
        if (UpperOem(b) != b) small = true;
    }
    return small;
}

// What a reader shows for a short entry without long-name entries: the 8-byte part and the
// extension with their trailing blanks dropped, lower-cased as the case flags say (ASCII
// only), joined by a dot when there is an extension.
std::string ShownName(const uint8_t name[11], uint8_t caseFlags) {
    auto part = [&](size_t from, size_t size, bool lower) {
        std::string s(reinterpret_cast<const char*>(name) + from, size);
        while (!s.empty() && s.back() == ' ') s.pop_back();
        if (from == 0 && !s.empty() && static_cast<uint8_t>(s[0]) == 0x05) s[0] = '\xE5';
        if (lower) {
            for (char& c : s) {
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
            }
        }
        return s;
    };
    std::string shown = part(0, 8, (caseFlags & kFatCaseLowerBase) != 0);
    const std::string ext = part(8, 3, (caseFlags & kFatCaseLowerExt) != 0);
    if (!ext.empty()) shown += "." + ext;
    return shown;
}

bool IsAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}

// MakeShortName, with the choice of refusing the long path (no number is drawn then):
// false when the name would take it. `scratch` holds the converted name (reused from call
// to call by a caller naming many).
bool MakeShortNameImpl(std::u16string_view name, ShortNameRandom* random, ShortNameSet* taken,
                       bool allowLongPath, SHORT_NAME* out, bool* generated, OemName* scratch) {
    // 1.-2. Convert and split.
    SplitName(name, scratch);
    const OemName& a = *scratch;
    if (a.longPath && !allowLongPath) return false;

    // 3.-5. Construct, upper-case, legalise.
    SHORT_NAME s;
    auto construct = [&]() {
        if (a.longPath) {
            LongPathName(a, random != nullptr ? random->Next() % 32768 : 0, s.Bytes);
        } else {
            FittingPathName(a, s.Bytes);
        }
        const bool legalised = UpperAndLegalise(s.Bytes);
        return NoBlankInsideParts(s.Bytes) || legalised;
    };
    bool replaced = construct();

    // 6. Unique in the directory.
    bool renamed = false;
    if (taken != nullptr) {
        int redraws = 0;
        while (taken->Contains(s.Bytes)) {
            renamed = true;
            if (a.longPath && redraws < kMaxRedraws) {
                ++redraws;
                replaced = construct() || replaced;
                continue;
            }
            NumericTail(s.Bytes, taken);
            break;
        }
        taken->Insert(s.Bytes);
    }

    // 7. Case flags, only for a true 8.3 shape whose parts read back as the name's parts.
    const bool unchanged = !a.longPath && !replaced && !renamed;
    if (unchanged && a.base <= 8) {
        const std::string_view bytes(a.bytes);
        if (ShowsAsSmallLetters(s.Bytes, 8, bytes.substr(0, a.base))) s.CaseFlags |= kFatCaseLowerBase;
        if (a.hasDot && ShowsAsSmallLetters(s.Bytes + 8, 3, bytes.substr(a.base + 1))) {
            s.CaseFlags |= kFatCaseLowerExt;
        }
    }

    // 8. Whether the short entry alone shows the name unchanged.
    s.Exact = unchanged && a.base <= 8 && a.lossless && IsAscii(a.bytes) &&
              ShownName(s.Bytes, s.CaseFlags) == a.bytes;
    *out = s;
    if (generated != nullptr) *generated = !unchanged;
    return true;
}

// Local FILETIME -> DOS fields; zeros when the DOS form cannot hold it.
platform::DosDateTime DosOf(uint64_t localTime) {
    platform::DosDateTime dos;
    if (!platform::FileTimeToDosDateTime(localTime, &dos)) dos = platform::DosDateTime{};
    return dos;
}

// ---- The tree -----------------------------------------------------------------------------

CFileRecord* RecordOf(const FILE_ITEM* item) {
    return item != nullptr ? item->FileRecord.get() : nullptr;
}

bool IsDirectoryRecord(CFileRecord* record) {
    return record != nullptr && (record->RecordFlags() & kRecordDirectory) != 0;
}

// The unnamed $DATA of a file when it is resident; else null.
CAttrResident* ResidentData(CFileRecord* record) {
    if (record == nullptr || IsDirectoryRecord(record)) return nullptr;
    CAttrBase* data = record->FirstUnnamedData();
    if (data == nullptr || data->IsNonResident()) return nullptr;
    // A record builds every resident attribute as a CAttrResident, every other as a
    // CAttrNonResident: the header's flag tells the class.
    return static_cast<CAttrResident*>(data);
}

// The first FAT cluster and the size of a file's entry.
void FileClusterAndSize(CFileRecord* record, IFat* fat, uint32_t* first, uint32_t* size) {
    *first = 0;
    *size = 0;
    CAttrBase* data = record->FirstUnnamedData();
    if (data == nullptr) return;
    *size = static_cast<uint32_t>(data->DataLength());
    if (!data->IsNonResident()) {
        *first = static_cast<CAttrResident*>(data)->FirstDataCluster;
        return;
    }
    auto* nonResident = static_cast<CAttrNonResident*>(data);
    const tagDataRun_Entry* run = nonResident->Runs.First();
    if (run == nullptr) return;
    const int32_t cluster = fat->ClusterOfLcn(static_cast<uint64_t>(run->Lcn));
    if (cluster < 2) {
        LogErrorA("file record %I64d starts at LCN %I64d, outside the data area",
                  static_cast<int64_t>(record->RecordNumber), run->Lcn);
    }
    *first = static_cast<uint32_t>(cluster);
}

}  // namespace

// ---- ShortNameRandom / ShortNameSet -------------------------------------------------------

uint32_t ShortNameRandom::Next() {
    state_ = state_ * 214013u + 2531011u;
    return (state_ >> 16) & 0x7FFF;
}

ShortNameSet::Key ShortNameSet::KeyOf(const uint8_t name[11]) {
    Key key;
    std::memcpy(&key.Low, name, 8);
    key.High = uint32_t{name[8]} | uint32_t{name[9]} << 8 | uint32_t{name[10]} << 16 | 1u << 24;
    return key;
}

size_t ShortNameSet::SlotOf(const Key& key) const {
    const size_t mask = slots_.size() - 1;
    uint64_t h = (key.Low ^ (uint64_t{key.High} << 29)) * 0x9E3779B97F4A7C15ULL;
    size_t at = static_cast<size_t>(h >> 32) & mask;
    while (slots_[at].High != 0 && !(slots_[at] == key)) at = (at + 1) & mask;
    return at;
}

void ShortNameSet::Grow() {
    std::vector<Key> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Key{});
    for (const Key& key : old) {
        if (key.High != 0) slots_[SlotOf(key)] = key;
    }
}

bool ShortNameSet::Contains(const uint8_t name[11]) const {
    if (slots_.empty()) return false;
    return slots_[SlotOf(KeyOf(name))].High != 0;
}

bool ShortNameSet::Insert(const uint8_t name[11]) {
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    const Key key = KeyOf(name);
    Key& slot = slots_[SlotOf(key)];
    if (slot.High != 0) return false;
    slot = key;
    ++used_;
    return true;
}

uint32_t& ShortNameSet::NextTail(const uint8_t name[11]) {
    return tails_.try_emplace(std::string(reinterpret_cast<const char*>(name), 11), 1u)
        .first->second;
}

// ---- Names --------------------------------------------------------------------------------

SHORT_NAME MakeShortName(std::u16string_view name, ShortNameRandom* random, ShortNameSet* taken) {
    SHORT_NAME s;
    OemName scratch;
    MakeShortNameImpl(name, random, taken, true, &s, nullptr, &scratch);
    return s;
}

uint8_t ShortNameChecksum(const uint8_t name[11]) {
    uint8_t s = name[0];
    for (size_t i = 1; i < 11; ++i) {
        s = static_cast<uint8_t>(((s & 1) << 7) + (s >> 1) + name[i]);
    }
    return s;
}

bool VolumeLabelBytes(const char* label, uint8_t out[11]) {
    if (label == nullptr || label[0] == '\0') {
        std::memcpy(out, "NO NAME    ", 11);
        return false;
    }
    std::memset(out, ' ', 11);
    std::memcpy(out, label, std::min<size_t>(11, std::strlen(label)));
    UpperAndLegalise(out);
    return true;
}

bool VolumeLabelBytes(std::u16string_view label, uint8_t out[11]) {
    const std::string oem = platform::Utf16ToCp437(label);
    // A NUL unit ends the label, as it ends the 8-bit form.
    return VolumeLabelBytes(oem.c_str(), out);
}

ENTRY_NAMES NameSourcesOf(CFileRecord* record) {
    ENTRY_NAMES names;
    if (record == nullptr) return names;
    CAttr_FileName* first[4];
    record->FileNamesByNamespace(first);
    for (uint8_t ns : {kNamespaceWin32AndDos, kNamespaceDos, kNamespaceWin32, kNamespacePosix}) {
        if (first[ns] != nullptr) {
            names.ShortSource = first[ns];
            break;
        }
    }
    names.LongSource = first[kNamespaceWin32] != nullptr ? first[kNamespaceWin32] : first[kNamespacePosix];
    names.Directory = IsDirectoryRecord(record);
    return names;
}

void NameDirectory(std::vector<ENTRY_NAMES>* entries, ShortNameRandom* random) {
    ShortNameSet taken;
    OemName scratch;
    std::vector<bool> named(entries->size(), false);

    // 1. Real DOS names that need no change are reserved first, in order.
    for (size_t i = 0; i < entries->size(); ++i) {
        ENTRY_NAMES& e = (*entries)[i];
        if (e.ShortSource == nullptr) continue;
        const uint8_t ns = e.ShortSource->NameSpace();
        if (ns != kNamespaceWin32AndDos && ns != kNamespaceDos) continue;
        SHORT_NAME s;
        bool generated = true;
        char16_t units[256];
        const std::u16string_view name(units, static_cast<size_t>(e.ShortSource->CopyName(units)));
        if (!MakeShortNameImpl(name, nullptr, nullptr, false, &s, &generated, &scratch) ||
            generated || !taken.Insert(s.Bytes)) {
            continue;
        }
        e.Short = s;
        named[i] = true;
    }

    // 2. Every other entry: constructed, legalised and made unique.
    for (size_t i = 0; i < entries->size(); ++i) {
        if (named[i]) continue;
        ENTRY_NAMES& e = (*entries)[i];
        char16_t units[256];
        const int length = e.ShortSource != nullptr ? e.ShortSource->CopyName(units) : 0;
        // As MakeShortName does it, with one buffer for all the names.
        e.Short = SHORT_NAME{};
        MakeShortNameImpl(std::u16string_view(units, static_cast<size_t>(length)), random, &taken, true, &e.Short,
                          nullptr, &scratch);
    }

    // 3. Long names.
    for (ENTRY_NAMES& e : *entries) {
        e.LongNameFrom = nullptr;
        if (e.LongSource != nullptr && e.LongSource->NameChars > 0) {
            e.LongNameFrom = e.LongSource;
        } else if (e.ShortSource != nullptr && e.ShortSource->NameChars > 0 && !e.Short.Exact) {
            e.LongNameFrom = e.ShortSource;
        }
    }
}

uint32_t EntryGroupBytes(CFileRecord* record) {
    const ENTRY_NAMES names = NameSourcesOf(record);
    const CFileName* longest = names.LongSource != nullptr ? names.LongSource : names.ShortSource;
    const uint32_t units = longest != nullptr ? static_cast<uint32_t>(longest->NameChars) : 0;
    return kFatDirEntryBytes * (1 + static_cast<uint32_t>(DivideUp(units, kLfnUnitsPerEntry)));
}

uint32_t EntryGroupBytes(const ENTRY_NAMES& names) {
    const uint32_t units =
        names.LongNameFrom != nullptr ? static_cast<uint32_t>(names.LongNameFrom->NameChars) : 0;
    return kFatDirEntryBytes * (1 + static_cast<uint32_t>(DivideUp(units, kLfnUnitsPerEntry)));
}

// ---- Entries ------------------------------------------------------------------------------

uint8_t BuildShortEntry(CFileName* source, FAT_DIR_ENTRY* entry, uint32_t firstCluster,
                        uint32_t size, const SHORT_NAME& name, bool directory) {
    std::memset(entry, 0, sizeof *entry);
    std::memcpy(entry->Name, name.Bytes, 11);

    // Only the bits FAT and NTFS share; NTFS's 0x08 and 0x40 would make a label or a device.
    const uint32_t flags = source != nullptr ? source->FileAttributes() : 0;
    entry->Attributes = static_cast<uint8_t>(
        (flags & (kFatAttrReadOnly | kFatAttrHidden | kFatAttrSystem | kFatAttrArchive)) |
        (directory ? kFatAttrDirectory : 0));
    entry->CaseFlags = name.CaseFlags;

    uint64_t lastWrite = 0;
    uint64_t creation = 0;
    uint64_t lastAccess = 0;
    if (source != nullptr) source->LocalTimes(&lastWrite, &creation, &lastAccess);
    const platform::DosDateTime created = DosOf(creation);
    const platform::DosDateTime written = DosOf(lastWrite);
    const platform::DosDateTime accessed = DosOf(lastAccess);
    entry->CreationTenths = 0;
    entry->CreationTime = created.time;
    entry->CreationDate = created.date;
    entry->LastAccessDate = accessed.date;
    entry->WriteTime = written.time;
    entry->WriteDate = written.date;

    entry->FirstClusterHigh = static_cast<uint16_t>(firstCluster >> 16);
    entry->FirstClusterLow = static_cast<uint16_t>(firstCluster & 0xFFFF);
    entry->FileSize = size;
    return ShortNameChecksum(entry->Name);
}

void BuildLongEntry(FAT_LFN_ENTRY* entry, uint8_t order, const char16_t* chunk, uint32_t count,
                    uint8_t checksum) {
    std::memset(entry, 0xFF, sizeof *entry);
    entry->Order = order;
    entry->Attributes = kFatAttrLongName;
    entry->Type = 0;
    entry->Checksum = checksum;
    entry->FirstCluster = 0;
    // The 13 slots in disk order: 5 in Name1, 6 in Name2, 2 in Name3.
    auto* bytes = reinterpret_cast<uint8_t*>(entry);
    static constexpr size_t kSlot[kLfnUnitsPerEntry] = {0x01, 0x03, 0x05, 0x07, 0x09, 0x0E, 0x10,
                                                       0x12, 0x14, 0x16, 0x18, 0x1C, 0x1E};
    count = std::min(count, kLfnUnitsPerEntry);
    for (uint32_t j = 0; j < count; ++j) std::memcpy(bytes + kSlot[j], &chunk[j], 2);
    if (count < kLfnUnitsPerEntry) {
        const char16_t terminator = 0;
        std::memcpy(bytes + kSlot[count], &terminator, 2);
    }
}

void BuildEntryGroup(const ENTRY_NAMES& names, uint8_t* group, uint32_t firstCluster,
                     uint32_t size) {
    const uint32_t bytes = EntryGroupBytes(names);
    // 1. The short entry at the end.
    FAT_DIR_ENTRY shortEntry;
    const uint8_t checksum =
        BuildShortEntry(names.ShortSource, &shortEntry, firstCluster, size, names.Short, names.Directory);
    std::memcpy(group + bytes - kFatDirEntryBytes, &shortEntry, kFatDirEntryBytes);
    if (names.LongNameFrom == nullptr) return;

    // 2. Chunk k of 13 units goes 32 bytes before chunk k - 1; the last chunk lands first.
    char16_t units[256];
    const std::u16string_view name(units, static_cast<size_t>(names.LongNameFrom->CopyName(units)));
    const uint32_t chunks = static_cast<uint32_t>(DivideUp(name.size(), kLfnUnitsPerEntry));
    for (uint32_t k = 1; k <= chunks; ++k) {
        const size_t from = static_cast<size_t>(k - 1) * kLfnUnitsPerEntry;
        const uint32_t count = static_cast<uint32_t>(std::min<size_t>(kLfnUnitsPerEntry, name.size() - from));
        uint8_t order = static_cast<uint8_t>(k);
        if (k == chunks) order = static_cast<uint8_t>(order | kLfnLastOrder);
        FAT_LFN_ENTRY lfn;
        BuildLongEntry(&lfn, order, name.data() + from, count, checksum);
        std::memcpy(group + bytes - kFatDirEntryBytes * (k + 1), &lfn, kFatDirEntryBytes);
    }
}

void BuildDotEntries(FAT_DIR_ENTRY entries[2], uint32_t firstCluster, CFileRecord* directory,
                     CFileRecord* parent) {
    const ENTRY_NAMES names = NameSourcesOf(directory);
    SHORT_NAME dot;
    std::memcpy(dot.Bytes, ".          ", 11);
    BuildShortEntry(names.ShortSource, &entries[0], firstCluster, 0, dot, true);
    entries[1] = entries[0];
    entries[1].Name[1] = '.';
    const bool parentIsRoot = parent == nullptr || parent->RecordNumber == kRootRecord;
    const uint32_t parentCluster = parentIsRoot || directory == nullptr ? 0 : directory->UserCluster;
    entries[1].FirstClusterHigh = static_cast<uint16_t>(parentCluster >> 16);
    entries[1].FirstClusterLow = static_cast<uint16_t>(parentCluster & 0xFFFF);
}

void BuildLabelEntry(FAT_DIR_ENTRY* entry, const uint8_t label[11], CFileRecord* root) {
    std::memset(entry, 0, sizeof *entry);
    std::memcpy(entry->Name, label, 11);
    entry->Attributes = kFatAttrVolumeId;
    CSList<CAttrBase>* info = root != nullptr ? root->Attrs(kAttrStandardInformation) : nullptr;
    auto* stdInfo = info != nullptr ? dynamic_cast<CAttrResident*>(info->First()) : nullptr;
    if (stdInfo != nullptr && stdInfo->Value != nullptr &&
        stdInfo->ValueLength >= offsetof(STANDARD_INFORMATION, LastWriteTime) + sizeof(uint64_t)) {
        const auto modified =
            ntfs::LoadLe<uint64_t>(stdInfo->Value + offsetof(STANDARD_INFORMATION, LastWriteTime));
        const platform::DosDateTime dos = platform::FileTimeToLocalDos(modified);
        entry->WriteTime = dos.time;
        entry->WriteDate = dos.date;
    }
}

// ---- DirectoryWriter ----------------------------------------------------------------------

DirectoryWriter::DirectoryWriter(IFat* fat, uint32_t clusterCount)
    : ClusterCount(std::max<uint32_t>(1, clusterCount)), ClusterBytes(fat->FatClusterBytes()), Fat(fat) {
    Clusters = std::make_unique<uint32_t[]>(ClusterCount);
    Fat->AllocChain(ClusterCount, Clusters.get());
    Buffer = std::make_unique<uint8_t[]>(ClusterBytes);  // zeroed
}

namespace {

// Writes the buffer to the directory's next cluster and starts it again empty; refuses bytes
// beyond the chain.
void WriteBufferedCluster(DirectoryWriter* writer) {
    if (writer->NextIndex >= writer->ClusterCount) {
        LogErrorA("directory at cluster %u outgrows its %u clusters", writer->Clusters[0],
                  writer->ClusterCount);
        throw SimpleException(u"A directory does not fit the clusters allocated for it.", 1);
    }
    writer->Fat->WriteClusters(writer->Buffer.get(), writer->Clusters[writer->NextIndex++], 1);
    std::memset(writer->Buffer.get(), 0, writer->ClusterBytes);
    writer->Filled = 0;
}

}  // namespace

void DirectoryWriter::Append(const void* data, uint32_t length) {
    const auto* from = static_cast<const uint8_t*>(data);
    while (Filled + length > ClusterBytes) {
        const uint32_t take = ClusterBytes - Filled;
        std::memcpy(Buffer.get() + Filled, from, take);
        WriteBufferedCluster(this);
        from += take;
        length -= take;
    }
    std::memcpy(Buffer.get() + Filled, from, length);
    Filled += length;
}

void DirectoryWriter::Finish() {
    if (Filled > 0) WriteBufferedCluster(this);
    while (NextIndex < ClusterCount) Fat->WriteClusters(Buffer.get(), Clusters[NextIndex++], 1);
}

// ---- Sizing -------------------------------------------------------------------------------

namespace {

// Bytes of one directory's entries by the record-only estimate, the end entry included.
uint64_t EstimatedDirectoryBytes(FILE_ITEM* items, bool root) {
    uint64_t bytes = root ? 2 * kFatDirEntryBytes : 3 * kFatDirEntryBytes;
    for (FILE_ITEM* item = items; item != nullptr; item = item->NextSibling) {
        if (CFileRecord* record = RecordOf(item)) bytes += EntryGroupBytes(record);
    }
    return bytes;
}

}  // namespace

uint64_t DirectoryClusters(FILE_ITEM* items, uint32_t clusterBytes, bool whole) {
    // 1. The root item stands for the root directory: size its children.
    bool root = false;
    if (whole && items != nullptr && RecordOf(items) != nullptr &&
        RecordOf(items)->RecordNumber == kRootRecord) {
        items = items->FirstChild;
        root = true;
    }
    // 2.-4. Per directory: its fixed entries (label and end entry for the root; dot, dot-dot
    //    and end elsewhere) and its items' groups, in whole clusters; with `whole`, the same
    //    for every directory below, taken from a worklist rather than by recursion.
    uint64_t clusters = DivideUp(EstimatedDirectoryBytes(items, root), clusterBytes);
    if (!whole) return clusters;
    std::vector<FILE_ITEM*> directories;  // lists of items of directories still to size
    directories.push_back(items);
    while (!directories.empty()) {
        FILE_ITEM* list = directories.back();
        directories.pop_back();
        for (FILE_ITEM* item = list; item != nullptr; item = item->NextSibling) {
            if (!IsDirectoryRecord(RecordOf(item))) continue;
            clusters += DivideUp(EstimatedDirectoryBytes(item->FirstChild, false), clusterBytes);
            if (item->FirstChild != nullptr) directories.push_back(item->FirstChild);
        }
    }
    return clusters;
}

uint64_t LargestDirectoryEntries(FILE_ITEM* items) {
    bool root = false;
    if (items != nullptr && RecordOf(items) != nullptr && RecordOf(items)->RecordNumber == kRootRecord) {
        items = items->FirstChild;
        root = true;
    }
    uint64_t largest = EstimatedDirectoryBytes(items, root) / kFatDirEntryBytes;
    ForEachItem(items, [&](FILE_ITEM* item) {
        if (IsDirectoryRecord(RecordOf(item))) {
            largest = std::max(largest, EstimatedDirectoryBytes(item->FirstChild, false) / kFatDirEntryBytes);
        }
    });
    return largest;
}

uint64_t ResidentDataClusters(FILE_ITEM* items, uint32_t clusterBytes) {
    uint64_t sum = 0;
    ForEachItem(items, [&](FILE_ITEM* item) {
        if (CAttrResident* data = ResidentData(RecordOf(item))) sum += DivideUp(data->DataLength(), clusterBytes);
    });
    return sum;
}

// ---- Writing ------------------------------------------------------------------------------

namespace {

// Gathers cluster writes that continue one another into one write of at most kBytes. Each
// cluster is its bytes followed by zeros. The buffer starts zeroed and remembers how far each
// of its slots was last filled, so a slot is zeroed only where its previous bytes reach
// beyond the new ones, not whole for every cluster.
class ConsecutiveClusterWrites {
public:
    static constexpr size_t kBytes = size_t{1} << 20;

    ConsecutiveClusterWrites(IFat* fat, uint32_t clusterBytes)
        : fat_(fat), clusterBytes_(clusterBytes),
          capacity_(std::max<uint32_t>(1, static_cast<uint32_t>(kBytes / clusterBytes))),
          pending_(AllocateZeroedBytes(size_t{capacity_} * clusterBytes)),
          filled_(capacity_, 0) {}
    ~ConsecutiveClusterWrites() { Flush(); }
    ConsecutiveClusterWrites(const ConsecutiveClusterWrites&) = delete;
    ConsecutiveClusterWrites& operator=(const ConsecutiveClusterWrites&) = delete;

    // Writes `length` (at most one cluster) bytes and zeros to the end of the cluster to
    // `cluster`, now or with its neighbours.
    void Add(const uint8_t* bytes, uint32_t length, uint32_t cluster) {
        if (count_ > 0 && (cluster != first_ + count_ || count_ == capacity_)) Flush();
        if (count_ == 0) first_ = cluster;
        uint8_t* slot = pending_.get() + static_cast<size_t>(count_) * clusterBytes_;
        std::memcpy(slot, bytes, length);
        if (filled_[count_] > length) std::memset(slot + length, 0, filled_[count_] - length);
        filled_[count_] = length;
        ++count_;
    }

    void Flush() {
        if (count_ == 0) return;
        fat_->WriteClusters(pending_.get(), first_, count_);
        count_ = 0;
    }

private:
    IFat* fat_;
    uint32_t clusterBytes_;
    uint32_t capacity_;  // clusters in one write
    uint32_t first_ = 0;
    uint32_t count_ = 0;
    ZeroedBytes pending_;           // capacity_ clusters, zeros beyond filled_
    std::vector<uint32_t> filled_;  // per slot: bytes from its start that may be nonzero
};

}  // namespace

void WriteResidentData(FILE_ITEM* items, IFat* fat) {
    const uint32_t clusterBytes = fat->FatClusterBytes();
    ConsecutiveClusterWrites writes(fat, clusterBytes);
    std::vector<uint32_t> clusters;
    std::vector<uint8_t> buffer;
    ForEachItem(items, [&](FILE_ITEM* item) {
        CAttrResident* data = ResidentData(RecordOf(item));
        if (data == nullptr) return;
        // 1.-2. Clusters for the data; none for an empty file.
        const uint64_t length = data->DataLength();
        const auto count = static_cast<uint32_t>(DivideUp(length, clusterBytes));
        data->FirstDataCluster = 0;
        if (count == 0) return;
        // 3. One chain; the attribute remembers its start.
        clusters.assign(count, 0);
        fat->AllocChain(count, clusters.data());
        data->FirstDataCluster = clusters[0];
        // 4. The data (all zeros when it cannot be read).
        if (buffer.size() < length) buffer.resize(static_cast<size_t>(length));
        const uint64_t offset = 0;
        uint32_t delivered = 0;
        bool read = data->ReadAt(&offset, buffer.data(), static_cast<uint32_t>(length), &delivered) &&
                    delivered == length;
        if (!read) {
            LogErrorA("can't read the resident data of file record %I64d",
                      static_cast<int64_t>(item->FileRecord->RecordNumber));
        }
        // 5. Cluster by cluster, joined with its neighbours on the volume; the rest of the
        //    last cluster zeros.
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t from = uint64_t{i} * clusterBytes;
            const auto n = read ? static_cast<uint32_t>(std::min<uint64_t>(clusterBytes, length - from)) : 0;
            writes.Add(buffer.data() + from, n, clusters[i]);
        }
    });
    writes.Flush();
}

namespace {

// A directory being written: its named entries, its writer, and how far it has got.
struct OpenDirectory {
    CFileRecord* Record = nullptr;
    std::vector<FILE_ITEM*> Children;
    std::vector<ENTRY_NAMES> Names;
    std::unique_ptr<DirectoryWriter> Writer;
    size_t Next = 0;           // the child whose entry comes next
    bool ChildOpen = false;    // Children[Next] is a subdirectory being written
};

// Steps 1 to 3 of WriteDirectory for one directory.
std::unique_ptr<OpenDirectory> OpenDirectoryFor(FILE_ITEM* items, IFat* fat, CFileRecord* record,
                                                CFileRecord* parent, const char* label,
                                                ShortNameRandom* random) {
    auto d = std::make_unique<OpenDirectory>();
    d->Record = record;
    // 1. Names first: they decide how many long-name entries each group has, so the
    //    directory is sized exactly.
    for (FILE_ITEM* item = items; item != nullptr; item = item->NextSibling) {
        if (RecordOf(item) == nullptr) continue;
        d->Children.push_back(item);
        d->Names.push_back(NameSourcesOf(RecordOf(item)));
    }
    NameDirectory(&d->Names, random);

    const bool isRoot = record->RecordNumber == kRootRecord;
    uint8_t labelBytes[11];
    const bool hasLabel = isRoot && VolumeLabelBytes(label, labelBytes);
    uint64_t bytes = kFatDirEntryBytes;  // the end entry
    bytes += isRoot ? (hasLabel ? kFatDirEntryBytes : 0) : 2 * kFatDirEntryBytes;
    for (const ENTRY_NAMES& n : d->Names) bytes += EntryGroupBytes(n);
    const uint64_t clusters = DivideUp(bytes, fat->FatClusterBytes());
    if (clusters > UINT32_MAX) throw SimpleException(u"A directory is too large for FAT32.", 1);

    // 2. The chain, allocated before any child's.
    d->Writer = std::make_unique<DirectoryWriter>(fat, static_cast<uint32_t>(clusters));

    // 3. Label or dot entries.
    if (isRoot) {
        if (hasLabel) {
            FAT_DIR_ENTRY labelEntry;
            BuildLabelEntry(&labelEntry, labelBytes, record);
            d->Writer->Append(&labelEntry, sizeof labelEntry);
        }
    } else {
        FAT_DIR_ENTRY dots[2];
        BuildDotEntries(dots, d->Writer->FirstCluster(), record, parent);
        d->Writer->Append(dots, sizeof dots);
    }
    return d;
}

// Step 4d: the entry group of child i.
void AppendGroup(OpenDirectory* d, size_t i, uint32_t first, uint32_t size) {
    // A name has at most 255 units: 20 long-name entries and the short one.
    uint8_t group[kFatDirEntryBytes * (1 + DivideUp(255, kLfnUnitsPerEntry))];
    const uint32_t bytes = EntryGroupBytes(d->Names[i]);
    BuildEntryGroup(d->Names[i], group, first, size);
    d->Writer->Append(group, bytes);
}

// Step 5: the end entry; the last cluster and any left empty are written.
uint32_t CloseDirectory(OpenDirectory* d) {
    const uint8_t end[kFatDirEntryBytes] = {};
    d->Writer->Append(end, sizeof end);
    d->Writer->Finish();
    return d->Writer->FirstCluster();
}

}  // namespace

uint32_t WriteDirectory(FILE_ITEM* items, IFat* fat, CFileRecord* record, CFileRecord* parent,
                        const char* label, ShortNameRandom* random) {
    // One generator for the whole tree when the caller brings none.
    std::unique_ptr<ShortNameRandom> ownRandom;
    if (random == nullptr) {
        ownRandom = std::make_unique<ShortNameRandom>(1);
        random = ownRandom.get();
    }
    // The root item: write the root directory from its children.
    if (record == nullptr) {
        if (items == nullptr || RecordOf(items) == nullptr) {
            throw SimpleException(u"The root directory has no record.", 1);
        }
        record = RecordOf(items);
        items = items->FirstChild;
        parent = nullptr;
    }

    // Depth first, from an explicit stack of open directories: a subdirectory is opened (its
    // chain allocated) when its parent reaches it and is complete on disk before the parent
    // appends its entry, exactly as a recursive walk would do it.
    std::vector<std::unique_ptr<OpenDirectory>> open;
    open.push_back(OpenDirectoryFor(items, fat, record, parent, label, random));
    uint32_t closed = 0;  // first cluster of the directory closed last
    while (!open.empty()) {
        OpenDirectory* d = open.back().get();
        if (d->ChildOpen) {
            // 4a (end). The subdirectory is written: its entry follows.
            AppendGroup(d, d->Next, closed, 0);
            d->ChildOpen = false;
            ++d->Next;
            continue;
        }
        if (d->Next == d->Children.size()) {
            closed = CloseDirectory(d);
            open.pop_back();
            continue;
        }
        FILE_ITEM* item = d->Children[d->Next];
        CFileRecord* child = RecordOf(item);
        if (d->Names[d->Next].Directory) {
            // 4a. Its dot-dot entry needs this directory's first cluster.
            child->UserCluster = d->Writer->FirstCluster();
            d->ChildOpen = true;
            open.push_back(OpenDirectoryFor(item->FirstChild, fat, child, d->Record, nullptr, random));
            continue;
        }
        // 4b.-4d. A file.
        uint32_t first = 0;
        uint32_t size = 0;
        FileClusterAndSize(child, fat, &first, &size);
        AppendGroup(d, d->Next, first, size);
        ++d->Next;
    }
    return closed;
}
