// Relocation of file data onto the groups of larger FAT32 clusters, and the FAT chains of the
// relocated files.
//
// When each FAT32 cluster is a group of GroupSize NTFS clusters (NBitmap), the FAT can describe
// a file only if every GroupSize consecutive clusters of the file (VCNs k * GroupSize ..
// (k + 1) * GroupSize - 1, its "file group" k) lie on one volume group, in order, inside the
// data area. A file group is *in place* when its LCNs are consecutive, the first starts a
// volume group, and all lie in the data area outside the reserved group. The passes below move
// data, in place on the volume, until every file group of every file is in place, rewriting
// each file's run list as its data moves.
//
// Use, in this order (the larger-cluster conversion does it):
//   TrimRunsToData(root, clusterBytes);            // chains will match the data sizes
//   MarkFileClusters(root, &bitmap, &phaseCounts); // bits of every file cluster
//   ... lay the FAT32 out with the phase ChooseDataPhase(phaseCounts) ...
//   CountFatClusters(root, &bitmap, &outside);     // for the free-space check
//   RelocateFiles(root, &bitmap, &notes);          // AlignPass / CompactPass until done
//   ZeroUninitializedTails(root, &bitmap, &notes); // bytes past the initialized size
//   CopyLinkedNames(root, &bitmap, &notes);        // one copy per further hard-link name
//   ... resident data and directories through the bitmap (IFat) ...
//   BuildFatChains(root, &bitmap);
//
// Files with data: items whose record is not a directory and whose unnamed $DATA is
// non-resident. Named streams are not carried over (their clusters count as free). The passes
// visit the tree in its order: an item, then what it holds, then its next sibling.
//
// Hard links: a file with several names is in the tree once per name, each item with its own
// record and run list. Only the first name met in tree order (the *first name*) is moved by the
// passes; further names are left alone until every file is in place, then each gets its own
// copy of the data (FAT has no hard links: two entries sharing a chain are cross-linked).
//
// Safety: a cluster whose bit is set holds data that must survive and is never written. A move
// reads its whole source into the bitmap's copy buffer first, clears the source bits, writes
// the destination (whose bits were clear) and marks it; rewriting a file's own clusters in
// place (zeroing) clears their bits around the write in the same way.
//
// Failures: read and write failures while data moves are logged ("ReadSector err, s:%d, n%d",
// "WriteSector err, s:%d, n%d"), unreadable clusters are written as zeros, the run lists are
// updated as if the move had succeeded, and the file is named in RelocationNotes; the
// conversion goes on. What cannot go on is thrown as SimpleException (kind 1).
//
// Threads: the conversion thread only; nothing here locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "ntfs/CAttrBase.h"
#include "relocation/NBitmap.h"

struct FILE_ITEM;

// A file's runs while a pass edits them: ascending VCNs, as CAttrNonResident::Runs holds them.
// A vector, so that the run holding a VCN is found by binary search however many runs a
// fragmented file has.
using RunList = std::vector<tagDataRun_Entry>;
// "No run": an index that SplitRunAt returns when no run covers a VCN, and the stop of a
// MergeRuns that goes on to the end of the list.
constexpr size_t kNoRun = SIZE_MAX;

// The runs of an attribute as a RunList, and back (the list is rebuilt from the copy).
RunList LoadRuns(CAttrNonResident* data);
void StoreRuns(CAttrNonResident* data, const RunList& runs);

// What the passes did, and the files whose data met failed reads or writes while it moved.
struct RelocationNotes {
    uint64_t groupsMoved = 0;        // file groups moved by AlignPass
    uint64_t clustersCompacted = 0;  // single clusters moved by CompactPass
    uint32_t alignPasses = 0;
    uint32_t compactPasses = 0;
    uint64_t clustersZeroed = 0;     // clusters past initialized sizes zeroed in place
    uint64_t linkCopyGroups = 0;     // groups written for further hard-link names
    std::vector<std::u16string> unreadFiles;     // paths, in the order first met
    std::vector<std::u16string> unwrittenFiles;  // paths, in the order first met

    // Adds the path to the lists its flags name, each path once.
    void NoteFailures(const std::u16string& path, bool readFailed, bool writeFailed);

private:
    std::unordered_set<std::u16string> unread_, unwritten_;
};

// What one file's moves met, for MoveRange.
struct MoveNotes {
    uint64_t ZeroFrom = UINT64_MAX;  // file byte from which the data reads as zeros
    bool ReadFailed = false;
    bool WriteFailed = false;
};

// A read-only snapshot of one file's runs, visited file group by file group. Moves made
// during the visit do not disturb it.
class RunWalker {
public:
    RunWalker(const RunList& runs, uint32_t groupSize);

    // The next file group: false when nothing is left; else *count = the LCNs delivered
    // (1 .. GroupSize; fewer only for a file's last group, or where the runs have a gap),
    // *firstVcn = the group's first VCN, and Lcns()[0 .. *count - 1] its LCNs. Groups come in
    // VCN order, each crossing run boundaries as needed; sparse runs deliver nothing.
    bool NextGroup(uint32_t* count, uint64_t* firstVcn);
    const uint64_t* Lcns() const { return Lcns_.get(); }

private:
    RunList Copies_;
    size_t Position_ = 0;
    uint64_t NextVcn_ = 0;
    uint32_t GroupSize_;
    std::unique_ptr<uint64_t[]> Lcns_;
};

