// NBitmap: the model the larger-cluster conversion works on. When a FAT32 cluster covers a
// group of GroupSize consecutive NTFS clusters, file data can stay where it is only if every
// FAT-cluster-sized piece of a file sits exactly on one group. NBitmap holds
//   - one bit per NTFS cluster (LCN) of the volume: 1 = the cluster holds file data that must
//     survive (LCN i is bit i % 8, least significant first, of byte i / 8);
//   - the geometry relating LCNs to FAT32 cluster numbers: group k of the data area starts at
//     DataStartLcn + k * GroupSize and is FAT cluster k + 2;
//   - the FAT being built, and the next-fit searches that find destinations for moved data;
//   - the one buffer every move of data goes through.
// It is also an IFat, so the directory builder and the resident-data writer allocate and write
// clusters through it exactly as they do through NFat.
//
// The safety rule of the whole path: nothing is ever written into a cluster whose bit is set
// unless that cluster was handed out for new contents (AllocChain, which also gives it a FAT
// entry). Moves read their source first, clear its bits, write the destination (clear bits)
// and mark it. Clusters with clear bits hold nothing the conversion still needs: the NTFS
// metadata and directory indexes are in memory by the time anything is written.
//
// Units: LCNs count NTFS clusters from sector 0; device sectors are 512 bytes, so LCN x starts
// at sector x * SectorsPerLcn() whatever sector size the NTFS boot sector states.
//
// Ownership: owns Bits, CopyBuffer and FatTable; Device and Volume belong to the caller and
// must outlive the bitmap.
// Threads: the conversion thread only; no locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/IFat.h"

class CNTFSVolume;
class CVolumeDevice;

class NBitmap : public IFat {
public:
    // ReservedGroup when no group is reserved; also what the searches return when they fail.
    static constexpr int64_t kNone = -1;
    // Bytes of the copy buffer, rounded down to whole NTFS clusters (at least one FAT cluster).
    static constexpr uint32_t kCopyBufferBytes = 524288;

    // Takes the geometry from the volume: TotalLcns = its sectors / (cluster bytes / sector
    // bytes). Bits are allocated for every LCN, all clear; the copy buffer is allocated; there
    // is no FAT yet, Cursor is 0, no group is reserved and the data area is empty until
    // SetDataArea. groupSize is at least 1 (2 or more on the larger-cluster path).
    NBitmap(CVolumeDevice* device, CNTFSVolume* volume, uint32_t groupSize);
    ~NBitmap() override = default;

    NBitmap(const NBitmap&) = delete;
    NBitmap& operator=(const NBitmap&) = delete;

    // ---- IFat -------------------------------------------------------------------------

    // ClusterBytes * GroupSize.
    uint32_t FatClusterBytes() override;
    // Takes count wholly free groups by FindFreeGroup (from the cursor, skipping the reserved
    // group), marks them and links them into one chain in FatTable, ascending. When a group
    // cannot be found nothing is changed (bits, FAT entries and cursor as before) and the
    // conversion ends: SimpleException (kind 1) "cann't find free cluster.".
    void AllocChain(uint32_t count, uint32_t* clusters) override;
    // Writes count * FatClusterBytes() bytes from buffer at FAT cluster `cluster`, in one
    // device call. A failed write is logged ("WriteSector err, s:%d, n%d") and counted in
    // FailedWrites; clusters outside the data area are refused, logged and counted, never
    // written.
    void WriteClusters(const void* buffer, uint32_t cluster, uint32_t count) override;
    // (lcn - DataStartLcn) / GroupSize + 2 in unsigned 32-bit arithmetic (low 32 bits of lcn):
    // every LCN of a group maps to that group's cluster.
    int32_t ClusterOfLcn(uint64_t lcn) override;

    // ---- Layout -----------------------------------------------------------------------

    // Sets the data area: FAT cluster 2 starts at dataStartLcn and the area ends at the last
    // whole group at or before lastLcn (LastLcn is set to that group's last LCN; an area
    // shorter than one group is empty: LastLcn = DataStartLcn - 1). The bits grow to cover
    // the area when it reaches past the NTFS volume's own length. Cursor = DataStartLcn.
    void SetDataArea(uint32_t dataStartLcn, uint32_t lastLcn);
    // A zeroed FAT of fatSectors 512-byte sectors with entry 0 = 0x0FFFFFF8 (media byte) and
    // entry 1 = end of chain.
    void AllocateFatTable(uint32_t fatSectors);
    // Groups (FAT clusters) of the data area.
    uint32_t GroupCount() const { return Groups_; }
    // One past the last LCN of the data area.
    uint64_t DataEnd() const;
    // 512-byte device sectors per NTFS cluster.
    uint32_t SectorsPerLcn() const { return SectorsPerLcn_; }
    // First LCN of the group (FAT cluster) `cluster`; meaningful for 2 .. GroupCount() + 1.
    uint64_t LcnOfCluster(uint32_t cluster) const;
    // First LCN of the volume group holding lcn (groups are counted from DataStartLcn, also
    // before it, so the result is never above lcn; negative below the first such group).
    int64_t GroupStartOf(int64_t lcn) const;

