#include "engine/FileTree.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <utility>

#include "device/Log.h"
#include "engine/Refusal.h"
#include "engine/UnicodeCase.h"
#include "ntfs/CNTFSVolume.h"

uint32_t TotalFiles = 0;
uint32_t TotalDirectories = 0;

namespace {

constexpr uint32_t kFileAttrHidden = 0x0002;
constexpr uint32_t kFileAttrSystem = 0x0004;
constexpr uint64_t kFourGiB = 4294967296ULL;

// ---- small accessors ------------------------------------------------------------------------

template <typename T>
T* FirstAttr(CFileRecord* record, uint32_t type) {
    return static_cast<T*>(record->Attrs(type)->First());
}

CAttr_FileName* FirstName(CFileRecord* record) { return FirstAttr<CAttr_FileName>(record, kAttrFileName); }

bool IsDirectoryRecord(const CFileRecord* record) { return (record->RecordFlags() & kRecordDirectory) != 0; }

// Of a record's first name in each namespace (FileNamesByNamespace), the one whose name the
// item carries on FAT32 (see ItemName), or null.
CAttr_FileName* ItemNameOf(CAttr_FileName* const first[4]) {
    for (uint8_t ns : {kNamespaceWin32, kNamespacePosix, kNamespaceWin32AndDos, kNamespaceDos}) {
        if (first[ns] != nullptr) return first[ns];
    }
    return nullptr;
}

// The same for a record, or null.
CAttr_FileName* ItemNameSource(CFileRecord* record) {
    if (record == nullptr) return nullptr;
    CAttr_FileName* first[4];
    record->FileNamesByNamespace(first);
    return ItemNameOf(first);
}

uint64_t ParentRecordOf(const CFileName* name) {
    return ntfs::RecordNumberOf(ntfs::LoadLe<uint64_t>(name->NameValue + offsetof(FILE_NAME_VALUE, ParentReference)));
}

// Drops a directory's index once it has been listed: records stay loaded for the whole
// conversion, the index is never needed again.
void DropIndex(CFileRecord* record) {
    record->Attrs(kAttrIndexRoot)->Clear();
    record->Attrs(kAttrIndexAllocation)->Clear();
    record->Attrs(kAttrBitmap)->Clear();
}

// The path of a directory as messages show it: "/" for the root, "/a/b" below (no trailing
// "/", as users write folder paths).
std::u16string FolderPath(const std::u16string& directoryPath) {
    if (directoryPath.size() <= 1) return directoryPath;
    return directoryPath.substr(0, directoryPath.size() - 1);
}

// ---- checks of one record -------------------------------------------------------------------

// Refuses a record that the index entry cannot really mean: one not in use, an extension
// record of another file, or one reused since the entry was written (sequence numbers differ).
// An index node in use never points at such a record; a stale entry would bring back a
// deleted file, whose clusters may already belong to another one.
void CheckRecordBelongsToEntry(CFileRecord* record, CIndexEntry* entry, const std::u16string& path) {
    const uint8_t* bytes = record->RecordBuffer.get();
    const uint16_t flags = record->RecordFlags();
    const uint16_t sequence = ntfs::LoadLe<uint16_t>(bytes + offsetof(FILE_RECORD_HEADER, SequenceNumber));
    const uint16_t expected = static_cast<uint16_t>(entry->FileReference() >> 48);
    uint64_t base = 0;
    if (ntfs::RangeFits(offsetof(FILE_RECORD_HEADER, BaseRecord), sizeof(uint64_t), record->RecordBytes())) {
        base = ntfs::RecordNumberOf(ntfs::LoadLe<uint64_t>(bytes + offsetof(FILE_RECORD_HEADER, BaseRecord)));
    }
    if ((flags & kRecordInUse) == 0 || base != 0 || (expected != 0 && expected != sequence)) {
        ThrowDamaged(u"The folder entry '%s' refers to file record %I64d, which is not in use or belongs to another file.",
                     DisplayPath(path).c_str(), static_cast<long long>(record->RecordNumber));
    }
}

// Refuses a record whose attribute list names extension records that could not be read: the
// attributes they hold (names, parts of the data) would be missing without a trace.
void CheckExtensionsLoaded(CFileRecord* record, const std::u16string& path) {
    CSList<CAttrBase>* lists = record->Attrs(kAttrAttributeList);
    for (CAttrBase* a = lists->First(); a != nullptr; a = lists->Next()) {
        CSList<CFileRecord>* extensions = nullptr;
        if (auto* r = dynamic_cast<CAttr_AttrList<CAttrResident>*>(a)) extensions = &r->ExtensionRecords;
        if (auto* n = dynamic_cast<CAttr_AttrList<CAttrNonResident>*>(a)) extensions = &n->ExtensionRecords;
        if (extensions == nullptr) continue;
        for (CFileRecord* e = extensions->First(); e != nullptr; e = extensions->Next()) {
            if (e->RecordBuffer == nullptr && e->RecordNumber == ~0ULL) {
                // Not even fetched (beyond the MFT, or its sectors unreadable): the record
                // forgets the number it was asked for.
                ThrowDamaged(u"A file record that holds part of '%s' (file record %I64d) cannot be read.",
                             DisplayPath(path).c_str(), static_cast<long long>(record->RecordNumber));
            }
            if (e->RecordBuffer == nullptr) {
                ThrowDamaged(u"The file record %I64d, which holds part of '%s' (file record %I64d), cannot be read.",
                             static_cast<long long>(e->RecordNumber), DisplayPath(path).c_str(),
                             static_cast<long long>(record->RecordNumber));
            }
        }
    }
}

// Frees the extension records that no attribute kept by the record points into any more
// (after KeepNamesOfEntry has dropped the names of other links). A file with many hard links
// keeps its names in dozens of extension records, and each of its items would otherwise hold
// all of them for the whole conversion.
void DropUnusedExtensions(CFileRecord* record) {
    CSList<CAttrBase>* lists = record->Attrs(kAttrAttributeList);
    for (CAttrBase* a = lists->First(); a != nullptr; a = lists->Next()) {
        CSList<CFileRecord>* extensions = nullptr;
        if (auto* r = dynamic_cast<CAttr_AttrList<CAttrResident>*>(a)) extensions = &r->ExtensionRecords;
        if (auto* n = dynamic_cast<CAttr_AttrList<CAttrNonResident>*>(a)) extensions = &n->ExtensionRecords;
        if (extensions == nullptr || extensions->Count() == 0) continue;

        // 1. Where the kept attributes live.
        std::vector<const uint8_t*> headers;
        for (auto& list : record->AttrLists) {
            for (CAttrBase* kept = list.First(); kept != nullptr; kept = list.Next()) headers.push_back(kept->Header);
        }
        // 2. Extension records none of them lies in (their own lists were emptied when their
        //    attributes moved into the base record).
        std::vector<CFileRecord*> unused;
        for (CFileRecord* e = extensions->First(); e != nullptr; e = extensions->Next()) {
            const uint8_t* begin = e->RecordBuffer.get();
            const uint8_t* end = begin + e->RecordBytes();
            const bool used = begin != nullptr && std::any_of(headers.begin(), headers.end(), [&](const uint8_t* h) {
                                  return std::less_equal<const uint8_t*>()(begin, h) && std::less<const uint8_t*>()(h, end);
                              });
            if (!used) unused.push_back(e);
        }
        for (CFileRecord* e : unused) extensions->Discard(e);
    }
}

// A long name FAT32 cannot store: the characters Windows forbids in file names.
bool HasForbiddenCharacter(std::u16string_view name) {
    // The forbidden units are all ASCII: controls and \ / : * ? " < > |.
    static constexpr auto kForbidden = [] {
        std::array<bool, 128> forbidden{};
        for (int c = 0; c < 0x20; ++c) forbidden[c] = true;
        for (char16_t c : std::u16string_view(u"\\/:*?\"<>|")) forbidden[c] = true;
        return forbidden;
    }();
    for (char16_t c : name) {
        if (c < 128 && kForbidden[c]) return true;
    }
    return false;
}

// Refuses a name FAT32 cannot hold: forbidden characters in the long name, or a name that
// another child of the directory already has, ignoring letter case.
void CheckName(FILE_ITEM* item, const std::u16string& path, DirectoryWalk* walk) {
    CFileRecord* record = item->FileRecord.get();
    CAttr_FileName* first[4];
    record->FileNamesByNamespace(first);
    CAttr_FileName* longName = first[kNamespaceWin32] != nullptr ? first[kNamespaceWin32] : first[kNamespacePosix];
    // The long name, when there is one, is also the item's name.
    const CAttr_FileName* source = ItemNameOf(first);
    char16_t units[256];
    const int length = source != nullptr ? source->CopyName(units) : 0;
    if (longName != nullptr &&
        HasForbiddenCharacter(std::u16string_view(units, static_cast<size_t>(length)))) {
        ThrowRefusal(u"The name of '%s' holds a character that FAT32 does not allow in file names "
                     u"(\\ / : * ? \" < > | or a control character). Please rename it and try again.",
                     DisplayPath(path).c_str());
    }

    FILE_ITEM* earlier = walk->FoldedNames.Insert(std::u16string_view(units, static_cast<size_t>(length)), item);
    if (earlier == nullptr) return;
    const std::u16string name(units, static_cast<size_t>(length));
    const std::u16string other = ItemName(earlier);
    if (other == name) {
        ThrowDamaged(u"The folder '%s' lists the name '%s' twice.", DisplayPath(FolderPath(walk->Path)).c_str(),
                     DisplayPath(name).c_str());
    }
    ThrowRefusal(u"The names '%s' and '%s' differ only in letter case. FAT32 cannot hold both in one folder: "
                 u"please rename one of them and try again.",
                 DisplayPath(walk->Path + other).c_str(), DisplayPath(path).c_str());
}

// Appends the item after walk->Last; the tree owns it from here on.
void AppendChild(FILE_ITEM* parent, FILE_ITEM* item, DirectoryWalk* walk) {
    if (walk->Last != nullptr) walk->Last->NextSibling = item;
    if (parent->FirstChild == nullptr) parent->FirstChild = item;
    walk->Last = item;
}

// Reads the index's block bitmap into *bits. False when the directory has none (every block
// is then taken as in use); refuses a bitmap that exists but cannot be read.
bool ReadIndexBitmap(CFileRecord* record, const std::u16string& path, std::vector<uint8_t>* bits) {
    CSList<CAttrBase>* list = record->Attrs(kAttrBitmap);
    CAttrBase* bitmap = nullptr;
    for (CAttrBase* a = list->First(); a != nullptr; a = list->Next()) {
        if (a->AttrName() == u"$I30") {
            bitmap = a;
            break;
        }
    }
    if (bitmap == nullptr) return false;
    const uint64_t length = bitmap->DataLength();
    // A bitmap bigger than any index could need is damage, not something to allocate.
    constexpr uint64_t kMaxBitmapBytes = 64ULL << 20;
    uint32_t got = 0;
    const uint64_t zero = 0;
    bool ok = length <= kMaxBitmapBytes;
    if (ok) {
        bits->assign(static_cast<size_t>(length), 0);
        ok = bitmap->ReadAt(&zero, bits->data(), static_cast<uint32_t>(length), &got) && got == length;
    }
    if (!ok) {
        ThrowDamaged(u"The index of the folder '%s' (file record %I64d) cannot be read.",
                     DisplayPath(FolderPath(path)).c_str(), static_cast<long long>(record->RecordNumber));
    }
    return true;
}

// Lists one directory: its root node's entries, then every index block in use, in block order.
void ListDirectory(FILE_ITEM* item, CNTFSVolume* volume, DirectoryWalk* walk) {
    CFileRecord* record = item->FileRecord.get();
    auto refuseIndex = [&]() {
        ThrowDamaged(u"The index of the folder '%s' (file record %I64d) cannot be read.",
                     DisplayPath(FolderPath(walk->Path)).c_str(), static_cast<long long>(record->RecordNumber));
    };

    // 1. The index root over $FILE_NAME. A directory without one has lost its contents.
    auto* root = FirstAttr<CAttr_IndexRoot>(record, kAttrIndexRoot);
    if (root == nullptr || root->IndexedType() != kAttrFileName) {
        if (IsDirectoryRecord(record)) refuseIndex();
        return;
    }

    // 2. The root's entries. A node whose entry walk stopped before the end marker (an entry
    //    too short or reaching past the node's end) may hide further files: refuse it rather
    //    than take the entries before the break and lose the rest.
    if (!root->NodeComplete) {
        ThrowDamaged(u"The index of the folder '%s' (file record %I64d) is damaged: some of its entries cannot be read.",
                     DisplayPath(FolderPath(walk->Path)).c_str(), static_cast<long long>(record->RecordNumber));
    }
    AddIndexEntries(root, item, volume, walk);

    // 3. The blocks, when the root says the index continues in them. Every block the bitmap
    //    marks in use must be read: its entries are files. Blocks marked free are skipped:
    //    they keep entries of deleted files.
    if ((root->NodeFlags() & kIndexRootHasBlocks) != 0) {
        auto* allocation = FirstAttr<CAttr_IndexAlloc>(record, kAttrIndexAllocation);
        if (allocation == nullptr || !allocation->RunsValid() || allocation->BlockCount == 0) refuseIndex();
        std::vector<uint8_t> bits;
        const bool haveBitmap = ReadIndexBitmap(record, walk->Path, &bits);
        CIndexBlock block;
        for (uint64_t n = 0; n < allocation->BlockCount; ++n) {
            // A block beyond what the bitmap covers counts as in use: reading it costs
            // nothing, leaving it out could lose files.
            if (haveBitmap && n / 8 < bits.size() && (bits[n / 8] & (1u << (n % 8))) == 0) continue;
            if (!allocation->ReadBlock(&n, &block)) {
                ThrowDamaged(u"The index block %I64d of the folder '%s' (file record %I64d) cannot be read.",
                             static_cast<long long>(n), DisplayPath(FolderPath(walk->Path)).c_str(),
                             static_cast<long long>(record->RecordNumber));
            }
            if (!block.NodeComplete) {
                ThrowDamaged(u"The index block %I64d of the folder '%s' (file record %I64d) is damaged: some of its "
                             u"entries cannot be read.",
                             static_cast<long long>(n), DisplayPath(FolderPath(walk->Path)).c_str(),
                             static_cast<long long>(record->RecordNumber));
            }
            AddIndexEntries(&block, item, volume, walk);
        }
    }

    // 4. The index is no longer needed.
    DropIndex(record);
}

// Index blocks lie scattered over the volume, one small read each: asking for all of a
// directory's blocks as soon as the directory is known lets the system fetch them together,
// while the walk is still busy elsewhere, instead of one wait per block.
void PrefetchIndexBlocks(CFileRecord* record) {
    auto* allocation = FirstAttr<CAttr_IndexAlloc>(record, kAttrIndexAllocation);
    if (allocation != nullptr && allocation->RunsValid()) allocation->Prefetch();
}

}  // namespace

