#include "relocation/AlignPass.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/ClusterCopy.h"
#include "engine/Fat32BootSector.h"
#include "engine/FileData.h"
#include "engine/FileTree.h"
#include "ntfs/CFileRecord.h"

namespace {

bool IsSparse(const tagDataRun_Entry& run) { return IsSparseRun(run); }

void LogMissingData(FILE_ITEM* item) {
    LogWarnA("There is not DATA_ATTR in %I64d nondir File Record",
             static_cast<int64_t>(item->FileRecord->RecordNumber));
}

// VCNs a run list covers: one past the last run's VcnTo.
uint64_t VcnEnd(const RunList& runs) { return runs.empty() ? 0 : runs.back().VcnTo + 1; }

enum class Names { First, Further, All };

// Calls visit(item, data, path) for the files with data of the tree, in tree order: the first
// name met of each record, the further names of hard-linked records, or every name. visit
// returns false to stop the walk. With logMissing, file items without unnamed $DATA are logged.
template <typename Visit>
void ForEachFile(FILE_ITEM* tree, Names names, bool logMissing, Visit visit) {
    std::unordered_set<uint64_t> seen;
    bool stopped = false;
    VisitTree(tree, [&](FILE_ITEM* item, const std::u16string& path) {
        if (stopped) return;
        bool missing = false;
        CAttrNonResident* data = NonResidentData(item, &missing);
        if (missing && logMissing) LogMissingData(item);
        if (data == nullptr) return;
        const bool first = seen.insert(item->FileRecord->RecordNumber).second;
        if ((names == Names::First && !first) || (names == Names::Further && first)) return;
        if (!visit(item, data, path)) stopped = true;
    });
}

// Reads `count` NTFS clusters at lcn into `at`; clusters that cannot be read become zeros.
// False when any failed.
bool ReadClusters(NBitmap* bitmap, uint64_t lcn, uint64_t count, uint8_t* at) {
    return ReadClustersOrZeros(bitmap->Device, lcn, count, bitmap->SectorsPerLcn(), at);
}

// Writes `count` NTFS clusters from `from` at lcn in one device call; false (logged) on
// failure.
bool WriteClustersAt(NBitmap* bitmap, uint64_t lcn, uint64_t count, const uint8_t* from) {
    const uint32_t p = bitmap->SectorsPerLcn();
    return WriteSectorsLogged(bitmap->Device, from, lcn * p, count * p);
}

// True when the group at lcn is wholly free and a search could hand it out.
bool IsFreeGroup(NBitmap* bitmap, uint64_t lcn) {
    return static_cast<int64_t>(lcn) != bitmap->ReservedGroup &&
           bitmap->InDataRegion(lcn, bitmap->GroupSize) &&
           bitmap->GroupStartOf(static_cast<int64_t>(lcn)) == static_cast<int64_t>(lcn) &&
           bitmap->CountMarked(static_cast<int64_t>(lcn), bitmap->GroupSize) == 0;
}

// One file's runs during a pass: loaded once, stored back when a move changed them.
class FileRuns {
public:
    explicit FileRuns(CAttrNonResident* data) : Data(data), Runs(LoadRuns(data)) {
        Notes.ZeroFrom = InitializedBytes(data);
    }
    ~FileRuns() { Store(); }
    FileRuns(const FileRuns&) = delete;
    FileRuns& operator=(const FileRuns&) = delete;

    void Store() {
        if (Changed) StoreRuns(Data, Runs);
        Changed = false;
    }
    bool Move(NBitmap* bitmap, uint64_t vcn, uint64_t count, uint64_t newLcn) {
        Changed = true;
        return MoveRange(bitmap, &Runs, vcn, count, newLcn, &Notes);
    }

    CAttrNonResident* Data;
    RunList Runs;
    MoveNotes Notes;
    bool Changed = false;
};

void NoteFile(RelocationNotes* notes, const std::u16string& path, const MoveNotes& moved) {
    if (notes != nullptr) notes->NoteFailures(path, moved.ReadFailed, moved.WriteFailed);
}

}  // namespace

// ---- Run lists ----------------------------------------------------------------------

RunList LoadRuns(CAttrNonResident* data) {
    RunList runs;
    runs.reserve(static_cast<size_t>(std::max(data->Runs.Count(), 0)));
    for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
        runs.push_back(*run);
    }
    return runs;
}

