#include "engine/ConvertNtfsToFat32.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "device/VolumePreparation.h"
#include "engine/ConvertSameClusterSize.h"
#include "engine/DirectoryWriter.h"
#include "engine/Fat32BootSector.h"
#include "engine/FileTree.h"
#include "engine/VolumeCheck.h"
#include "ntfs/CAttrBase.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CNTFSVolume.h"
#include "relocation/ConvertChangedClusterSize.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"

namespace {

constexpr uint64_t kMaxVolumeBytes = 2199023255552ULL;  // 2^41: 2 TiB
constexpr uint32_t kLabelMask = 0x63;   // $STANDARD_INFORMATION, $ATTRIBUTE_LIST, names, info
constexpr uint32_t kFat32MinClusters = 65525;   // fewer clusters: FAT16 by Microsoft's rule
constexpr int64_t kTreeProgressStart = 102400;  // sectors assumed for the walk's progress

[[noreturn]] void Refuse(const std::u16string& message) { throw SimpleException(message, 1); }
[[noreturn]] void Refuse(const char* utf8) { Refuse(platform::Utf8ToUtf16(utf8)); }

// Stops the device's progress counting when a phase ends, also when it ends by a throw.
class CountingPhase {
public:
    CountingPhase(CVolumeDevice* device, IProgressInfor* sink, int64_t total, bool reads)
        : device_(device) {
        device_->ProgressTotal = total;
        device_->ProgressDone = 0;
        device_->SinceReport = 0;
        device_->CountReads = reads ? 1 : 0;
        device_->ProgressSink = sink;
    }
    ~CountingPhase() {
        device_->ProgressTotal = 0;
        device_->ProgressDone = 0;
        device_->SinceReport = 0;
        device_->ProgressSink = nullptr;
    }
    CountingPhase(const CountingPhase&) = delete;
    CountingPhase& operator=(const CountingPhase&) = delete;

private:
    CVolumeDevice* device_;
};

// Fills the report's transfer totals, also when the step throws: what the device moved since
// the step began (its counters were then `readBefore` and `writtenBefore` sectors), plus the
// bytes that earlier steps read.
class ReportTotals {
public:
    ReportTotals(const CVolumeDevice* device, uint64_t readBefore, uint64_t writtenBefore,
                 ConversionReport* report, uint64_t bytesReadEarlier = 0)
        : device_(device), readBefore_(readBefore), writtenBefore_(writtenBefore),
          earlier_(bytesReadEarlier), report_(report) {}
    ~ReportTotals() {
        report_->bytesRead = earlier_ + (device_->SectorsRead - readBefore_) * 512;
        report_->bytesWritten = (device_->SectorsWritten - writtenBefore_) * 512;
    }
    ReportTotals(const ReportTotals&) = delete;
    ReportTotals& operator=(const ReportTotals&) = delete;

private:
    const CVolumeDevice* device_;
    uint64_t readBefore_;
    uint64_t writtenBefore_;
    uint64_t earlier_;
    ConversionReport* report_;
};

// Copies a conversion path's space figures into the report when the path returns or throws
// (a refusal for lack of space should still say how much was needed).
template <typename PathReport>
class SpaceFigures {
public:
    SpaceFigures(const PathReport* path, ConversionReport* report) : path_(path), report_(report) {}
    ~SpaceFigures() {
        report_->clustersNeeded = path_->clustersNeeded;
        report_->clustersFree = path_->clustersFree;
    }
    SpaceFigures(const SpaceFigures&) = delete;
    SpaceFigures& operator=(const SpaceFigures&) = delete;

private:
    const PathReport* path_;
    ConversionReport* report_;
};

// Reads the NTFS label from $Volume (record 3): the UTF-16 form and the 8-bit form in the OEM
// code page (437) that the FAT label entry and boot sector field hold. Returns false when
// the volume has no label or it cannot be read.
bool ReadVolumeLabel(CNTFSVolume* volume, std::u16string* wide, std::string* oem) {
    CFileRecord record(volume);
    record.TypeMask = kLabelMask;
    if (!record.LoadRecord(kVolumeRecord)) return false;
    record.TypeMask = kLabelMask;
    record.BuildAttributes();
    CSList<CAttrBase>* names = record.Attrs(kAttrVolumeName);
    if (names == nullptr) return false;
    auto* name = static_cast<CAttr_VolName*>(names->First());
    if (name == nullptr || name->LabelLength == 0 || name->LabelLength >= 260) return false;
    wide->assign(name->WideLabel.get(), name->LabelLength);
    // A NUL unit ends the 8-bit form.
    const std::string bytes = platform::Utf16ToCp437(*wide);
    oem->assign(bytes.c_str());
    return true;
}

// The cluster size chosen for FAT32 and the reserved sectors added to align its data area.
struct ClusterChoice {
    uint32_t sectorsPerCluster = 0;
    uint32_t extraReserved = 0;  // sectors added after the alignment of the layout
};

// The layout with clusters of s sectors whose data area starts on a multiple of `align`
// sectors (the NTFS cluster, of which s is a power-of-two part): the reserved area grows by
// the few sectors that the layout's own alignment to s leaves short. Every NTFS cluster
// boundary is then a FAT32 cluster boundary, and each NTFS cluster holds align / s whole
// FAT32 clusters.
FAT32_LAYOUT AlignedLayout(uint32_t s, uint32_t align, uint32_t totalSectors, uint32_t* extra) {
    *extra = 0;
    FAT32_LAYOUT layout = ComputeFat32Layout(s, totalSectors, 512, 0);
    if (layout.Status != Fat32LayoutStatus::Accepted || layout.FirstDataSector % align == 0) {
        return layout;
    }
    *extra = align - layout.FirstDataSector % align;  // a multiple of s, since both are
    return ComputeFat32Layout(s, totalSectors, 512, *extra);
}

// Chooses the FAT32 cluster size:
//  1. the NTFS cluster size, doubled while FAT32 would have too many clusters (every other
//     refusal of the layout ends the conversion with its reason);
//  2. when the NTFS cluster size gives fewer clusters than FAT32 needs, halved (down to 512
//     bytes) until it gives enough, with the data area aligned to the NTFS cluster, so the
//     data can stay where it lies;
//  3. refused when even 512-byte clusters are too few.
ClusterChoice ChooseClusterSize(uint32_t s0, uint32_t totalSectors,
                                const platform::DiskGeometry& geometry, FAT32_BOOT_SECTOR* image) {
    ClusterChoice choice;
    uint32_t s = s0;
    for (;;) {
        FAT32_LAYOUT layout = ComputeFat32Layout(s, totalSectors, 512, 0);
        if (layout.Status == Fat32LayoutStatus::Accepted) break;
        if (layout.Status == Fat32LayoutStatus::TooManyClusters && s < kFat32MaxSectorsPerCluster) {
            s *= 2;
            continue;
        }
        switch (layout.Status) {
            case Fat32LayoutStatus::VolumeTooSmall:
                Refuse("The volume is too small to hold a FAT32 file system.");
            case Fat32LayoutStatus::VolumeTooLarge:
                Refuse("The coverting volume cannot more than 2TB.");
            default:
                Refuse("No FAT32 layout fits this volume.");
        }
    }
    // Fewer clusters than this make readers that follow Microsoft's rule (Windows, most
    // players and cameras) take the volume for FAT16 and misread it.
    uint32_t extra = 0;
    FAT32_LAYOUT chosen = ComputeFat32Layout(s, totalSectors, 512, 0);
    while (chosen.ClusterCount < kFat32MinClusters && s > 1) {
        s /= 2;
        chosen = AlignedLayout(s, s0, totalSectors, &extra);
        if (chosen.Status != Fat32LayoutStatus::Accepted) Refuse("No FAT32 layout fits this volume.");
    }
    if (chosen.ClusterCount < kFat32MinClusters) {
        char text[400];
        std::snprintf(text, sizeof text,
                      "The volume is too small for FAT32: even with the smallest clusters, of "
                      "512 bytes, it would have %llu clusters, and FAT32 needs at least %u (a "
                      "volume of about 33 MiB). Nothing was written.",
                      static_cast<unsigned long long>(chosen.ClusterCount), kFat32MinClusters);
        Refuse(text);
    }
    if (!BuildFat32BootSector(s, image, totalSectors, geometry.sectorsPerTrack, geometry.heads,
                              512, extra)) {
        Refuse("No FAT32 layout fits this volume.");
    }
    choice.sectorsPerCluster = s;
    choice.extraReserved = extra;
    return choice;
}

}  // namespace

