#include "undo/CUndoVolumeDevice.h"

#include <algorithm>
#include <cstring>

#include "device/Log.h"
#include "engine/VolumeEnumeration.h"
#include "fattontfs/CFatVolume.h"
#include "platform/DriveTable.h"

namespace {

constexpr uint32_t kSaveChunkSectors = 2048;  // old contents read and saved 1 MiB at a time
// A write into unsaved used sectors also saves the used sectors of the next MiB: conversions
// write their directories, FATs and resident data front to back through the old metadata, so
// one durable save then covers the writes that follow instead of one fdatasync per write.
constexpr uint64_t kSaveAheadSectors = 2048;

}  // namespace

void CUsedSectors::UseAll(uint64_t volumeSectors) {
    volumeSectors_ = volumeSectors;
    firstClusterSector_ = volumeSectors;
    clusters_ = 0;
    bits_.clear();
}

void CUsedSectors::Assign(uint64_t volumeSectors, uint64_t firstClusterSector, uint64_t sectorsPerCluster,
                          uint64_t clusters, std::vector<uint8_t> bits) {
    volumeSectors_ = volumeSectors;
    firstClusterSector_ = firstClusterSector;
    sectorsPerCluster_ = sectorsPerCluster == 0 ? 1 : sectorsPerCluster;
    clusters_ = std::min<uint64_t>(clusters, uint64_t{bits.size()} * 8);
    bits_ = std::move(bits);
}

bool CUsedSectors::Load(UndoDirection direction, CVolumeDevice* device, std::string* problem) {
    volumeSectors_ = device->SectorCount();
    if (direction == UndoDirection::NtfsToFat32) {
        NtfsClusterBitmap bitmap;
        if (!ReadNtfsClusterBitmap(device, &bitmap) || bitmap.ClusterBytes < kDeviceSectorBytes) {
            *problem = "Cannot read the NTFS cluster bitmap for the undo file.";
            return false;
        }
        firstClusterSector_ = 0;
        sectorsPerCluster_ = bitmap.ClusterBytes / kDeviceSectorBytes;
        clusters_ = bitmap.Clusters;
        bits_ = std::move(bitmap.Bits);
        return true;
    }
    // FAT: everything before cluster 2 (reserved sectors, the FATs, a FAT12/16 root
    // directory) and every cluster whose entry is neither free nor bad.
    CFatVolume fat(device);
    if (!fat.ReadBootSector() || !fat.ReadFats()) {
        *problem = "Cannot read the FAT for the undo file: " + fat.Problem();
        return false;
    }
    firstClusterSector_ = fat.FirstDataByte() / kDeviceSectorBytes;
    sectorsPerCluster_ = fat.ClusterBytes() / kDeviceSectorBytes;
    clusters_ = fat.ClusterCount();
    bits_.assign((clusters_ + 7) / 8, 0);
    for (uint64_t i = 0; i < clusters_; ++i) {
        const uint32_t entry = fat.Entry(static_cast<uint32_t>(i + 2));
        if (entry != CFatVolume::kFree && entry != CFatVolume::kBad) bits_[i / 8] |= uint8_t(1u << (i % 8));
    }
    return true;
}

bool CUsedSectors::IsUsed(uint64_t sector) const {
    if (sector < firstClusterSector_) return true;
    const uint64_t c = (sector - firstClusterSector_) / sectorsPerCluster_;
    if (c >= clusters_) return true;
    return (bits_[c / 8] & (1u << (c % 8))) != 0;
}

uint64_t CUsedSectors::UsedCount() const {
    uint64_t n = 0;
    for (uint64_t s = 0; s < volumeSectors_; ++s) n += IsUsed(s) ? 1 : 0;
    return n;
}

CUndoVolumeDevice::CUndoVolumeDevice(CVolumeDevice& inner, std::unique_ptr<CUndoWriter> undo,
                                     CUsedSectors used)
    : inner_(inner), undo_(std::move(undo)), used_(std::move(used)) {
    Handle = inner.Handle;
}

int CUndoVolumeDevice::Open() {
    const int ok = inner_.Open();
    Handle = inner_.Handle;
    return ok;
}

int CUndoVolumeDevice::Close() {
    inner_.Close();
    Handle = inner_.Handle;
    return 1;
}

int CUndoVolumeDevice::ReadSectors(void* buffer, uint64_t first, uint64_t count) {
    const auto n = static_cast<uint32_t>(count);
    CountTransfer(true, n);
    const int ok = inner_.ReadSectors(buffer, first, count);
    if (ok) SectorsRead += n;
    return ok;
}

bool CUndoVolumeDevice::Saved(uint64_t s) const {
    auto it = saved_.upper_bound(s);
    if (it == saved_.begin()) return false;
    --it;
    return s < it->second;
}

