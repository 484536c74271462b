#include "ntfs/CNTFSVolume.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "device/CVolumeDevice.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CIndexEntry.h"

namespace {

constexpr uint32_t kMinStructureBytes = 512;
constexpr uint32_t kMaxStructureBytes = 65536;

// Size of a record or index block from its boot-sector byte: v > 0 counts clusters,
// otherwise the size is 2^-v bytes. 0 when the result is not a power of two from 512 to
// 65536 (which also keeps the shift in range).
uint32_t StructureBytes(int8_t v, uint32_t clusterBytes) {
    uint64_t bytes = 0;
    if (v > 0) {
        bytes = static_cast<uint64_t>(clusterBytes) * static_cast<uint64_t>(v);
    } else {
        const int shift = -static_cast<int>(v);
        if (shift >= 9 && shift <= 16) bytes = uint64_t{1} << shift;
    }
    if (bytes < kMinStructureBytes || bytes > kMaxStructureBytes || !std::has_single_bit(bytes)) {
        return 0;
    }
    return static_cast<uint32_t>(bytes);
}

}  // namespace

CNTFSVolume::CNTFSVolume(CVolumeDevice* device) : Device(device) {
    if (CheckBootSector()) LoadMft();
}

CNTFSVolume::~CNTFSVolume() {
    MftOwnData = nullptr;
    MftOwnRecord.reset();
}

bool CNTFSVolume::CheckBootSector() {
    // 1. Read sector 0.
    uint8_t sector[kDeviceSectorBytes];
    if (Device == nullptr || Device->ReadSectors(sector, 0, 1) != 1) {
        refusal_ = "the boot sector cannot be read";
        return false;
    }
    const auto boot = ntfs::LoadStruct<NTFS_BOOT_SECTOR>(sector);

    // 2. The OEM identifier, all eight bytes.
    if (std::memcmp(boot.OemId, "NTFS    ", 8) != 0) {
        refusal_ = "the volume is not NTFS (no NTFS boot sector)";
        return false;
    }

    // 3. Sector and cluster size. Everything below rests on these, so nonsense is refused
    //    here rather than turned into records of odd sizes.
    const uint32_t sectorBytes = boot.BytesPerSector;
    if (sectorBytes < 512 || sectorBytes > 4096 || !std::has_single_bit(sectorBytes)) {
        refusal_ = "the boot sector gives an invalid sector size";
        return false;
    }
    const uint32_t perCluster = boot.SectorsPerCluster;
    if (perCluster == 0 || !std::has_single_bit(perCluster)) {
        refusal_ = "the boot sector gives an invalid cluster size";
        return false;
    }
    const uint32_t clusterBytes = perCluster * sectorBytes;

    // 4, 5. Record and index block sizes.
    const uint32_t recordSize = StructureBytes(boot.ClustersPerRecord, clusterBytes);
    if (recordSize == 0) {
        refusal_ = "the boot sector gives an invalid file record size";
        return false;
    }
    const uint32_t indexBlockBytes = StructureBytes(boot.ClustersPerIndexBlock, clusterBytes);
    if (indexBlockBytes == 0) {
        refusal_ = "the boot sector gives an invalid index block size";
        return false;
    }

    // 6, 7. Where the MFT starts; it must start inside the volume.
    uint64_t mftOffset = 0;
    uint64_t volumeBytes = 0;
    if (__builtin_mul_overflow(boot.MftLcn, uint64_t{clusterBytes}, &mftOffset) ||
        __builtin_mul_overflow(boot.TotalSectors, uint64_t{sectorBytes}, &volumeBytes) ||
        !ntfs::RangeFits(mftOffset, recordSize, volumeBytes)) {
        refusal_ = "the boot sector places the MFT outside the volume";
        return false;
    }

    // 8. Accepted: the geometry is set all at once.
    SectorBytes = static_cast<uint16_t>(sectorBytes);
    ClusterBytes = clusterBytes;
    RecordSize = recordSize;
    IndexBlockBytes = indexBlockBytes;
    MftOffset = mftOffset;
    TotalSectors = boot.TotalSectors;
    refusal_ = nullptr;
    return true;
}

uint64_t CNTFSVolume::VolumeClusters() const {
    if (ClusterBytes == 0) return 0;
    // TotalSectors * SectorBytes fitted 64 bits when the boot sector was accepted.
    return TotalSectors * SectorBytes / ClusterBytes;
}