// ---- names FAT32 sees as one ----------------------------------------------------------------

FILE_ITEM* DirectoryWalk::FoldedNameTable::Insert(std::u16string_view name, FILE_ITEM* item) {
    // 1. The hash of the upper-cased name (FNV-1a over its units).
    uint64_t hash = 14695981039346656037ULL;
    for (char16_t unit : name) hash = (hash ^ UpcaseUnit(unit)) * 1099511628211ULL;

    // 2. Room for one more at most half full.
    if ((Used + 1) * 2 > Slots.size()) {
        std::vector<Slot> old = std::move(Slots);
        Slots.assign(old.empty() ? 64 : old.size() * 2, Slot{});
        const size_t mask = Slots.size() - 1;
        for (const Slot& slot : old) {
            if (slot.Item == nullptr) continue;
            size_t at = static_cast<size_t>(slot.Hash) & mask;
            while (Slots[at].Item != nullptr) at = (at + 1) & mask;
            Slots[at] = slot;
        }
    }

    // 3. An item of the same hash whose name is the same but for case is the earlier child;
    //    an empty slot takes this one.
    const size_t mask = Slots.size() - 1;
    size_t at = static_cast<size_t>(hash) & mask;
    for (; Slots[at].Item != nullptr; at = (at + 1) & mask) {
        if (Slots[at].Hash != hash) continue;
        char16_t units[256];
        const CAttr_FileName* other = ItemNameSource(Slots[at].Item->FileRecord.get());
        const int length = other != nullptr ? other->CopyName(units) : 0;
        if (EqualIgnoringCase(name, std::u16string_view(units, static_cast<size_t>(length)))) return Slots[at].Item;
    }
    Slots[at] = Slot{hash, item};
    ++Used;
    return nullptr;
}

