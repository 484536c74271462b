#include "engine/VolumeEnumeration.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "engine/Fat32BootSector.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CNTFSVolume.h"
#include "ntfs/NtfsBytes.h"
#include "platform/DriveTable.h"
#include "platform/RawVolume.h"
#include "platform/TextEncoding.h"

namespace {

constexpr uint64_t kBitmapRecord = 6;                 // $Bitmap: one bit per cluster
constexpr uint32_t kDataTypeMask = 1u << (0x80 / 0x10 - 1);  // TypeMask bit of $DATA
constexpr uint32_t kChunkBytes = 1u << 20;            // bytes read per request

// Counts the zero bits among the first `bits` bits of `bytes` (bit 0 of byte 0 first).
uint64_t ZeroBits(const uint8_t* bytes, uint64_t bits) {
    uint64_t zeros = 0;
    uint64_t whole = bits / 8;
    for (uint64_t i = 0; i < whole; ++i) zeros += 8 - static_cast<uint64_t>(__builtin_popcount(bytes[i]));
    for (uint64_t b = whole * 8; b < bits; ++b)
        if ((bytes[b / 8] & (1u << (b % 8))) == 0) ++zeros;
    return zeros;
}

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Opens a volume as the list must: for reading and writing, shared with others.
platform::VolumeHandle OpenShared(const std::string& path) {
    int error = 0;
    return platform::OpenVolume(path, platform::VolumeAccess::Shared, &error);
}

// Closes a volume handle when it goes out of scope.
struct HandleCloser {
    platform::VolumeHandle handle;
    ~HandleCloser() { platform::CloseVolume(handle); }
};

}  // namespace

bool ReadNtfsClusterBitmap(CVolumeDevice* device, NtfsClusterBitmap* bitmap) {
    // 1. The boot sector and the MFT, through the reader.
    CNTFSVolume volume(device);
    if (!volume.IsVolumeOK()) return false;
    const uint64_t clusters = volume.VolumeClusters();

    // 2. $Bitmap's unnamed data: one bit per cluster, at least as many bits as clusters.
    CFileRecord record(&volume);
    if (!record.LoadRecord(kBitmapRecord)) return false;
    record.TypeMask = kDataTypeMask;
    record.BuildAttributes();
    CAttrBase* data = record.FirstUnnamedData();
    if (data == nullptr || !data->RunsValid()) return false;
    const uint64_t length = data->DataLength();
    const uint64_t bytes = (clusters + 7) / 8;
    if (length < bytes) return false;

    // 3. Read it chunk by chunk.
    std::vector<uint8_t> bits(bytes);
    for (uint64_t offset = 0; offset < bytes; offset += kChunkBytes) {
        const uint64_t want = std::min<uint64_t>(kChunkBytes, bytes - offset);
        uint64_t at = offset;
        uint32_t got = 0;
        if (!data->ReadAt(&at, bits.data() + offset, static_cast<uint32_t>(want), &got) || got != want) return false;
    }
    bitmap->Clusters = clusters;
    bitmap->ClusterBytes = volume.ClusterBytes;
    bitmap->Bits = std::move(bits);
    return true;
}

bool NtfsVolumeSpace(CVolumeDevice* device, VolumeSpace* space) {
    NtfsClusterBitmap bitmap;
    if (!ReadNtfsClusterBitmap(device, &bitmap)) return false;
    space->TotalBytes = bitmap.Clusters * bitmap.ClusterBytes;
    space->FreeBytes = ZeroBits(bitmap.Bits.data(), bitmap.Clusters) * bitmap.ClusterBytes;
    return true;
}

