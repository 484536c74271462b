// The in-place conversion used when the FAT32 cluster equals the NTFS cluster, or is a
// power-of-two part of it (a small volume whose NTFS clusters would give FAT32 too few).
//
// The FAT32 data area starts on a cluster boundary of the NTFS layout, so every NTFS cluster
// of a file is exactly one FAT32 cluster (or 2, 4, 8, ... whole ones) at a fixed offset and
// nearly all file data stays where it is: only its FAT chain is built, in memory. With
// smaller FAT32 clusters the files' runs are first restated in FAT32 clusters (ScaleRuns),
// and everything after works in that unit. What has to move:
//   - file clusters below FAT cluster 3, where the reserved sectors, both FATs and cluster 2
//     (the root directory) will lie: copied to free clusters first;
//   - every further name of a file with several hard links: FAT has no hard links and two
//     entries sharing a chain are cross-linked, so each further name gets its own copy;
// and what is written new: directories and the data NTFS keeps inside MFT records.
//
// Besides moving data the path makes each file's chain match its size (clusters beyond the
// data size, preallocated by Windows programs, become free) and writes zeros over the bytes
// between a file's initialized size and its data size, which read as zeros on NTFS but hold
// stale bytes on disk.
//
// Failures are thrown as SimpleException (kind 1) with the sentence the user reads. Reads
// that fail while data is copied do not stop the conversion (the volume is no longer NTFS by
// then): unreadable clusters are written as zeros and, after the boot sector, the conversion
// ends with a failure naming every such file.
//
// Threads: the conversion thread only; nothing here locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/ProgressInforAssist.h"
#include "engine/ClusterCopy.h"  // UnreadFilesMessage, the message of step 18
#include "engine/Fat32BootSector.h"
#include "engine/FileTree.h"
#include "engine/NFat.h"
#include "ntfs/CAttrBase.h"

class CVolumeDevice;

// What the caller asks for beyond the plain conversion.
struct SameClusterOptions {
    bool checkOnly = false;  // stop after the free-space check, before the first write
    // FAT32 clusters per NTFS cluster: 1, or a power of two when the FAT32 cluster is smaller.
    // The path then rewrites the tree's runs in FAT32 clusters, once.
    uint32_t fatClustersPerNtfsCluster = 1;
};

// What the path found and did, for the caller's summary. Filled as far as the path got, also
// when it throws.
struct SameClusterReport {
    uint64_t clustersNeeded = 0;      // free clusters the conversion needs (relocations, link
                                      // copies, directories, resident data)
    uint64_t clustersFree = 0;        // free clusters of the new layout once files are chained
    uint64_t clustersRelocated = 0;   // file clusters under the FAT area, copied elsewhere
    uint64_t clustersLinkCopies = 0;  // clusters copied for further names of hard-linked files
    uint64_t clustersTrimmed = 0;     // clusters beyond file sizes, given back as free
    uint64_t clustersZeroed = 0;      // clusters past an initialized size to zero in place
    uint64_t directoryClusters = 0;   // clusters the directories need
    uint64_t residentClusters = 0;    // clusters the resident file data needs
    std::vector<std::u16string> unreadFiles;     // paths whose copy met failed reads
    std::vector<std::u16string> unwrittenFiles;  // paths whose copy met failed writes
};

