// The drive table: Windows-style drive letters mapped onto Linux devices and image files.
// C is the device that holds "/"; D, E, ... go to the other block devices that carry a file
// system (one that libblkid recognises, or a mount), in the natural order of their device
// names (sda2 before sda10). VELUNDRA_DRIVES ("E=/path/img;F=/dev/sdc1")
// adds or replaces letters, so letter-based paths can point at image files; malformed
// pieces of it are ignored.
//
// Also here: where a file lies (its volume and mount point) and where a volume is mounted,
// both read from /proc/self/mountinfo.
//
// Threads: any thread; the table is built afresh on every call (it is small).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct DriveEntry {
    char letter = 0;                       // 'A'..'Z' ('C'.. unless VELUNDRA_DRIVES says so)
    std::string devicePath;                // /dev/sdb1 or an image file's path
    std::vector<std::string> mountPoints;  // where that device is mounted now (may be empty)
    std::string fileSystem;                // FileSystemName of what libblkid finds; may be empty
    std::string label;                     // the volume label libblkid reads (UTF-8); may be empty
};

// Every letter present, in letter order.
std::vector<DriveEntry> DriveTable();

// The entry of one letter (upper or lower case); nullopt when the letter is not present.
std::optional<DriveEntry> LookupDrive(char letter);

// One line of /proc/self/mountinfo.
struct MountEntry {
    unsigned major = 0;      // device number of the files on this mount (st_dev)
    unsigned minor = 0;
    std::string mountPoint;  // octal escapes (\040 for a space) decoded
    std::string fsType;      // "ext4", "fuseblk", ...
    std::string source;      // "/dev/sda1", an image path (ntfs-3g), "overlay", ...
};

// Parses mountinfo text; lines that do not parse are skipped.
std::vector<MountEntry> ParseMountInfo(const std::string& text);
// The current process's mounts; empty when /proc is not there.
std::vector<MountEntry> ReadMountInfo();

// The volume that holds "/": its block device path (/dev/vda), or the mount's source when
// it has no block device ("overlay" in a container). The drive table's C.
std::string SystemVolumeDevice();

// Where a file lies: the device (or image file, for a FUSE mount of one) and the mount
// point under which it is reached.
struct VolumeLocation {
    std::string devicePath;
    std::string mountPoint;
};
// nullopt when the path does not exist or no mount holds it.
std::optional<VolumeLocation> VolumeOfPath(const std::string& path);
// The volume of the running executable (/proc/self/exe).
std::optional<VolumeLocation> ExecutableVolume();

// Every mount point of a block device or an image file, in mount order. An image file
// counts as mounted when a mount names it as its source (ntfs-3g) or when a loop device
// backed by it is mounted; a whole disk (or loop device) also while one of its partitions is.
std::vector<std::string> MountPointsOf(const std::string& devicePath);

// The loop devices backed by an image file (/dev/loop3), in the kernel's order.
std::vector<std::string> LoopDevicesOf(const std::string& imagePath);

// Mounts a volume through udisks so that the desktop sees it: a block device with
// `udisksctl mount -b`, an image file by first attaching it to a loop device
// (`udisksctl loop-setup -f`) unless one already backs it. Returns the mount points found
// afterwards (empty when it did not mount). Blocks until udisksctl has answered.
std::vector<std::string> MountThroughUdisks(const std::string& devicePath);

// True when both paths name the same volume: the same block device, the same file, or a
// loop device and the file behind it.
bool SameVolume(const std::string& a, const std::string& b);

// The name a volume's file system is listed by, from libblkid's TYPE and VERSION: "NTFS";
// "FAT32" for vfat version FAT32 and "FAT" for FAT12 and FAT16; "exFAT"; any other file
// system by libblkid's own name ("ext4", "xfs"); "" for an empty type.
std::string FileSystemName(const std::string& blkidType, const std::string& blkidVersion);

// What libblkid finds on a device or image file.
struct VolumeProbe {
    std::string fileSystem;  // FileSystemName; "" when no file system (or more than one
                             // conflicting signature) is found, or the path cannot be read
    std::string label;       // UTF-8 as libblkid decodes it; "" when none
};
VolumeProbe ProbeVolume(const std::string& devicePath);
// ProbeVolume(devicePath).fileSystem.
std::string ProbeFileSystem(const std::string& devicePath);

// Size and free space of a mounted file system (statvfs of one of its mount points): every
// block of the file system, and every free block, not only those the caller may use.
// False when the mount point cannot be queried.
bool MountedSpace(const std::string& mountPoint, uint64_t* totalBytes, uint64_t* freeBytes);

}  // namespace platform
