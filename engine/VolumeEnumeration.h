// The volumes behind the drive letters, as the wizard's volume list shows them: which letters
// hold a volume that can be opened, its label and file system, and its size and free space.
//
// Free space is never guessed: a mounted volume answers through statvfs, an unmounted NTFS
// volume is counted from its cluster bitmap ($Bitmap, record 6) through the NTFS reader, an
// unmounted FAT12, FAT16 or FAT32 volume from its first FAT. Any other unmounted volume has
// no known free space.
//
// Threads: any thread; nothing is shared. Every call reads the devices afresh.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CVolumeDevice;

// One present drive letter whose volume opens for reading and writing and carries a file
// system that libblkid recognises.
struct VolumeInfo {
    char16_t DriveLetter = 0;              // upper-case 'A'..'Z'
    std::string DevicePath;                // /dev/sdb1 or an image file
    std::vector<std::string> MountPoints;  // where it is mounted now, in mount order
    std::u16string Label;                  // the volume label; may be empty
    std::u16string FileSystem;             // "NTFS", "FAT", "FAT32", "exFAT", "ext4", ...
    bool IsSystem = false;                 // the volume that holds "/"
};

// Every such letter, in letter order. A letter whose volume cannot be opened (no right, no
// medium, missing image) or holds no recognisable file system is left out.
std::vector<VolumeInfo> ListVolumes();

// Size of a volume and its free bytes (every free cluster, not a user's quota).
struct VolumeSpace {
    uint64_t TotalBytes = 0;
    uint64_t FreeBytes = 0;
};

// The space of a listed volume: statvfs of its first mount point when mounted, else from
// its own allocation map (NTFS, FAT). False when it cannot be known; *space is then
// untouched.
bool QueryVolumeSpace(const VolumeInfo& volume, VolumeSpace* space);

// An NTFS volume's cluster bitmap ($Bitmap): bit c of Bits (byte c / 8, bit c % 8) is set
// when cluster c is in use. False when the boot sector is refused or $Bitmap cannot be read.
struct NtfsClusterBitmap {
    uint64_t Clusters = 0;      // clusters of the volume (bits that count)
    uint64_t ClusterBytes = 0;  // bytes per cluster
    std::vector<uint8_t> Bits;  // (Clusters + 7) / 8 bytes
};
bool ReadNtfsClusterBitmap(CVolumeDevice* device, NtfsClusterBitmap* bitmap);

// An NTFS volume's clusters and free clusters (zero bits of $Bitmap below the volume's
// cluster count), in bytes. False when the boot sector is refused or $Bitmap cannot be read.
bool NtfsVolumeSpace(CVolumeDevice* device, VolumeSpace* space);

// A FAT12, FAT16 or FAT32 volume's data clusters and free clusters (entries 0 of the first
// FAT), in bytes. False when the boot sector does not describe a FAT volume or the FAT
// cannot be read.
bool FatVolumeSpace(CVolumeDevice* device, VolumeSpace* space);
