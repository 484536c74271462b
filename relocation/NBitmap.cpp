#include "relocation/NBitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "device/ProgressInforAssist.h"
#include "engine/Fat32BootSector.h"
#include "ntfs/CNTFSVolume.h"

namespace {

constexpr size_t kBitPadding = 8;  // zero bytes after the bits, so 8-byte loads stay inside
constexpr unsigned kBitsPerLoad = 56;

uint64_t BytesForBits(uint64_t bits) { return (bits + 7) / 8 + kBitPadding; }

}  // namespace

NBitmap::NBitmap(CVolumeDevice* device, CNTFSVolume* volume, uint32_t groupSize)
    : GroupSize(std::max<uint32_t>(groupSize, 1)), Device(device), Volume(volume) {
    ClusterBytes = volume->ClusterBytes;
    SectorsPerLcn_ = std::max<uint32_t>(1, ClusterBytes / kDeviceSectorBytes);
    // The NTFS sector may be larger than the device's 512 bytes: the volume's length is in
    // its own sectors.
    const uint32_t ntfsSectorsPerCluster =
        volume->SectorBytes != 0 ? std::max<uint32_t>(1, ClusterBytes / volume->SectorBytes) : 1;
    TotalLcns = static_cast<uint32_t>(
        std::min<uint64_t>(volume->TotalSectors / ntfsSectorsPerCluster, UINT32_MAX));
    BitCount_ = TotalLcns;
    Bits.reset(new uint8_t[BytesForBits(BitCount_)]());

    // Whole NTFS clusters, and always room for one FAT cluster: a move never exceeds that.
    const uint32_t rounded = ClusterBytes != 0 ? kCopyBufferBytes / ClusterBytes * ClusterBytes : 0;
    CopyBufferBytes = std::max(rounded, ClusterBytes * GroupSize);
    CopyBuffer.reset(new uint8_t[CopyBufferBytes]);

    // The data area stays empty (no group) until the path lays the FAT32 out.
    DataStartLcn = 0;
    LastLcn = 0;
    Groups_ = 0;
    Cursor = 0;
    ReservedGroup = kNone;
}

// ---- IFat ---------------------------------------------------------------------------

uint32_t NBitmap::FatClusterBytes() { return ClusterBytes * GroupSize; }

void NBitmap::AllocChain(uint32_t count, uint32_t* clusters) {
    // 1. Find and mark the groups one by one, so the next search passes over each.
    const uint32_t savedCursor = Cursor;
    for (uint32_t i = 0; i < count; ++i) {
        const int64_t group = FindFreeGroup();
        if (group == kNone) {
            // Nothing of this call stays: the groups taken so far are released.
            for (uint32_t j = 0; j < i; ++j) ClearRun(LcnOfCluster(clusters[j]), GroupSize);
            Cursor = savedCursor;
            LogErrorA("cann't find free cluster: %u of %u groups found", i, count);
            throw SimpleException(u"cann't find free cluster.", 1);
        }
        clusters[i] = static_cast<uint32_t>(ClusterOfLcn(static_cast<uint64_t>(group)));
        MarkRun(static_cast<uint64_t>(group), GroupSize);
    }
    // 2. Only now the chain, once every group is known.
    for (uint32_t i = 0; i < count; ++i) {
        if (clusters[i] < FatEntries) FatTable[clusters[i]] = kFat32EndOfChain;
        if (i > 0 && clusters[i - 1] < FatEntries) FatTable[clusters[i - 1]] = clusters[i];
    }
}

void NBitmap::WriteClusters(const void* buffer, uint32_t cluster, uint32_t count) {
    const uint64_t sector = uint64_t{SectorsPerLcn_} * LcnOfCluster(cluster);
    const uint64_t sectors = uint64_t{SectorsPerLcn_} * GroupSize * count;
    if (cluster < 2 || uint64_t{cluster} - 2 + count > GroupCount()) {
        LogErrorA("WriteClusters refused: clusters %u..+%u outside the data area", cluster, count);
        ++FailedWrites;
        return;
    }
    if (!Device->WriteSectors(buffer, sector, sectors)) {
        LogErrorA("WriteSector err, s:%d, n%d", static_cast<int>(sector), static_cast<int>(sectors));
        ++FailedWrites;
    }
}