void StoreRuns(CAttrNonResident* data, const RunList& runs) {
    data->Runs.Clear();
    for (const tagDataRun_Entry& run : runs) data->Runs.Append(new tagDataRun_Entry(run));
}

void RelocationNotes::NoteFailures(const std::u16string& path, bool readFailed, bool writeFailed) {
    if (readFailed && unread_.insert(path).second) unreadFiles.push_back(path);
    if (writeFailed && unwritten_.insert(path).second) unwrittenFiles.push_back(path);
}

// ---- RunWalker ----------------------------------------------------------------------

RunWalker::RunWalker(const RunList& runs, uint32_t groupSize)
    : Copies_(runs), GroupSize_(std::max<uint32_t>(groupSize, 1)),
      Lcns_(new uint64_t[GroupSize_]) {}

bool RunWalker::NextGroup(uint32_t* count, uint64_t* firstVcn) {
    uint32_t i = 0;
    // The file group of the next VCN ends at the next multiple of GroupSize.
    uint64_t groupEnd = NextVcn_ - NextVcn_ % GroupSize_ + GroupSize_;
    while (i < GroupSize_ && Position_ < Copies_.size()) {
        const tagDataRun_Entry& run = Copies_[Position_];
        if (IsSparse(run) || run.ClusterCount == 0 || NextVcn_ >= run.VcnFrom + run.ClusterCount) {
            ++Position_;  // no clusters here, or this run is used up
            continue;
        }
        if (NextVcn_ < run.VcnFrom) {
            // A gap in the VCNs: the group ends before it; the next one starts after it.
            if (i > 0) break;
            NextVcn_ = run.VcnFrom;
            groupEnd = NextVcn_ - NextVcn_ % GroupSize_ + GroupSize_;
        }
        if (NextVcn_ >= groupEnd) break;
        Lcns_[i++] = static_cast<uint64_t>(run.Lcn) + (NextVcn_ - run.VcnFrom);
        ++NextVcn_;
    }
    if (i == 0) return false;
    *count = i;
    *firstVcn = NextVcn_ - i;
    return true;
}

// ---- Splitting, merging, moving -----------------------------------------------------

size_t SplitRunAt(RunList* runs, uint64_t vcn, size_t* before) {
    // The last run starting at or before vcn (runs ascend and do not overlap).
    auto it = std::upper_bound(runs->begin(), runs->end(), vcn,
                               [](uint64_t v, const tagDataRun_Entry& run) { return v < run.VcnFrom; });
    if (it == runs->begin()) return kNoRun;
    --it;
    if (vcn > it->VcnTo) return kNoRun;
    size_t index = static_cast<size_t>(it - runs->begin());
    if (it->VcnFrom != vcn) {
        const uint64_t head = vcn - it->VcnFrom;
        tagDataRun_Entry tail = *it;
        tail.Lcn = IsSparse(*it) ? it->Lcn : it->Lcn + static_cast<int64_t>(head);
        tail.ClusterCount = it->ClusterCount - head;
        tail.VcnFrom = vcn;
        it->ClusterCount = head;
        it->VcnTo = vcn - 1;
        runs->insert(it + 1, tail);
        ++index;
    }
    if (before != nullptr) *before = index > 0 ? index - 1 : kNoRun;
    return index;
}

void MergeRuns(RunList* runs, size_t from, size_t stop) {
    if (from == kNoRun || from >= runs->size()) return;
    bool haveStop = stop < runs->size();
    size_t kept = kNoRun;
    size_t i = from;
    while (i < runs->size()) {
        const bool isStop = haveStop && i == stop;
        tagDataRun_Entry& run = (*runs)[i];
        const bool empty = run.ClusterCount == 0;
        const bool joins = !empty && kept != kNoRun && !IsSparse(run) && !IsSparse((*runs)[kept]) &&
                           run.Lcn == (*runs)[kept].Lcn + static_cast<int64_t>((*runs)[kept].ClusterCount);
        if (empty || joins) {
            if (joins) {
                (*runs)[kept].ClusterCount += run.ClusterCount;
                (*runs)[kept].VcnTo += run.ClusterCount;
            }
            runs->erase(runs->begin() + static_cast<ptrdiff_t>(i));
            if (isStop) {
                haveStop = false;  // stop is gone: go on to the end of the list
            } else if (haveStop && i < stop) {
                --stop;
            }
            continue;
        }
        kept = i;
        ++i;
        if (isStop) break;
    }
}

