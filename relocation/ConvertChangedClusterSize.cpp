#include "relocation/ConvertChangedClusterSize.h"

#include <cstring>
#include <numeric>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "engine/ClusterCopy.h"
#include "engine/DirectoryWriter.h"
#include "engine/NFat.h"
#include "ntfs/CNTFSVolume.h"
#include "relocation/AlignPass.h"
#include "relocation/NBitmap.h"

namespace {


// Tells the watcher about the bitmap for as long as it lives, also when the path throws.
class BitmapWatch {
public:
    BitmapWatch(const ChangedClusterOptions& options, const NBitmap* bitmap) : Options(options) {
        if (Options.watchBitmap) Options.watchBitmap(bitmap);
    }
    ~BitmapWatch() {
        if (Options.watchBitmap) Options.watchBitmap(nullptr);
    }
    BitmapWatch(const BitmapWatch&) = delete;
    BitmapWatch& operator=(const BitmapWatch&) = delete;

private:
    const ChangedClusterOptions& Options;
};

void CopyNotes(const RelocationNotes& notes, ChangedClusterReport* out) {
    out->groupsMoved = notes.groupsMoved;
    out->ntfsClustersCompacted = notes.clustersCompacted;
    out->ntfsClustersZeroed = notes.clustersZeroed;
    out->linkCopyClusters = notes.linkCopyGroups;  // one group is one FAT cluster
    out->unreadFiles = notes.unreadFiles;
    out->unwrittenFiles = notes.unwrittenFiles;
}

}  // namespace