int32_t NBitmap::ClusterOfLcn(uint64_t lcn) {
    const uint32_t low = static_cast<uint32_t>(lcn);
    return static_cast<int32_t>((low - DataStartLcn) / GroupSize + 2);
}

// ---- Layout -------------------------------------------------------------------------

void NBitmap::SetDataArea(uint32_t dataStartLcn, uint32_t lastLcn) {
    DataStartLcn = dataStartLcn;
    const uint64_t span = uint64_t{lastLcn} + 1 > dataStartLcn ? uint64_t{lastLcn} + 1 - dataStartLcn : 0;
    const uint64_t groups = span / GroupSize;
    const uint64_t end = uint64_t{dataStartLcn} + groups * GroupSize;  // one past the area
    Groups_ = static_cast<uint32_t>(groups);
    LastLcn = static_cast<uint32_t>(end - 1);  // DataStartLcn - 1 when the area is empty
    if (end > BitCount_) GrowBits(end);
    Cursor = DataStartLcn;
}

void NBitmap::AllocateFatTable(uint32_t fatSectors) {
    FatEntries = std::max<size_t>(size_t{fatSectors} * (kDeviceSectorBytes / sizeof(uint32_t)), 2);
    FatTable.reset(new uint32_t[FatEntries]());
    FatTable[0] = kFat32Entry0;
    FatTable[1] = kFat32EndOfChain;
}

uint64_t NBitmap::DataEnd() const { return uint64_t{DataStartLcn} + uint64_t{Groups_} * GroupSize; }

uint64_t NBitmap::LcnOfCluster(uint32_t cluster) const {
    return (uint64_t{cluster} - 2) * GroupSize + DataStartLcn;
}

int64_t NBitmap::GroupStartOf(int64_t lcn) const {
    const int64_t offset = lcn - int64_t{DataStartLcn};
    int64_t within = offset % int64_t{GroupSize};
    if (within < 0) within += GroupSize;  // groups before the data area are counted the same way
    return lcn - within;
}

int64_t NBitmap::LastGroupStart() const {
    return static_cast<int64_t>(DataEnd()) - int64_t{GroupSize};  // below the start when empty
}

// ---- Searches -----------------------------------------------------------------------

int64_t NBitmap::FindFreeGroup() {
    // 1. From the group the cursor is in (never before the data area).
    int64_t s = GroupStartOf(std::max<int64_t>(Cursor, DataStartLcn));
    // 2. Group by group to the end of the data area; no wrap-around.
    for (const int64_t last = LastGroupStart(); s <= last; s += GroupSize) {
        if (s != ReservedGroup && CountMarked(s, GroupSize) == 0) {
            Cursor = static_cast<uint32_t>(s);
            return s;
        }
    }
    // 3.
    return kNone;
}

int64_t NBitmap::FindFreeInPartialGroup() {
    // 1, 2. The first group from the cursor's that is partly used.
    int64_t s = GroupStartOf(std::max<int64_t>(Cursor, DataStartLcn));
    const int64_t last = LastGroupStart();
    for (; s <= last; s += GroupSize) {
        if (s == ReservedGroup) continue;
        const uint64_t marked = CountMarked(s, GroupSize);
        if (marked > 0 && marked < GroupSize) break;
    }
    // 3.
    if (s > last) return kNone;
    // 4. Its lowest clear LCN.
    Cursor = static_cast<uint32_t>(s);
    for (uint32_t i = 0; i < GroupSize; ++i) {
        if (!IsMarked(static_cast<uint64_t>(s) + i)) return s + i;
    }
    return kNone;  // not reached: the group is partly used
}

