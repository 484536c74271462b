// CNTFSVolume: the root object of the NTFS reader. It checks the NTFS boot sector, keeps the
// volume's geometry, and hands out the raw bytes of any MFT record by number. Construction
// goes on to read the volume's NTFS version ($Volume, record 3) and, from NTFS 3.0 on, to
// load the MFT's own record ($MFT, record 0) with its data runs, following its attribute list
// into extension records, so that records beyond the first extent of a fragmented MFT can be
// found.
//
// A boot sector that is refused leaves the volume unusable: IsVolumeOK() is false, the
// geometry stays 0 and every record read fails cleanly (FetchRecordBytes returns null).
//
// Ownership: the device is not owned (the caller opens and closes it). MftOwnRecord is owned;
// MftOwnData belongs to MftOwnRecord.
// Threads: one thread (the conversion thread) for the volume, its records and attributes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ntfs/CAttrBase.h"

class CFileRecord;
class CVolumeDevice;

#pragma pack(push, 1)

// The NTFS boot sector (sector 0 of the volume).
struct NTFS_BOOT_SECTOR {
    uint8_t Jump[3];                // 0x00 jump to the boot code
    char OemId[8];                  // 0x03 "NTFS    " (NTFS and four spaces)
    uint16_t BytesPerSector;        // 0x0B bytes per sector
    uint8_t SectorsPerCluster;      // 0x0D sectors per cluster
    uint16_t ReservedSectors;       // 0x0E 0 on NTFS
    uint8_t Zero1[3];               // 0x10 0 on NTFS
    uint16_t Zero2;                 // 0x13 0 on NTFS
    uint8_t MediaDescriptor;        // 0x15 0xF8 for a hard disk
    uint16_t Zero3;                 // 0x16 0 on NTFS
    uint16_t SectorsPerTrack;       // 0x18 geometry (unused)
    uint16_t Heads;                 // 0x1A geometry (unused)
    uint32_t HiddenSectors;         // 0x1C sectors before the volume (unused)
    uint32_t Zero4;                 // 0x20 0 on NTFS
    uint32_t Unused1;               // 0x24 usually 0x00800080
    uint64_t TotalSectors;          // 0x28 sectors of the volume
    uint64_t MftLcn;                // 0x30 first cluster of the MFT
    uint64_t MftMirrorLcn;          // 0x38 first cluster of the MFT mirror (unused)
    int8_t ClustersPerRecord;       // 0x40 > 0: clusters per MFT record; <= 0: record is 2^-v bytes
    uint8_t Unused2[3];             // 0x41
    int8_t ClustersPerIndexBlock;   // 0x44 the same rule for index blocks
    uint8_t Unused3[3];             // 0x45
    uint64_t SerialNumber;          // 0x48 volume serial number (unused)
    uint32_t Checksum;              // 0x50 (unused)
    uint8_t BootCode[426];          // 0x54
    uint16_t EndMarker;             // 0x1FE 0xAA55 (unused)
};
static_assert(sizeof(NTFS_BOOT_SECTOR) == 512);
static_assert(offsetof(NTFS_BOOT_SECTOR, OemId) == 0x03);
static_assert(offsetof(NTFS_BOOT_SECTOR, BytesPerSector) == 0x0B);
static_assert(offsetof(NTFS_BOOT_SECTOR, SectorsPerCluster) == 0x0D);
static_assert(offsetof(NTFS_BOOT_SECTOR, TotalSectors) == 0x28);
static_assert(offsetof(NTFS_BOOT_SECTOR, MftLcn) == 0x30);
static_assert(offsetof(NTFS_BOOT_SECTOR, ClustersPerRecord) == 0x40);
static_assert(offsetof(NTFS_BOOT_SECTOR, ClustersPerIndexBlock) == 0x44);

#pragma pack(pop)

