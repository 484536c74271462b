// Attributes of an MFT file record and their data runs.
//
// Every attribute that CFileRecord builds is a CAttrBase: it can say how long its data is and
// read it at a byte offset, whether the data sits inside the record (CAttrResident) or in
// clusters described by data runs (CAttrNonResident). Non-resident attributes decode their
// mapping pairs once, into Runs, which the engine also walks to learn where a file's clusters
// lie. The specialised classes below add what the engine needs from particular types.
//
// Ownership: an attribute points into the buffer of the record that built it (Header, Value)
// and never owns those bytes; it owns its run entries and the copies marked "owned".
// Attributes live in their record's lists and die with them (record reloaded, rebuilt or
// destroyed). Destructors never read Header, so an attribute whose buffer is gone can still be
// destroyed.
// Threads: one thread (the conversion thread); every attribute, with its list cursors, is
// single-threaded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ntfs/CSList.h"
#include "ntfs/NtfsBytes.h"

class CFileRecord;
class CVolumeDevice;

#pragma pack(push, 1)

// The part of the header that every attribute has, resident or not.
struct ATTR_HEADER_COMMON {
    uint32_t TypeCode;     // 0x00 attribute type (0x10 $STANDARD_INFORMATION ... 0x100); all ones ends a record
    uint32_t Length;       // 0x04 bytes of the whole attribute, header included
    uint8_t NonResident;   // 0x08 nonzero: the data lies in clusters described by mapping pairs
    uint8_t NameLength;    // 0x09 length of the attribute's name in UTF-16 units (0: unnamed)
    uint16_t NameOffset;   // 0x0A offset of the name from the start of the header
    uint16_t Flags;        // 0x0C compressed / encrypted / sparse flags of the attribute (unused)
    uint16_t Instance;     // 0x0E attribute number within the record (unused)
};
static_assert(sizeof(ATTR_HEADER_COMMON) == 0x10);
static_assert(offsetof(ATTR_HEADER_COMMON, Length) == 0x04);
static_assert(offsetof(ATTR_HEADER_COMMON, NonResident) == 0x08);
static_assert(offsetof(ATTR_HEADER_COMMON, NameOffset) == 0x0A);

// Header of an attribute whose value is stored inside the record.
struct ATTR_HEADER_RESIDENT {
    ATTR_HEADER_COMMON Common;  // 0x00
    uint32_t ValueLength;       // 0x10 bytes of the value
    uint16_t ValueOffset;       // 0x14 offset of the value from the start of the header
    uint8_t IndexedFlag;        // 0x16 nonzero when the value is indexed (unused)
    uint8_t Padding;            // 0x17
};
static_assert(sizeof(ATTR_HEADER_RESIDENT) == 0x18);
static_assert(offsetof(ATTR_HEADER_RESIDENT, ValueLength) == 0x10);
static_assert(offsetof(ATTR_HEADER_RESIDENT, ValueOffset) == 0x14);

// Header of an attribute whose data lies in clusters.
struct ATTR_HEADER_NONRESIDENT {
    ATTR_HEADER_COMMON Common;    // 0x00
    uint64_t FirstVcn;            // 0x10 first virtual cluster this extent describes
    uint64_t LastVcn;             // 0x18 last virtual cluster this extent describes (inclusive)
    uint16_t MappingPairsOffset;  // 0x20 offset of the mapping pairs from the start of the header
    uint16_t CompressionUnit;     // 0x22 log2 of the compression unit in clusters (unused)
    uint32_t Reserved;            // 0x24
    uint64_t AllocatedSize;       // 0x28 bytes allocated to the data
    uint64_t DataSize;            // 0x30 bytes of data
    uint64_t InitializedSize;     // 0x38 bytes written so far; the rest reads as zeros
};
static_assert(sizeof(ATTR_HEADER_NONRESIDENT) == 0x40);
static_assert(offsetof(ATTR_HEADER_NONRESIDENT, FirstVcn) == 0x10);
static_assert(offsetof(ATTR_HEADER_NONRESIDENT, LastVcn) == 0x18);
static_assert(offsetof(ATTR_HEADER_NONRESIDENT, MappingPairsOffset) == 0x20);
static_assert(offsetof(ATTR_HEADER_NONRESIDENT, AllocatedSize) == 0x28);
static_assert(offsetof(ATTR_HEADER_NONRESIDENT, DataSize) == 0x30);