std::unique_ptr<uint8_t[]> CNTFSVolume::FetchRecordBytes(uint64_t n) {
    if (!IsVolumeOK()) return nullptr;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[RecordSize]);
    if (!FetchRecordInto(n, buffer.get())) return nullptr;
    return buffer;
}

bool CNTFSVolume::FetchRecordInto(uint64_t n, uint8_t* dest) {
    if (!IsVolumeOK() || n > ntfs::kRecordNumberMask) return false;
    // n < 2^48 and RecordSize <= 2^16: the product fits 64 bits.
    const uint64_t recordOffset = n * RecordSize;

    // Records of a fragmented MFT are found through $MFT's own runs; the system records
    // below 16 always lie in the first extent and are read directly.
    if (n >= kFirstUserRecord && MftOwnData != nullptr) {
        uint32_t got = 0;
        bool ok = false;
        if (MftOwnData->IsNonResident()) {
            ok = static_cast<CAttrNonResident*>(MftOwnData)->ReadAtSorted(recordOffset, dest, RecordSize, &got, mftRuns_);
        } else {
            ok = MftOwnData->ReadAt(&recordOffset, dest, RecordSize, &got);
        }
        return ok && got == RecordSize;
    }

    uint64_t byteOffset = 0;
    if (__builtin_add_overflow(recordOffset, MftOffset, &byteOffset)) return false;
    return Device->ReadSectors(dest, byteOffset / kDeviceSectorBytes, RecordSize / kDeviceSectorBytes) == 1;
}

void CNTFSVolume::LoadMft() {
    // 1, 2. The version from $Volume's $VOLUME_INFORMATION.
    {
        CFileRecord volumeRecord(this);
        if (!volumeRecord.LoadRecord(kVolumeRecord)) return;
        volumeRecord.TypeMask = 0x63;
        volumeRecord.BuildAttributes();
        auto* info = static_cast<CAttr_VolInfo*>(volumeRecord.Attrs(kAttrVolumeInformation)->First());
        if (info == nullptr) return;
        // 3. Major version in the high byte (the value holds at least these two bytes).
        const uint8_t major = info->InfoValue[offsetof(VOLUME_INFORMATION, MajorVersion)];
        const uint8_t minor = info->InfoValue[offsetof(VOLUME_INFORMATION, MinorVersion)];
        NtfsVersion = static_cast<uint16_t>(major << 8 | minor);
    }

    // 4. Before 3.0 records are always read from the MFT's start as one area.
    if (NtfsVersion < 0x0300) return;

    // 5. Record 0 with $STANDARD_INFORMATION, $ATTRIBUTE_LIST and $DATA.
    MftOwnRecord = std::make_unique<CFileRecord>(this);
    if (!MftOwnRecord->LoadRecord(kMftRecord)) return;
    MftOwnRecord->TypeMask = 0x83;

    // 6, 7. While the attribute list is followed, every $DATA extent that arrives is merged
    //    at once, so later extension records are read through the runs known so far.
    MftOwnRecord->AttrAddedHook = &CNTFSVolume::MftAttrAddedHook;
    MftOwnRecord->HookContext = this;
    MftOwnRecord->BuildAttributes();

    // 8. The first $DATA, whatever its name.
    MftOwnData = MftOwnRecord->Attrs(kAttrData)->First();
    if (MftOwnData == nullptr) {
        MftOwnRecord.reset();
        mftRuns_.clear();
        return;
    }
    IndexMftRuns();
}

void CNTFSVolume::OnMftAttrAdded(CFileRecord* record, CAttrBase* attribute) {
    if (attribute->AttrType() != kAttrData) return;
    // Merging may destroy `attribute` (it joins the first $DATA); it is not used after.
    record->MergeExtents();
    MftOwnData = record->Attrs(kAttrData)->First();
    IndexMftRuns();
}

void CNTFSVolume::MftAttrAddedHook(void* context, CFileRecord* record, CAttrBase* attribute) {
    static_cast<CNTFSVolume*>(context)->OnMftAttrAdded(record, attribute);
}

void CNTFSVolume::IndexMftRuns() {
    mftRuns_.clear();
    if (auto* nonResident = dynamic_cast<CAttrNonResident*>(MftOwnData)) {
        mftRuns_ = nonResident->SortedRuns();
    }
}
