// NFat: the whole FAT of the new FAT32 volume in memory, with the boot sector image that
// defines its layout. Used when the FAT32 cluster equals the NTFS cluster: chains are built in
// memory without I/O, and nothing of the FAT reaches the disk until FlushFat; the boot sector
// and the FSInfo sector follow with FlushBootSector, the last writes of a conversion.
//
// Entry values: 0 free, kFat32EndOfChain (0x0FFFFFFF) end of chain, anything else the next
// cluster of the chain. Entry 0 holds 0x0FFFFFF8 (the media byte) and entry 1 0x0FFFFFFF.
// Valid data clusters are 2 .. ClusterCount + 1.
//
// Memory: the entry array is the one large allocation (4 bytes per cluster, at most 256 MiB);
// nothing else is kept per cluster.
// Ownership: owns Entries; Device belongs to the caller and must outlive the NFat.
// Threads: the conversion thread only; no locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "device/CVolumeDevice.h"
#include "engine/Fat32BootSector.h"
#include "engine/IFat.h"

class NFat : public IFat {
public:
    // Copies the boot image, derives FirstDataSector and ClusterCount from it, allocates the
    // zeroed FAT (FatSize32 sectors of 512 bytes), sets entries 0 and 1 and SearchHint = 2.
    // The image is one that BuildFat32BootSector accepted.
    NFat(const FAT32_BOOT_SECTOR& bootImage, CVolumeDevice* device);
    ~NFat() override = default;

    NFat(const NFat&) = delete;
    NFat& operator=(const NFat&) = delete;

    // IFat
    uint32_t FatClusterBytes() override;
    void AllocChain(uint32_t count, uint32_t* clusters) override;
    // Clusters outside 2 .. ClusterCount + 1 are never written: the write is refused and
    // logged, so a bad cluster number cannot land in the reserved area or the FATs. Refused
    // and failed writes are counted in FailedWrites.
    void WriteClusters(const void* buffer, uint32_t cluster, uint32_t count) override;
    int32_t ClusterOfLcn(uint64_t lcn) override;

    // The entry of a cluster: its chain's next cluster or kFat32EndOfChain (also returned for
    // a cluster number outside the table).
    virtual uint32_t NextCluster(uint32_t cluster);

    // Claims count free clusters by a next-fit search from SearchHint and links them into a
    // new chain; returns its first cluster (0 when count is 0) and stores the last one
    // through lastOut when given. Throws SimpleException (kind 1, "cann't find free
    // cluster.") when the search runs past the last cluster; clusters claimed before that
    // stay claimed.
    uint32_t ClaimChain(uint32_t count, uint32_t* lastOut = nullptr);

    // Copies one cluster from volume cluster `from` to volume cluster `to`, both counted in
    // FAT-cluster units from sector 0 (not FAT cluster numbers). A failed read is logged and
    // written as zeros; a failed write is logged. False when the read or the write failed, so
    // that the caller can name the file whose data was not copied whole.
    bool CopyCluster(uint64_t from, uint64_t to);

    // Writes both FAT copies of this table; see the static form.
    bool FlushFat();

    // Writes both FAT copies from entries (at least FatSize32 * 512 bytes) at the positions
    // bootImage gives: the first at ReservedSectors, the second right after it, in chunks of
    // at most 128 sectors. A copy stops at its first failed write (logged). True when at
    // least one copy was written whole. When only the second copy is whole, bootImage's
    // ExtFlags are set to name it as the one active FAT, so the boot sector written after
    // this does not send readers to the broken first copy.
    static bool FlushFat(FAT32_BOOT_SECTOR* bootImage, CVolumeDevice* device,
                         const uint32_t* entries);

    // Writes the boot area of this table; see the static form.
    bool FlushBootSector();

    // Writes the boot area for the FAT in entries (the same table FlushFat wrote):
    //   1. the boot image to its backup sector (BackupBootSector, 6); a failure is logged as a
    //      warning and does not change the result;
    //   2. the FSInfo sector with the true free-cluster count and the lowest free cluster as
    //      the next-free hint to sector 1, and its copy to sector 7; failures are logged;
    //   3. the boot image to sector 0, last, so that the volume becomes FAT32 only when the
    //      rest of its boot area is in place. The result of this write is the result.
    static bool FlushBootSector(const FAT32_BOOT_SECTOR& bootImage, CVolumeDevice* device,
                                const uint32_t* entries);

    // Free data clusters of a table laid out by bootImage, and the lowest free cluster
    // (0xFFFFFFFF when there is none): what the FSInfo sector records.
    static uint32_t CountFreeClusters(const FAT32_BOOT_SECTOR& bootImage,
                                      const uint32_t* entries, uint32_t* firstFree);

    // Sector of cluster 2 and number of data clusters of a layout, read from its boot image.
    static uint32_t FirstDataSectorOf(const FAT32_BOOT_SECTOR& bootImage);
    static uint32_t ClusterCountOf(const FAT32_BOOT_SECTOR& bootImage);

    std::unique_ptr<uint32_t[]> Entries;  // the FAT; owned
    size_t EntryCount = 0;                // entries allocated (FatSize32 * 128)
    int32_t SearchHint = 2;               // where the next free-cluster search starts
    FAT32_BOOT_SECTOR BootImage;          // the layout, read in place
    uint32_t FirstDataSector = 0;         // ReservedSectors + 2 * FatSize32: cluster 2
    uint32_t ClusterCount = 0;            // data clusters; valid numbers 2 .. ClusterCount+1
    CVolumeDevice* Device = nullptr;      // all I/O; not owned
    // WriteClusters calls that did not write everything (refused or failed). The directories
    // and resident data go through WriteClusters alone, so a conversion that ends with this
    // above 0 may have lost folders' entries or small files' bytes and must not end as a
    // success.
    uint32_t FailedWrites = 0;
};