// ---- the tree's owner -----------------------------------------------------------------------

void FreeFileTree(FILE_ITEM* item) {
    // The items still to free form one chain through NextSibling. Before an item goes, its
    // children are spliced onto the end of that chain, so the whole tree is freed in one pass
    // with no recursion and no allocation; `tail` only ever moves forward.
    if (item == nullptr) return;
    FILE_ITEM* tail = item;
    while (tail->NextSibling != nullptr) tail = tail->NextSibling;
    while (item != nullptr) {
        if (item->FirstChild != nullptr) {
            tail->NextSibling = item->FirstChild;
            item->FirstChild = nullptr;
            while (tail->NextSibling != nullptr) tail = tail->NextSibling;
        }
        FILE_ITEM* next = item->NextSibling;
        delete item;  // and its record
        item = next;
    }
}

ShCount<FILE_ITEM> MakeFileTree(std::unique_ptr<CFileRecord> rootRecord) {
    auto* root = new FILE_ITEM;
    root->FileRecord = std::move(rootRecord);
    return ShCount<FILE_ITEM>(root, &FreeFileTree);
}

// ---- the walk -------------------------------------------------------------------------------

void WalkDirectory(CFileRecord* record, CNTFSVolume* volume, FILE_ITEM* item) {
    // 1. The first directory: the root is "/", any other is named by its own record.
    std::unordered_set<uint64_t> seen{record->RecordNumber};
    std::vector<DirectoryWalk::Pending> pending;
    std::u16string path = u"/";
    if (record->RecordNumber != kRootRecord && !ItemName(item).empty()) path += ItemName(item) + u"/";
    pending.push_back({item, std::move(path)});
    PrefetchIndexBlocks(record);

    // 2. Depth first from an explicit stack: list a directory, then walk its subdirectories
    //    in index order (pushed in reverse, so the first is taken next).
    while (!pending.empty()) {
        DirectoryWalk walk;
        walk.Path = std::move(pending.back().Path);
        FILE_ITEM* directory = pending.back().Item;
        pending.pop_back();
        walk.SeenDirectories = &seen;
        ListDirectory(directory, volume, &walk);
        for (auto it = walk.Subdirectories.rbegin(); it != walk.Subdirectories.rend(); ++it) {
            PrefetchIndexBlocks(it->Item->FileRecord.get());
            pending.push_back(std::move(*it));
        }
    }
}

