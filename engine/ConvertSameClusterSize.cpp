#include "engine/ConvertSameClusterSize.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "engine/ClusterCopy.h"
#include "engine/DirectoryWriter.h"
#include "engine/FileData.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CNTFSVolume.h"

namespace {

constexpr uint32_t kCopyBufferBytes = 524288;  // one buffer for every copy: 512 KiB
constexpr uint32_t kFirstStayingCluster = 3;  // clusters below lie under the FAT area or are
                                              // cluster 2, which the root directory takes

bool IsSparse(const tagDataRun_Entry* run) { return IsSparseRun(*run); }

// The first volume cluster of the FAT data area (FAT cluster 2).
uint64_t FirstDataLcn(NFat* fat) { return fat->FirstDataSector / fat->BootImage.SectorsPerCluster; }

// The FAT cluster of a volume cluster in 64 bits: negative or small when it lies before
// cluster 3. ClusterOfLcn gives the same for every cluster of the volume once the runs have
// been checked against the table (CheckRunsFit).
int64_t FatClusterOf(NFat* fat, int64_t lcn) {
    return lcn - static_cast<int64_t>(FirstDataLcn(fat)) + 2;
}

// Sets an entry that the caller knows to lie in the table (kept from writing past it all
// the same).
void SetEntry(NFat* fat, int64_t cluster, uint32_t value) {
    if (cluster >= 2 && static_cast<uint64_t>(cluster) < fat->EntryCount) {
        fat->Entries[static_cast<size_t>(cluster)] = value;
    }
}

// Refuses a file whose clusters lie beyond the last cluster of the FAT volume: chaining them
// would write outside the table.
void CheckRunsFit(NFat* fat, CAttrNonResident* data, const std::u16string& path) {
    const uint64_t lastCluster = uint64_t{fat->ClusterCount} + 1;
    for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
        if (IsSparse(run)) continue;
        const uint64_t lcn = static_cast<uint64_t>(run->Lcn);
        const uint64_t lastLcn = FirstDataLcn(fat) + lastCluster - 2;
        if (run->ClusterCount > lastLcn + 1 || lcn > lastLcn + 1 - run->ClusterCount) {
            std::u16string text = u"The data of the file '";
            text += path;
            text +=
                u"' lies beyond the end of the volume. The volume may be damaged: please "
                u"check it (chkdsk /f on Windows, ntfsfix on Linux) and try again.";
            LogErrorW(u"%s", text.c_str());
            throw SimpleException(text, 1);
        }
    }
}

// Calls visit(cluster, count, fromByte) for the spans of a file's clusters that stay in place
// and hold bytes at or after its initialized size: fromByte is where zeros start in the span's
// first cluster. Spans are consecutive clusters of one run.
template <typename Visit>
void ForEachTailSpanInPlace(NFat* fat, CAttrNonResident* data, Visit visit) {
    const uint32_t clusterBytes = fat->FatClusterBytes();
    const uint64_t initialized = InitializedBytes(data);
    const uint64_t keep = DivideUp(data->DataLength(), clusterBytes);
    const uint64_t startVcn = initialized / clusterBytes;
    uint64_t vcn = 0;
    for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
        const uint64_t runStart = vcn;
        const uint64_t runEnd = std::min(vcn + run->ClusterCount, keep);
        vcn += run->ClusterCount;
        if (IsSparse(run) || runEnd <= startVcn || runStart >= runEnd) continue;
        uint64_t from = std::max(startVcn, runStart);
        int64_t cluster = FatClusterOf(fat, run->Lcn + static_cast<int64_t>(from - runStart));
        if (cluster < kFirstStayingCluster) {
            // The part under the FAT area is zeroed in its copy.
            from += static_cast<uint64_t>(kFirstStayingCluster - cluster);
            cluster = kFirstStayingCluster;
            if (from >= runEnd) continue;
        }
        const uint32_t fromByte =
            from == startVcn ? static_cast<uint32_t>(initialized % clusterBytes) : 0;
        visit(static_cast<uint32_t>(cluster), static_cast<uint32_t>(runEnd - from), fromByte);
    }
}

// Adds a file to a failure list of the report when the copier saw failures for it.
void NoteFailures(const ClusterCopier& copier, const MOVED_FILE& file, SameClusterReport* report) {
    if (report == nullptr) return;
    if (copier.ReadFailed) report->unreadFiles.push_back(file.Path);
    if (copier.WriteFailed) report->unwrittenFiles.push_back(file.Path);
}

}  // namespace

