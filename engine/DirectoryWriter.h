// The FAT directory builder: turns the file tree read from NTFS into FAT32 directories on the
// new volume. It sizes every directory, allocates its clusters through IFat and writes the
// 32-byte entries: 8.3 short names, long-name entries, times, attributes, first clusters and
// sizes, the dot and dot-dot entries of subdirectories and the volume label of the root. It
// also places the data of files whose NTFS data is resident (inside the MFT record) and so
// has no clusters of its own. Both conversion paths use it unchanged (NFat and NBitmap).
//
// Names. A record's short-name source is its first $FILE_NAME of namespace 3, else 2, 1, 0;
// its long-name source the first of namespace 1, else 0. The short name is built from the
// short-name source (MakeShortName): an 8.3-shaped name is copied into the 8 + 3 fields, a
// longer one is cut to 11 bytes and ended with a random decimal number. Every short name
// written is legal by the FAT rules and unique in its directory (NameDirectory). Long-name
// entries carry the long-name source; an item without one still gets them when its short
// entry alone would not show its name exactly (mixed case, characters outside ASCII, a name
// changed to be legal or unique), so no name is lost or altered.
//
// Order of use in a conversion, after every move of file data and every rewrite of a file's
// runs (a file's first cluster is taken from its first run):
//   WriteResidentData(root, fat);
//   uint32_t rootCluster = WriteDirectory(root, fat, nullptr, nullptr, label);
// and the boot sector's label field gets VolumeLabelBytes(label) before the boot image goes
// to the FAT object.
//
// Ownership: nothing here owns the tree or its records; the engine's fields UserCluster
// (records) and FirstDataCluster (resident data) are written. Buffers are owned by the
// objects and functions that use them.
// Threads: the conversion thread only; no locking. The generator of short-name numbers is
// owned by the caller (or by one top-level WriteDirectory call) and shared by nobody else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/IFat.h"

class CFileName;
class CFileRecord;
struct FILE_ITEM;

#pragma pack(push, 1)

// A short directory entry (also the dot, dot-dot and volume-label entries), 32 bytes,
// little-endian.
struct FAT_DIR_ENTRY {
    uint8_t Name[11];           // 0x00 8 name bytes, then 3 extension bytes, blank-padded
    uint8_t Attributes;         // 0x0B kFatAttr* bits
    uint8_t CaseFlags;          // 0x0C kFatCaseLowerBase / kFatCaseLowerExt
    uint8_t CreationTenths;     // 0x0D fine resolution of the creation time (always 0 here)
    uint16_t CreationTime;      // 0x0E DOS time of the creation time
    uint16_t CreationDate;      // 0x10 DOS date of the creation time
    uint16_t LastAccessDate;    // 0x12 DOS date of the last access time
    uint16_t FirstClusterHigh;  // 0x14 high 16 bits of the first cluster
    uint16_t WriteTime;         // 0x16 DOS time of the modification time
    uint16_t WriteDate;         // 0x18 DOS date of the modification time
    uint16_t FirstClusterLow;   // 0x1A low 16 bits of the first cluster
    uint32_t FileSize;          // 0x1C bytes of the file; 0 for directories and labels
};

// A long-name entry, 32 bytes: 13 UTF-16 units of the long name in three pieces.
struct FAT_LFN_ENTRY {
    uint8_t Order;              // 0x00 sequence number from 1; kLfnLastOrder on the first entry
    char16_t Name1[5];          // 0x01 units 1 to 5 of this piece
    uint8_t Attributes;         // 0x0B kFatAttrLongName
    uint8_t Type;               // 0x0C 0
    uint8_t Checksum;           // 0x0D ShortNameChecksum of the short entry that follows
    char16_t Name2[6];          // 0x0E units 6 to 11
    uint16_t FirstCluster;      // 0x1A 0
    char16_t Name3[2];          // 0x1C units 12 and 13
};

#pragma pack(pop)

