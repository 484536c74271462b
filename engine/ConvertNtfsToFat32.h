// The whole NTFS-to-FAT32 conversion of one volume, from an open, locked volume handle to the
// final FAT32 boot sector.
//
// Steps (each a named phase with its own progress milestone):
//  1. read the NTFS boot sector and the MFT's own record;
//  2. walk the whole directory tree into memory, refusing what FAT32 cannot hold;
//  3. check the volume's size, choose the FAT32 cluster size (larger than the NTFS one for huge
//     volumes, smaller for small ones) and lay out FAT32;
//  4. read the volume label;
//  5. hand over to the same-cluster path or the changed-cluster path, which write the volume.
// Nothing is written before step 5; with ConversionOptions::checkOnly nothing is written at all.
//
// Steps 1 to 4 only read: AnalyseNtfsVolume does them and keeps what it found (the tree, the
// layout, the label) in an NtfsAnalysis, and ConvertAnalysedVolume does step 5 with it. A
// front end that wants to show what it found and ask before writing walks the volume once
// that way, under the lock it took first; ConvertNtfsToFat32 does both steps in one call.
//
// Failures are thrown as SimpleException (kind 1) whose Text() is the sentence the user reads.
// Threads: runs on the caller's thread; the sink's calls arrive on that thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/ProgressInforAssist.h"
#include "platform/RawVolume.h"

class CVolumeDevice;

// What the caller asks for beyond the plain conversion.
struct ConversionOptions {
    bool checkOnly = false;  // do everything up to the first write, then stop
    bool listPaths = false;  // fill ConversionReport::paths with every path converted
};

// What the conversion found and did, for the front ends' summaries.
struct ConversionReport {
    bool changedClusterSize = false;  // true: the larger-cluster path was (or would be) taken
    uint64_t volumeBytes = 0;         // length of the volume
    uint32_t ntfsClusterBytes = 0;    // NTFS cluster size
    uint32_t fatClusterBytes = 0;     // FAT32 cluster size chosen
    uint32_t files = 0;               // files that will exist on FAT32
    uint32_t directories = 0;         // directories (the root not counted)
    uint64_t clustersNeeded = 0;      // free clusters the conversion needs
    uint64_t clustersFree = 0;        // free clusters the new layout has
    uint64_t bytesRead = 0;           // bytes the engine read from the volume
    uint64_t bytesWritten = 0;        // bytes the engine wrote to the volume
    std::u16string label;             // the NTFS volume label (empty when none)
    std::vector<std::u16string> paths;  // with listPaths: "/dir/", "/dir/file", ...
};

// Converts the volume behind `handle` (not owned, never closed here). `sink` may be null.
// `report`, when given, is filled as far as the conversion got, also when it throws.
void ConvertNtfsToFat32(IProgressInfor* sink, platform::VolumeHandle handle,
                        const ConversionOptions& options = {}, ConversionReport* report = nullptr);

// The same on a device the caller has open (not owned): `sectors` is the volume's length in
// 512-byte sectors (all ones when it could not be read, which is refused like the handle
// form refuses it). The disk geometry comes from the device's handle when it has one, else
// the usual 63 sectors per track and 255 heads. The handle form runs through this one; tests
// run it on volumes held in memory.
void ConvertNtfsToFat32(IProgressInfor* sink, CVolumeDevice* device, uint64_t sectors,
                        const ConversionOptions& options = {}, ConversionReport* report = nullptr);

// What steps 1 to 4 found on a volume: the NTFS volume, the whole file tree, the FAT32 boot
// sector with its cluster size, and the label. Opaque; owned through NtfsAnalysisPtr.
struct NtfsAnalysis;
struct NtfsAnalysisDeleter {
    void operator()(NtfsAnalysis* analysis) const;
};
using NtfsAnalysisPtr = std::unique_ptr<NtfsAnalysis, NtfsAnalysisDeleter>;

// Steps 1 to 4 on `device` (not owned; it must outlive the analysis, which reads through it
// again in step 5): reads only, and throws every refusal of those steps. `sectors` is as for
// ConvertNtfsToFat32. `sink` (may be null; not owned) receives the progress of these steps and
// of ConvertAnalysedVolume, so it must outlive the analysis. options.listPaths fills
// report->paths. `report`, when given, is cleared and filled as far as the analysis got
// (volume, clusters, files, directories, label, bytes read), also when it throws.
NtfsAnalysisPtr AnalyseNtfsVolume(IProgressInfor* sink, CVolumeDevice* device, uint64_t sectors,
                                  const ConversionOptions& options = {},
                                  ConversionReport* report = nullptr);

// Step 5 with what the analysis found: the conversion path, which with options.checkOnly
// stops after its free-space check, and otherwise writes the volume through `device` (not
// owned): the analysed device itself, or one that wraps it (an undo device). The tree's own
// reads still go through the analysed device. May be called once per analysis: the path
// rewrites the tree's runs. `report`, when given, keeps what AnalyseNtfsVolume put there and
// gets the space figures, and the bytes read and written by the analysis and by this step.
void ConvertAnalysedVolume(NtfsAnalysis* analysis, CVolumeDevice* device,
                           const ConversionOptions& options = {},
                           ConversionReport* report = nullptr);