// What steps 1 to 4 found, kept for step 5.
struct NtfsAnalysis {
    NtfsAnalysis(IProgressInfor* sink, CVolumeDevice* analysed, uint64_t volumeSectors)
        : scaler(sink), device(analysed), volume(analysed), sectors(volumeSectors) {}

    ProgressInforAssist scaler;  // the bar over the whole conversion; parent: the caller's sink
    CVolumeDevice* device;       // the device analysed; not owned
    CNTFSVolume volume;          // on `device`; the tree's records read through it
    uint64_t sectors;            // the volume's length in 512-byte sectors
    ShCount<FILE_ITEM> tree;     // the whole tree, root item first
    FAT32_BOOT_SECTOR image{};   // the FAT32 boot sector, label included
    uint32_t ntfsSectorsPerCluster = 0;
    uint32_t fatSectorsPerCluster = 0;
    bool hasLabel = false;
    std::string oemLabel;        // the label in the OEM code page, when hasLabel
    uint64_t bytesRead = 0;      // read by the analysis
    bool converted = false;      // step 5 ran (it may run once)
};

void NtfsAnalysisDeleter::operator()(NtfsAnalysis* analysis) const { delete analysis; }

void ConvertNtfsToFat32(IProgressInfor* sink, platform::VolumeHandle handle,
                        const ConversionOptions& options, ConversionReport* report) {
    CVolumeDevice device(handle);  // wraps the caller's handle, never closes it
    ConvertNtfsToFat32(sink, &device, GetVolumeSectors(handle), options, report);
}