static_assert(sizeof(FAT_DIR_ENTRY) == 32);
static_assert(offsetof(FAT_DIR_ENTRY, Attributes) == 0x0B);
static_assert(offsetof(FAT_DIR_ENTRY, CaseFlags) == 0x0C);
static_assert(offsetof(FAT_DIR_ENTRY, CreationTime) == 0x0E);
static_assert(offsetof(FAT_DIR_ENTRY, LastAccessDate) == 0x12);
static_assert(offsetof(FAT_DIR_ENTRY, FirstClusterHigh) == 0x14);
static_assert(offsetof(FAT_DIR_ENTRY, WriteTime) == 0x16);
static_assert(offsetof(FAT_DIR_ENTRY, WriteDate) == 0x18);
static_assert(offsetof(FAT_DIR_ENTRY, FirstClusterLow) == 0x1A);
static_assert(offsetof(FAT_DIR_ENTRY, FileSize) == 0x1C);

static_assert(sizeof(FAT_LFN_ENTRY) == 32);
static_assert(offsetof(FAT_LFN_ENTRY, Name1) == 0x01);
static_assert(offsetof(FAT_LFN_ENTRY, Attributes) == 0x0B);
static_assert(offsetof(FAT_LFN_ENTRY, Checksum) == 0x0D);
static_assert(offsetof(FAT_LFN_ENTRY, Name2) == 0x0E);
static_assert(offsetof(FAT_LFN_ENTRY, FirstCluster) == 0x1A);
static_assert(offsetof(FAT_LFN_ENTRY, Name3) == 0x1C);

constexpr uint32_t kFatDirEntryBytes = 32;
constexpr uint32_t kLfnUnitsPerEntry = 13;
constexpr uint8_t kLfnLastOrder = 0x40;  // added to the order of the entry that comes first

// FAT_DIR_ENTRY.Attributes.
constexpr uint8_t kFatAttrReadOnly = 0x01;
constexpr uint8_t kFatAttrHidden = 0x02;
constexpr uint8_t kFatAttrSystem = 0x04;
constexpr uint8_t kFatAttrVolumeId = 0x08;
constexpr uint8_t kFatAttrDirectory = 0x10;
constexpr uint8_t kFatAttrArchive = 0x20;
constexpr uint8_t kFatAttrLongName = 0x0F;

// FAT_DIR_ENTRY.CaseFlags: the name (extension) is shown in lower case.
constexpr uint8_t kFatCaseLowerBase = 0x08;
constexpr uint8_t kFatCaseLowerExt = 0x10;

// ---- Short names ------------------------------------------------------------------------

// The random numbers that end generated short names: 0 .. 32767, from the C runtime's linear
// congruential generator, so a seed gives the same names on every run. Tests derive from it
// to pin the numbers.
class ShortNameRandom {
public:
    explicit ShortNameRandom(uint32_t seed = 1) : state_(seed) {}
    virtual ~ShortNameRandom() = default;
    // The next number, 0 .. 32767.
    virtual uint32_t Next();

private:
    uint32_t state_;
};

// The 11-byte names already taken in one directory, with the numeric tails handed out. Lives
// only while that directory is named. Lookups are hashed, so a directory of 100,000 entries
// is named in linear time; the names sit in one open-addressed table (no allocation per name).
class ShortNameSet {
public:
    bool Contains(const uint8_t name[11]) const;
    // Takes the name; false when it was taken already.
    bool Insert(const uint8_t name[11]);
    // The tail number to try first for names colliding on `name`, and after a tail number
    // was used, the one to try next (so a run of collisions does not probe from 1 each time).
    uint32_t& NextTail(const uint8_t name[11]);

private:
    // A name as two words: bytes 0-7, and bytes 8-10 with bit 24 set (0 marks an empty slot).
    struct Key {
        uint64_t Low = 0;
        uint32_t High = 0;
        bool operator==(const Key&) const = default;
    };
    static Key KeyOf(const uint8_t name[11]);
    // The slot holding `key`, or the empty slot where it would go (slots_ not empty).
    size_t SlotOf(const Key& key) const;
    void Grow();

