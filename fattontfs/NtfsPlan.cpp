#include "fattontfs/NtfsPlan.h"

#include <algorithm>

#include "fattontfs/CFatVolume.h"

namespace {

uint64_t DivideUp(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// Index bytes one directory needs: its entries, with a separate DOS entry where the short
// name differs from the long one.
uint64_t DirectoryEntryBytes(const FAT_NODE& dir) {
    uint64_t bytes = 0;
    for (const FAT_NODE& child : dir.Children) {
        bytes += NtfsNameEntryBytes(child.Name().size());
        if (child.Name() != child.ShortName) bytes += NtfsNameEntryBytes(child.ShortName.size());
    }
    return bytes;
}

// Extension records a file may need for its runs, and the clusters of its attribute list
// when that cannot stay in the base record: an upper bound, with every run taken at its
// longest mapping pair, a short name beside the long one, and two runs more where data has
// to leave the clusters beyond the NTFS volume.
void CountExtents(const FAT_NODE& file, uint64_t clusterBytes, uint64_t* records, uint64_t* listClusters) {
    const uint64_t runs = file.Runs.size() + 2;
    if (!NtfsRunsNeedExtensionRecords(file.Name().size(), true, file.ShortName.size(), kNtfsMaxPairBytes * runs + 1))
        return;
    const uint64_t extents = DivideUp(runs, (kNtfsExtentPairsBytes - 1) / kNtfsMaxPairBytes);
    *records += extents;
    *listClusters += DivideUp(sizeof(ATTR_LIST_ENTRY) * (3 + extents), clusterBytes);
}

void CountTree(const FAT_NODE& dir, uint64_t clusterBytes, uint64_t* records, uint64_t* blocks, uint64_t* listClusters) {
    *records += dir.Children.size();
    // What does not fit in the record's root goes to INDX blocks (kept at most 3/4 full by
    // the builder, plus the nodes above the leaves).
    const uint64_t bytes = DirectoryEntryBytes(dir);
    if (bytes > 512) {
        const uint64_t leaves = DivideUp(bytes, kNtfsIndexBlockBytes * 3 / 4);
        *blocks += leaves + DivideUp(leaves, 16);
    }
    for (const FAT_NODE& child : dir.Children) {
        if (child.IsDirectory())
            CountTree(child, clusterBytes, records, blocks, listClusters);
        else
            CountExtents(child, clusterBytes, records, listClusters);
    }
}

}  // namespace

uint32_t NtfsClusterBytesFor(uint32_t fatClusterBytes, uint64_t firstDataByte) {
    uint32_t c = std::min<uint32_t>(fatClusterBytes, 65536);
    while (c > 512 && firstDataByte % c != 0) c /= 2;
    return c;
}

uint64_t NtfsLogFileBytesFor(uint64_t volumeBytes, uint32_t clusterBytes) {
    const uint64_t bytes = std::clamp<uint64_t>(volumeBytes / 256, 256 << 10, 2 << 20);
    return DivideUp(bytes, clusterBytes) * clusterBytes;
}

NTFS_PLAN PlanNtfs(const CFatVolume& fat) {
    NTFS_PLAN plan;
    plan.ClusterBytes = NtfsClusterBytesFor(fat.ClusterBytes(), fat.FirstDataByte());
    const uint64_t c = plan.ClusterBytes;
    plan.Clusters = (fat.DeviceBytes() - 512) / c;

    // 1. Records: the system files and reserved ones, one per file and folder, and a few
    //    spare so that the first new files need no MFT growth.
    uint64_t records = kNtfsFirstFreeRecord, blocks = 0, listClusters = 0;
    CountTree(fat.Root(), c, &records, &blocks, &listClusters);
    plan.Records = DivideUp(records + 16, 8) * 8;
    plan.IndexBlocks = blocks;
    plan.LogFileBytes = NtfsLogFileBytesFor(fat.DeviceBytes(), plan.ClusterBytes);

    // 2. Clusters of each piece of metadata.
    const uint64_t mirrorRecords = std::max<uint64_t>(4, c / kNtfsRecordBytes);
    uint64_t need = 0;
    need += DivideUp(plan.Records * kNtfsRecordBytes, c);          // $MFT
    need += DivideUp(DivideUp(plan.Records, 64) * 8, c);          // $MFT's record bitmap
    need += DivideUp(mirrorRecords * kNtfsRecordBytes, c);         // $MFTMirr
    need += DivideUp(plan.LogFileBytes, c);                        // $LogFile
    need += DivideUp(kNtfsAttrDefBytes, c);                        // $AttrDef
    need += DivideUp(DivideUp(plan.Clusters, 64) * 8, c);         // $Bitmap
    need += DivideUp(kNtfsUpcaseBytes, c);                         // $UpCase
    need += DivideUp(kNtfsSdsMirrorOffset + 256, c);               // $Secure:$SDS
    need += DivideUp(plan.IndexBlocks * kNtfsIndexBlockBytes, c);  // INDX blocks
    need += listClusters;                                          // attribute lists
    need += DivideUp(std::max<uint64_t>(fat.ClusterBytes(), 512), c);  // data moved off the last sector
    plan.MetadataClusters = need;

    // 3. Room: only clusters the FAT marks free, inside the NTFS volume. The NTFS cluster
    //    divides the FAT cluster and the data area's offset, so the FAT clusters wholly inside
    //    are those from 2 up to a bound.
    const uint64_t perFat = fat.ClusterBytes() / c;
    const uint64_t volumeBytes = plan.Clusters * c;
    const uint64_t dataEnd = fat.FirstDataByte() + fat.ClusterBytes();  // the end of cluster 2
    uint64_t inside = 2;  // first FAT cluster not wholly inside
    if (volumeBytes >= dataEnd) inside = 3 + (volumeBytes - dataEnd) / fat.ClusterBytes();
    inside = std::min<uint64_t>(inside, uint64_t{fat.ClusterCount()} + 2);
    plan.FreeClusters = uint64_t{fat.FreeClustersBelow(inside)} * perFat;
    return plan;
}
