// Raw access to a volume: a block device (/dev/sdb1) or an image file holding one.
// Every transfer is a positioned read or write at a 64-bit byte offset that loops over short
// transfers and EINTR; a transfer that cannot complete fails.
//
// Threads: any thread; a handle is not shared between threads without the caller's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// An open volume: a file descriptor, kInvalidVolume when not open.
using VolumeHandle = int;
constexpr VolumeHandle kInvalidVolume = -1;

// A stretch of a whole disk or disk image that holds a volume of its own (a partition), in
// 512-byte sectors of the disk.
struct VolumeRange {
    uint64_t firstSector = 0;  // the stretch's first sector on the disk
    uint64_t sectors = 0;      // its length
};

// How a volume is opened.
enum class VolumeAccess {
    ReadOnly,   // reading only, no lock: others may hold it, even exclusively
    Shared,     // read and write, others may hold it too
    Exclusive,  // read and write; a block device with O_EXCL (refused while mounted or held),
                // an image file with flock(LOCK_EX | LOCK_NB) plus a whole-file write lock of
                // its open file description (refused while another open holds either)
};

// Opens path for reading and writing (only reading with ReadOnly; a write through such a
// handle fails with EBADF). Returns kInvalidVolume on failure with *error set to
// errno (EBUSY / EWOULDBLOCK when an exclusive open is refused).
VolumeHandle OpenVolume(const std::string& path, VolumeAccess access, int* error);

// Closes a handle (and so releases its lock). Ignores kInvalidVolume.
void CloseVolume(VolumeHandle handle);

// Reads / writes exactly `bytes` at `offset`. False on any failure or a short transfer
// (end of volume), with *error set to errno (EIO for a short read at the end, ENOSPC for a
// write past the end). An image file is never grown: a write beyond its length fails, as it
// would on the block device the image stands for. Zero bytes always succeed on an open handle.
bool ReadAt(VolumeHandle handle, void* buffer, size_t bytes, uint64_t offset, int* error);
bool WriteAt(VolumeHandle handle, const void* buffer, size_t bytes, uint64_t offset, int* error);

// Tells the kernel that `bytes` at `offset` will be read soon, so it reads them ahead, all at
// once, into its cache (posix_fadvise WILLNEED). A hint: nothing is transferred here, and a
// handle or range that cannot take it is passed over.
void AdviseWillNeed(VolumeHandle handle, uint64_t offset, uint64_t bytes);

// Length of the volume in bytes: BLKGETSIZE64 on a block device, the size of a file.
bool VolumeLengthBytes(VolumeHandle handle, uint64_t* length, int* error);

// Drive geometry; 63 sectors per track and 255 heads where the device does not say (an image
// file, or a block device that does not support the query). When `error` is given it gets 0,
// or the errno of a block device whose query failed for another reason (the defaults are then
// returned, but the device could not be asked).
struct DiskGeometry {
    uint32_t sectorsPerTrack = 63;
    uint32_t heads = 255;
};
DiskGeometry QueryGeometry(VolumeHandle handle, int* error = nullptr);

// fsync, and BLKFLSBUF on a block device, so the kernel sees the new contents.
bool FlushVolume(VolumeHandle handle);

// True when the handle is a block device rather than a file.
bool IsBlockDevice(VolumeHandle handle);

}  // namespace platform