void AddIndexEntries(CSList<CIndexEntry>* entries, FILE_ITEM* parent, CNTFSVolume* volume,
                     DirectoryWalk* walk) {
    std::u16string path;  // the entry's path; one buffer for all entries
    for (CIndexEntry* entry = entries->First(); entry != nullptr; entry = entries->Next()) {
        // 1. Every entry but the end marker names a file by its key. One whose key is too short
        //    for its name, or that has no key or an empty name, is damage: skipping it as a
        //    keyless entry would leave the file out and free its clusters.
        const uint64_t number = entry->RecordNumber();
        if (entry->HasDamagedKey() ||
            (!entry->IsLast() && (entry->NameValue == nullptr || entry->NameChars == 0))) {
            const CFileRecord* directory = parent->FileRecord.get();
            ThrowDamaged(u"The index of the folder '%s' (file record %I64d) holds an entry for file record %I64d "
                         u"whose name is damaged.",
                         DisplayPath(FolderPath(walk->Path)).c_str(),
                         static_cast<long long>(directory != nullptr ? directory->RecordNumber : 0),
                         static_cast<long long>(number));
        }

        // 2. System files, and nothing that is not a real entry.
        if (number < kFirstUserRecord) continue;

        // 3. A name is needed (the end marker has none); a DOS name is only the partner of a
        //    long one, taken through that.
        if (entry->NameValue == nullptr || entry->NameChars == 0) continue;
        if (entry->NameSpace() == kNamespaceDos) continue;
        char16_t keyUnits[256];
        const std::u16string_view keyName(keyUnits, static_cast<size_t>(entry->CopyName(keyUnits)));
        const uint32_t keyFlags = entry->FileAttributes();

        // 4. The two hidden system folders. (The names are pure ASCII, so comparing the
        //    UTF-16 name is the same as comparing its Windows-1252 form.)
        if ((keyFlags & (kFileAttrHidden | kFileAttrSystem)) != 0 &&
            (keyName == u"System Volume Information" || keyName == u"$RECYCLE.BIN")) {
            continue;
        }
        path.assign(walk->Path);
        entry->AppendName(&path);

        // 5. The record. A file that cannot be read would vanish: refuse instead.
        auto record = std::make_unique<CFileRecord>(volume);
        if (!record->LoadRecord(number)) {
            LogWarnA("can't parse a file record %I64d", static_cast<long long>(number));
            ThrowDamaged(u"The file record %I64d ('%s') cannot be read.", static_cast<long long>(number),
                         DisplayPath(path).c_str());
        }
        CheckRecordBelongsToEntry(record.get(), entry, path);

        // 6. Its attributes: they must build, include a name, and not describe a sparse file.
        record->TypeMask = kTreeRecordTypeMask;
        if (!record->BuildAttributes()) {
            LogWarnA("%I64d File Record parse failed.", static_cast<long long>(number));
            ThrowDamaged(u"The attributes of file record %I64d ('%s') cannot be read.",
                         static_cast<long long>(number), DisplayPath(path).c_str());
        }
        CheckExtensionsLoaded(record.get(), path);
        if (FirstName(record.get()) == nullptr) {
            LogErrorW(u"there is not Win or Dos NameAttr in %I64d File Record '%s'", static_cast<long long>(number),
                      DisplayPath(path).c_str());
            ThrowRefusal(u"Find a NTFS File/Directory '%s' without Dos and Win namespace,The volume may install an "
                         u"opearting system.\nVelundra has stopped converting, please move it to the other volume "
                         u"and try again.",
                         DisplayPath(path).c_str());
        }
        auto* info = FirstAttr<CAttr_StdInfo>(record.get(), kAttrStandardInformation);
        if (info != nullptr && (info->FileFlags() & kFileAttrSparse) != 0) {
            ThrowRefusal(u"The file '%s' is a sparse file, FAT32 is not supported.", DisplayPath(path).c_str());
        }

        // 7. Directory or file: the key and the record must agree, or the contents of a
        //    directory would be lost (or a file walked as one).
        const bool isDirectory = IsDirectoryRecord(record.get());
        if (isDirectory != ((keyFlags & kFileAttrDirectoryIndex) != 0)) {
            ThrowDamaged(u"The folder entry '%s' (file record %I64d) does not agree with its file record about "
                         u"being a folder.",
                         DisplayPath(path).c_str(), static_cast<long long>(number));
        }

        // 8. This link's names only, with the key's newer times and flags; then the name
        //    must suit FAT32.
        KeepNamesOfEntry(record.get(), entry);
        DropUnusedExtensions(record.get());
        RefreshNameTimes(record.get(), entry);
        auto* item = new FILE_ITEM;
        item->FileRecord = std::move(record);
        AppendChild(parent, item, walk);
        CFileRecord* kept = item->FileRecord.get();
        CheckName(item, path, walk);

        // 9. Files FAT32 cannot hold.
        if (!isDirectory && (kept->HasEncryptedFlag() != 0 || kept->HasCompressedFlag() != 0)) {
            ThrowRefusal(u"The file '%s' contain Compressed or Encrypted attribute, please remove these attributes "
                         u"and retry!",
                         DisplayPath(path).c_str());
        }
        CheckRunLength(kept);

        // 10. A directory is walked after this one; a file is done.
        if (isDirectory) {
            if (walk->SeenDirectories != nullptr && !walk->SeenDirectories->insert(number).second) {
                ThrowDamaged(u"The folder '%s' (file record %I64d) is reached a second time.",
                             DisplayPath(path).c_str(), static_cast<long long>(number));
            }
            walk->Subdirectories.push_back({item, path + u"/"});
            ++TotalDirectories;
        } else {
            CAttrBase* data = kept->FirstUnnamedData();
            if (data != nullptr && data->DataLength() >= kFourGiB) {
                ThrowRefusal(u"File '%s' is larger than 4GB.\nFAT32 format does not support file larger than 4GB. "
                             u"To continue, please split it into files smaller than 4GB.",
                             DisplayPath(path).c_str());
            }
            ++TotalFiles;
            DropIndex(kept);
        }
    }
}