// ---- ClusterCopier --------------------------------------------------------------------

ClusterCopier::ClusterCopier(NFat* fat, CVolumeDevice* device)
    : Fat(fat),
      Device(device),
      SectorsPerCluster(fat->BootImage.SectorsPerCluster),
      ClusterBytes(fat->FatClusterBytes()),
      SpanClusters_(std::max<uint32_t>(1, kCopyBufferBytes / fat->FatClusterBytes())),
      Buffer(new uint8_t[static_cast<size_t>(SpanClusters_) * fat->FatClusterBytes()]) {}

void ClusterCopier::BeginFile(uint64_t initializedBytes) {
    ZeroFrom = initializedBytes;
    ReadFailed = false;
    WriteFailed = false;
}

uint64_t ClusterCopier::SectorOfCluster(uint32_t cluster) const {
    return Fat->FirstDataSector + uint64_t{SectorsPerCluster} * (uint64_t{cluster} - 2);
}

void ClusterCopier::ReadSpan(uint64_t lcn, uint32_t count, uint8_t* at) {
    if (!ReadClustersOrZeros(Device, lcn, count, SectorsPerCluster, at)) ReadFailed = true;
}

void ClusterCopier::WriteSectors(const uint8_t* bytes, uint64_t sector, uint32_t sectors) {
    if (!WriteSectorsLogged(Device, bytes, sector, sectors)) WriteFailed = true;
}

void ClusterCopier::CopySpan(uint64_t lcn, uint64_t vcn, uint32_t to, uint32_t count) {
    count = std::min(count, SpanClusters_);
    const uint64_t spanStart = vcn * ClusterBytes;
    const uint64_t spanBytes = uint64_t{count} * ClusterBytes;
    // Only the bytes before the initialized size are read; the rest are zeros.
    const uint64_t readBytes = BytesBeforeZeros(ZeroFrom, spanStart, spanBytes);
    const auto readClusters = static_cast<uint32_t>(DivideUp(readBytes, ClusterBytes));
    if (readClusters > 0) ReadSpan(lcn, readClusters, Buffer.get());
    std::memset(Buffer.get() + readBytes, 0, static_cast<size_t>(spanBytes - readBytes));
    WriteSectors(Buffer.get(), SectorOfCluster(to), count * SectorsPerCluster);
}

void ClusterCopier::ZeroInPlace(uint32_t cluster, uint32_t count, uint32_t fromByte) {
    if (count == 0) return;
    uint64_t sector = SectorOfCluster(cluster) + fromByte / kDeviceSectorBytes;
    const uint64_t endSector = SectorOfCluster(cluster) + uint64_t{count} * SectorsPerCluster;
    // 1. The sector the zeros start in keeps its bytes before fromByte.
    if (fromByte % kDeviceSectorBytes != 0) {
        uint8_t* bytes = Buffer.get();
        if (ReadSectorsLogged(Device, bytes, sector, 1)) {
            std::memset(bytes + fromByte % kDeviceSectorBytes, 0, kDeviceSectorBytes - fromByte % kDeviceSectorBytes);
            WriteSectors(bytes, sector, 1);
        } else {
            // Left as it is: its data could not be read, so nothing is written over it.
            ReadFailed = true;
        }
        ++sector;
    }
    // 2. Whole sectors of zeros, a buffer at a time.
    const uint32_t chunk = SpanClusters_ * SectorsPerCluster;
    std::memset(Buffer.get(), 0, static_cast<size_t>(chunk) * kDeviceSectorBytes);
    while (sector < endSector) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(chunk, endSector - sector));
        WriteSectors(Buffer.get(), sector, n);
        sector += n;
    }
}

// ---- Chains ---------------------------------------------------------------------------

