// CUndoVolumeDevice: a volume device that keeps an undo file of what a conversion overwrites.
//
// Before a write reaches the volume, the old contents of every sector in it that the old
// file system uses and that has not been saved yet are read, appended to the undo file and
// made durable; a write that covers sector 0 also records the new boot sector first. Only
// then is the write passed on; one such save also takes the used sectors of the next MiB, so
// that the writes after it need no save of their own. Sectors the old file system leaves free
// need no copy. When
// the old contents cannot be read or the undo file cannot be written, the write is refused
// (returns 0, logged): the volume is never changed where it could not be undone.
//
// CUsedSectors says which sectors the old file system uses: from NTFS's $Bitmap, or from a
// FAT volume's reserved area, FATs, root directory and allocated clusters. Sectors outside
// the cluster area (boot sectors, the NTFS backup boot sector) always count as used.
//
// Ownership: the inner device is not owned and must outlive this one; the undo file is
// owned. Threads: the conversion thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/CVolumeDevice.h"
#include "undo/UndoFile.h"

// Which 512-byte sectors of a volume hold something of the old file system.
class CUsedSectors {
public:
    // Reads the allocation map of the old file system of `direction` through device. False
    // with a sentence for the user when it cannot be read.
    bool Load(UndoDirection direction, CVolumeDevice* device, std::string* problem);
    // Every sector counts as used (no map).
    void UseAll(uint64_t volumeSectors);
    // A map given directly: sectors below firstClusterSector and from firstClusterSector +
    // clusters * sectorsPerCluster on are used; between them bit c of bits tells cluster c.
    void Assign(uint64_t volumeSectors, uint64_t firstClusterSector, uint64_t sectorsPerCluster, uint64_t clusters,
                std::vector<uint8_t> bits);

    bool IsUsed(uint64_t sector) const;
    // Used sectors in all (for the figures).
    uint64_t UsedCount() const;

private:
    uint64_t volumeSectors_ = 0;
    uint64_t firstClusterSector_ = 0;  // sectors below it are used
    uint64_t sectorsPerCluster_ = 1;
    uint64_t clusters_ = 0;            // sectors from firstClusterSector_ + clusters_ * spc on are used
    std::vector<uint8_t> bits_;        // bit c: cluster c (relative to firstClusterSector_) used
};

class CUndoVolumeDevice : public CVolumeDevice {
public:
    // Wraps inner; used must describe the volume before the first write.
    CUndoVolumeDevice(CVolumeDevice& inner, std::unique_ptr<CUndoWriter> undo, CUsedSectors used);

    int ReadSectors(void* buffer, uint64_t first, uint64_t count) override;
    int WriteSectors(const void* buffer, uint64_t first, uint64_t count) override;
    uint64_t SectorCount() override { return inner_.SectorCount(); }
    void Prefetch(uint64_t first, uint64_t count) override { inner_.Prefetch(first, count); }
    int Open() override;
    int Close() override;

    // Figures: sectors saved in the undo file, bytes of the file, sectors overwritten.
    uint64_t SavedSectors() const { return savedSectors_; }
    uint64_t UndoFileBytes() const { return undo_->FileBytes(); }
    uint64_t OverwrittenSectors() const { return SectorsWritten; }

private:
    // True when sector s has been saved already.
    bool Saved(uint64_t s) const;
    void MarkSaved(uint64_t first, uint64_t count);
    // Saves what [first, first + n) needs; false when that fails.
    bool SaveBefore(const void* buffer, uint64_t first, uint32_t n);

    CVolumeDevice& inner_;
    std::unique_ptr<CUndoWriter> undo_;
    CUsedSectors used_;
    std::map<uint64_t, uint64_t> saved_;  // saved ranges: first sector -> end (exclusive), disjoint
    uint64_t savedSectors_ = 0;
};

// Opens the undo file for a conversion: checks it does not lie on the volume behind
// volumePath, reads the old file system's allocation map and sector 0 through device, and
// creates the file with its header. Null with a sentence for the user in *problem.
std::unique_ptr<CUndoVolumeDevice> StartUndo(const std::string& undoPath, const std::string& volumePath,
                                             UndoDirection direction, CVolumeDevice& device,
                                             std::string* problem);