    std::vector<Key> slots_;  // a power of two of them, at most half used; linear probing
    size_t used_ = 0;
    std::unordered_map<std::string, uint32_t> tails_;
};

// One finished short name.
struct SHORT_NAME {
    uint8_t Bytes[11] = {};  // the 11 name bytes: legal, upper-cased, code page 437
    uint8_t CaseFlags = 0;   // kFatCaseLowerBase / kFatCaseLowerExt, see MakeShortName
    bool Exact = false;      // a reader of the short entry alone sees the source name unchanged
};

// Builds the short name of a UTF-16 name:
//   1. Convert it to code page 437, the OEM code page that DOS, the FAT short-name field and
//      Linux's vfat read (at most 260 bytes; '_' for characters 437 lacks).
//   2. len = bytes, dot = the last '.', ext = bytes after it, base = bytes before it (no dot:
//      ext 0, base len).
//   3. Long path when base + ext > 11 or ext > 3: the first 11 bytes (blanks after a shorter
//      name), with a random number (random->Next()) in decimal, L digits, over the last L.
//      Fitting path otherwise: the base bytes from offset 0 (all of them, not cut at 8), then
//      the ext bytes at offset 8 over whatever base bytes lie there; a dotless name of 9 to
//      11 bytes runs on into the extension field.
//   4. Upper-case the letters (437 letters whose capital 437 has).
//   5. Make the bytes legal: '_' for a byte below 0x20, 0x7F, a zero byte and any of
//      " * + , . / : ; < = > ? [ \ ] |, for a blank in the first place, and for a blank
//      that a non-blank follows within the 8-byte part or within the extension (readers end
//      a part at its first blank); then a first byte 0xE5 becomes 0x05 (0xE5 there marks a
//      deleted entry).
//   6. With `taken`: while the name is taken, a long-path name draws a new random number (up
//      to 8 times); after that, or for a fitting-path name, the name gets a numeric tail
//      "~n" at the end of its 8-byte part (n = 1, 2, ...). The final name is inserted.
//   7. Case flags, fitting path only, when the name was not changed by 5 or 6 and its base
//      has at most 8 bytes: kFatCaseLowerBase when the base has small letters and the 8-byte
//      part in small letters (trailing blanks dropped) is exactly the base, so a reader that
//      honours the flag shows the base unchanged; kFatCaseLowerExt likewise for ext.
//   8. Exact: fitting path, unchanged by 5 and 6, nothing lost in 1, only ASCII bytes, and
//      the 8 + 3 fields with the case flags read back as the name.
// random may be null only when the name cannot take the long path (tests of the fitting path).
SHORT_NAME MakeShortName(std::u16string_view name, ShortNameRandom* random,
                         ShortNameSet* taken = nullptr);

// The checksum of an 11-byte short name that every long-name entry of the name carries:
// s = byte 0, then for bytes 1 to 10 s = (s rotated right by one bit) + byte, modulo 256.
uint8_t ShortNameChecksum(const uint8_t name[11]);

// The 11 label bytes for the root's label entry and the boot sector's label field (0x47, and
// its backup) from an 8-bit (code page 437) label: cut to 11 bytes, blank-padded, upper-cased
// and made legal as short names are (steps 4 and 5 of MakeShortName, except that blanks
// inside are kept: the label is one field).
// A null or empty label gives "NO NAME    " and false; a label gives true (the root then
// carries a label entry).
bool VolumeLabelBytes(const char* label, uint8_t out[11]);
// The same from a UTF-16 label (converted to code page 437 first).
bool VolumeLabelBytes(std::u16string_view label, uint8_t out[11]);

// ---- Entries of one item ----------------------------------------------------------------

// The names of one directory entry: where they come from and, after NameDirectory, what is
// written. The pointers are into the item's record and are not owned.
struct ENTRY_NAMES {
    CFileName* ShortSource = nullptr;   // short-name source; times and flags come from it
    CFileName* LongSource = nullptr;    // long-name source; null when the record has none
    bool Directory = false;             // the record header's directory flag
    SHORT_NAME Short;                   // the final short name (NameDirectory)
    CFileName* LongNameFrom = nullptr;  // whose name the long-name entries carry; null: none
};

