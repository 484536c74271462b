#include "device/CVolumeDevice.h"

#include <cerrno>
#include <cstdint>
#include <optional>

#include "device/Log.h"
#include "platform/DriveTable.h"

namespace {


bool IsOpen(platform::VolumeHandle handle) { return handle >= 0; }

// Sector numbers whose byte offset does not fit 64 bits would wrap round to the start of the
// volume (a bogus run read from a damaged volume could then overwrite the boot sector), so
// they are refused like any other out-of-range transfer. On a partition, the transfer must
// lie inside it, so nothing outside the partition is ever read or written; its sectors are
// then moved to their place on the disk.
bool DiskOffset(const std::optional<platform::VolumeRange>& range, uint64_t first, uint32_t n,
                bool isRead, uint64_t* offset, int* error) {
    if (range) {
        if (first > range->sectors || n > range->sectors - first) {
            *error = isRead ? EIO : ENOSPC;  // as past the end of a volume of that length
            return false;
        }
        first += range->firstSector;
    }
    if (first > UINT64_MAX / uint64_t{kDeviceSectorBytes}) {
        *error = EINVAL;
        return false;
    }
    *offset = first * uint64_t{kDeviceSectorBytes};
    return true;
}

}  // namespace

CVolumeDevice::~CVolumeDevice() {
    if (DriveLetter != 0 && IsOpen(Handle)) platform::CloseVolume(Handle);
    Handle = platform::kInvalidVolume;
}

void CVolumeDevice::CountTransfer(bool isRead, uint32_t n) {
    // Reads are counted while the tree is read, writes while data is moved: never both.
    if (ProgressSink == nullptr || isRead != (CountReads != 0)) return;

    // 1. Count first, so a transfer that then fails still moves the bar. The 32-bit
    //    counter wraps modulo 2^32 (defined in C++20) rather than overflowing.
    SinceReport = static_cast<int32_t>(static_cast<uint32_t>(SinceReport) + n);
    ProgressDone += n;

    // 2. Report whenever another 1 % of the total has gone by. With a total of 0 every
    //    transfer reports a fraction that is not finite or above 1; the sink drops those.
    if (static_cast<int64_t>(SinceReport) >= ProgressTotal / 100) {
        const double fraction =
            static_cast<double>(ProgressDone) / static_cast<double>(ProgressTotal);
        ProgressSink->SetProgress(static_cast<float>(fraction));
        SinceReport = 0;
    }

    // 3. While reading, the amount still to be read is unknown: the total grows with every
    //    read (after the test), so the fraction approaches 1 without reaching it.
    if (isRead) ProgressTotal += n;
}

int CVolumeDevice::ReadSectors(void* buffer, uint64_t first, uint64_t count) {
    const auto n = static_cast<uint32_t>(count);
    CountTransfer(true, n);
    if (!IsOpen(Handle)) return 0;
    int error = 0;
    uint64_t offset = 0;
    if (!DiskOffset(Range, first, n, true, &offset, &error) ||
        !platform::ReadAt(Handle, buffer, n * uint64_t{kDeviceSectorBytes}, offset, &error)) {
        LogWarnW(u"ReadFile last error %d", error);
        return 0;
    }
    SectorsRead += n;
    return 1;
}

void CVolumeDevice::Prefetch(uint64_t first, uint64_t count) {
    // The same placement as a read: on a partition the sectors are the partition's, and what
    // lies outside it is never asked for.
    if (count == 0 || count > UINT32_MAX) return;
    int error = 0;
    uint64_t offset = 0;
    if (!DiskOffset(Range, first, static_cast<uint32_t>(count), true, &offset, &error)) return;
    platform::AdviseWillNeed(Handle, offset, count * kDeviceSectorBytes);
}

int CVolumeDevice::WriteSectors(const void* buffer, uint64_t first, uint64_t count) {
    const auto n = static_cast<uint32_t>(count);
    CountTransfer(false, n);
    if (!IsOpen(Handle)) return 0;
    int error = 0;
    uint64_t offset = 0;
    if (!DiskOffset(Range, first, n, false, &offset, &error) ||
        !platform::WriteAt(Handle, buffer, n * uint64_t{kDeviceSectorBytes}, offset, &error)) {
        LogWarnW(u"WriteFile last error %d", error);
        return 0;
    }
    SectorsWritten += n;
    return 1;
}

uint64_t CVolumeDevice::SectorCount() {
    if (Range) return Range->sectors;
    uint64_t bytes = 0;
    int error = 0;
    if (!platform::VolumeLengthBytes(Handle, &bytes, &error)) {
        LogErrorA("IOCTL_DISK_GET_LENGTH_INFO fail, getlasterror %d", error);
        throw SimpleException(u"IOCTL_DISK_GET_LENGTH_INFO error.", 1);
    }
    return bytes / uint64_t{kDeviceSectorBytes};
}

int CVolumeDevice::Open() {
    // 1. Only a letter names a volume; anything else fails before touching the system.
    char letter = DriveLetter;
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z') return 0;
    DriveLetter = letter;

    // 2. Reopening forgets the old handle first.
    if (IsOpen(Handle)) Close();

    // 3. The drive table says which device or image the letter stands for.
    const std::optional<platform::DriveEntry> drive = platform::LookupDrive(letter);
    if (!drive) return 0;
    Handle = platform::OpenVolume(drive->devicePath, platform::VolumeAccess::Shared, nullptr);
    return IsOpen(Handle) ? 1 : 0;
}

int CVolumeDevice::Close() {
    if (IsOpen(Handle)) platform::CloseVolume(Handle);
    Handle = platform::kInvalidVolume;
    return 1;
}