// Value of $STANDARD_INFORMATION. Volumes before NTFS 3.0 store only the first 0x30 bytes.
struct STANDARD_INFORMATION {
    uint64_t CreationTime;    // 0x00 FILETIME (UTC)
    uint64_t LastWriteTime;   // 0x08 FILETIME (UTC)
    uint64_t MftChangeTime;   // 0x10 FILETIME (UTC)
    uint64_t LastAccessTime;  // 0x18 FILETIME (UTC)
    uint32_t FileAttributes;  // 0x20 file attribute flags (0x200 sparse, 0x800 compressed, 0x4000 encrypted)
    uint32_t MaxVersions;     // 0x24
    uint32_t VersionNumber;   // 0x28
    uint32_t ClassId;         // 0x2C
    uint32_t OwnerId;         // 0x30 (3.0 and later)
    uint32_t SecurityId;      // 0x34 (3.0 and later)
    uint64_t QuotaCharged;    // 0x38 (3.0 and later)
    uint64_t Usn;             // 0x40 (3.0 and later)
};
static_assert(sizeof(STANDARD_INFORMATION) == 0x48);
static_assert(offsetof(STANDARD_INFORMATION, FileAttributes) == 0x20);

// Value of $VOLUME_INFORMATION.
struct VOLUME_INFORMATION {
    uint64_t Reserved;     // 0x00
    uint8_t MajorVersion;  // 0x08 NTFS major version (3 for 3.1)
    uint8_t MinorVersion;  // 0x09 NTFS minor version (1 for 3.1)
    uint16_t Flags;        // 0x0A dirty and upgrade flags (unused)
};
static_assert(sizeof(VOLUME_INFORMATION) == 0x0C);
static_assert(offsetof(VOLUME_INFORMATION, MajorVersion) == 0x08);
static_assert(offsetof(VOLUME_INFORMATION, MinorVersion) == 0x09);

#pragma pack(pop)

// File attribute flags the engine tests ($STANDARD_INFORMATION and $FILE_NAME values).
constexpr uint32_t kFileAttrSparse = 0x0200;
constexpr uint32_t kFileAttrCompressed = 0x0800;
constexpr uint32_t kFileAttrEncrypted = 0x4000;

// One data run: `ClusterCount` clusters of the attribute's data starting at virtual cluster
// `VcnFrom` lie at logical cluster `Lcn` of the volume (-1: sparse, no clusters on disk).
struct tagDataRun_Entry {
    int64_t Lcn;            // first logical cluster of the run; -1 for a sparse run
    uint64_t ClusterCount;  // length of the run in clusters
    uint64_t VcnFrom;       // first virtual cluster number the run covers
    uint64_t VcnTo;         // last virtual cluster number covered, inclusive
};

// Checks that an attribute of `length` bytes at `header` holds everything its header claims:
// the fixed header of its form, its name, and the value (resident) or the start of the
// mapping pairs (non-resident). `length` itself has been checked against the record.
bool AttributeFits(const uint8_t* header, uint32_t length, bool nonResident);

class CAttrBase {
public:
    // `header` points at a checked attribute (AttributeFits) inside the record's buffer;
    // the geometry is copied from the record's volume.
    CAttrBase(uint8_t* header, CFileRecord* record);
    virtual ~CAttrBase() = default;

    CAttrBase(const CAttrBase&) = delete;
    CAttrBase& operator=(const CAttrBase&) = delete;

    // True when the data runs were decoded without fault (always true when resident).
    virtual bool RunsValid() const = 0;
    // Bytes of data; *allocated (if given) receives the bytes allocated to it.
    virtual uint64_t DataLength(uint64_t* allocated = nullptr) const = 0;
    // Reads up to `length` bytes at byte *offset into dest; *delivered receives the count
    // read. False on failure (offset beyond the data, unreadable clusters, gaps in the runs);
    // reading at exactly the end succeeds with 0 bytes.
    virtual bool ReadAt(const uint64_t* offset, void* dest, uint32_t length, uint32_t* delivered) = 0;