uint32_t ChainRunsInPlace(NFat* fat, CSList<tagDataRun_Entry>* runs) {
    uint32_t low = 0;
    const tagDataRun_Entry* previous = nullptr;
    for (tagDataRun_Entry* run = runs->First(); run != nullptr; run = runs->Next()) {
        // 1. A sparse run has no clusters and does not become the previous run.
        if (IsSparse(run)) continue;
        const int64_t c = FatClusterOf(fat, run->Lcn);
        const auto n = static_cast<int64_t>(run->ClusterCount);
        // 2. The chain goes on from the previous run's last cluster into this run, when
        //    both stay; links into or out of relocated clusters are RelocateLowClusters'.
        if (previous != nullptr) {
            const int64_t a =
                FatClusterOf(fat, previous->Lcn + static_cast<int64_t>(previous->ClusterCount) - 1);
            if (a >= kFirstStayingCluster && c >= kFirstStayingCluster) {
                SetEntry(fat, a, static_cast<uint32_t>(c));
            }
        }
        // 3 to 5. The clusters of the run that stay are chained in place, the last one
        //    ending the chain; those below cluster 3 are counted.
        const int64_t from = std::max<int64_t>(c, kFirstStayingCluster);
        const int64_t end = c + n;  // one past the run's last cluster
        for (int64_t x = from; x < end; ++x) {
            SetEntry(fat, x, x + 1 < end ? static_cast<uint32_t>(x + 1) : kFat32EndOfChain);
        }
        if (c < kFirstStayingCluster) {
            low += static_cast<uint32_t>(std::min<int64_t>(end, kFirstStayingCluster) - c);
        }
        // 6.
        previous = run;
    }
    return low;
}

uint64_t ChainFilesInPlace(FILE_ITEM* root, NFat* fat, IN_PLACE_PLAN* plan) {
    const uint32_t clusterBytes = fat->FatClusterBytes();
    std::unordered_set<uint64_t> seenRecords;  // records whose data has been chained
    uint64_t needed = 0;
    VisitTree(root, [&](FILE_ITEM* item, const std::u16string& path) {
        CAttrNonResident* data = NonResidentData(item);
        if (data == nullptr) return;
        const bool furtherName = seenRecords.count(item->FileRecord->RecordNumber) != 0;

        // 1. The chain holds exactly the clusters the data size needs. Further names hold
        //    the same clusters, so only the first name's cut frees any.
        const uint64_t cut = TrimRunsToSize(data, clusterBytes);
        if (!furtherName) plan->TrimmedClusters += cut;
        if (data->Runs.Count() == 0) return;  // size 0: first cluster 0, nothing to chain
        CheckRunsFit(fat, data, path);

        // 2. A further name of a file met before gets a copy of all its clusters.
        if (!seenRecords.insert(item->FileRecord->RecordNumber).second) {
            const uint64_t clusters = ClustersOnVolume(data);
            plan->LinkCopies.push_back({data, path});
            plan->LinkCopyClusters += clusters;
            needed += clusters;
            return;
        }

        // 3. The data stays where it lies; what lies under the FAT area is moved later.
        const uint32_t low = ChainRunsInPlace(fat, &data->Runs);
        if (low > 0) {
            plan->Relocate.push_back({data, path});
            plan->RelocateClusters += low;
            needed += low;
        }

        // 4. Bytes past the initialized size are zeroed where they stay.
        if (InitializedBytes(data) < data->DataLength()) {
            plan->ZeroTails.push_back({data, path});
            ForEachTailSpanInPlace(fat, data, [&](uint32_t, uint32_t count, uint32_t) {
                plan->ZeroTailClusters += count;
            });
        }
    });
    return needed;
}

uint32_t CopyRunToChain(NFat* fat, uint32_t first, uint64_t lcn, uint32_t count, uint64_t vcn,
                        ClusterCopier* copier) {
    const uint64_t lastCluster = uint64_t{fat->ClusterCount} + 1;
    uint32_t cluster = first;
    uint32_t done = 0;
    while (done < count) {
        if (cluster < 2 || cluster > lastCluster) {
            // The chain is shorter than the run: the caller claimed too few clusters.
            LogErrorA("copy of %d clusters from cluster %I64d stopped after %d: chain ends",
                      static_cast<int>(count), static_cast<int64_t>(lcn), static_cast<int>(done));
            break;
        }
        // Clusters that follow each other in the chain and on the volume go in one call.
        uint32_t n = 1;
        while (done + n < count && n < copier->SpanClusters() &&
               fat->NextCluster(cluster + n - 1) == cluster + n) {
            ++n;
        }
        copier->CopySpan(lcn + done, vcn + done, cluster, n);
        done += n;
        cluster = fat->NextCluster(cluster + n - 1);
    }
    return cluster;
}

void SetSingleRun(CAttrNonResident* attribute, NFat* fat, uint32_t first) {
    attribute->Runs.Clear();
    attribute->Runs.Append(new tagDataRun_Entry{static_cast<int64_t>(FirstDataLcn(fat) + first - 2),
                                                ~0ULL, ~0ULL, ~0ULL});
}