// Makes a run begin at vcn: finds the run with VcnFrom <= vcn <= VcnTo and, when vcn lies
// inside it, splits it in two (the first part keeps its Lcn and VcnFrom, the second starts at
// vcn, right after it). Returns the index of the run that begins at vcn and stores the index
// of the run before it (kNoRun for the first) through `before` when given; kNoRun when no run
// covers vcn (nothing changes).
size_t SplitRunAt(RunList* runs, uint64_t vcn, size_t* before = nullptr);

// Joins runs that follow each other on disk, after a move. From run `from` on (nothing when
// from is kNoRun: the moved range began the file): runs of 0 clusters are dropped, a run whose
// Lcn continues the last kept run is merged into it; the walk ends after run `stop` unless
// stop was merged (or is kNoRun), then it goes on to the end of the list.
void MergeRuns(RunList* runs, size_t from, size_t stop);

// Moves the file's clusters of VCNs vcn .. vcn + count - 1 to the consecutive LCNs from newLcn
// (whose bits are clear) and rewrites runs to say so:
//   1. split the runs at vcn and at vcn + count (unless that is the end of the file);
//   2. read each source piece into the copy buffer (one device call each; bytes of the file
//      at and after notes->ZeroFrom are zeros, not read); clear the source bits;
//   3. replace the pieces by one run; write the buffer in one device call; mark the new LCNs;
//   4. MergeRuns around the moved range.
// count * ClusterBytes must fit the copy buffer. False, with nothing moved and the runs'
// meaning unchanged, when the runs do not cover the range or it does not fit.
bool MoveRange(NBitmap* bitmap, RunList* runs, uint64_t vcn, uint64_t count, uint64_t newLcn,
               MoveNotes* notes = nullptr);

// True when the group of `count` LCNs from file VCN firstVcn is in place on the bitmap.
bool GroupInPlace(NBitmap* bitmap, const uint64_t* lcns, uint32_t count, uint64_t firstVcn);

// Cuts every file's runs to the clusters its data size needs (ceil(size / clusterBytes)), so
// each FAT chain holds exactly the clusters its size needs and the clusters beyond become free.
// A file of size 0 keeps no runs (its first cluster is 0). Returns the clusters cut from first
// names (further hard-link names share them).
uint64_t TrimRunsToData(FILE_ITEM* tree, uint32_t clusterBytes);

// Marks every cluster of every file with data and adds, per run of a first name, its cluster
// count to (*phaseCounts)[phase], phase = (Lcn - VcnFrom) mod GroupSize; the vector is resized
// to GroupSize entries when shorter. A file item without unnamed $DATA is logged ("There is
// not DATA_ATTR in %I64d nondir File Record") and skipped.
void MarkFileClusters(FILE_ITEM* tree, NBitmap* bitmap, std::vector<uint32_t>* phaseCounts);

// The phase the data area should start at: the index of the largest count, the lowest on a tie.
uint32_t ChooseDataPhase(const std::vector<uint32_t>& phaseCounts);

// FAT clusters the files with data need: ceil(clusters / GroupSize) per item (every hard-link
// name gets its own chain), plus 1 for the root's visit and 1 per directory holding anything.
// Adds to *outside the clusters of first names that lie before the data area or after it.
uint64_t CountFatClusters(FILE_ITEM* tree, NBitmap* bitmap, uint64_t* outside);

// Moves every file group of every first name that is not in place to a wholly free group
// (FindFreeGroup, from the bitmap's cursor). Consecutive groups of one file whose data and
// destinations both follow each other move together, up to the copy buffer per device call.
// Returns false as soon as no free group is found; true when every group has been handled.
bool AlignPass(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes = nullptr);

// Packs single clusters of file groups that are not in place, where they lie in a partly used
// group of the data area, into the first partly used groups from the cursor, which empties
// other groups for the next AlignPass. Groups in place are never touched, and a cluster never
// moves within its own group or into the reserved group. Returns the clusters moved.
uint64_t CompactPass(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes = nullptr);

// Runs AlignPass, then while it fails CompactPass and AlignPass again, the cursor set back to
// the data area's start before each. Every round that fails moves data (at least one group or
// cluster) as long as the file groups of first names number fewer than the non-reserved groups
// of the data area, which the free-space check ensures; a round that moves nothing would repeat
// forever, so it ends the conversion: SimpleException (kind 1) "The free space that convert to
// fat is too few.".
void RelocateFiles(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes);

// Writes zeros over every file's bytes from its initialized size to the end of its last
// cluster, where the data lies now (first names; the copies of further names are made from
// them afterwards). The cluster the zeros start in keeps its bytes before them; when that
// cluster cannot be read it is left as it is and the file is named as unread.
void ZeroUninitializedTails(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes);

// Gives every further name of a hard-linked file its own copy of the data: groups taken with
// AllocChain (the copy is chained), the first name's data copied group by group through the
// copy buffer, and the name's runs rewritten to the copy. Every file must be in place.
void CopyLinkedNames(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes);

// Writes the FAT chain of every file with data into the bitmap's FatTable: file group k is
// FAT cluster ClusterOfLcn(its first LCN), linked in order, the last one end of chain. A file
// without runs has no chain (its first cluster is 0). A group not in place (which the passes
// leave behind only through a fault) is logged and its file named as not written whole.
void BuildFatChains(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes = nullptr);