// The name sources of a record (its $FILE_NAME attributes must have been built).
ENTRY_NAMES NameSourcesOf(CFileRecord* record);

// Names the entries of one directory, in their order:
//   1. Short-name sources of namespace 3 or 2 (real DOS names) whose name comes out of
//      MakeShortName unchanged keep it; they are reserved first, so a generated name never
//      takes a DOS name from an entry that follows.
//   2. Every other entry gets MakeShortName with the directory's ShortNameSet.
//   3. LongNameFrom = the long-name source; else the short-name source when its short name
//      is not Exact; else none.
void NameDirectory(std::vector<ENTRY_NAMES>* entries, ShortNameRandom* random);

// Bytes of an item's entry group: 32 for the short entry plus 32 for each started block of
// 13 UTF-16 units of the long name. This form, from the record alone, counts the long-name
// source, or the short-name source when there is none (the most the group can need): it
// sizes directories for the free-space estimates.
uint32_t EntryGroupBytes(CFileRecord* record);
// The exact bytes of a named entry.
uint32_t EntryGroupBytes(const ENTRY_NAMES& names);

// Fills a short entry (all 32 bytes) for a file or directory: the name bytes and case flags
// of `name`; attributes = read-only, hidden, system and archive of the source's flags, plus
// kFatAttrDirectory for a directory (other NTFS bits would turn the entry into a volume label
// or a long-name piece); the source's creation, modification and last-access times in local
// time and DOS form (0 fields for a time the DOS form cannot hold, or no source); creation
// tenths 0; the first cluster split in halves; size. Returns the checksum of the name bytes.
uint8_t BuildShortEntry(CFileName* source, FAT_DIR_ENTRY* entry, uint32_t firstCluster,
                        uint32_t size, const SHORT_NAME& name, bool directory);

// Fills one long-name entry: all bytes 0xFF first, then the order, the `count` (1 .. 13)
// units of `chunk` into the three pieces, 0x0000 after the last unit when count < 13 (the
// slots after that keep 0xFFFF), attributes 0x0F, type 0, the checksum, first cluster 0.
void BuildLongEntry(FAT_LFN_ENTRY* entry, uint8_t order, const char16_t* chunk,
                    uint32_t count, uint8_t checksum);

// Fills an item's entry group into `group` (EntryGroupBytes(names) bytes), from its end: the
// short entry in the last 32 bytes, before it the long-name entries for chunks 1, 2, ... of
// 13 units, the last chunk first in the buffer with kLfnLastOrder added to its order.
void BuildEntryGroup(const ENTRY_NAMES& names, uint8_t* group, uint32_t firstCluster,
                     uint32_t size);

// Fills the dot and dot-dot entries (64 bytes) of a directory: short entries with the
// directory's own attributes and times, names "." and "..", case flags 0; the dot entry holds
// the directory's first cluster, the dot-dot entry 0 when the parent is the root (record 5,
// or no parent) and else the directory record's UserCluster (its parent's first cluster).
void BuildDotEntries(FAT_DIR_ENTRY entries[2], uint32_t firstCluster, CFileRecord* directory,
                     CFileRecord* parent);

// Fills the root's label entry: the label bytes of VolumeLabelBytes, attributes 0x08, the
// write time and date from the root's first $STANDARD_INFORMATION modification time in local
// time and DOS form (0 when the root has none, or the DOS form cannot hold it); every other
// field 0.
void BuildLabelEntry(FAT_DIR_ENTRY* entry, const uint8_t label[11], CFileRecord* root);

// ---- Directories ------------------------------------------------------------------------

// The output of one directory: its clusters, allocated as one chain when it is opened, and a
// one-cluster buffer that entries stream through, one IFat::WriteClusters call per cluster.
class DirectoryWriter {
public:
    // Allocates a chain of clusterCount (at least 1) clusters through fat; throws what
    // AllocChain throws.
    DirectoryWriter(IFat* fat, uint32_t clusterCount);
    DirectoryWriter(const DirectoryWriter&) = delete;
    DirectoryWriter& operator=(const DirectoryWriter&) = delete;

