// CNtfsWriter: lays NTFS over a FAT volume in place. Every file's data stays in its FAT
// clusters and becomes the data runs of its $DATA attribute; everything new is written only
// into clusters the FAT marks free, so the volume stays a sound FAT volume until the NTFS
// boot sector replaces the FAT one.
//
// What is written: the MFT (records 0 to 15 of the system files, 16 to 23 reserved, the
// children of $Extend, one record per file and folder) and its mirror, an empty $LogFile,
// $Volume (version 3.1, the label), $AttrDef, the cluster bitmap, $Boot, $BadClus (the FAT's
// bad clusters), $Secure with one default descriptor, $UpCase, $Extend with $Quota, $ObjId
// and $Reparse, and the directory indexes in collation order, with INDX blocks and their
// bitmap where a folder's entries do not fit in its record.
//
// Order (Write):
//   1. copy the data of clusters that the NTFS volume cannot hold (beyond its last cluster)
//      into free clusters;
//   2. write every piece of metadata into free clusters in the order of its clusters, the MFT,
//      and the backup boot sector at the volume's last sector when that sector belongs to no
//      FAT file; one flush: a power cut up to here leaves the FAT volume as it was;
//   3. the NTFS boot sector at sector 0, flush: from here the volume is NTFS;
//   4. the backup boot sector when step 2 could not write it, flush.
//
// Ownership: the FAT volume and the device are not owned; the plan's buffers are.
// Threads: one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fattontfs/NtfsPlan.h"

class CFatVolume;
class CVolumeDevice;
struct FAT_NODE;

class CNtfsWriter {
public:
    // `flush` makes what was written durable (fsync of the volume); false when it fails.
    CNtfsWriter(const CFatVolume* fat, CVolumeDevice* device, std::function<bool()> flush);
    ~CNtfsWriter();

    CNtfsWriter(const CNtfsWriter&) = delete;
    CNtfsWriter& operator=(const CNtfsWriter&) = delete;

    // Places every piece of metadata and builds every record in memory; reads only. False
    // with Problem() when the volume cannot be converted (no room, a file in too many pieces
    // for one record).
    bool Plan();
    // Writes in the order above (after Plan). False with Problem() on a failed write; the
    // sentence says whether the volume is still FAT.
    bool Write(const std::function<void(const std::string& step)>& progress);

    const std::string& Problem() const { return problem_; }
    const NTFS_PLAN& Layout() const { return plan_; }
    uint64_t MetadataBytes() const { return metadataBytes_; }  // bytes of new metadata planned

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    NTFS_PLAN plan_;
    std::string problem_;
    uint64_t metadataBytes_ = 0;
};