bool FatVolumeSpace(CVolumeDevice* device, VolumeSpace* space) {
    // 1. The BIOS parameter block, whose fields up to the 32-bit FAT size are the same on
    //    FAT12, FAT16 and FAT32.
    uint8_t sector[512];
    if (device->ReadSectors(sector, 0, 1) != 1) return false;
    FAT32_BOOT_SECTOR boot;
    std::memcpy(&boot, sector, sizeof boot);
    const uint32_t bytesPerSector = ntfs::LoadLe<uint16_t>(sector + offsetof(FAT32_BOOT_SECTOR, BytesPerSector));
    const uint32_t sectorsPerCluster = boot.SectorsPerCluster;
    const uint32_t reserved = ntfs::LoadLe<uint16_t>(sector + offsetof(FAT32_BOOT_SECTOR, ReservedSectors));
    const uint32_t fats = boot.NumberOfFats;
    const uint32_t rootEntries = ntfs::LoadLe<uint16_t>(sector + offsetof(FAT32_BOOT_SECTOR, RootEntryCount));
    const uint32_t total16 = ntfs::LoadLe<uint16_t>(sector + offsetof(FAT32_BOOT_SECTOR, TotalSectors16));
    const uint32_t fat16 = ntfs::LoadLe<uint16_t>(sector + offsetof(FAT32_BOOT_SECTOR, FatSize16));
    const uint64_t totalSectors =
        total16 != 0 ? total16 : ntfs::LoadLe<uint32_t>(sector + offsetof(FAT32_BOOT_SECTOR, TotalSectors32));
    const uint64_t fatSectors = fat16 != 0 ? fat16 : ntfs::LoadLe<uint32_t>(sector + offsetof(FAT32_BOOT_SECTOR, FatSize32));
    if (sector[510] != 0x55 || sector[511] != 0xAA || !IsPowerOfTwo(bytesPerSector) || bytesPerSector < 512 ||
        bytesPerSector > 4096 || !IsPowerOfTwo(sectorsPerCluster) || reserved == 0 || fats == 0 || fatSectors == 0)
        return false;

    // 2. Data clusters, and the FAT's entry width: FAT32 keeps its FAT size in the 32-bit
    //    field (mkfs.fat makes small FAT32 volumes below the usual cluster minimum too);
    //    FAT12 and FAT16 differ by their cluster count.
    const uint64_t rootSectors = (uint64_t{rootEntries} * 32 + bytesPerSector - 1) / bytesPerSector;
    const uint64_t metaSectors = reserved + uint64_t{fats} * fatSectors + rootSectors;
    if (totalSectors <= metaSectors) return false;
    const uint64_t clusters = (totalSectors - metaSectors) / sectorsPerCluster;
    if (clusters == 0 || clusters > kFat32MaxClusters) return false;
    const int entryBits = fat16 == 0 ? 32 : clusters < 4085 ? 12 : 16;
    const uint64_t fatBytes = ((clusters + 2) * entryBits + 7) / 8;
    if (fatBytes > fatSectors * bytesPerSector) return false;

    // 3. The first FAT, read whole sectors at a time: count the entries 2..clusters+1 that
    //    are 0 (free).
    const uint64_t fatFirst = uint64_t{reserved} * bytesPerSector / 512;
    const uint64_t fatSectors512 = (fatBytes + 511) / 512;
    std::unique_ptr<uint8_t[]> fat(new uint8_t[fatSectors512 * 512]);
    for (uint64_t done = 0; done < fatSectors512;) {
        const uint64_t n = std::min<uint64_t>(kChunkBytes / 512, fatSectors512 - done);
        if (device->ReadSectors(fat.get() + done * 512, fatFirst + done, n) != 1) return false;
        done += n;
    }
    uint64_t freeClusters = 0;
    for (uint64_t c = 2; c < clusters + 2; ++c) {
        uint32_t entry = 0;
        if (entryBits == 12) {
            const uint16_t pair = ntfs::LoadLe<uint16_t>(fat.get() + c * 3 / 2);
            entry = (c & 1) != 0 ? pair >> 4 : pair & 0x0FFF;
        } else if (entryBits == 16) {
            entry = ntfs::LoadLe<uint16_t>(fat.get() + c * 2);
        } else {
            entry = ntfs::LoadLe<uint32_t>(fat.get() + c * 4) & 0x0FFFFFFF;
        }
        if (entry == 0) ++freeClusters;
    }
    const uint64_t clusterBytes = uint64_t{sectorsPerCluster} * bytesPerSector;
    space->TotalBytes = clusters * clusterBytes;
    space->FreeBytes = freeClusters * clusterBytes;
    return true;
}

std::vector<VolumeInfo> ListVolumes() {
    // 1. Every present letter of the drive table.
    // 2. Left out: a volume that does not open for reading and writing, or has no file system.
    // 3. The label and file-system name from the table (libblkid); the system volume flagged.
    std::vector<VolumeInfo> out;
    const std::string system = platform::SystemVolumeDevice();
    for (platform::DriveEntry& drive : platform::DriveTable()) {
        const platform::VolumeHandle handle = OpenShared(drive.devicePath);
        if (handle == platform::kInvalidVolume) continue;
        platform::CloseVolume(handle);
        if (drive.fileSystem.empty()) continue;
        VolumeInfo info;
        info.DriveLetter = static_cast<char16_t>(drive.letter);
        info.DevicePath = drive.devicePath;
        info.MountPoints = std::move(drive.mountPoints);
        info.Label = platform::Utf8ToUtf16(drive.label);
        info.FileSystem = platform::Utf8ToUtf16(drive.fileSystem);
        info.IsSystem = !system.empty() && platform::SameVolume(drive.devicePath, system);
        out.push_back(std::move(info));
    }
    return out;
}

bool QueryVolumeSpace(const VolumeInfo& volume, VolumeSpace* space) {
    for (const std::string& mountPoint : volume.MountPoints) {
        if (platform::MountedSpace(mountPoint, &space->TotalBytes, &space->FreeBytes)) return true;
    }
    const bool ntfs = volume.FileSystem == u"NTFS";
    const bool fat = volume.FileSystem == u"FAT" || volume.FileSystem == u"FAT32";
    if (!ntfs && !fat) return false;
    const platform::VolumeHandle handle = OpenShared(volume.DevicePath);
    if (handle == platform::kInvalidVolume) return false;
    HandleCloser closer{handle};
    CVolumeDevice device(handle);
    VolumeSpace found;
    if (!(ntfs ? NtfsVolumeSpace(&device, &found) : FatVolumeSpace(&device, &found))) return false;
    *space = found;
    return true;
}