bool MoveRange(NBitmap* bitmap, RunList* runs, uint64_t vcn, uint64_t count, uint64_t newLcn,
               MoveNotes* notes) {
    if (count == 0) return true;
    const uint32_t clusterBytes = bitmap->ClusterBytes;
    if (count > bitmap->CopyBufferBytes / clusterBytes || runs->empty() ||
        vcn + count - 1 > runs->back().VcnTo) {
        LogErrorA("MoveRange refused: VCN %I64d, %I64d clusters", static_cast<int64_t>(vcn),
                  static_cast<int64_t>(count));
        return false;
    }
    // 1. The moved range becomes whole runs: from `first` up to (not including) `stop`.
    size_t before = kNoRun;
    const size_t first = SplitRunAt(runs, vcn, &before);
    if (first == kNoRun) {
        LogErrorA("MoveRange refused: no run holds VCN %I64d", static_cast<int64_t>(vcn));
        return false;
    }
    size_t stop = runs->size();
    if (vcn + count <= runs->back().VcnTo) stop = SplitRunAt(runs, vcn + count);
    uint64_t covered = 0;
    for (size_t i = first; stop != kNoRun && i < stop; ++i) covered += (*runs)[i].ClusterCount;
    if (stop == kNoRun || covered != count) {
        // A gap in the runs: the splits keep the runs' meaning, nothing moves.
        LogErrorA("MoveRange refused: runs of VCN %I64d..+%I64d have a gap",
                  static_cast<int64_t>(vcn), static_cast<int64_t>(count));
        return false;
    }

    // 2. Read every source piece first, then release it.
    uint8_t* buffer = bitmap->CopyBuffer.get();
    const uint64_t zeroFrom = notes != nullptr ? notes->ZeroFrom : UINT64_MAX;
    uint64_t offset = 0;
    for (size_t i = first; i < stop; ++i) {
        const tagDataRun_Entry& run = (*runs)[i];
        const uint64_t bytes = run.ClusterCount * clusterBytes;
        const uint64_t fileByte = run.VcnFrom * clusterBytes;
        // Clusters before the initialized size are read; the rest are zeros.
        const uint64_t wanted = BytesBeforeZeros(zeroFrom, fileByte, bytes);
        const uint64_t readClusters = IsSparse(run) ? 0 : DivideUp(wanted, clusterBytes);
        if (!ReadClusters(bitmap, static_cast<uint64_t>(run.Lcn), readClusters, buffer + offset)) {
            if (notes != nullptr) notes->ReadFailed = true;
        }
        const uint64_t kept = IsSparse(run) ? 0 : wanted;
        std::memset(buffer + offset + kept, 0, static_cast<size_t>(bytes - kept));
        if (!IsSparse(run)) bitmap->ClearRun(static_cast<uint64_t>(run.Lcn), run.ClusterCount);
        offset += bytes;
    }

    // 3. One run for the range, one write, then the new clusters are marked.
    const bool toTheEnd = stop == runs->size();
    runs->erase(runs->begin() + static_cast<ptrdiff_t>(first) + 1,
                runs->begin() + static_cast<ptrdiff_t>(stop));
    stop = toTheEnd ? kNoRun : first + 1;
    if (!WriteClustersAt(bitmap, newLcn, count, buffer) && notes != nullptr) notes->WriteFailed = true;
    tagDataRun_Entry& moved = (*runs)[first];
    moved.Lcn = static_cast<int64_t>(newLcn);
    moved.ClusterCount = count;
    moved.VcnFrom = vcn;
    moved.VcnTo = vcn + count - 1;
    bitmap->MarkRun(newLcn, count);

    // 4. Runs that now follow each other on disk become one.
    MergeRuns(runs, before, stop);
    return true;
}

bool GroupInPlace(NBitmap* bitmap, const uint64_t* lcns, uint32_t count, uint64_t firstVcn) {
    for (uint32_t i = 1; i < count; ++i) {
        if (lcns[i] != lcns[0] + i) return false;
    }
    const int64_t g = bitmap->GroupSize;
    const int64_t phase = (static_cast<int64_t>(lcns[0]) - int64_t{bitmap->DataStartLcn}) % g;
    return phase == static_cast<int64_t>(firstVcn % bitmap->GroupSize) &&
           bitmap->InDataRegion(lcns[0], count);
}

