// CVolumeDevice: the only path by which the engine and the NTFS reader touch the disk.
// Whole 512-byte sectors at 64-bit sector numbers, whatever the volume's own sector size;
// no cache: every call is one positioned transfer. While a long phase runs it counts the
// sectors it transfers and turns the count into progress reports.
//
// A device may also stand for a partition of a whole disk or disk image (Range): sector 0 of
// the device is then the partition's first sector, SectorCount() is its length, and no
// transfer reaches a sector of the disk outside it.
//
// Ownership: with DriveLetter 0 the device wraps a handle that somebody else opened and
// owns (and never closes it); a device opened by Open() owns its handle.
// Threads: the conversion thread only; progress reports are made synchronously from inside
// the transfer calls.
#pragma once

#include <cstdint>
#include <optional>

#include "device/ProgressInforAssist.h"
#include "platform/RawVolume.h"

// Bytes of the sector every CVolumeDevice transfer counts in.
constexpr uint32_t kDeviceSectorBytes = 512;

class CVolumeDevice {
public:
    CVolumeDevice() = default;
    // Wraps a handle owned by the caller (DriveLetter 0, counting reads, no sink).
    explicit CVolumeDevice(platform::VolumeHandle handle) : Handle(handle) {}
    // Wraps a handle of a whole disk or disk image owned by the caller and confines every
    // transfer to `range` of it.
    CVolumeDevice(platform::VolumeHandle handle, const platform::VolumeRange& range)
        : Handle(handle), Range(range) {}
    // Closes the handle only when this device opened it (DriveLetter nonzero).
    virtual ~CVolumeDevice();

    CVolumeDevice(const CVolumeDevice&) = delete;
    CVolumeDevice& operator=(const CVolumeDevice&) = delete;

    // Reads count sectors (the low 32 bits of count) starting at sector `first` into buffer,
    // which must hold count * 512 bytes. 1 when every byte was read, else 0 (a warning is
    // logged; a closed device fails silently). Progress is counted before the transfer.
    // A sector number whose byte offset would not fit 64 bits, or a transfer reaching past the
    // end of Range, fails like a read past the end of the volume.
    virtual int ReadSectors(void* buffer, uint64_t first, uint64_t count);
    // Says that count sectors from `first` will be read soon, so the system may read them
    // ahead while the caller works on what it has (AdviseWillNeed). A hint: nothing is
    // transferred or counted, and a device without a handle ignores it. The sectors are
    // placed as for ReadSectors (inside Range); what a read would refuse is passed over.
    virtual void Prefetch(uint64_t first, uint64_t count);
    // Writes count sectors from buffer; 1 when every byte was written, else 0.
    virtual int WriteSectors(const void* buffer, uint64_t first, uint64_t count);
    // Volume length in 512-byte sectors, remainder dropped (the length of Range when set). Throws SimpleException (kind 1,
    // "IOCTL_DISK_GET_LENGTH_INFO error.") when the length cannot be read.
    virtual uint64_t SectorCount();
    // Opens the volume of DriveLetter (upper-cased in place) through the drive table, shared;
    // 1 on success, else 0. A letter outside A..Z fails before anything else happens; an
    // open handle is closed first.
    virtual int Open();
    // Closes the handle if open and forgets it; always 1.
    virtual int Close();

    platform::VolumeHandle Handle = platform::kInvalidVolume;
    char DriveLetter = 0;  // letter used by Open; 0 when the handle belongs to someone else
    // The partition the device stands for, on the disk behind Handle; none: the whole of it.
    std::optional<platform::VolumeRange> Range;

    // Progress counting, set directly by the phases that count (see the .cpp).
    int64_t ProgressTotal = 0;               // expected sectors of the counted phase
    int64_t ProgressDone = 0;                // sectors counted since the phase began
    int32_t SinceReport = 0;                 // sectors counted since the last report
    IProgressInfor* ProgressSink = nullptr;  // not owned; null: no counting at all
    uint32_t CountReads = 1;                 // nonzero: count reads; zero: count writes

    // Totals over the device's life, for the front ends' summaries (successful transfers).
    uint64_t SectorsRead = 0;
    uint64_t SectorsWritten = 0;

protected:
    // Counts n sectors of a transfer in the given direction (reads or writes).
    void CountTransfer(bool isRead, uint32_t n);
};
