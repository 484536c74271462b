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

#include <cstdint>

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