// ---- Before relocation --------------------------------------------------------------

uint64_t TrimRunsToData(FILE_ITEM* tree, uint32_t clusterBytes) {
    uint64_t cut = 0;
    std::unordered_set<uint64_t> seen;
    ForEachFile(tree, Names::All, false, [&](FILE_ITEM* item, CAttrNonResident* data, const std::u16string&) {
        // Further names hold the same clusters: only the first name's cut frees any.
        const bool first = seen.insert(item->FileRecord->RecordNumber).second;
        const uint64_t clusters = TrimRunsToSize(data, clusterBytes);
        if (first) cut += clusters;
        return true;
    });
    return cut;
}

void MarkFileClusters(FILE_ITEM* tree, NBitmap* bitmap, std::vector<uint32_t>* phaseCounts) {
    const uint32_t g = bitmap->GroupSize;
    if (phaseCounts->size() < g) phaseCounts->resize(g, 0);
    std::unordered_set<uint64_t> seen;
    ForEachFile(tree, Names::All, true, [&](FILE_ITEM* item, CAttrNonResident* data, const std::u16string&) {
        // Further names hold the same clusters; they are copied, never kept in place, so
        // they do not vote for the phase.
        const bool first = seen.insert(item->FileRecord->RecordNumber).second;
        for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
            if (IsSparse(*run)) continue;
            if (first) {
                const uint64_t phase = (static_cast<uint64_t>(run->Lcn) % g + g - run->VcnFrom % g) % g;
                (*phaseCounts)[phase] += static_cast<uint32_t>(run->ClusterCount);
            }
            bitmap->MarkRun(static_cast<uint64_t>(run->Lcn), run->ClusterCount);
        }
        return true;
    });
}

uint32_t ChooseDataPhase(const std::vector<uint32_t>& phaseCounts) {
    uint32_t best = 0;
    for (uint32_t p = 1; p < phaseCounts.size(); ++p) {
        if (phaseCounts[p] > phaseCounts[best]) best = p;
    }
    return best;
}

uint64_t CountFatClusters(FILE_ITEM* tree, NBitmap* bitmap, uint64_t* outside) {
    const uint32_t g = bitmap->GroupSize;
    // 1 for the root's visit, 1 per directory holding anything: room the estimate keeps.
    uint64_t total = 1;
    std::unordered_set<uint64_t> seen;
    if (tree != nullptr) {
        ForEachItem(tree->FirstChild, [&](FILE_ITEM* item) {
            if (ItemIsDirectory(item) && item->FirstChild != nullptr) ++total;
        });
    }
    if (tree != nullptr && tree->FirstChild != nullptr) ++total;
    ForEachFile(tree, Names::All, false, [&](FILE_ITEM* item, CAttrNonResident* data, const std::u16string&) {
        const bool first = seen.insert(item->FileRecord->RecordNumber).second;
        const RunList runs = LoadRuns(data);
        total += DivideUp(VcnEnd(runs), g);
        if (!first) return true;
        for (const tagDataRun_Entry& run : runs) {
            if (IsSparse(run) || bitmap->InDataRegion(static_cast<uint64_t>(run.Lcn),
                                                      static_cast<int64_t>(run.ClusterCount))) {
                continue;
            }
            const uint64_t lcn = static_cast<uint64_t>(run.Lcn);
            const uint64_t end = lcn + run.ClusterCount;
            if (lcn < bitmap->DataStartLcn) *outside += std::min<uint64_t>(end, bitmap->DataStartLcn) - lcn;
            if (end > bitmap->DataEnd()) *outside += end - std::max(lcn, bitmap->DataEnd());
        }
        return true;
    });
    return total;
}

// ---- The passes ---------------------------------------------------------------------