void RelocateLowClusters(NFat* fat, IN_PLACE_PLAN* plan, ClusterCopier* copier,
                         SameClusterReport* report) {
    for (const MOVED_FILE& file : plan->Relocate) {
        CAttrNonResident* data = file.Data;
        copier->BeginFile(InitializedBytes(data));
        uint32_t firstOfFile = 0;
        uint32_t previousLast = 0;
        uint64_t vcn = 0;
        // 1. Run by run: what stays is taken as it is, what lies below cluster 3 is copied to
        //    new clusters, and the pieces are linked in file order.
        for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
            const uint64_t runVcn = vcn;
            vcn += run->ClusterCount;
            if (IsSparse(run)) continue;
            const int64_t c = FatClusterOf(fat, run->Lcn);
            const auto n = static_cast<uint32_t>(run->ClusterCount);
            uint32_t first = 0;
            uint32_t last = 0;
            if (c >= kFirstStayingCluster) {
                // a. The run stays.
                first = static_cast<uint32_t>(c);
                last = static_cast<uint32_t>(c + n - 1);
            } else if (c + n <= kFirstStayingCluster) {
                // b. The whole run lies below cluster 3.
                first = fat->ClaimChain(n, &last);
                CopyRunToChain(fat, first, static_cast<uint64_t>(run->Lcn), n, runVcn, copier);
            } else {
                // c. The run starts below cluster 3 and goes on beyond it: the new clusters
                //    lead into the part chained in place from cluster 3.
                const auto m = static_cast<uint32_t>(kFirstStayingCluster - c);
                uint32_t newLast = 0;
                first = fat->ClaimChain(m, &newLast);
                SetEntry(fat, newLast, kFirstStayingCluster);
                CopyRunToChain(fat, first, static_cast<uint64_t>(run->Lcn), m, runVcn, copier);
                last = static_cast<uint32_t>(c + n - 1);
            }
            // d. Link the piece after the previous one.
            if (previousLast != 0) SetEntry(fat, previousLast, first);
            if (firstOfFile == 0) firstOfFile = first;
            previousLast = last;
        }
        // 2. The directory entry takes the file's new first cluster from its run list.
        SetSingleRun(data, fat, firstOfFile);
        NoteFailures(*copier, file, report);
    }
}

void CopyHardLinks(NFat* fat, IN_PLACE_PLAN* plan, ClusterCopier* copier,
                   SameClusterReport* report) {
    for (const MOVED_FILE& file : plan->LinkCopies) {
        CAttrNonResident* data = file.Data;
        copier->BeginFile(InitializedBytes(data));
        const uint64_t clusters = ClustersOnVolume(data);
        if (clusters == 0) continue;
        const uint32_t first = fat->ClaimChain(static_cast<uint32_t>(clusters));
        uint32_t cluster = first;
        uint64_t vcn = 0;
        for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
            if (!IsSparse(run)) {
                cluster = CopyRunToChain(fat, cluster, static_cast<uint64_t>(run->Lcn),
                                         static_cast<uint32_t>(run->ClusterCount), vcn, copier);
            }
            vcn += run->ClusterCount;
        }
        SetSingleRun(data, fat, first);
        NoteFailures(*copier, file, report);
    }
}

void ZeroTailsInPlace(NFat* fat, IN_PLACE_PLAN* plan, ClusterCopier* copier,
                      SameClusterReport* report) {
    for (const MOVED_FILE& file : plan->ZeroTails) {
        copier->BeginFile(UINT64_MAX);
        ForEachTailSpanInPlace(fat, file.Data,
                               [&](uint32_t cluster, uint32_t count, uint32_t fromByte) {
                                   copier->ZeroInPlace(cluster, count, fromByte);
                               });
        NoteFailures(*copier, file, report);
    }
}

// ---- The conversion -------------------------------------------------------------------

