// On-disk structures of the NTFS system files that the reader does not need but a writer of
// a new volume does: the attribute definition table ($AttrDef), the security stream and its
// two indexes ($Secure: $SDS, $SDH, $SII), the entries of indexes over other keys than file
// names ("view" indexes), and the numbers and names of the system records.
//
// Threads: definitions only.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// One entry of $AttrDef, 160 bytes; the table ends with an entry of zeros.
struct ATTR_DEF_ENTRY {
    char16_t Name[64];       // 0x00 "$STANDARD_INFORMATION", 0-padded
    uint32_t TypeCode;       // 0x80 attribute type
    uint32_t DisplayRule;    // 0x84 0
    uint32_t CollationRule;  // 0x88 kCollation* for indexable types
    uint32_t Flags;          // 0x8C kAttrDef* bits
    int64_t MinimumSize;     // 0x90 smallest value in bytes
    int64_t MaximumSize;     // 0x98 largest value in bytes; -1 without limit
};
static_assert(sizeof(ATTR_DEF_ENTRY) == 0xA0);
static_assert(offsetof(ATTR_DEF_ENTRY, TypeCode) == 0x80);
static_assert(offsetof(ATTR_DEF_ENTRY, Flags) == 0x8C);
static_assert(offsetof(ATTR_DEF_ENTRY, MaximumSize) == 0x98);

// The header of each security descriptor in $Secure:$SDS, also the data of the $SII and
// $SDH index entries.
struct SECURITY_DESCRIPTOR_HEADER {
    uint32_t Hash;        // 0x00 hash of the descriptor (SecurityDescriptorHash)
    uint32_t SecurityId;  // 0x04 the number files carry in $STANDARD_INFORMATION
    uint64_t Offset;      // 0x08 byte offset of this header in $SDS
    uint32_t Length;      // 0x10 bytes of header and descriptor
};
static_assert(sizeof(SECURITY_DESCRIPTOR_HEADER) == 0x14);

// The fixed part of an entry of a view index ($SII, $SDH, $O, $Q, $R): the key follows at
// 0x10, the data at DataOffset.
struct VIEW_INDEX_ENTRY_HEADER {
    uint16_t DataOffset;   // 0x00 offset of the data from the start of the entry
    uint16_t DataLength;   // 0x02 bytes of the data
    uint32_t Reserved;     // 0x04 zero
    uint16_t EntryLength;  // 0x08 bytes of the entry (a multiple of 8)
    uint16_t KeyLength;    // 0x0A bytes of the key
    uint16_t Flags;        // 0x0C 0x01 sub-node, 0x02 last entry
    uint16_t Padding;      // 0x0E
};
static_assert(sizeof(VIEW_INDEX_ENTRY_HEADER) == 0x10);
static_assert(offsetof(VIEW_INDEX_ENTRY_HEADER, EntryLength) == 0x08);

#pragma pack(pop)

// ATTR_DEF_ENTRY.Flags.
constexpr uint32_t kAttrDefIndexable = 0x02;
constexpr uint32_t kAttrDefResident = 0x40;    // always resident
constexpr uint32_t kAttrDefAlwaysLog = 0x80;

// Collation rules of index roots and $AttrDef.
constexpr uint32_t kCollationBinary = 0x00;
constexpr uint32_t kCollationFileName = 0x01;
constexpr uint32_t kCollationUlong = 0x10;
constexpr uint32_t kCollationSid = 0x11;
constexpr uint32_t kCollationSecurityHash = 0x12;
constexpr uint32_t kCollationUlongs = 0x13;

// The system records (below 16) and the first records of $Extend's children.
constexpr uint64_t kMftMirrRecord = 1;
constexpr uint64_t kLogFileRecord = 2;
constexpr uint64_t kAttrDefRecord = 4;
constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kBootRecord = 7;
constexpr uint64_t kBadClusRecord = 8;
constexpr uint64_t kSecureRecord = 9;
constexpr uint64_t kUpCaseRecord = 10;
constexpr uint64_t kExtendRecord = 11;
constexpr uint64_t kQuotaRecord = 24;
constexpr uint64_t kObjIdRecord = 25;
constexpr uint64_t kReparseRecord = 26;

// The security id of the first descriptor in $Secure.
constexpr uint32_t kFirstSecurityId = 0x100;

// Attribute types the writer adds beyond those the reader names.
constexpr uint32_t kAttrSecurityDescriptor = 0x50;

// The hash NTFS keeps of a security descriptor: over its 32-bit words, rotate left by 3
// and add.
inline uint32_t SecurityDescriptorHash(const uint8_t* bytes, uint32_t length) {
    uint32_t hash = 0;
    for (uint32_t i = 0; i + 4 <= length; i += 4) {
        uint32_t word;
        __builtin_memcpy(&word, bytes + i, 4);
        hash = ((hash << 3) | (hash >> 29)) + word;
    }
    return hash;
}