bool NBitmap::InDataRegion(uint64_t lcn, int64_t count) const {
    if (count <= 0) return true;
    const uint64_t n = static_cast<uint64_t>(count);
    // lcn .. lcn + n - 1 inside the data area (without sums that wrap).
    const uint64_t end = DataEnd();
    if (lcn < DataStartLcn || lcn >= end || n > end - lcn) return false;
    if (ReservedGroup != kNone) {
        const auto r = static_cast<uint64_t>(ReservedGroup);
        if (lcn < r + GroupSize && r <= lcn + n - 1) return false;
    }
    return true;
}

bool NBitmap::IsGroupFull(uint64_t lcn) const {
    const int64_t s = GroupStartOf(static_cast<int64_t>(lcn));
    return CountMarked(s, GroupSize) == GroupSize;
}

// ---- Bits ---------------------------------------------------------------------------

bool NBitmap::IsMarked(uint64_t lcn) const {
    return lcn < BitCount_ && ((Bits[lcn >> 3] >> (lcn & 7)) & 1) != 0;
}

uint64_t NBitmap::BitsAt(uint64_t lcn, unsigned count) const {
    if (lcn >= BitCount_ || count == 0) return 0;
    uint64_t word = 0;
    std::memcpy(&word, Bits.get() + (lcn >> 3), sizeof word);  // padding keeps this inside
    word >>= (lcn & 7);
    if (lcn + count > BitCount_) count = static_cast<unsigned>(BitCount_ - lcn);
    return count >= 64 ? word : word & ((uint64_t{1} << count) - 1);
}

uint64_t NBitmap::CountMarked(int64_t lcn, uint64_t count) const {
    // LCNs below 0 hold nothing.
    if (lcn < 0) {
        const uint64_t skip = static_cast<uint64_t>(-lcn);
        if (skip >= count) return 0;
        count -= skip;
        lcn = 0;
    }
    uint64_t x = static_cast<uint64_t>(lcn);
    uint64_t marked = 0;
    while (count > 0 && x < BitCount_) {
        const auto n = static_cast<unsigned>(std::min<uint64_t>(count, kBitsPerLoad));
        marked += static_cast<uint64_t>(std::popcount(BitsAt(x, n)));
        x += n;
        count -= n;
    }
    return marked;
}

void NBitmap::SetRun(uint64_t lcn, uint64_t count, bool value) {
    if (lcn >= BitCount_) return;
    const uint64_t end = std::min(BitCount_, lcn + std::min(count, BitCount_));
    uint64_t x = lcn;
    // Bit by bit to a byte boundary, whole bytes, then the rest.
    for (; x < end && (x & 7) != 0; ++x) {
        if (value) Bits[x >> 3] |= static_cast<uint8_t>(1u << (x & 7));
        else Bits[x >> 3] &= static_cast<uint8_t>(~(1u << (x & 7)));
    }
    if (end - x >= 8) {
        const uint64_t bytes = (end - x) / 8;
        std::memset(Bits.get() + (x >> 3), value ? 0xFF : 0x00, bytes);
        x += bytes * 8;
    }
    for (; x < end; ++x) {
        if (value) Bits[x >> 3] |= static_cast<uint8_t>(1u << (x & 7));
        else Bits[x >> 3] &= static_cast<uint8_t>(~(1u << (x & 7)));
    }
}

void NBitmap::MarkRun(uint64_t lcn, uint64_t count) { SetRun(lcn, count, true); }
void NBitmap::ClearRun(uint64_t lcn, uint64_t count) { SetRun(lcn, count, false); }

void NBitmap::GrowBits(uint64_t lcns) {
    std::unique_ptr<uint8_t[]> grown(new uint8_t[BytesForBits(lcns)]());
    std::memcpy(grown.get(), Bits.get(), (BitCount_ + 7) / 8);
    Bits = std::move(grown);
    BitCount_ = lcns;
}