void ConvertNtfsToFat32(IProgressInfor* sink, CVolumeDevice* device, uint64_t sectors,
                        const ConversionOptions& options, ConversionReport* report) {
    ConversionReport scratch;
    if (report == nullptr) report = &scratch;
    NtfsAnalysisPtr analysis = AnalyseNtfsVolume(sink, device, sectors, options, report);
    ConvertAnalysedVolume(analysis.get(), device, options, report);
}

NtfsAnalysisPtr AnalyseNtfsVolume(IProgressInfor* sink, CVolumeDevice* volumeDevice, uint64_t sectors,
                                  const ConversionOptions& options, ConversionReport* report) {
    CVolumeDevice& device = *volumeDevice;
    ConversionReport scratch;
    if (report == nullptr) report = &scratch;
    *report = ConversionReport{};
    const uint64_t readBefore = device.SectorsRead;
    const uint64_t writtenBefore = device.SectorsWritten;

    // 1. The start of the bar.
    if (sink != nullptr) {
        sink->SetProgress(0.02f);
        sink->SetStatusText(u"Initialize NTFS directory struct...");
    }

    // 2. The NTFS volume on the caller's device.
    ReportTotals totals(&device, readBefore, writtenBefore, report);
    NtfsAnalysisPtr analysis(new NtfsAnalysis(sink, &device, sectors));
    ProgressInforAssist& scaler = analysis->scaler;
    CNTFSVolume& volume = analysis->volume;
    scaler.Reached = 0.02f;
    if (!volume.IsVolumeOK()) {
        Refuse(u"This is not an NTFS volume that can be converted: " +
               platform::Utf8ToUtf16(volume.RefusalReason() ? volume.RefusalReason() : "") +
               u".");
    }
    if (volume.SectorBytes != 512) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "The volume has sectors of %u bytes; only volumes with 512-byte sectors "
                      "can be converted to FAT32 here.",
                      static_cast<unsigned>(volume.SectorBytes));
        Refuse(text);
    }
    report->ntfsClusterBytes = volume.ClusterBytes;
    CheckVolumeClean(&volume);

    // 3. The root directory, record 5.
    auto rootRecord = std::make_unique<CFileRecord>(&volume);
    if (!rootRecord->LoadRecord(kRootRecord)) Refuse("Cannot read root directory of volume.");
    rootRecord->TypeMask = kTreeRootTypeMask;
    if (!rootRecord->BuildAttributes()) Refuse("Cannot parse attributes");

    // 4.-7. The whole tree, with the device's reads driving the bar from 0.02 to 0.38.
    scaler.Span = 0.36f;
    TotalFiles = 0;
    TotalDirectories = 0;
    analysis->tree = MakeFileTree(std::move(rootRecord));
    FILE_ITEM* root = analysis->tree.Get();
    {
        CountingPhase counting(&device, &scaler, kTreeProgressStart, true);
        WalkDirectory(root->FileRecord.get(), &volume, root);
        CheckTree(root, &volume);
    }
    scaler.Reached = scaler.Reached + scaler.Span;
    scaler.Span = 0.0f;
    if (sink != nullptr) sink->SetProgress(scaler.Reached);
    report->files = TotalFiles;
    report->directories = TotalDirectories;
    LogInfoA("totalfiles %d", static_cast<int>(TotalFiles));
    LogInfoA("totaldirectories %d", static_cast<int>(TotalDirectories));
    if (options.listPaths) ListPaths(root, &report->paths);
    if (LargestDirectoryEntries(root) > kFatMaxDirectoryEntries) {
        // Readers stop at the 65,536th entry of a FAT directory; files beyond would vanish.
        Refuse("A folder holds more names than a FAT32 directory can (65,536 entries of 32 "
               "bytes, long names included). Please split it into several folders and try "
               "again. Nothing was written.");
    }

    // 8.-10. Geometry, length and the size limits.
    int geometryError = 0;
    platform::DiskGeometry geometry = platform::QueryGeometry(device.Handle, &geometryError);
    if (geometryError != 0) {
        LogErrorA("DiskGetDriveGeomtry() is error, last error %d", geometryError);
        Refuse("DiskGetDriveGeomtry is error");
    }
    if (sectors == ~0ULL) Refuse("GetVolumeSectors() is error");
    report->volumeBytes = sectors * 512;
    if (sectors * 512 > kMaxVolumeBytes) Refuse("The coverting volume cannot more than 2TB.");
    if (sectors > 0xFFFFFFFFULL) {
        // Exactly 2 TiB: 2^32 sectors do not fit the boot sector's 32-bit total.
        Refuse("The coverting volume cannot more than 2TB.");
    }

    // 11. The FAT32 cluster size: the NTFS one, doubled until the layout accepts it, or halved
    //     until FAT32 has enough clusters.
    const uint32_t s0 = volume.ClusterBytes / volume.SectorBytes;
    const ClusterChoice choice =
        ChooseClusterSize(s0, static_cast<uint32_t>(sectors), geometry, &analysis->image);
    const uint32_t s = choice.sectorsPerCluster;
    analysis->ntfsSectorsPerCluster = s0;
    analysis->fatSectorsPerCluster = s;
    report->fatClusterBytes = s * 512;
    report->changedClusterSize = s > s0;

    // 12. The volume label, in the root directory and in the boot sector.
    if (ReadVolumeLabel(&volume, &report->label, &analysis->oemLabel)) {
        analysis->hasLabel = true;
        uint8_t bytes[11];
        VolumeLabelBytes(analysis->oemLabel.c_str(), bytes);
        std::memcpy(analysis->image.VolumeLabel, bytes, sizeof bytes);
    }
    analysis->bytesRead = (device.SectorsRead - readBefore) * 512;
    return analysis;
}