void CUndoVolumeDevice::MarkSaved(uint64_t first, uint64_t count) {
    uint64_t end = first + count;
    // Merge with every range that touches [first, end).
    auto it = saved_.upper_bound(first);
    if (it != saved_.begin()) {
        auto prev = std::prev(it);
        if (prev->second >= first) {
            first = prev->first;
            end = std::max(end, prev->second);
            it = saved_.erase(prev);
        }
    }
    while (it != saved_.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = saved_.erase(it);
    }
    saved_[first] = end;
}

bool CUndoVolumeDevice::SaveBefore(const void* buffer, uint64_t first, uint32_t n) {
    // 1. When the write touches a used sector not saved yet: save every used, unsaved sector
    //    of the write and of the MiB after it (read, appended as records).
    // 2. A write over sector 0: record the new boot sector.
    // 3. Anything appended: make the file durable before the write goes on.
    const uint64_t end = first + n;
    bool needed = false;
    for (uint64_t s = first; s < end && !needed; ++s) needed = used_.IsUsed(s) && !Saved(s);

    bool appended = false;
    if (needed) {
        const uint64_t windowEnd = std::min(std::max(end, first + kSaveAheadSectors), inner_.SectorCount());
        std::vector<uint8_t> old;
        uint64_t s = first;
        while (s < windowEnd) {
            if (Saved(s) || !used_.IsUsed(s)) {
                ++s;
                continue;
            }
            uint64_t runEnd = s + 1;
            while (runEnd < windowEnd && runEnd - s < kSaveChunkSectors && !Saved(runEnd) && used_.IsUsed(runEnd))
                ++runEnd;
            const auto count = static_cast<uint32_t>(runEnd - s);
            old.resize(size_t{count} * kDeviceSectorBytes);
            if (inner_.ReadSectors(old.data(), s, count) != 1) {
                if (s >= end) break;  // only the sectors ahead could not be read: save them later
                LogErrorA("Undo: cannot read sectors %I64d to %I64d before overwriting them; the write is refused.\n",
                          static_cast<long long>(s), static_cast<long long>(runEnd - 1));
                return false;
            }
            if (!undo_->AppendOldSectors(s, count, old.data())) {
                LogErrorA("Undo: cannot write the undo file (error %d); the write is refused.\n", undo_->LastError());
                return false;
            }
            MarkSaved(s, count);
            savedSectors_ += count;
            appended = true;
            s = runEnd;
        }
    }
    if (first == 0 && n > 0) {
        if (!undo_->AppendNewSector0(buffer)) {
            LogErrorA("Undo: cannot write the undo file (error %d); the write is refused.\n", undo_->LastError());
            return false;
        }
        appended = true;
    }
    if (appended && !undo_->Sync()) {
        LogErrorA("Undo: cannot make the undo file durable (error %d); the write is refused.\n", undo_->LastError());
        return false;
    }
    return true;
}

int CUndoVolumeDevice::WriteSectors(const void* buffer, uint64_t first, uint64_t count) {
    const auto n = static_cast<uint32_t>(count);
    CountTransfer(false, n);
    if (n == 0) return inner_.WriteSectors(buffer, first, count);
    if (!SaveBefore(buffer, first, n)) return 0;
    const int ok = inner_.WriteSectors(buffer, first, count);
    if (ok) SectorsWritten += n;
    return ok;
}

std::unique_ptr<CUndoVolumeDevice> StartUndo(const std::string& undoPath, const std::string& volumePath,
                                             UndoDirection direction, CVolumeDevice& device,
                                             std::string* problem) {
    // 1. The undo file must not lie on the volume it protects (a mounted volume's files, or
    //    the image file itself).
    const std::string dir = undoPath.find('/') == std::string::npos ? "." : undoPath.substr(0, undoPath.rfind('/') + 1);
    const auto where = platform::VolumeOfPath(dir.empty() ? "/" : dir);
    if (platform::SameVolume(undoPath, volumePath) ||
        (where && platform::SameVolume(where->devicePath, volumePath))) {
        *problem = "The undo file " + undoPath + " must not lie on the volume being converted.";
        return nullptr;
    }
    // 2. The old file system's map and boot sector, then the file with its header.
    CUsedSectors used;
    if (!used.Load(direction, &device, problem)) return nullptr;
    uint8_t boot[512];
    if (device.ReadSectors(boot, 0, 1) != 1) {
        *problem = "Cannot read the volume's boot sector for the undo file.";
        return nullptr;
    }
    auto writer = std::make_unique<CUndoWriter>();
    if (!writer->Create(undoPath, MakeUndoHeader(direction, device.SectorCount(), boot), problem)) return nullptr;
    return std::make_unique<CUndoVolumeDevice>(device, std::move(writer), std::move(used));
}