// Converts the volume in place. `image` is the boot sector that BuildFat32BootSector made
// for the volume with the NTFS cluster size; `device` is the volume (not owned); `root` is
// the item of the NTFS root directory (the tree is not owned, but its run lists are rewritten
// for files that move); `label` is the 8-bit volume label or null; `scaler` carries the
// progress (its Reached and Span are changed as the phases go by; may be null).
//
//  1. milestone 0.38 "Start to Calculate converting space...";
//  2. build the FAT table (its boot image gets the label's 11 bytes, VolumeLabelBytes); with
//     smaller FAT32 clusters, restate every file's runs in FAT32 clusters;
//  3. chain every file where it lies (ChainFilesInPlace): what must move is counted;
//  4. add the clusters of the directories and of the resident data;
//  5. count the free clusters;
//  6. refuse when more clusters are needed than are free; with options.checkOnly stop here;
//  7. milestone 0.4 "Converting NTFS to FAT32...";
//  8. count written sectors for the bar, from 0.4 towards 0.9;
//  9. keep cluster 2 from relocation and resident data (the root directory goes there);
// 10. zero the tails of data that stays, copy the clusters under the FAT area, copy the data
//     of further hard-link names;
// 11. write the resident data;
// 12. free cluster 2 again and restart the free search there;
// 13. write the directories, the root first;
// 14. end the counted phase (0.9);
// 15. milestone 0.97 "Process the Fat Table in the FAT32.";
// 16. write both FATs ("Flush the fat table fail." when neither copy is whole);
// 17. write the boot area, sector 0 last ("Flush fat dbr fail.");
// 18. when a copy met failed reads or writes, throw the failure that names those files.
void ConvertSameClusterSize(const FAT32_BOOT_SECTOR& image, CVolumeDevice* device, FILE_ITEM* root,
                            const char* label, ProgressInforAssist* scaler,
                            const SameClusterOptions& options = {},
                            SameClusterReport* report = nullptr);

// A file whose data must be copied: its unnamed data attribute (owned by the tree) and its
// path from the root ("/a/b.txt"), for messages.
struct MOVED_FILE {
    CAttrNonResident* Data = nullptr;
    std::u16string Path;
};

// What ChainFilesInPlace found. Lists are in tree order; they refer to attributes of the tree
// and own nothing.
struct IN_PLACE_PLAN {
    std::vector<MOVED_FILE> Relocate;    // files with clusters below FAT cluster 3
    std::vector<MOVED_FILE> LinkCopies;  // further names of hard-linked files
    std::vector<MOVED_FILE> ZeroTails;   // files with bytes past their initialized size
    uint64_t RelocateClusters = 0;       // clusters of Relocate below cluster 3
    uint64_t LinkCopyClusters = 0;       // clusters of all LinkCopies
    uint64_t ZeroTailClusters = 0;       // clusters of ZeroTails that are zeroed in place
    uint64_t TrimmedClusters = 0;        // clusters cut from chains longer than their data
                                         // (first names only; holes are not counted)
};

// Copies clusters through one buffer of 512 KiB (or the one cluster when clusters are
// larger), reused for every copy, writing zeros for the bytes of a file at and after its
// initialized size. Whole spans of clusters go in one device call each; when a span cannot be
// read, its clusters are read one by one and only those that fail are written as zeros.
// Failed reads and writes are logged ("ReadSector err, s:%d, n%d", "WriteSector err, s:%d,
// n%d") and remembered for the current file.
class ClusterCopier {
public:
    ClusterCopier(NFat* fat, CVolumeDevice* device);

    ClusterCopier(const ClusterCopier&) = delete;
    ClusterCopier& operator=(const ClusterCopier&) = delete;

    // Starts a new file whose bytes from byte `initializedBytes` on read as zeros; clears the
    // failure flags.
    void BeginFile(uint64_t initializedBytes);

    // Copies `count` clusters from volume cluster `lcn` (the file's clusters from `vcn` on)
    // to the consecutive FAT clusters from `to` on. count is at most SpanClusters().
    void CopySpan(uint64_t lcn, uint64_t vcn, uint32_t to, uint32_t count);

    // Writes zeros over the bytes of FAT clusters [cluster, cluster + count) from byte
    // `fromByte` of the first cluster on (less than a cluster), in place. The part of the
    // first sector before fromByte is kept (read, patched, written back; when that read
    // fails the sector is left as it is and counts as a failed read).
    void ZeroInPlace(uint32_t cluster, uint32_t count, uint32_t fromByte);

    // Clusters one device call moves at most.
    uint32_t SpanClusters() const { return SpanClusters_; }

