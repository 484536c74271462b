// Directory indexes. A directory's children are the entries of its file-name index: a root
// node in the resident $INDEX_ROOT and, for larger directories, INDX blocks in the
// non-resident $INDEX_ALLOCATION. CFileName is a $FILE_NAME value with an upper-cased copy
// of its name and its times; CIndexEntry is one entry of a node (its key is a $FILE_NAME
// value); CAttr_IndexRoot is the root with its entries; CAttr_IndexAlloc reads numbered
// blocks into a CIndexBlock with its entries. EnumerateDirectory visits a directory's nodes
// the way the conversion lists a directory.
//
// Including this header gives the whole reader (records, attributes, indexes).
//
// Ownership: entries point into their node's bytes (the record buffer for the root, the
// block buffer for a block) and must not outlive them; the upper-cased names are owned.
// Threads: one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ntfs/CAttrBase.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CSList.h"

#pragma pack(push, 1)

// Value of $FILE_NAME (also the key of a directory index entry); the name follows at 0x42.
struct FILE_NAME_VALUE {
    uint64_t ParentReference;  // 0x00 file reference of the parent directory
    uint64_t CreationTime;     // 0x08 FILETIME (UTC)
    uint64_t LastWriteTime;    // 0x10 FILETIME (UTC)
    uint64_t MftChangeTime;    // 0x18 FILETIME (UTC)
    uint64_t LastAccessTime;   // 0x20 FILETIME (UTC)
    uint64_t AllocatedSize;    // 0x28 allocated bytes of the unnamed data (not kept current)
    uint64_t DataSize;         // 0x30 bytes of the unnamed data (not kept current)
    uint32_t FileAttributes;   // 0x38 file attribute flags; 0x10000000: a directory with an index
    uint32_t EaOrReparse;      // 0x3C extended attribute size or reparse tag
    uint8_t NameLength;        // 0x40 name length in UTF-16 units
    uint8_t NameSpace;         // 0x41 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
};
static_assert(sizeof(FILE_NAME_VALUE) == 0x42);
static_assert(offsetof(FILE_NAME_VALUE, CreationTime) == 0x08);
static_assert(offsetof(FILE_NAME_VALUE, LastWriteTime) == 0x10);
static_assert(offsetof(FILE_NAME_VALUE, LastAccessTime) == 0x20);
static_assert(offsetof(FILE_NAME_VALUE, FileAttributes) == 0x38);
static_assert(offsetof(FILE_NAME_VALUE, NameLength) == 0x40);
static_assert(offsetof(FILE_NAME_VALUE, NameSpace) == 0x41);

// Header of an index node, in $INDEX_ROOT (at value offset 0x10) and in an INDX block (at 0x18).
// Offsets and sizes count from the start of this header.
struct INDEX_HEADER {
    uint32_t FirstEntryOffset;  // 0x00 offset of the first entry
    uint32_t BytesInUse;        // 0x04 bytes used by the header and the entries
    uint32_t BytesAllocated;    // 0x08 bytes allocated to the node (unused)
    uint8_t Flags;              // 0x0C 1: the index continues in $INDEX_ALLOCATION (root only)
    uint8_t Padding[3];         // 0x0D
};
static_assert(sizeof(INDEX_HEADER) == 0x10);
static_assert(offsetof(INDEX_HEADER, BytesInUse) == 0x04);
static_assert(offsetof(INDEX_HEADER, Flags) == 0x0C);

// Value of $INDEX_ROOT.
struct INDEX_ROOT_VALUE {
    uint32_t IndexedType;        // 0x00 type of the indexed attribute (0x30 for directories)
    uint32_t CollationRule;      // 0x04 (unused)
    uint32_t IndexBlockBytes;    // 0x08 bytes per index block (unused: the boot sector says)
    uint8_t ClustersPerBlock;    // 0x0C (unused)
    uint8_t Padding[3];          // 0x0D
    INDEX_HEADER Node;           // 0x10 the root node
};
static_assert(sizeof(INDEX_ROOT_VALUE) == 0x20);
static_assert(offsetof(INDEX_ROOT_VALUE, Node) == 0x10);
static_assert(offsetof(INDEX_ROOT_VALUE, Node) + offsetof(INDEX_HEADER, Flags) == 0x1C);