// ---- names and times ------------------------------------------------------------------------

void RefreshNameTimes(CFileRecord* record, CIndexEntry* entry) {
    if (entry->NameValue == nullptr) return;
    CAttr_FileName* first[4];
    record->FileNamesByNamespace(first);
    for (uint8_t ns : {kNamespaceWin32AndDos, kNamespaceWin32, kNamespaceDos, kNamespacePosix}) {
        CAttr_FileName* name = first[ns];
        if (name == nullptr) continue;
        for (size_t at : {offsetof(FILE_NAME_VALUE, CreationTime), offsetof(FILE_NAME_VALUE, LastWriteTime),
                          offsetof(FILE_NAME_VALUE, LastAccessTime)}) {
            std::memcpy(name->NameValue + at, entry->NameValue + at, sizeof(uint64_t));
        }
        std::memcpy(name->NameValue + offsetof(FILE_NAME_VALUE, FileAttributes),
                    entry->NameValue + offsetof(FILE_NAME_VALUE, FileAttributes), sizeof(uint32_t));
    }
}

void KeepNamesOfEntry(CFileRecord* record, CIndexEntry* entry) {
    if (entry->NameValue == nullptr) return;
    const uint64_t parent = ParentRecordOf(entry);
    const uint8_t ns = entry->NameSpace();

    // 1. The name equal to the key, and for a Win32 key the DOS name in the same directory.
    CSList<CAttrBase>* names = record->Attrs(kAttrFileName);
    CAttrBase* match = nullptr;
    CAttrBase* dosPartner = nullptr;
    for (CAttrBase* a = names->First(); a != nullptr; a = names->Next()) {
        auto* name = static_cast<CAttr_FileName*>(a);
        if (name->NameValue == nullptr || ParentRecordOf(name) != parent) continue;
        if (match == nullptr && name->NameSpace() == ns && name->SameName(*entry)) match = a;
        if (dosPartner == nullptr && ns == kNamespaceWin32 && name->NameSpace() == kNamespaceDos) dosPartner = a;
    }

    // 2. Without a match nothing is dropped; otherwise every other name goes (usually there
    //    is none: the match and its DOS partner are all the names).
    if (match == nullptr) return;
    if (names->Count() == (dosPartner != nullptr ? 2 : 1)) return;
    std::vector<CAttrBase*> all;
    for (CAttrBase* a = names->First(); a != nullptr; a = names->Next()) all.push_back(a);
    for (CAttrBase* a : all) {
        if (a != match && a != dosPartner) names->Discard(a);
    }
}

