// The in-place conversion used when the FAT32 cluster must be larger than the NTFS cluster
// (the volume has more NTFS clusters than FAT32 can count). Each FAT32 cluster is then a group
// of GroupSize NTFS clusters (a power of two, 2 or more), and a file's data can stay where it
// is only where every GroupSize clusters of it already sit on one group. The path
//   - chooses where the FAT32 data area starts (extra reserved sectors) so that the phase most
//     file clusters share is already aligned;
//   - moves the rest of the file data onto groups (relocation/AlignPass.h), in place, never
//     writing into a cluster that still holds data (NBitmap);
//   - gives each file a chain that matches its size, writes zeros over the bytes between a
//     file's initialized size and its data size, and gives every further name of a
//     hard-linked file its own copy (FAT has no hard links);
//   - writes resident data and the directories through the bitmap, then both FATs and the
//     boot area, sector 0 last: until then the volume carries its NTFS boot sector.
//
// Failures are thrown as SimpleException (kind 1) with the sentence the user reads. Refusals
// (too little free space) come before the first write. Reads and writes that fail while data
// moves do not stop the conversion: unreadable clusters are written as zeros and, after the
// boot sector, the conversion ends with a failure naming every such file.
//
// Threads: the conversion thread only; nothing here locks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/ProgressInforAssist.h"
#include "engine/Fat32BootSector.h"
#include "engine/FileTree.h"

class CNTFSVolume;
class CVolumeDevice;
class NBitmap;

// What the caller asks for beyond the plain conversion.
struct ChangedClusterOptions {
    bool checkOnly = false;  // stop after the free-space check, before the first write
    // Called with the path's bitmap as soon as it exists (before anything is written) and with
    // null before it goes away, also when the path throws. Lets a test police every write
    // against the bitmap (tests/support/BitmapGuardDevice.h). May be empty.
    std::function<void(const NBitmap*)> watchBitmap;
};

// What the path found and did, for the caller's summary. Filled as far as the path got, also
// when it throws. Clusters are FAT32 clusters unless said otherwise.
struct ChangedClusterReport {
    uint64_t clustersNeeded = 0;     // files + directories + resident data (the free-space check)
    uint64_t clustersFree = 0;       // clusters of the FAT32 data area
    uint32_t groupSize = 0;          // NTFS clusters per FAT32 cluster
    uint32_t dataPhase = 0;          // the data area starts at an LCN of this remainder
    uint64_t fileClusters = 0;       // what the files need (every hard-link name its own chain)
    uint64_t directoryClusters = 0;  // what the directories need
    uint64_t residentClusters = 0;   // what the resident file data needs
    uint64_t ntfsClustersTrimmed = 0;    // NTFS clusters beyond file sizes, given back as free
    uint64_t ntfsClustersOutside = 0;    // NTFS file clusters before or after the data area
    uint64_t groupsMoved = 0;            // file groups moved whole
    uint64_t ntfsClustersCompacted = 0;  // single NTFS clusters packed into partly used groups
    uint64_t ntfsClustersZeroed = 0;     // NTFS clusters past initialized sizes zeroed
    uint64_t linkCopyClusters = 0;       // clusters written for further hard-link names
    std::vector<std::u16string> unreadFiles;     // paths whose data met failed reads
    std::vector<std::u16string> unwrittenFiles;  // paths whose data met failed writes
};

// Converts the volume in place. `image` is the boot sector that BuildFat32BootSector made with
// the larger cluster size (it is rebuilt here with the chosen phase); `totalSectors` is the
// volume's length in 512-byte sectors (its low 32 bits are used, as the layout did); `root` is
// the item of the NTFS root directory (not owned; its files' run lists are rewritten as data
// moves); `device` is the volume (not owned); `label` is the 8-bit volume label or null;
// `scaler` carries the progress (may be null); `volume` gives the NTFS geometry.
//
//  1. milestone 0.38 "Start to Calculate converting space...";
//  2. the bitmap; file runs cut to their data sizes; every file cluster marked, counted by
//     phase;
//  3. the phase shared by the most clusters (the lowest on a tie);
//  4. the layout rebuilt with p * phase extra reserved sectors (p = 512-byte sectors per NTFS
//     cluster), so the data area starts at an LCN of that remainder; the label and the serial
//     number of `image` kept;
//  5. the data area, FAT cluster 2 reserved for the root directory, a zeroed FAT;
//  6. the space needed: the files' chains, the directories, the resident data;
//  7. refused ("The free space that convert to fat is too few.") when the data area has fewer
//     clusters; with options.checkOnly stop here;
//  8. milestone 0.4 "Converting NTFS to FAT32..."; written sectors move the bar to 0.9;
//  9. relocation (RelocateFiles), zeros past initialized sizes, copies for further names;
// 10. the resident data; then cluster 2 freed, the search restarted there, the directories
//     written (the root's first cluster into the boot sector);
// 11. the counted phase ends at 0.9; the FAT chains of the files;
// 12. milestone 0.97 "Process the Fat Table in the FAT32."; both FATs ("Flush the fat table
//     fail." when neither copy is whole);
// 13. the boot area: backup boot sector, FSInfo with the true free count and its copy, sector
//     0 last ("Flush fat dbr fail.");
// 14. when data met failed reads or writes, the failure that names those files.
void ConvertChangedClusterSize(const FAT32_BOOT_SECTOR& image, uint64_t totalSectors, FILE_ITEM* root,
                               CVolumeDevice* device, const char* label, ProgressInforAssist* scaler,
                               CNTFSVolume* volume, const ChangedClusterOptions& options = {},
                               ChangedClusterReport* report = nullptr);