    bool ReadFailed = false;   // since BeginFile: a read failed (zeros were written instead)
    bool WriteFailed = false;  // since BeginFile: a write failed

private:
    uint64_t SectorOfCluster(uint32_t cluster) const;
    // Reads `count` clusters at volume cluster lcn into the buffer at `at`; clusters that
    // cannot be read become zeros.
    void ReadSpan(uint64_t lcn, uint32_t count, uint8_t* at);
    void WriteSectors(const uint8_t* bytes, uint64_t sector, uint32_t sectors);

    NFat* Fat;              // not owned
    CVolumeDevice* Device;  // not owned
    uint32_t SectorsPerCluster;
    uint32_t ClusterBytes;
    uint32_t SpanClusters_;
    std::unique_ptr<uint8_t[]> Buffer;  // SpanClusters_ clusters; owned
    uint64_t ZeroFrom = UINT64_MAX;     // file byte from which everything is written as zeros
};

// Chains the data of every file below `root` where it lies, and plans what has to move:
//   - runs holding more clusters than the data size needs are cut to ceil(size / cluster);
//     the rest stays free (a file of size 0 keeps no runs: its first cluster is 0);
//   - a file whose record was met before (a further hard-link name) is not chained: its data
//     will be copied (LinkCopies, all its clusters);
//   - otherwise its runs are chained in place (ChainRunsInPlace); a file with clusters below
//     cluster 3 joins Relocate, one with bytes past its initialized size ZeroTails.
// Directories and resident files add nothing. Throws SimpleException (kind 1) when a file's
// clusters lie beyond the end of the FAT volume. Returns the clusters that must be found
// free for the files (relocated plus link copies).
uint64_t ChainFilesInPlace(FILE_ITEM* root, NFat* fat, IN_PLACE_PLAN* plan);

// Chains one file's runs in place: each run's clusters at cluster 3 and above point to the
// next, the last to end of chain, and the last cluster of a run to the first of the next when
// both lie at cluster 3 or above. Sparse runs are passed over. Returns the clusters below
// cluster 3, which RelocateLowClusters moves and links.
uint32_t ChainRunsInPlace(NFat* fat, CSList<tagDataRun_Entry>* runs);

// For each file of plan->Relocate: claims free clusters for its runs (or parts of runs) below
// cluster 3, copies them there, links them with the parts that stay, and gives the file a
// single run that names its new first cluster (SetSingleRun). Files whose copy met failed
// reads or writes are added to report's lists.
void RelocateLowClusters(NFat* fat, IN_PLACE_PLAN* plan, ClusterCopier* copier,
                         SameClusterReport* report);

// For each file of plan->LinkCopies: claims a chain for all its clusters, copies the data
// there and gives the file a single run that names the copy (SetSingleRun).
void CopyHardLinks(NFat* fat, IN_PLACE_PLAN* plan, ClusterCopier* copier,
                   SameClusterReport* report);

// For each file of plan->ZeroTails: zeros its bytes from the initialized size to the end of
// its last cluster where they stay in place (clusters below 3 are zeroed in their copy).
// Must run before RelocateLowClusters replaces the runs.
void ZeroTailsInPlace(NFat* fat, IN_PLACE_PLAN* plan, ClusterCopier* copier,
                      SameClusterReport* report);

// Copies `count` clusters from volume cluster lcn (the file's clusters from `vcn` on) into the
// chain that starts at FAT cluster `first`, batching clusters that are consecutive in the
// chain. Returns the chain's cluster after the last one written (end of chain at its end).
uint32_t CopyRunToChain(NFat* fat, uint32_t first, uint64_t lcn, uint32_t count, uint64_t vcn,
                        ClusterCopier* copier);

// Replaces the attribute's runs with one run whose Lcn maps to FAT cluster `first`
// (ClusterOfLcn gives first back); its ClusterCount, VcnFrom and VcnTo are all ones: the run
// only tells the directory builder where the file now starts.
void SetSingleRun(CAttrNonResident* attribute, NFat* fat, uint32_t first);

