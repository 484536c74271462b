// IFat: how the FAT side of a conversion allocates clusters of the new file system, writes
// whole clusters and maps volume clusters to FAT cluster numbers. The directory builder and
// the writer of resident file data use nothing else, so they serve both conversion paths:
// NFat when the FAT32 cluster equals the NTFS cluster, NBitmap when it grows.
//
// FAT32 cluster numbers are 32-bit and start at 2; volume cluster numbers (LCNs) count
// clusters of the FAT cluster size from sector 0 of the volume.
//
// Threads: the conversion thread only.
#pragma once

#include <cstdint>

class IFat {
public:
    // Bytes per FAT cluster.
    virtual uint32_t FatClusterBytes() = 0;

    // Allocates count free clusters, links them into one chain ending in an end-of-chain mark
    // and stores their numbers in chain order into clusters[0..count-1] (caller-owned).
    // Throws SimpleException (kind 1) when the volume has too few free clusters; clusters
    // claimed before that stay claimed.
    virtual void AllocChain(uint32_t count, uint32_t* clusters) = 0;

    // Writes count whole clusters from buffer (count * FatClusterBytes() bytes) starting at
    // FAT cluster number `cluster`. A failed write is logged and counted (FailedWrites of the
    // implementation), and the conversion goes on; it then ends with a failure after the boot
    // sector, since the folder or file data written here is missing.
    virtual void WriteClusters(const void* buffer, uint32_t cluster, uint32_t count) = 0;

    // The FAT cluster number that holds volume cluster lcn (only its low 32 bits count).
    // Results of 2 or less mean the volume cluster lies before cluster 3 (reserved area,
    // FATs, or cluster 2 itself).
    virtual int32_t ClusterOfLcn(uint64_t lcn) = 0;

    virtual ~IFat() = default;
};