// Well-known record numbers.
constexpr uint64_t kMftRecord = 0;        // $MFT
constexpr uint64_t kVolumeRecord = 3;     // $Volume
constexpr uint64_t kRootRecord = 5;       // the root directory
constexpr uint64_t kFirstUserRecord = 16; // records below are the NTFS system files

class CNTFSVolume {
public:
    // Checks the boot sector; when it is accepted, reads the version and loads $MFT. Reports
    // nothing: ask IsVolumeOK() (and RefusalReason()).
    explicit CNTFSVolume(CVolumeDevice* device);
    virtual ~CNTFSVolume();

    CNTFSVolume(const CNTFSVolume&) = delete;
    CNTFSVolume& operator=(const CNTFSVolume&) = delete;

    // Reads sector 0 and sets the geometry when the boot sector is accepted. Refused: a
    // failed read, an OEM identifier other than "NTFS    ", bytes per sector that are not a
    // power of two from 512 to 4096, sectors per cluster that are 0 or not a power of two,
    // a record or index block size that is not a power of two from 512 to 65536, an MFT that
    // starts outside the volume. A refused boot sector leaves every geometry field 0.
    bool CheckBootSector();

    // The raw bytes of record n (48-bit), before fix-ups, in a new buffer of RecordSize bytes
    // that the caller owns; null when the volume was refused, n is beyond 48 bits or the read
    // fails or comes up short. Records below 16, and every record while MftOwnData is null,
    // are read straight from MftOffset + n * RecordSize (one device request); others through
    // the data runs of $MFT.
    std::unique_ptr<uint8_t[]> FetchRecordBytes(uint64_t n);
    // The same read into dest (RecordSize bytes, the caller's); false where FetchRecordBytes
    // returns null (dest's bytes are then undefined).
    bool FetchRecordInto(uint64_t n, uint8_t* dest);

    // True when the boot sector was accepted (records can be read).
    bool IsVolumeOK() const { return RecordSize != 0; }
    // Why the boot sector was refused (English, for the user), or null when it was accepted.
    const char* RefusalReason() const { return refusal_; }
    // Clusters of the volume by the boot sector (runs beyond this are refused).
    uint64_t VolumeClusters() const;

    // Reads the version from $Volume and, from 3.0 on, loads $MFT (record 0) with its
    // $DATA runs into MftOwnRecord / MftOwnData. Run by the constructor after an accepted
    // boot sector; reports nothing.
    void LoadMft();
    // Hook on MftOwnRecord while its attribute list is followed: each $DATA extent that
    // arrives is merged into the first $DATA attribute at once, so the next extension record
    // can already be read through it.
    void OnMftAttrAdded(CFileRecord* record, CAttrBase* attribute);

    // Geometry and state; read by the rest of the program, written only here.
    uint32_t RecordSize = 0;                  // bytes of one MFT record
    uint64_t MftOffset = 0;                   // byte offset of the MFT on the volume
    uint16_t NtfsVersion = 0;                 // major << 8 | minor (0x0301 for 3.1); 0 until read
    CVolumeDevice* Device;                    // the device read from; not owned
    uint32_t ClusterBytes = 0;                // bytes per cluster
    uint16_t SectorBytes = 0;                 // bytes per sector as the boot sector states it
    uint32_t IndexBlockBytes = 0;             // bytes of one index (INDX) block
    uint64_t TotalSectors = 0;                // sectors of the volume (of SectorBytes each)
    std::unique_ptr<CFileRecord> MftOwnRecord; // record 0 with its $DATA; owned; null when not loaded
    CAttrBase* MftOwnData = nullptr;          // first $DATA of MftOwnRecord; owned by it; may be null

private:
    static void MftAttrAddedHook(void* context, CFileRecord* record, CAttrBase* attribute);
    // Takes a sorted copy of MftOwnData's runs for the record reads.
    void IndexMftRuns();

    std::vector<tagDataRun_Entry> mftRuns_;  // MftOwnData's runs by VcnFrom (when non-resident)
    const char* refusal_ = "the boot sector has not been read";
};