    // ---- Searches ---------------------------------------------------------------------

    // Next fit, never wrapping round: from the group holding Cursor, the first group whose
    // GroupSize bits are all clear and that is not ReservedGroup. Sets Cursor to it (the
    // caller marks it at once, so the next search passes over it) and returns its first LCN;
    // kNone when no such group lies between the cursor and LastLcn.
    int64_t FindFreeGroup();
    // From the group holding Cursor, the first group with some but not all bits set, the
    // reserved group excepted (a cluster put there would have to move out again before the
    // root directory takes it). Sets Cursor to that group and returns its lowest clear LCN;
    // kNone when there is none.
    int64_t FindFreeInPartialGroup();
    // True when every LCN of lcn .. lcn + count - 1 lies in the data area and outside the
    // reserved group; a count of 0 or less gives true.
    bool InDataRegion(uint64_t lcn, int64_t count) const;
    // True when every LCN of the group holding lcn is marked.
    bool IsGroupFull(uint64_t lcn) const;

    // ---- Bits -------------------------------------------------------------------------

    bool IsMarked(uint64_t lcn) const;
    // Sets / clears the bits of lcn .. lcn + count - 1 (LCNs past the bitmap are ignored).
    void MarkRun(uint64_t lcn, uint64_t count);
    void ClearRun(uint64_t lcn, uint64_t count);
    // Marked bits among lcn .. lcn + count - 1 (LCNs outside the bitmap count as clear).
    uint64_t CountMarked(int64_t lcn, uint64_t count) const;
    // LCNs the bits cover (at least TotalLcns).
    uint64_t BitCount() const { return BitCount_; }

    // ---- State (set directly by the conversion path, see SetDataArea) -----------------

    uint32_t Cursor = 0;          // where the searches begin (next fit)
    uint32_t DataStartLcn = 0;    // first LCN of the data area: FAT cluster 2
    uint32_t LastLcn = 0;         // last LCN of the data area (a group's last LCN); read-only:
                                  // SetDataArea sets it with the group count
    uint32_t GroupSize = 1;       // NTFS clusters per FAT cluster
    int64_t ReservedGroup = kNone;  // a group the searches never return; kNone: none
    uint32_t TotalLcns = 0;       // NTFS clusters of the volume
    uint32_t ClusterBytes = 0;    // bytes per NTFS cluster
    std::unique_ptr<uint8_t[]> Bits;        // BitCount() bits and 8 bytes of zero padding; owned
    std::unique_ptr<uint8_t[]> CopyBuffer;  // CopyBufferBytes bytes; owned
    uint32_t CopyBufferBytes = 0;
    std::unique_ptr<uint32_t[]> FatTable;   // FatEntries entries; owned; null until allocated
    size_t FatEntries = 0;
    CVolumeDevice* Device = nullptr;  // all writes; not owned
    // WriteClusters calls that did not write everything (refused or failed). Directories and
    // resident data go through WriteClusters alone, so a conversion that ends with this above
    // 0 may have lost folders' entries or small files' bytes and must not end as a success.
    uint32_t FailedWrites = 0;
    CNTFSVolume* Volume = nullptr;    // the NTFS geometry; not owned

private:
    // Up to 56 bits from lcn on, bit 0 = lcn (bits beyond the bitmap read as 0).
    uint64_t BitsAt(uint64_t lcn, unsigned count) const;
    void SetRun(uint64_t lcn, uint64_t count, bool value);
    // Last group start a search may look at, signed: below DataStartLcn when there is none.
    int64_t LastGroupStart() const;
    // Grows the bits to cover `lcns` LCNs, keeping those set.
    void GrowBits(uint64_t lcns);

    uint32_t SectorsPerLcn_ = 1;
    uint64_t BitCount_ = 0;
    uint32_t Groups_ = 0;  // whole groups of the data area
};
