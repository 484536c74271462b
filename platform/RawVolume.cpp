#include "platform/RawVolume.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

namespace platform {

namespace {

// One pread/pwrite moves at most this much, so a huge request never hits the kernel's
// per-call cap in an unexpected way and EINTR loses little work.
constexpr size_t kMaxChunk = size_t{1} << 30;

void SetError(int* error, int value) {
    if (error != nullptr) *error = value;
}

// Offsets beyond what off_t can hold, or ranges that wrap, can never be transferred.
bool RangeFits(size_t bytes, uint64_t offset) {
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    return offset <= kMax && bytes <= kMax - offset;
}

// Moves `bytes` bytes at `offset` through `io` (pread or pwrite on the volume) in chunks of
// at most kMaxChunk, retrying after EINTR and going on after a short transfer. A transfer of
// 0 bytes ends the loop with `stalledError`; a failed call with its errno. Sets *error to 0 on
// success.
template <typename Io, typename Byte>
bool TransferAll(Io io, Byte* p, size_t bytes, uint64_t offset, int stalledError, int* error) {
    while (bytes > 0) {
        const ssize_t moved = io(p, std::min(bytes, kMaxChunk), offset);
        if (moved < 0) {
            if (errno == EINTR) continue;
            SetError(error, errno);
            return false;
        }
        if (moved == 0) {
            SetError(error, stalledError);
            return false;
        }
        p += moved;
        bytes -= static_cast<size_t>(moved);
        offset += static_cast<uint64_t>(moved);
    }
    SetError(error, 0);
    return true;
}

// Takes both kinds of whole-file lock an image can carry: flock (what another Velundra
// holds) and an open-file-description write lock (which conflicts with the fcntl locks that
// other tools take). Either refusal means somebody else holds the image.
bool LockImage(int fd) {
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return false;

    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // the whole file, however long it grows
    do {
        rc = fcntl(fd, F_OFD_SETLK, &lock);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

}  // namespace

VolumeHandle OpenVolume(const std::string& path, VolumeAccess access, int* error) {
    // 1. Find out what the path names: O_EXCL means "not mounted, not held" only for a block
    //    device, so the kind decides how exclusivity is obtained.
    struct stat st = {};
    if (stat(path.c_str(), &st) != 0) {
        SetError(error, errno);
        return kInvalidVolume;
    }
    const bool block = S_ISBLK(st.st_mode);
    if (!block && !S_ISREG(st.st_mode)) {
        SetError(error, ENOTBLK);
        return kInvalidVolume;
    }

    // 2. Open it.
    int flags = (access == VolumeAccess::ReadOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC;
    if (access == VolumeAccess::Exclusive && block) flags |= O_EXCL;
    int fd;
    do {
        fd = open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetError(error, errno);
        return kInvalidVolume;
    }

    // 3. An image file is made exclusive by its locks.
    if (access == VolumeAccess::Exclusive && !block && !LockImage(fd)) {
        close(fd);
        SetError(error, EWOULDBLOCK);
        return kInvalidVolume;
    }
    SetError(error, 0);
    return fd;
}

void AdviseWillNeed(VolumeHandle handle, uint64_t offset, uint64_t bytes) {
    if (handle < 0 || bytes == 0 || !RangeFits(static_cast<size_t>(bytes), offset)) return;
    posix_fadvise(handle, static_cast<off_t>(offset), static_cast<off_t>(bytes), POSIX_FADV_WILLNEED);
}

void CloseVolume(VolumeHandle handle) {
    // close() is not retried on EINTR: on Linux the descriptor is gone either way.
    if (handle >= 0) close(handle);
}

bool ReadAt(VolumeHandle handle, void* buffer, size_t bytes, uint64_t offset, int* error) {
    if (handle < 0) {
        SetError(error, EBADF);
        return false;
    }
    if (!RangeFits(bytes, offset)) {
        SetError(error, EINVAL);
        return false;
    }
    // A read of 0 bytes means the volume ended before the request was satisfied.
    return TransferAll(
        [handle](void* p, size_t n, uint64_t at) {
            return pread(handle, p, n, static_cast<off_t>(at));
        },
        static_cast<unsigned char*>(buffer), bytes, offset, EIO, error);
}

bool WriteAt(VolumeHandle handle, const void* buffer, size_t bytes, uint64_t offset,
             int* error) {
    if (handle < 0) {
        SetError(error, EBADF);
        return false;
    }
    if (!RangeFits(bytes, offset)) {
        SetError(error, EINVAL);
        return false;
    }
    // A write past the end of a block device fails; on an image file it would silently grow
    // the file. Refuse it there too, so an image behaves like the volume it stands for.
    struct stat st = {};
    if (fstat(handle, &st) != 0) {
        SetError(error, errno);
        return false;
    }
    if (bytes > 0 && S_ISREG(st.st_mode) && offset + bytes > static_cast<uint64_t>(st.st_size)) {
        SetError(error, ENOSPC);
        return false;
    }
    return TransferAll(
        [handle](const void* p, size_t n, uint64_t at) {
            return pwrite(handle, p, n, static_cast<off_t>(at));
        },
        static_cast<const unsigned char*>(buffer), bytes, offset, ENOSPC, error);
}

bool VolumeLengthBytes(VolumeHandle handle, uint64_t* length, int* error) {
    struct stat st = {};
    if (handle < 0) {
        SetError(error, EBADF);
        return false;
    }
    if (fstat(handle, &st) != 0) {
        SetError(error, errno);
        return false;
    }
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (ioctl(handle, BLKGETSIZE64, &bytes) != 0) {
            SetError(error, errno);
            return false;
        }
        *length = bytes;
    } else if (S_ISREG(st.st_mode)) {
        *length = static_cast<uint64_t>(st.st_size);
    } else {
        SetError(error, ENOTTY);
        return false;
    }
    SetError(error, 0);
    return true;
}

DiskGeometry QueryGeometry(VolumeHandle handle, int* error) {
    DiskGeometry geometry;
    SetError(error, 0);
    if (!IsBlockDevice(handle)) return geometry;
    struct hd_geometry hd = {};
    if (ioctl(handle, HDIO_GETGEO, &hd) != 0) {
        // Devices without a geometry (loop, some virtual disks) say "not supported"; they keep
        // the defaults. Any other failure is the device's.
        const int e = errno;
        if (e != ENOTTY && e != EINVAL && e != ENOSYS && e != EOPNOTSUPP) SetError(error, e);
        return geometry;
    }
    if (hd.heads != 0 && hd.sectors != 0) {
        geometry.heads = hd.heads;
        geometry.sectorsPerTrack = hd.sectors;
    }
    return geometry;
}

bool FlushVolume(VolumeHandle handle) {
    if (handle < 0) return false;
    int rc;
    do {
        rc = fsync(handle);
    } while (rc != 0 && errno == EINTR);
    bool ok = rc == 0;
    // Drop the block device's buffer cache, so the next reader (the kernel's own file-system
    // probe included) sees what was written rather than stale cached sectors.
    if (IsBlockDevice(handle) && ioctl(handle, BLKFLSBUF, 0) != 0) ok = false;
    return ok;
}

bool IsBlockDevice(VolumeHandle handle) {
    struct stat st = {};
    return handle >= 0 && fstat(handle, &st) == 0 && S_ISBLK(st.st_mode);
}

}  // namespace platform