bool AlignPass(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes) {
    const uint32_t g = bitmap->GroupSize;
    const uint64_t batchClusters = bitmap->CopyBufferBytes / bitmap->ClusterBytes;
    if (notes != nullptr) ++notes->alignPasses;
    bool done = true;
    ForEachFile(tree, Names::First, true, [&](FILE_ITEM*, CAttrNonResident* data, const std::u16string& path) {
        FileRuns file(data);
        RunWalker walker(file.Runs, g);
        // Groups waiting to move together: VCNs from pendingVcn, to LCNs from pendingLcn.
        uint64_t pendingVcn = 0, pendingCount = 0, pendingLcn = 0, pendingGroups = 0;
        const auto flush = [&] {
            // Only moves made count: the caller's loop ends when a round moves nothing.
            if (pendingCount > 0 && file.Move(bitmap, pendingVcn, pendingCount, pendingLcn) &&
                notes != nullptr) {
                notes->groupsMoved += pendingGroups;
            }
            pendingCount = 0;
            pendingGroups = 0;
        };
        uint32_t n = 0;
        uint64_t f = 0;
        while (walker.NextGroup(&n, &f)) {
            // 1. A group in place stays.
            if (GroupInPlace(bitmap, walker.Lcns(), n, f)) {
                flush();
                continue;
            }
            // 2. It joins the waiting groups when it follows them in the file and the group
            //    after their destination is free too.
            if (pendingCount > 0 && pendingCount % g == 0 && f == pendingVcn + pendingCount &&
                pendingCount + n <= batchClusters && IsFreeGroup(bitmap, pendingLcn + pendingCount)) {
                bitmap->Cursor = static_cast<uint32_t>(pendingLcn + pendingCount);
                pendingCount += n;
                ++pendingGroups;
                continue;
            }
            // 3. Otherwise the waiting groups move and this one looks for a free group.
            flush();
            const int64_t d = bitmap->FindFreeGroup();
            if (d == NBitmap::kNone) {
                done = false;
                break;
            }
            pendingVcn = f;
            pendingCount = n;
            pendingLcn = static_cast<uint64_t>(d);
            pendingGroups = 1;
        }
        flush();
        file.Store();
        NoteFile(notes, path, file.Notes);
        return done;
    });
    return done;
}

uint64_t CompactPass(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes) {
    const uint32_t g = bitmap->GroupSize;
    if (notes != nullptr) ++notes->compactPasses;
    uint64_t moves = 0;
    bool exhausted = false;
    ForEachFile(tree, Names::First, false, [&](FILE_ITEM*, CAttrNonResident* data, const std::u16string& path) {
        FileRuns file(data);
        RunWalker walker(file.Runs, g);
        uint32_t n = 0;
        uint64_t f = 0;
        while (!exhausted && walker.NextGroup(&n, &f)) {
            // 1. Groups in place are never touched: taking a cluster out would undo them.
            if (GroupInPlace(bitmap, walker.Lcns(), n, f)) continue;
            // 2. The clusters of a misplaced group that lie in partly used groups of the data
            //    area go to the first partly used group from the cursor.
            for (uint32_t i = 0; i < n; ++i) {
                const uint64_t x = walker.Lcns()[i];
                if (!bitmap->InDataRegion(x, 1) || bitmap->IsGroupFull(x)) continue;
                const int64_t d = bitmap->FindFreeInPartialGroup();
                if (d == NBitmap::kNone) {
                    exhausted = true;
                    break;
                }
                if (bitmap->GroupStartOf(d) == bitmap->GroupStartOf(static_cast<int64_t>(x))) continue;
                if (file.Move(bitmap, f + i, 1, static_cast<uint64_t>(d))) ++moves;
            }
        }
        file.Store();
        NoteFile(notes, path, file.Notes);
        return !exhausted;
    });
    if (notes != nullptr) notes->clustersCompacted += moves;
    return moves;
}

void RelocateFiles(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes) {
    RelocationNotes local;
    RelocationNotes* out = notes != nullptr ? notes : &local;
    // 1. Every misplaced group to a free group.
    bitmap->Cursor = bitmap->DataStartLcn;
    if (AlignPass(tree, bitmap, out)) return;
    // 2. Free groups ran out: pack scattered clusters, then align again, until done. Each
    //    round moves something while the file groups are fewer than the groups to hold them;
    //    a round without a move would only repeat itself.
    for (;;) {
        const uint64_t movedBefore = out->groupsMoved + out->clustersCompacted;
        bitmap->Cursor = bitmap->DataStartLcn;
        CompactPass(tree, bitmap, out);
        bitmap->Cursor = bitmap->DataStartLcn;
        if (AlignPass(tree, bitmap, out)) return;
        if (out->groupsMoved + out->clustersCompacted == movedBefore) {
            LogErrorA("The free space that convert to fat too few. relocation stopped after %d "
                      "align and %d compact passes, %I64d groups and %I64d clusters moved",
                      static_cast<int>(out->alignPasses), static_cast<int>(out->compactPasses),
                      static_cast<int64_t>(out->groupsMoved),
                      static_cast<int64_t>(out->clustersCompacted));
            throw SimpleException(u"The free space that convert to fat is too few.", 1);
        }
    }
}

