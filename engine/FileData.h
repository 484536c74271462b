// A file's data as both conversion paths move it: the attribute that holds it in clusters,
// how much of it was ever written, and cutting its runs to its size.
//
// Threads: the conversion thread only; nothing here locks.
#pragma once

#include <algorithm>
#include <cstdint>

#include "ntfs/CAttrBase.h"

struct FILE_ITEM;

// value / unit, rounded up; unit must not be 0.
constexpr uint64_t DivideUp(uint64_t value, uint64_t unit) {
    return value / unit + (value % unit != 0);
}

// True for a run of a hole in sparse data: it has no clusters on the volume (Lcn < 0).
inline bool IsSparseRun(const tagDataRun_Entry& run) { return run.Lcn < 0; }

// The unnamed $DATA of a file item when it lies in clusters (owned by the item's record);
// null for directories, items without a record, resident data and files without unnamed
// $DATA. *missing, when given, is set for a file item that has no unnamed $DATA at all.
CAttrNonResident* NonResidentData(FILE_ITEM* item, bool* missing = nullptr);

// The bytes of the data that were written: the initialized size, at most the data size.
// Bytes from here to the data size read as zeros on NTFS, whatever the clusters hold.
uint64_t InitializedBytes(const CAttrNonResident* data);

// Of a span of `spanBytes` file bytes from byte `spanStart`, the bytes that come before
// `zeroFrom` and so must be read; those after are written as zeros.
constexpr uint64_t BytesBeforeZeros(uint64_t zeroFrom, uint64_t spanStart, uint64_t spanBytes) {
    return zeroFrom <= spanStart ? 0 : std::min(spanBytes, zeroFrom - spanStart);
}

// The clusters the runs hold on the volume (holes hold none).
uint64_t ClustersOnVolume(CAttrNonResident* data);

// Restates the runs in clusters `factor` times smaller: every Lcn (holes keep theirs), count
// and VCN is multiplied, so the runs name the same sectors in the smaller unit. Used when the
// FAT32 cluster is a part of the NTFS cluster and the data stays where it lies.
void ScaleRuns(CAttrNonResident* data, uint32_t factor);

// Cuts the runs to the clusters the data size needs, ceil(DataLength / clusterBytes) VCNs:
// runs from that VCN on are dropped and a run crossing it is shortened, so a FAT chain built
// from the runs holds exactly what the size needs. Data of size 0 keeps no runs (its first
// cluster is 0). Returns the clusters cut that lay on the volume (holes have none).
uint64_t TrimRunsToSize(CAttrNonResident* data, uint32_t clusterBytes);
