// CFileRecord: one MFT file record. It reads the record by number through its CNTFSVolume,
// checks the "FILE" signature and undoes the update-sequence protection, then walks the
// attributes and builds an object (CAttrBase family) for each attribute whose type the caller
// selected in TypeMask, in sixteen lists, one per type code 0x10 ... 0x100. An
// $ATTRIBUTE_LIST brings in the selected attributes that live in extension records; split
// non-resident attributes are then joined (MergeExtents).
//
// Typical use:
//     CFileRecord rec(&volume);
//     if (!rec.LoadRecord(n)) ...;          // read, check, fix up
//     rec.TypeMask = 0x387;                 // choose the attribute types
//     if (!rec.BuildAttributes()) ...;      // build them
//     CAttrBase* data = rec.FirstUnnamedData();
//
// Memory: once loaded, the record keeps only its bytes up to the end of its attribute
// sequence (the free tail of the MFT record is dropped); attributes point into those bytes.
//
// Ownership: the record owns its buffer and the attributes in its lists; an $ATTRIBUTE_LIST
// attribute owns the extension records it loaded, whose buffers the moved attributes point
// into. Attribute objects die with the next LoadRecord, BuildAttributes or the destructor.
// Threads: one thread; nothing locks. The hook runs synchronously inside BuildAttributes.
#pragma once

#include <cstdint>
#include <memory>

#include "ntfs/CAttrBase.h"
#include "ntfs/CSList.h"
#include "ntfs/NtfsBytes.h"

class CNTFSVolume;
class CAttr_FileName;

#pragma pack(push, 1)

// The header shared by FILE records and INDX blocks: signature and update sequence array.
struct MULTI_SECTOR_HEADER {
    char Magic[4];       // 0x00 "FILE" or "INDX"
    uint16_t UsaOffset;  // 0x04 offset of the update sequence array
    uint16_t UsaCount;   // 0x06 entries in that array, the sequence number included (not used:
                         //      the count follows from the structure's size)
};
static_assert(sizeof(MULTI_SECTOR_HEADER) == 8);
static_assert(offsetof(MULTI_SECTOR_HEADER, UsaOffset) == 0x04);

// Header of an MFT file record (NTFS 3.1 form; 3.0 and earlier end at 0x2A).
struct FILE_RECORD_HEADER {
    MULTI_SECTOR_HEADER Multi;     // 0x00 "FILE", update sequence array
    uint64_t LogSequenceNumber;    // 0x08 (unused)
    uint16_t SequenceNumber;       // 0x10 reuse count of the record (unused)
    uint16_t LinkCount;            // 0x12 hard links (unused)
    uint16_t FirstAttributeOffset; // 0x14 offset of the first attribute
    uint16_t Flags;                // 0x16 0x0001 in use, 0x0002 directory
    uint32_t BytesInUse;           // 0x18 (unused: the walk is bounded by the record size)
    uint32_t BytesAllocated;       // 0x1C (unused)
    uint64_t BaseRecord;           // 0x20 file reference of the base record; 0 in a base record (unused)
    uint16_t NextAttributeId;      // 0x28 (unused)
    uint16_t Reserved;             // 0x2A (3.1)
    uint32_t RecordNumberLow;      // 0x2C own record number (3.1; unused)
};
static_assert(sizeof(FILE_RECORD_HEADER) == 0x30);
static_assert(offsetof(FILE_RECORD_HEADER, FirstAttributeOffset) == 0x14);
static_assert(offsetof(FILE_RECORD_HEADER, Flags) == 0x16);
static_assert(offsetof(FILE_RECORD_HEADER, BaseRecord) == 0x20);

// One entry of an $ATTRIBUTE_LIST value.
struct ATTR_LIST_ENTRY {
    uint32_t TypeCode;       // 0x00 type of the listed attribute
    uint16_t EntryLength;    // 0x04 bytes of this entry (the next follows at this distance)
    uint8_t NameLength;      // 0x06 name length in UTF-16 units (unused)
    uint8_t NameOffset;      // 0x07 name offset in the entry (unused)
    uint64_t FirstVcn;       // 0x08 first VCN of the extent (unused)
    uint64_t FileReference;  // 0x10 record holding the attribute: low 48 bits record number
    uint16_t Instance;       // 0x18 attribute number in that record (unused)
    uint8_t Name[6];         // 0x1A start of the name; pads the entry to 32 bytes
};
static_assert(sizeof(ATTR_LIST_ENTRY) == 0x20);
static_assert(offsetof(ATTR_LIST_ENTRY, EntryLength) == 0x04);
static_assert(offsetof(ATTR_LIST_ENTRY, FileReference) == 0x10);

#pragma pack(pop)

constexpr uint32_t kAttrEnd = 0xFFFFFFFF;           // type code that ends a record's attributes
constexpr uint32_t kAttrStandardInformation = 0x10;
constexpr uint32_t kAttrAttributeList = 0x20;
constexpr uint32_t kAttrFileName = 0x30;
constexpr uint32_t kAttrVolumeName = 0x60;
constexpr uint32_t kAttrVolumeInformation = 0x70;
constexpr uint32_t kAttrData = 0x80;
constexpr uint32_t kAttrIndexRoot = 0x90;
constexpr uint32_t kAttrIndexAllocation = 0xA0;
constexpr uint32_t kAttrBitmap = 0xB0;

constexpr uint16_t kRecordInUse = 0x0001;      // FILE_RECORD_HEADER.Flags
constexpr uint16_t kRecordDirectory = 0x0002;  // FILE_RECORD_HEADER.Flags