// ---- After relocation ---------------------------------------------------------------

void ZeroUninitializedTails(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes) {
    const uint32_t clusterBytes = bitmap->ClusterBytes;
    const uint64_t chunkClusters = bitmap->CopyBufferBytes / clusterBytes;
    ForEachFile(tree, Names::First, false, [&](FILE_ITEM*, CAttrNonResident* data, const std::u16string& path) {
        // Only data written short of its size has bytes to zero; the slack after the size is
        // never read.
        const uint64_t zeroFrom = InitializedBytes(data);
        if (zeroFrom >= data->DataLength()) return true;
        const RunList runs = LoadRuns(data);
        const uint64_t end = VcnEnd(runs);
        if (zeroFrom >= end * clusterBytes) return true;
        bool readFailed = false, writeFailed = false;
        uint8_t* buffer = bitmap->CopyBuffer.get();
        uint64_t vcn = zeroFrom / clusterBytes;  // the first cluster that receives zeros
        for (const tagDataRun_Entry& run : runs) {
            if (IsSparse(run) || run.VcnTo < vcn) continue;
            vcn = std::max(vcn, run.VcnFrom);
            uint64_t lcn = static_cast<uint64_t>(run.Lcn) + (vcn - run.VcnFrom);
            uint64_t left = run.VcnTo + 1 - vcn;
            // 1. The cluster the zeros start in keeps its bytes before them.
            const uint32_t within = static_cast<uint32_t>(zeroFrom % clusterBytes);
            if (vcn == zeroFrom / clusterBytes && within != 0) {
                if (ReadClusters(bitmap, lcn, 1, buffer)) {
                    std::memset(buffer + within, 0, clusterBytes - within);
                    bitmap->ClearRun(lcn, 1);
                    writeFailed |= !WriteClustersAt(bitmap, lcn, 1, buffer);
                    bitmap->MarkRun(lcn, 1);
                    if (notes != nullptr) ++notes->clustersZeroed;
                } else {
                    readFailed = true;  // left as it is: its first bytes could not be kept
                }
                ++lcn;
                ++vcn;
                --left;
            }
            // 2. Whole clusters of zeros, a buffer at a time.
            std::memset(buffer, 0, static_cast<size_t>(std::min(left, chunkClusters) * clusterBytes));
            while (left > 0) {
                const uint64_t n = std::min(left, chunkClusters);
                bitmap->ClearRun(lcn, n);
                writeFailed |= !WriteClustersAt(bitmap, lcn, n, buffer);
                bitmap->MarkRun(lcn, n);
                if (notes != nullptr) notes->clustersZeroed += n;
                lcn += n;
                vcn += n;
                left -= n;
            }
        }
        if (notes != nullptr) notes->NoteFailures(path, readFailed, writeFailed);
        return true;
    });
}

