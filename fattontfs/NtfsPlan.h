// The NTFS that a FAT volume becomes in place: the cluster size it can have, and the room
// its new metadata needs, worked out from the FAT tree before anything is written.
//
// File data stays where FAT put it, so an NTFS cluster must cover whole FAT sectors at the
// same place: the NTFS cluster is the largest power of two from 512 bytes up to the FAT
// cluster (and at most 64 KiB) that divides the byte offset of the FAT data area. All new
// metadata (the MFT with its mirror, the journal, the cluster bitmap, the upper-case table,
// the security stream, the attribute definitions and the directory index blocks) must fit in
// the clusters the FAT marks free.
//
// Threads: pure functions of their arguments.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ntfs/CAttrBase.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CIndexEntry.h"

class CFatVolume;

// Fixed sizes of the NTFS written here.
constexpr uint32_t kNtfsRecordBytes = 1024;      // one MFT record
constexpr uint32_t kNtfsIndexBlockBytes = 4096;  // one INDX block
constexpr uint64_t kNtfsFirstFreeRecord = 27;    // records 0..26: system files, reserved, $Extend's children
constexpr uint64_t kNtfsUpcaseBytes = 65536 * 2; // $UpCase: one unit per UTF-16 code unit
constexpr uint64_t kNtfsAttrDefBytes = 2560;     // $AttrDef: 16 entries of 160 bytes
constexpr uint64_t kNtfsSdsMirrorOffset = 0x40000;  // $Secure:$SDS keeps each entry twice, 256 KiB apart
// A file in more pieces than its record holds keeps its $DATA in extension records, one
// extent each: 896 bytes of mapping pairs beside the extent's header (a record has 960 bytes
// for attributes), at least 52 runs of at most 17 bytes.
constexpr uint32_t kNtfsExtentPairsBytes = 896;
constexpr uint32_t kNtfsMaxPairBytes = 17;

// The layout of the records written here, shared by the plan's counts and the writer.
constexpr uint32_t kNtfsUpdateStride = 512;  // bytes per update sequence stride
constexpr uint32_t NtfsAlign8(uint32_t v) { return (v + 7) & ~7u; }
constexpr uint16_t kNtfsRecordUsaOffset = sizeof(FILE_RECORD_HEADER);  // 0x30
constexpr uint16_t kNtfsRecordFirstAttribute =
    NtfsAlign8(kNtfsRecordUsaOffset + 2 * (1 + kNtfsRecordBytes / kNtfsUpdateStride));
constexpr uint32_t kNtfsRecordRoom = kNtfsRecordBytes - kNtfsRecordFirstAttribute - 8;  // for attributes
static_assert(NtfsAlign8(sizeof(ATTR_HEADER_NONRESIDENT) + kNtfsExtentPairsBytes) == kNtfsRecordRoom);
// Bytes a resident attribute without a name takes for a value of `length` bytes.
constexpr uint32_t NtfsResidentBytes(uint32_t length) { return NtfsAlign8(sizeof(ATTR_HEADER_RESIDENT) + length); }
// Bytes of a $FILE_NAME attribute for a name of `units` UTF-16 units.
constexpr uint32_t NtfsFileNameBytes(size_t units) {
    return NtfsResidentBytes(static_cast<uint32_t>(sizeof(FILE_NAME_VALUE) + 2 * units));
}
// Bytes of one index entry whose key is the $FILE_NAME of a name of `units` units.
constexpr uint32_t NtfsNameEntryBytes(size_t units) {
    return NtfsAlign8(static_cast<uint32_t>(sizeof(INDEX_ENTRY_HEADER) + sizeof(FILE_NAME_VALUE) + 2 * units));
}
// True when a file's unnamed $DATA, with `pairBytes` of mapping pairs (the end byte
// included), does not fit in its record beside the standard information, the long name of
// `longUnits` units and, with `withDosName`, a DOS name of `dosUnits`: its runs then go to
// extension records.
constexpr bool NtfsRunsNeedExtensionRecords(size_t longUnits, bool withDosName, size_t dosUnits, uint64_t pairBytes) {
    const uint64_t names = NtfsFileNameBytes(longUnits) + (withDosName ? NtfsFileNameBytes(dosUnits) : 0);
    const uint64_t data = (sizeof(ATTR_HEADER_NONRESIDENT) + pairBytes + 7) / 8 * 8;
    return NtfsResidentBytes(sizeof(STANDARD_INFORMATION)) + names + data > kNtfsRecordRoom;
}

struct NTFS_PLAN {
    uint32_t ClusterBytes = 0;     // the NTFS cluster size
    uint64_t Clusters = 0;         // clusters of the NTFS volume: the whole device but its last
                                   // sector, which holds the backup boot sector
    uint64_t Records = 0;          // MFT records written
    uint64_t LogFileBytes = 0;     // $LogFile
    uint64_t IndexBlocks = 0;      // INDX blocks of all large directories
    uint64_t MetadataClusters = 0; // clusters all new metadata needs
    uint64_t FreeClusters = 0;     // NTFS clusters inside FAT-free clusters
    bool Fits() const { return MetadataClusters <= FreeClusters; }
};

// The plan for a volume read with CFatVolume::Read().
NTFS_PLAN PlanNtfs(const CFatVolume& fat);

// The size of the empty $LogFile of a volume: a 256th of it, from 256 KiB to 2 MiB, in whole
// clusters. The journal is written empty (all 0xFF) and the NTFS drivers start it afresh on
// the first mount. ntfs-3g refuses one shorter than 50 pages of 4 KiB (200 KiB); mkntfs makes
// 256 KiB for volumes below 2 MiB and 2 MiB for volumes of 4 MB to 200 MiB, so volumes
// formatted by it carry these sizes. A larger journal would only lengthen the conversion: every byte of it is written.
uint64_t NtfsLogFileBytesFor(uint64_t volumeBytes, uint32_t clusterBytes);

// The NTFS cluster size for a FAT cluster size and the byte offset of the FAT data area.
uint32_t NtfsClusterBytesFor(uint32_t fatClusterBytes, uint64_t firstDataByte);