void ConvertAnalysedVolume(NtfsAnalysis* analysis, CVolumeDevice* device,
                           const ConversionOptions& options, ConversionReport* report) {
    ConversionReport scratch;
    if (report == nullptr) report = &scratch;
    if (analysis->converted) Refuse("The volume has been converted with this analysis already.");
    analysis->converted = true;
    ReportTotals totals(device, device->SectorsRead, device->SectorsWritten, report,
                        analysis->bytesRead);
    ProgressInforAssist* scaler = &analysis->scaler;
    FILE_ITEM* root = analysis->tree.Get();
    const char* label = analysis->hasLabel ? analysis->oemLabel.c_str() : nullptr;
    const uint32_t s0 = analysis->ntfsSectorsPerCluster;
    const uint32_t s = analysis->fatSectorsPerCluster;

    // 13. The conversion path.
    if (s > s0) {
        ChangedClusterOptions pathOptions;
        pathOptions.checkOnly = options.checkOnly;
        ChangedClusterReport outcome;
        SpaceFigures<ChangedClusterReport> figures(&outcome, report);
        ConvertChangedClusterSize(analysis->image, analysis->sectors, root, device, label, scaler,
                                  &analysis->volume, pathOptions, &outcome);
    } else {
        SameClusterOptions pathOptions;
        pathOptions.checkOnly = options.checkOnly;
        pathOptions.fatClustersPerNtfsCluster = s0 / s;
        SameClusterReport outcome;
        SpaceFigures<SameClusterReport> figures(&outcome, report);
        ConvertSameClusterSize(analysis->image, device, root, label, scaler, pathOptions, &outcome);
    }
    if (options.checkOnly) return;

    // 14. Done.
    AdvanceTo(scaler, 1.0f, u"Converting NTFS to FAT32 is successful.");
}