void ConvertSameClusterSize(const FAT32_BOOT_SECTOR& image, CVolumeDevice* device, FILE_ITEM* root,
                            const char* label, ProgressInforAssist* scaler,
                            const SameClusterOptions& options, SameClusterReport* report) {
    SameClusterReport localReport;
    SameClusterReport* out = report != nullptr ? report : &localReport;

    // 1. The free-space check begins.
    AdvanceTo(scaler, 0.38f, u"Start to Calculate converting space...");

    // 2. The FAT of the new volume, in memory. Its boot image carries the volume label too.
    NFat fat(image, device);
    VolumeLabelBytes(label, reinterpret_cast<uint8_t*>(fat.BootImage.VolumeLabel));
    const uint32_t clusterBytes = fat.FatClusterBytes();
    if (options.fatClustersPerNtfsCluster > 1 && root != nullptr) {
        // The data stays where it lies; its runs now count FAT32 clusters.
        ForEachItem(root->FirstChild, [&](FILE_ITEM* item) {
            if (CAttrNonResident* data = NonResidentData(item)) {
                ScaleRuns(data, options.fatClustersPerNtfsCluster);
            }
        });
    }

    // 3. Files are chained where they lie; what must move is counted.
    IN_PLACE_PLAN plan;
    uint64_t need = ChainFilesInPlace(root, &fat, &plan);
    out->clustersRelocated = plan.RelocateClusters;
    out->clustersLinkCopies = plan.LinkCopyClusters;
    out->clustersTrimmed = plan.TrimmedClusters;
    out->clustersZeroed = plan.ZeroTailClusters;
    LogInfoA(
        "clusters to relocate %I64d, to copy for hard links %I64d, cut from chains %I64d, "
        "to zero in place %I64d",
        static_cast<int64_t>(plan.RelocateClusters), static_cast<int64_t>(plan.LinkCopyClusters),
        static_cast<int64_t>(plan.TrimmedClusters), static_cast<int64_t>(plan.ZeroTailClusters));

    // 4. The directories and the resident data take new clusters.
    out->directoryClusters = DirectoryClusters(root, clusterBytes, true);
    out->residentClusters = ResidentDataClusters(root, clusterBytes);
    need += out->directoryClusters + out->residentClusters;
    out->clustersNeeded = need;

    // 5. Clusters left free once the files are chained.
    const uint64_t free = NFat::CountFreeClusters(fat.BootImage, fat.Entries.get(), nullptr);
    out->clustersFree = free;

    // 6. Not enough room: refused before anything is written.
    if (need > free) {
        LogErrorA("The free space that convert to fat too few.");
        throw SimpleException(u"The free space that convert to fat is too few.", 1);
    }
    if (options.checkOnly) return;

    // 7. From here on the volume is written.
    AdvanceTo(scaler, 0.4f, u"Converting NTFS to FAT32...");

    // 8. The bar follows the sectors written, from 0.4 towards 0.9.
    if (scaler != nullptr) scaler->Span = 0.5f;
    CountedWritePhase counting(
        device, scaler, uint64_t{fat.BootImage.SectorsPerCluster} * (need + plan.ZeroTailClusters));

    // 9. Cluster 2 is kept for the root directory.
    fat.Entries[2] = kFat32EndOfChain;

    // 10. Tails are zeroed while the runs still say where data stays, then the clusters under
    //     the FAT area and the data of further hard-link names are copied.
    ClusterCopier copier(&fat, device);
    ZeroTailsInPlace(&fat, &plan, &copier, out);
    RelocateLowClusters(&fat, &plan, &copier, out);
    CopyHardLinks(&fat, &plan, &copier, out);

    // 11. The data NTFS keeps inside records.
    WriteResidentData(root, &fat);

    // 12. The root directory, allocated first, starts at cluster 2 as the boot sector says.
    fat.Entries[2] = 0;
    fat.SearchHint = 2;

    // 13. The directories, each before its subdirectories. Cluster 2 was the first free
    //     cluster, so the root lies there; the boot sector names it whatever happens.
    const uint32_t rootCluster = WriteDirectory(root, &fat, nullptr, nullptr, label);
    if (rootCluster != fat.BootImage.RootCluster) {
        LogWarnA("root directory written at cluster %u, not %u", rootCluster,
                 fat.BootImage.RootCluster);
        fat.BootImage.RootCluster = rootCluster;
    }

    // 14. The counted phase ends at 0.9.
    counting.Finish();

    // 15 to 17. Both FATs, then the boot area with sector 0 last.
    AdvanceTo(scaler, 0.97f, u"Process the Fat Table in the FAT32.");
    if (!fat.FlushFat()) throw SimpleException(u"Flush the fat table fail.", 1);
    if (!fat.FlushBootSector()) throw SimpleException(u"Flush fat dbr fail.", 1);

    // 18. The volume is FAT32 now; files that could not be copied whole are named. A folder
    //     or resident data that could not be written fails the conversion too: its files
    //     would otherwise be missing or wrong without a word.
    const std::u16string failures =
        UnreadFilesMessage(out->unreadFiles, out->unwrittenFiles, fat.FailedWrites > 0);
    if (!failures.empty()) {
        LogErrorW(u"%s", failures.c_str());
        throw SimpleException(failures, 1);
    }
}