void CopyLinkedNames(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes) {
    const uint32_t g = bitmap->GroupSize;
    const uint64_t clusterBytes = bitmap->ClusterBytes;
    const auto batchGroups =
        std::max<uint32_t>(1, static_cast<uint32_t>(bitmap->CopyBufferBytes / (clusterBytes * g)));
    // The first name of every record, whose data the further names copy.
    std::unordered_map<uint64_t, CAttrNonResident*> firstNames;
    ForEachFile(tree, Names::First, false, [&](FILE_ITEM* item, CAttrNonResident* data, const std::u16string&) {
        firstNames.emplace(item->FileRecord->RecordNumber, data);
        return true;
    });
    // One batch: the source groups (first LCN, clusters, first VCN) and their new clusters.
    struct Piece {
        uint64_t lcn;
        uint32_t count;
        uint64_t vcn;
    };
    std::vector<Piece> pieces;
    std::vector<uint32_t> clusters(batchGroups);
    uint8_t* buffer = bitmap->CopyBuffer.get();
    ForEachFile(tree, Names::Further, false, [&](FILE_ITEM* item, CAttrNonResident* data, const std::u16string& path) {
        const auto source = firstNames.find(item->FileRecord->RecordNumber);
        if (source == firstNames.end()) return true;
        const RunList sourceRuns = LoadRuns(source->second);
        RunWalker walker(sourceRuns, g);
        RunList copy;
        bool readFailed = false, writeFailed = false;
        uint32_t lastCluster = 0;
        uint32_t n = 0;
        uint64_t f = 0;
        bool more = walker.NextGroup(&n, &f);
        while (more) {
            // 1. Up to a buffer of groups; a group that is not whole (the file's last) ends it,
            //    so the groups lie packed in the buffer as they will on disk.
            pieces.clear();
            while (more && pieces.size() < batchGroups) {
                pieces.push_back({walker.Lcns()[0], n, f});
                more = walker.NextGroup(&n, &f);
                if (pieces.back().count < g) break;
            }
            // 2. Read, one device call per span of source clusters that follow each other.
            uint64_t at = 0;
            for (size_t i = 0; i < pieces.size();) {
                size_t j = i + 1;
                uint64_t span = pieces[i].count;
                while (j < pieces.size() && pieces[j].lcn == pieces[j - 1].lcn + pieces[j - 1].count) {
                    span += pieces[j++].count;
                }
                readFailed |= !ReadClusters(bitmap, pieces[i].lcn, span, buffer + at * clusterBytes);
                at += span;
                i = j;
            }
            // 3. New groups, chained after those of the previous batch.
            const auto groups = static_cast<uint32_t>(pieces.size());
            bitmap->AllocChain(groups, clusters.data());
            if (lastCluster != 0 && lastCluster < bitmap->FatEntries) bitmap->FatTable[lastCluster] = clusters[0];
            lastCluster = clusters[groups - 1];
            // 4. Written, one device call per span of groups that follow each other.
            at = 0;
            for (uint32_t i = 0; i < groups;) {
                uint32_t j = i + 1;
                uint64_t span = pieces[i].count;
                while (j < groups && clusters[j] == clusters[j - 1] + 1) span += pieces[j++].count;
                writeFailed |= !WriteClustersAt(bitmap, bitmap->LcnOfCluster(clusters[i]), span,
                                                buffer + at * clusterBytes);
                at += span;
                i = j;
            }
            // 5. The runs of the copy.
            for (uint32_t i = 0; i < groups; ++i) {
                const auto lcn = static_cast<int64_t>(bitmap->LcnOfCluster(clusters[i]));
                const Piece& piece = pieces[i];
                if (!copy.empty() && copy.back().Lcn + static_cast<int64_t>(copy.back().ClusterCount) == lcn &&
                    copy.back().VcnTo + 1 == piece.vcn) {
                    copy.back().ClusterCount += piece.count;
                    copy.back().VcnTo += piece.count;
                } else {
                    copy.push_back({lcn, piece.count, piece.vcn, piece.vcn + piece.count - 1});
                }
            }
            if (notes != nullptr) notes->linkCopyGroups += groups;
        }
        StoreRuns(data, copy);
        if (notes != nullptr) notes->NoteFailures(path, readFailed, writeFailed);
        return true;
    });
}

// ---- FAT chains ---------------------------------------------------------------------

void BuildFatChains(FILE_ITEM* tree, NBitmap* bitmap, RelocationNotes* notes) {
    const uint32_t g = bitmap->GroupSize;
    ForEachFile(tree, Names::All, false, [&](FILE_ITEM* item, CAttrNonResident* data, const std::u16string& path) {
        const RunList runs = LoadRuns(data);
        RunWalker walker(runs, g);
        uint32_t previous = 0;
        uint32_t n = 0;
        uint64_t f = 0;
        while (walker.NextGroup(&n, &f)) {
            if (!GroupInPlace(bitmap, walker.Lcns(), n, f)) {
                LogErrorA("file record %I64d: VCN %I64d lies at LCN %I64d, not on a cluster of its own",
                          static_cast<int64_t>(item->FileRecord->RecordNumber), static_cast<int64_t>(f),
                          static_cast<int64_t>(walker.Lcns()[0]));
                if (notes != nullptr) notes->NoteFailures(path, false, true);
            }
            const auto cluster = static_cast<uint32_t>(bitmap->ClusterOfLcn(walker.Lcns()[0]));
            if (cluster < 2 || cluster >= bitmap->FatEntries) continue;
            bitmap->FatTable[cluster] = kFat32EndOfChain;
            if (previous != 0) bitmap->FatTable[previous] = cluster;
            previous = cluster;
        }
        return true;
    });
}