    // Fields of the header (checked at construction).
    uint32_t AttrType() const { return ntfs::LoadLe<uint32_t>(Header + offsetof(ATTR_HEADER_COMMON, TypeCode)); }
    uint32_t AttrLength() const { return ntfs::LoadLe<uint32_t>(Header + offsetof(ATTR_HEADER_COMMON, Length)); }
    bool IsNonResident() const { return Header[offsetof(ATTR_HEADER_COMMON, NonResident)] != 0; }
    uint8_t NameLength() const { return Header[offsetof(ATTR_HEADER_COMMON, NameLength)]; }
    // The attribute's name (a stream name for $DATA, "$I30" for directory indexes).
    std::u16string AttrName() const;

    uint8_t* Header;          // the raw header inside its record's buffer; not owned
    uint16_t SectorBytes;     // the volume's bytes per sector
    uint32_t ClusterBytes;    // the volume's bytes per cluster
    uint32_t IndexBlockBytes; // the volume's bytes per index block
    CVolumeDevice* Device;    // the volume's device; not owned
    CFileRecord* Record;      // the record that built the attribute; not owned
};

class CAttrResident : public CAttrBase {
public:
    CAttrResident(uint8_t* header, CFileRecord* record);

    bool RunsValid() const override { return true; }
    uint64_t DataLength(uint64_t* allocated = nullptr) const override;
    // Copies min(length, ValueLength - offset) bytes; an offset at or beyond ValueLength fails.
    bool ReadAt(const uint64_t* offset, void* dest, uint32_t length, uint32_t* delivered) override;

    uint8_t* Value;             // the value inside the record's buffer; not owned
    uint32_t ValueLength;       // bytes of the value
    uint32_t FirstDataCluster;  // engine's field: first FAT cluster given to resident data (0 when built)
};

class CAttrNonResident : public CAttrBase {
public:
    // Decodes the mapping pairs into Runs (see DecodeRuns).
    CAttrNonResident(uint8_t* header, CFileRecord* record);

    bool RunsValid() const override { return RunsDecoded; }
    uint64_t DataLength(uint64_t* allocated = nullptr) const override;
    // Reads through Runs, walked once from the head (with the list's cursor). Whole sectors go
    // straight into dest; only a partial first or last sector passes through a small local
    // buffer, so a read of one record or index block is one device request per run it touches.
    // Fails when the range reaches past the data size's clusters, past the header's last VCN,
    // or into clusters that no run covers or that cannot be read.
    bool ReadAt(const uint64_t* offset, void* dest, uint32_t length, uint32_t* delivered) override;

    // The same read, with the runs looked up by binary search in `sortedRuns` (ascending
    // VcnFrom, as SortedRuns returns) instead of walking Runs: for a caller that reads one
    // attribute many times (the MFT).
    bool ReadAtSorted(uint64_t offset, void* dest, uint32_t length, uint32_t* delivered,
                      const std::vector<tagDataRun_Entry>& sortedRuns) const;
    // A copy of Runs in ascending VcnFrom order.
    std::vector<tagDataRun_Entry> SortedRuns();
    // Asks the device to read every cluster of Runs ahead (CVolumeDevice::Prefetch), for a
    // caller that will read the whole attribute soon; sparse runs are passed over.
    void Prefetch();

    // Decodes the mapping pairs into Runs:
    //  1. start at the header's first VCN and LCN 0; a 0 byte at the start means no runs;
    //  2. per pair: length and signed LCN offset (DecodeRunHeader); the LCN moves by the
    //     offset; an offset of 0 makes a sparse run (Lcn -1) that leaves the LCN unchanged;
    //  3. stop at a 0 byte.
    // True when every pair decoded. A pair that cannot be decoded (field wider than 8 bytes,
    // negative length) ends decoding with success. Failure: an LCN below 0 or a run reaching
    // beyond the volume, a run of 0 clusters, a VCN that would wrap, or pairs that run past
    // the attribute's end: the runs before stay. Runs reaching past the header's last VCN:
    // Runs is cleared.
    bool DecodeRuns();
    // Decodes one mapping pair at *cursor (not beyond `end`) and moves the cursor past it.
    // 1: decoded; 0: the pair cannot be decoded (a field wider than 8 bytes or a length that
    // is negative as a signed number); -1: the pair runs past `end`.
    static int DecodeRunHeader(const uint8_t** cursor, const uint8_t* end, uint64_t* length,
                               int64_t* offset);
    // Reads `count` whole clusters at `vcn` into dest (destBytes long); *delivered receives
    // the bytes read. Fails when the clusters reach past the header's VCN span or dest is too
    // small; clusters that no run covers or that cannot be read show as a short count.
    bool ReadByVcn(void* dest, uint64_t vcn, uint64_t count, uint64_t destBytes, uint32_t* delivered);
    // Reads `count` clusters at `lcn` (zeros for -1). Logs "Cannot read cluster with LCN %I64d\n"
    // when the device fails.
    bool ReadLcn(void* dest, int64_t lcn, uint64_t count);