bool CheckRunLength(CFileRecord* record) {
    CAttrBase* attribute = record->FirstUnnamedData();
    if (attribute == nullptr) attribute = record->Attrs(kAttrIndexAllocation)->First();
    if (attribute == nullptr || !attribute->IsNonResident()) return true;
    auto* nonResident = static_cast<CAttrNonResident*>(attribute);
    uint64_t clusters = 0;
    for (tagDataRun_Entry* run = nonResident->Runs.First(); run != nullptr; run = nonResident->Runs.Next()) {
        clusters += run->ClusterCount;
    }
    uint64_t runBytes = 0;
    if (__builtin_mul_overflow(clusters, uint64_t{attribute->ClusterBytes}, &runBytes)) runBytes = UINT64_MAX;
    const uint64_t length = attribute->DataLength();
    if (runBytes >= length) return true;
    LogInfoA("%I64d FR actual data run size %I64d < file size %I64d", static_cast<long long>(record->RecordNumber),
             static_cast<long long>(runBytes), static_cast<long long>(length));
    return false;
}

std::u16string ItemName(const FILE_ITEM* item) {
    const CAttr_FileName* name = ItemNameSource(item->FileRecord.get());
    return name != nullptr ? name->Name() : std::u16string();
}

bool ItemIsDirectory(const FILE_ITEM* item) {
    return item->FileRecord != nullptr && IsDirectoryRecord(item->FileRecord.get());
}

// ---- listing --------------------------------------------------------------------------------

void VisitTree(FILE_ITEM* root,
               const std::function<void(FILE_ITEM* item, const std::u16string& path)>& visit) {
    if (root == nullptr) return;
    // One frame per open directory: the next item of its chain and the length of its path.
    struct Frame {
        FILE_ITEM* Next;
        size_t PrefixLength;
    };
    std::u16string path = u"/";
    std::vector<Frame> stack{{root->FirstChild, 1}};
    while (!stack.empty()) {
        FILE_ITEM* item = stack.back().Next;
        if (item == nullptr) {
            stack.pop_back();
            continue;
        }
        stack.back().Next = item->NextSibling;
        path.resize(stack.back().PrefixLength);
        if (const CAttr_FileName* name = ItemNameSource(item->FileRecord.get())) name->AppendName(&path);
        if (ItemIsDirectory(item)) {
            path += u'/';
            visit(item, path);
            stack.push_back({item->FirstChild, path.size()});
        } else {
            visit(item, path);
        }
    }
}

void ListPaths(FILE_ITEM* root, std::vector<std::u16string>* out) {
    VisitTree(root, [out](FILE_ITEM*, const std::u16string& path) { out->push_back(path); });
}