// The fixed part of an index entry; the key (a $FILE_NAME value) follows at 0x10.
struct INDEX_ENTRY_HEADER {
    uint64_t FileReference;  // 0x00 the entry's file: low 48 bits record number
    uint16_t EntryLength;    // 0x08 bytes of the entry
    uint16_t KeyLength;      // 0x0A bytes of the key; 0: no key
    uint8_t Flags;           // 0x0C 0x01 has a sub-node (unused), 0x02 last entry of the node
    uint8_t Padding[3];      // 0x0D
};
static_assert(sizeof(INDEX_ENTRY_HEADER) == 0x10);
static_assert(offsetof(INDEX_ENTRY_HEADER, EntryLength) == 0x08);
static_assert(offsetof(INDEX_ENTRY_HEADER, KeyLength) == 0x0A);
static_assert(offsetof(INDEX_ENTRY_HEADER, Flags) == 0x0C);

// Header of an INDX block.
struct INDEX_BLOCK_HEADER {
    MULTI_SECTOR_HEADER Multi;  // 0x00 "INDX", update sequence array
    uint64_t LogSequenceNumber; // 0x08 (unused)
    uint64_t BlockVcn;          // 0x10 the block's own VCN (unused)
    INDEX_HEADER Node;          // 0x18 the node
};
static_assert(sizeof(INDEX_BLOCK_HEADER) == 0x28);
static_assert(offsetof(INDEX_BLOCK_HEADER, Node) == 0x18);

#pragma pack(pop)

constexpr uint8_t kIndexEntryLast = 0x02;             // INDEX_ENTRY_HEADER.Flags
constexpr uint8_t kIndexRootHasBlocks = 0x01;         // INDEX_HEADER.Flags of the root
constexpr uint32_t kFileAttrDirectoryIndex = 0x10000000;  // FILE_NAME_VALUE.FileAttributes

// A $FILE_NAME value: the name (as stored and upper-cased) and the times.
class CFileName {
public:
    // nameValue: a value of at least 0x42 + 2 * name length bytes, or null. Runs LoadName.
    explicit CFileName(uint8_t* nameValue = nullptr);
    virtual ~CFileName() = default;

    CFileName(const CFileName&) = delete;
    CFileName& operator=(const CFileName&) = delete;

    // Rebuilds UpperName (towupper of each unit) and NameChars from NameValue.
    void LoadName();
    // Copies the name as stored, 0-terminated, into buffer (at least 256 units); returns its
    // length; 0 (buffer untouched) when there is no name.
    int CopyName(char16_t* buffer) const;
    // The last write time and, when the pointers are given, the creation and last access
    // times, shifted into local time (the UTC value when the shift fails; 0 without a value).
    void LocalTimes(uint64_t* lastWrite, uint64_t* creation = nullptr,
                    uint64_t* lastAccess = nullptr) const;

    // Fields of the value (0 without one).
    uint8_t NameSpace() const { return NameValue == nullptr ? 0 : NameValue[offsetof(FILE_NAME_VALUE, NameSpace)]; }
    uint32_t FileAttributes() const {
        return NameValue == nullptr ? 0 : ntfs::LoadLe<uint32_t>(NameValue + offsetof(FILE_NAME_VALUE, FileAttributes));
    }
    // The name as stored (empty without one).
    std::u16string Name() const;
    // Appends the name as stored to *out (nothing without one).
    void AppendName(std::u16string* out) const;
    // True when both names, as stored, are the same units (two missing names are the same).
    bool SameName(const CFileName& other) const;

    uint8_t* NameValue = nullptr;          // the $FILE_NAME value; not owned; null when none
    std::unique_ptr<char16_t[]> UpperName; // the upper-cased name, 0-terminated; owned; null when empty
    int32_t NameChars = 0;                 // name length in UTF-16 units
};

// One entry of an index node. The walk that makes entries has checked that the entry, and
// its key, lie inside the node.
class CIndexEntry : public CFileName {
public:
    // Takes the key as NameValue when the key is long enough to hold a $FILE_NAME value and
    // its name; a shorter key counts as no key.
    explicit CIndexEntry(uint8_t* rawEntry);