    uint64_t FirstVcn() const { return ntfs::LoadLe<uint64_t>(Header + offsetof(ATTR_HEADER_NONRESIDENT, FirstVcn)); }
    uint64_t LastVcn() const { return ntfs::LoadLe<uint64_t>(Header + offsetof(ATTR_HEADER_NONRESIDENT, LastVcn)); }
    // Bytes of the data written so far (header 0x38); the rest up to the data size reads as
    // zeros on NTFS, whatever its clusters hold.
    uint64_t InitializedSize() const { return ntfs::LoadLe<uint64_t>(Header + offsetof(ATTR_HEADER_NONRESIDENT, InitializedSize)); }

    CSList<tagDataRun_Entry> Runs;  // the data runs in ascending VcnFrom; owned
    bool RunsDecoded;               // what DecodeRuns returned (RunsValid)

private:
    template <typename FindRun>
    bool ReadRange(uint64_t offset, uint8_t* dest, uint32_t length, uint32_t* delivered,
                   FindRun findRun) const;
};

// $STANDARD_INFORMATION (always resident).
class CAttr_StdInfo : public CAttrResident {
public:
    using CAttrResident::CAttrResident;
    // The file attribute flags (value offset 0x20).
    uint32_t FileFlags() const;
};

// $VOLUME_INFORMATION (always resident).
class CAttr_VolInfo : public CAttrResident {
public:
    CAttr_VolInfo(uint8_t* header, CFileRecord* record);
    uint8_t* InfoValue;  // the value: byte 8 major version, byte 9 minor version; not owned
};

// $VOLUME_NAME (always resident): the label, in UTF-16 and in Windows-1252.
class CAttr_VolName : public CAttrResident {
public:
    CAttr_VolName(uint8_t* header, CFileRecord* record);
    std::unique_ptr<char16_t[]> WideLabel;  // LabelLength units and a 0; owned
    std::unique_ptr<char[]> AnsiLabel;      // the label in Windows-1252 ('_' for what it cannot hold), 0-terminated; owned
    uint32_t LabelLength;                   // label length in UTF-16 units
};

// $DATA, resident or not.
template <typename T>
class CAttr_Data : public T {
public:
    using T::T;
};

// $BITMAP, resident or not. The class offers no bit lookup of its own.
template <typename T>
class CAttr_Bitmap : public T {
public:
    CAttr_Bitmap(uint8_t* header, CFileRecord* record) : T(header, record) {
        if constexpr (std::is_same_v<T, CAttrResident>) {
            // The whole value is copied.
            BitmapLength = this->ValueLength;
            BitmapData.reset(new uint8_t[this->ValueLength > 0 ? this->ValueLength : 1]);
            const uint64_t at = 0;
            uint32_t got = 0;
            if (!this->ReadAt(&at, BitmapData.get(), this->ValueLength, &got) ||
                got != this->ValueLength) {
                BitmapData.reset();
            }
        } else {
            // Nothing is read yet: one cluster's room for a caller that reads it.
            if (this->RunsValid()) {
                BitmapLength = this->DataLength();
                BitmapData.reset(new uint8_t[this->ClusterBytes]());
            }
        }
    }
    uint64_t BitmapLength = 0;             // bytes of the bitmap
    std::unique_ptr<uint8_t[]> BitmapData; // see the constructor; owned; may be null
};