    // Appends bytes to the directory. A buffer that becomes full is written when the next
    // bytes arrive (or by Finish).
    void Append(const void* data, uint32_t length);
    // Writes the partly filled buffer, then zeros to every cluster of the chain that received
    // no bytes, so no stale data follows the end entry.
    // Append and Finish throw SimpleException (kind 1) when the bytes outgrow the chain (the
    // directory was sized wrongly) rather than drop an entry.
    void Finish();
    uint32_t FirstCluster() const { return Clusters[0]; }

    std::unique_ptr<uint32_t[]> Clusters;  // the directory's clusters, in chain order; owned
    uint32_t ClusterCount = 0;             // clusters in Clusters
    std::unique_ptr<uint8_t[]> Buffer;     // one cluster, zero-filled when started; owned
    uint32_t ClusterBytes = 0;             // bytes per cluster
    uint32_t Filled = 0;                   // bytes filled in Buffer
    IFat* Fat = nullptr;                   // not owned
    uint32_t NextIndex = 0;                // index in Clusters of the next cluster to write
};

// Clusters the directories need: for one directory (whole false) or for it and every
// directory below it (whole true). The first item being the root (record 5) with whole true
// sizes the root directory. Each directory counts 96 bytes (dot, dot-dot and end entries; 64
// for the root: label and end entry) plus EntryGroupBytes(record) per item, rounded up to
// whole clusters; an empty directory needs one cluster. An upper bound of what WriteDirectory
// allocates.
uint64_t DirectoryClusters(FILE_ITEM* items, uint32_t clusterBytes, bool whole);

// The most 32-byte entries that any one directory of the subtree needs, by the same estimate
// (fixed entries included; the root item stands for the root directory). FAT allows 65,536
// entries in a directory and Windows reads no further, so a caller refuses a volume where
// this is larger, before anything is written.
uint64_t LargestDirectoryEntries(FILE_ITEM* items);
constexpr uint64_t kFatMaxDirectoryEntries = 65536;

// Clusters the resident data of the subtree needs: ceil(data length / clusterBytes) per file
// whose unnamed data is resident; files of length 0 add nothing.
uint64_t ResidentDataClusters(FILE_ITEM* items, uint32_t clusterBytes);

// For every file of the subtree (items, their children and following siblings) whose
// unnamed data is resident: allocates ceil(length / cluster) clusters, stores the first in
// the attribute's FirstDataCluster (0 for an empty file, nothing allocated), reads the data
// and writes it, the rest of the last cluster zero-filled. Clusters that follow each other
// on the volume (consecutive files usually get consecutive clusters) go out in one write of
// up to 1 MiB, not one write per cluster. A failed read is
// logged and written as zeros.
void WriteResidentData(FILE_ITEM* items, IFat* fat);

// Writes a directory and every directory below it; returns the directory's first cluster.
// Called with the root item, no record, no parent and the volume label (8-bit, null when
// none), it writes the root directory (items = the root's FirstChild, record = the root's).
//   1. Name the entries (NameDirectory) and size the directory from them exactly.
//   2. Open a DirectoryWriter (the chain is allocated before any child's).
//   3. The root gets its label entry when label is not null or empty; any other directory
//      its dot and dot-dot entries.
//   4. Per item in order: a directory has its UserCluster set to this directory's first
//      cluster and is written first (recursively); a file's first cluster is ClusterOfLcn of
//      its first run (non-resident), its FirstDataCluster (resident), or 0; size is the low
//      32 bits of its data length (0 for directories); its entry group is appended.
//   5. The end entry (32 zero bytes); Finish.
// random gives the numbers of generated short names; null: a generator seeded with 1, owned
// by this call, serves the whole tree.
uint32_t WriteDirectory(FILE_ITEM* items, IFat* fat, CFileRecord* record, CFileRecord* parent,
                        const char* label, ShortNameRandom* random = nullptr);