// $FILE_NAME namespaces.
constexpr uint8_t kNamespacePosix = 0;
constexpr uint8_t kNamespaceWin32 = 1;
constexpr uint8_t kNamespaceDos = 2;
constexpr uint8_t kNamespaceWin32AndDos = 3;

// Called for every attribute moved in from an extension record.
using AttrAddedHookFn = void (*)(void* context, CFileRecord* record, CAttrBase* attribute);

class CFileRecord {
public:
    // Empty lists, no buffer, TypeMask all ones, RecordNumber all ones.
    explicit CFileRecord(CNTFSVolume* volume);
    // Destroys the attributes (lists in index order), then the buffer.
    virtual ~CFileRecord();

    CFileRecord(const CFileRecord&) = delete;
    CFileRecord& operator=(const CFileRecord&) = delete;

    // Drops every attribute and reads record n (48-bit; build n from a file reference with
    // ntfs::RecordNumberOf). Fails on an unreadable record (RecordNumber all ones), a missing
    // "FILE" signature, an update sequence that does not match or lies outside the record,
    // or a first-attribute offset outside the record (RecordNumber n; buffer null).
    bool LoadRecord(uint64_t n);

    // Builds the attributes selected by TypeMask (bit i: type (i + 1) * 0x10). Precondition:
    // the last LoadRecord succeeded. The walk ends, successfully, at the end marker, at an
    // attribute whose length is below a header's or reaches past the record. Fails when a
    // selected attribute's type is outside 0x10 ... 0x100 or its object cannot be built (its
    // name, value or mapping pairs lie outside it, or it is not in the form its type must
    // have); the attributes built so far stay. An $ATTRIBUTE_LIST is followed after the
    // record's own attributes; an extension record that cannot be read ends that walk
    // silently.
    bool BuildAttributes();
    // Builds one attribute and appends it to its list (internal step of BuildAttributes).
    bool AddAttribute(uint8_t* header);
    // The object for a raw attribute (length already checked), or null when it cannot be built.
    static CAttrBase* MakeAttribute(uint8_t* header, CFileRecord* record);
    // Joins the extents of split non-resident attributes of each list (same type, same name)
    // into the first of them, drops duplicate runs, and raises the first extent's last VCN to
    // cover them all.
    void MergeExtents();

    // The list of attributes of a type code (0x10 ... 0x100, a multiple of 0x10); null for
    // any other code. Iterate with First / Next; downcast to the class of the type.
    CSList<CAttrBase>* Attrs(uint32_t typeCode);
    // The first $DATA attribute without a name (the file's main stream), or null.
    CAttrBase* FirstUnnamedData();
    // Nonzero when the first $STANDARD_INFORMATION has the compressed (0x800) flag.
    int HasCompressedFlag();
    // Nonzero when the first $STANDARD_INFORMATION has the encrypted (0x4000) flag.
    int HasEncryptedFlag();
    // The first $FILE_NAME attribute of a namespace (0 POSIX, 1 Win32, 2 DOS, 3 both), or null.
    CAttr_FileName* FileNameInNamespace(uint8_t nameSpace);
    // The same for all four namespaces in one pass over the names: first[ns] is what
    // FileNameInNamespace(ns) returns, for ns 0 ... 3.
    void FileNamesByNamespace(CAttr_FileName* first[4]);
    // Copies the first name that is not DOS-only, as stored, 0-terminated, into buffer (at
    // least 256 units); returns its length, 0 when there is none.
    int CopyLongName(char16_t* buffer);
    // The record header's flags (kRecordInUse, kRecordDirectory); 0 when nothing is loaded.
    uint16_t RecordFlags() const;
    // Bytes held in RecordBuffer (the record up to its end marker).
    uint32_t RecordBytes() const { return recordBytes_; }

    // Undoes the update-sequence protection of a FILE record or INDX block in place: every
    // 512-byte stride's last word must equal the sequence number and gets the saved value
    // back. False when the array lies outside the buffer or a stride does not match.
    static bool ApplyFixups(uint8_t* buffer, uint32_t bytes);

    CNTFSVolume* OwnerVolume;                // the volume read from; not owned
    std::unique_ptr<uint8_t[]> RecordBuffer; // the record after fix-ups; owned; null until loaded
    uint32_t TypeMask = 0xFFFFFFFF;          // attribute types to build (set between load and build)
    CSList<CAttrBase> AttrLists[16];         // built attributes, list i for type (i + 1) * 0x10; owning
    uint64_t RecordNumber = ~0ULL;           // number last requested; all ones when unread
    void* HookContext = nullptr;             // handed to AttrAddedHook
    AttrAddedHookFn AttrAddedHook = nullptr; // called for every attribute moved in from an extension record
    uint32_t UserCluster = 0;                // engine's field: first FAT cluster of the parent directory

private:
    void ClearLists();

    uint32_t recordBytes_ = 0;  // bytes of RecordBuffer
};

// Follows an $ATTRIBUTE_LIST attribute: loads the extension records that hold selected
// attributes of its record into `extensions` and moves those attributes into the record's
// lists (see CFileRecord.cpp). Used by CAttr_AttrList.
void LoadAttrListExtensions(CAttrBase* listAttribute, CSList<CFileRecord>* extensions);

// $ATTRIBUTE_LIST, resident or not. Building it loads the extension records.
template <typename T>
class CAttr_AttrList : public T {
public:
    CAttr_AttrList(uint8_t* header, CFileRecord* record) : T(header, record) { LoadExtensions(); }
    // Reads the list and moves the selected attributes of the extension records in.
    void LoadExtensions() { LoadAttrListExtensions(this, &ExtensionRecords); }

    CSList<CFileRecord> ExtensionRecords;  // the extension records loaded; owned
};