void ConvertChangedClusterSize(const FAT32_BOOT_SECTOR& image, uint64_t totalSectors, FILE_ITEM* root,
                               CVolumeDevice* device, const char* label, ProgressInforAssist* scaler,
                               CNTFSVolume* volume, const ChangedClusterOptions& options,
                               ChangedClusterReport* report) {
    ChangedClusterReport localReport;
    ChangedClusterReport* out = report != nullptr ? report : &localReport;

    // 1. The free-space check begins.
    AdvanceTo(scaler, 0.38f, u"Start to Calculate converting space...");

    // 2. The bitmap. p counts 512-byte device sectors per NTFS cluster: every sector number of
    //    the FAT32 layout is in those units, whatever sector size NTFS states.
    const uint32_t p = volume->ClusterBytes / kDeviceSectorBytes;
    const uint32_t s = image.SectorsPerCluster;
    if (p == 0 || volume->ClusterBytes % kDeviceSectorBytes != 0 || s % p != 0 || s / p < 2) {
        LogErrorA("changed cluster size: FAT32 %u sectors per cluster over NTFS clusters of %u bytes",
                  s, volume->ClusterBytes);
        throw SimpleException(u"The FAT32 cluster size does not suit the NTFS cluster size of this volume.", 1);
    }
    const uint32_t groupSize = s / p;
    out->groupSize = groupSize;
    NBitmap bitmap(device, volume, groupSize);
    BitmapWatch watch(options, &bitmap);
    out->ntfsClustersTrimmed = TrimRunsToData(root, volume->ClusterBytes);
    std::vector<uint32_t> phaseCounts(groupSize, 0);
    MarkFileClusters(root, &bitmap, &phaseCounts);

    // 3. The phase most clusters share.
    const uint32_t phase = ChooseDataPhase(phaseCounts);
    out->dataPhase = phase;

    // 4. The layout again, its data area moved on by `phase` NTFS clusters. More reserved
    //    sectors can only lower the cluster count the caller's layout already accepted.
    //    The serial number is the caller's, so no clock is read for it.
    FAT32_BOOT_SECTOR boot{};
    const platform::LocalClockTime serialUnused{};
    if (!BuildFat32BootSector(s, &boot, static_cast<uint32_t>(totalSectors), image.SectorsPerTrack,
                              image.NumberOfHeads, image.BytesPerSector, p * phase, &serialUnused)) {
        LogErrorA("the FAT32 layout with %u extra reserved sectors is refused", p * phase);
        throw SimpleException(u"The FAT32 layout for this volume cannot be built.", 1);
    }
    boot.VolumeSerial = image.VolumeSerial;
    VolumeLabelBytes(label, reinterpret_cast<uint8_t*>(boot.VolumeLabel));

    // 5. The data area, cluster 2 kept for the root directory, the FAT.
    const uint32_t reserved = boot.ReservedSectors;
    const uint32_t fatSectors = boot.FatSize32;
    const uint32_t total = boot.TotalSectors32;
    const uint32_t dataStartLcn = (reserved + 2 * fatSectors) / p;
    bitmap.SetDataArea(dataStartLcn, total / p - 1);
    bitmap.Cursor = dataStartLcn;
    bitmap.ReservedGroup = dataStartLcn;
    bitmap.AllocateFatTable(fatSectors);

    // 6. The space needed.
    uint64_t outside = 0;
    const uint32_t clusterBytes = bitmap.FatClusterBytes();
    out->fileClusters = CountFatClusters(root, &bitmap, &outside);
    out->directoryClusters = DirectoryClusters(root, clusterBytes, true);
    out->residentClusters = ResidentDataClusters(root, clusterBytes);
    out->ntfsClustersOutside = outside;
    const uint64_t needed = out->fileClusters + out->directoryClusters + out->residentClusters;
    const uint64_t available = (uint64_t{total} - 2 * uint64_t{fatSectors} - reserved) / s;
    out->clustersNeeded = needed;
    out->clustersFree = available;
    LogInfoA("changed cluster size: groups of %u, phase %u, data area from LCN %u, %I64d clusters "
             "needed of %I64d (files %I64d, directories %I64d, resident %I64d), %I64d NTFS clusters "
             "cut, %I64d outside",
             groupSize, phase, dataStartLcn, static_cast<int64_t>(needed), static_cast<int64_t>(available),
             static_cast<int64_t>(out->fileClusters), static_cast<int64_t>(out->directoryClusters),
             static_cast<int64_t>(out->residentClusters), static_cast<int64_t>(out->ntfsClustersTrimmed),
             static_cast<int64_t>(outside));

    // 7. Not enough room: refused before anything is written. Passing this check also means
    //    the file groups are fewer than the groups outside cluster 2, which is what lets the
    //    relocation passes always make progress (RelocateFiles).
    if (needed > available) {
        LogErrorA("The free space that convert to fat too few. %d, %d", static_cast<int>(available),
                  static_cast<int>(needed));
        throw SimpleException(u"The free space that convert to fat is too few.", 1);
    }
    if (options.checkOnly) return;

    // 8. From here on the volume is written; the bar follows the sectors written.
    AdvanceTo(scaler, 0.4f, u"Converting NTFS to FAT32...");
    if (scaler != nullptr) scaler->Span = 0.5f;
    const uint64_t misaligned =
        std::accumulate(phaseCounts.begin(), phaseCounts.end(), uint64_t{0}) - phaseCounts[phase];
    CountedWritePhase counting(device, scaler,
                               (misaligned + outside) * p +
                                   uint64_t{clusterBytes / kDeviceSectorBytes} * (out->directoryClusters + out->residentClusters));

    // 9. File data onto groups; zeros past initialized sizes; a copy per further name.
    RelocationNotes notes;
    try {
        RelocateFiles(root, &bitmap, &notes);
        ZeroUninitializedTails(root, &bitmap, &notes);
        bitmap.Cursor = dataStartLcn;
        CopyLinkedNames(root, &bitmap, &notes);
    } catch (...) {
        CopyNotes(notes, out);
        throw;
    }
    CopyNotes(notes, out);
    LogInfoA("relocation: %I64d groups moved, %I64d clusters packed in %d and %d passes, %I64d "
             "clusters zeroed, %I64d clusters copied for further names",
             static_cast<int64_t>(notes.groupsMoved), static_cast<int64_t>(notes.clustersCompacted),
             static_cast<int>(notes.alignPasses), static_cast<int>(notes.compactPasses),
             static_cast<int64_t>(notes.clustersZeroed), static_cast<int64_t>(notes.linkCopyGroups));

    // 10. Resident data (cluster 2 still kept), then the directories from cluster 2 on.
    WriteResidentData(root, &bitmap);
    bitmap.Cursor = dataStartLcn;
    bitmap.ReservedGroup = NBitmap::kNone;
    boot.RootCluster = WriteDirectory(root, &bitmap, nullptr, nullptr, label);

    // 11. The counted phase ends at 0.9; the files' chains.
    counting.Finish();
    BuildFatChains(root, &bitmap, &notes);
    CopyNotes(notes, out);

    // 12. Both FATs.
    AdvanceTo(scaler, 0.97f, u"Process the Fat Table in the FAT32.");
    if (!NFat::FlushFat(&boot, device, bitmap.FatTable.get())) {
        throw SimpleException(u"Flush the fat table fail.", 1);
    }
    // 13. The boot area, sector 0 last: from here on the volume is FAT32.
    if (!NFat::FlushBootSector(boot, device, bitmap.FatTable.get())) {
        throw SimpleException(u"Flush fat dbr fail.", 1);
    }

    // 14. Files whose data could not be moved whole are named; folders or resident data that
    //     could not be written fail the conversion too (their files would be missing unsaid).
    const std::u16string failures =
        UnreadFilesMessage(out->unreadFiles, out->unwrittenFiles, bitmap.FailedWrites > 0);
    if (!failures.empty()) {
        LogErrorW(u"%s", failures.c_str());
        throw SimpleException(failures, 1);
    }
}