    // The file reference and its 48-bit record number.
    uint64_t FileReference() const;
    uint64_t RecordNumber() const { return ntfs::RecordNumberOf(FileReference()); }
    uint8_t EntryFlags() const;
    // True for the end-of-node marker.
    bool IsLast() const { return (EntryFlags() & kIndexEntryLast) != 0; }
    // True when the entry has a key that cannot hold a $FILE_NAME value and its name (it is
    // treated as having no key, so a caller that skips keyless entries would lose a name).
    bool HasDamagedKey() const;

    uint8_t* RawEntry;  // the raw entry inside its node; not owned
};

// $FILE_NAME of a record (always resident): the value is the CFileName part.
class CAttr_FileName : public CAttrResident, public CFileName {
public:
    // The value has been checked to hold the name (MakeAttribute).
    CAttr_FileName(uint8_t* header, CFileRecord* record);
};

// $INDEX_ROOT (always resident) with the entries of the root node.
class CAttr_IndexRoot : public CAttrResident, public CSList<CIndexEntry> {
public:
    // The value has been checked to hold an INDEX_ROOT_VALUE. Collects the entries when the
    // index is over $FILE_NAME.
    CAttr_IndexRoot(uint8_t* header, CFileRecord* record);

    // Builds the root's entries (see CollectIndexEntries).
    void CollectRootEntries();
    uint32_t IndexedType() const;
    // The node flags byte (value offset 0x1C): 1 when the index continues in blocks.
    uint8_t NodeFlags() const;

    uint8_t* RootValue;    // the value; not owned
    bool NodeComplete = false;  // the entry walk reached the last-entry marker (see CollectIndexEntries)
};

// One INDX block read into memory, with its entries.
class CIndexBlock : public CSList<CIndexEntry> {
public:
    CIndexBlock() = default;
    std::unique_ptr<uint8_t[]> BlockBuffer;  // the block after fix-ups; owned
    uint32_t BlockBufferBytes = 0;           // size of BlockBuffer (kept for the next block of that size)
    bool NodeComplete = false;               // the last ReadBlock's entry walk reached the last-entry marker
};

// $INDEX_ALLOCATION (always non-resident): the index blocks of a directory.
class CAttr_IndexAlloc : public CAttrNonResident {
public:
    // Counts the blocks (CountBlocks).
    CAttr_IndexAlloc(uint8_t* header, CFileRecord* record);

    // BlockCount = data size / IndexBlockBytes when the runs decoded, the size is a whole
    // number of blocks and lies inside the clusters the runs place on the volume; 0 otherwise.
    // Counted again when extents from extension records are joined in (MergeExtents).
    void CountBlocks();

    // Reads block *n into `block` (reusable block after block: its buffer is reused when it
    // has the block size) and builds its entries.
    // Fails for n >= BlockCount (block untouched), a short read, a missing "INDX" signature
    // or an update sequence that does not match (block left without entries).
    bool ReadBlock(const uint64_t* n, CIndexBlock* block);

    uint64_t BlockCount = 0;  // number of index blocks
};

// Builds the entries of one index node into `entries`. `node` is the node's INDEX_HEADER
// and `available` the bytes from it to the end of the buffer holding it. Entries are taken
// in order while they lie inside the node's real end (the header's bytes in use, cut to the
// buffer); the walk ends at an entry whose length is below 0x10, that reaches past that end
// or whose key does, and after the last-entry marker (which is in the list too). True when
// it ended at the last-entry marker: a walk that ended otherwise may have missed entries of
// a damaged node.
bool CollectIndexEntries(CSList<CIndexEntry>* entries, uint8_t* node, uint64_t available);

// Visits the index nodes of a directory record whose attributes were built with
// $INDEX_ROOT and $INDEX_ALLOCATION selected: the root's entries, then, when the root says
// the index continues, block 0, 1, ... (a block that cannot be read is skipped). The order is
// the on-disk order of each node; sub-node pointers and the index bitmap are not used. The
// visitor receives each node's entries (iterate with First / Next; they live until the
// visitor returns) and returns false to stop. Returns false when the record has no
// $INDEX_ROOT over $FILE_NAME.
bool EnumerateDirectory(CFileRecord* directory,
                        const std::function<bool(CSList<CIndexEntry>* entries)>& visit);
