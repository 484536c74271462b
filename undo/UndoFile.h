// Undo files: the old contents of every sector a conversion overwrote, so that the volume
// can be put back byte for byte.
//
// A file is one header followed by records, appended in the order the conversion wrote:
//   UNDO_FILE_HEADER   identifies the volume (length, old boot sector, serial) and the
//                      direction of the conversion; checksummed.
//   UNDO_RECORD_HEADER + data, of three kinds:
//     kUndoOldSectors  the old contents of SectorCount sectors from FirstSector, saved before
//                      the first overwrite of any of them;
//     kUndoNewSector0  the 512 bytes about to be written to sector 0 (the new boot sector),
//                      saved before that write, so that a rollback recognises the converted
//                      volume as the one this file belongs to;
//     kUndoSyncMark    no data: every record before it was durable when the next write to
//                      the volume was issued.
// Every record header and its data carry their own CRC-32C. The writer makes the file
// durable (fdatasync) before the volume sees the overwrite the records protect, so after a
// power cut at most the records after the last sync mark can be torn: those protect writes
// that never reached the volume. A damaged record followed by a sound sync mark is damage,
// not a torn tail, and the file is refused.
//
// Ownership: CUndoWriter owns its file descriptor; ReadUndoFile returns everything by value.
// Threads: one thread per object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/OutputFile.h"

class CVolumeDevice;

// Which conversion wrote the file (UNDO_FILE_HEADER::Direction).
enum class UndoDirection : uint32_t {
    NtfsToFat32 = 1,
    FatToNtfs = 2,
};

constexpr char kUndoMagic[8] = {'V', 'L', 'N', 'D', 'U', 'N', 'D', 'O'};
constexpr uint32_t kUndoVersion = 1;
constexpr uint32_t kUndoRecordMagic = 0x43525556;  // "VURC" little-endian

enum : uint32_t {
    kUndoOldSectors = 1,
    kUndoNewSector0 = 2,
    kUndoSyncMark = 3,
};

#pragma pack(push, 1)
struct UNDO_FILE_HEADER {
    char Magic[8];             // 0x000 kUndoMagic
    uint32_t Version;          // 0x008 kUndoVersion
    uint32_t Direction;        // 0x00C UndoDirection
    uint64_t VolumeSectors;    // 0x010 length of the volume in 512-byte sectors
    uint64_t VolumeSerial;     // 0x018 serial of the old file system (NTFS 64 bits, FAT 32)
    uint8_t OldBootSector[512];  // 0x020 sector 0 before the conversion
    uint8_t Reserved[28];      // 0x220 zero
    uint32_t HeaderCrc;        // 0x23C CRC-32C of the 0x23C bytes before it
};
static_assert(sizeof(UNDO_FILE_HEADER) == 0x240);
static_assert(offsetof(UNDO_FILE_HEADER, VolumeSectors) == 0x10);
static_assert(offsetof(UNDO_FILE_HEADER, OldBootSector) == 0x20);
static_assert(offsetof(UNDO_FILE_HEADER, HeaderCrc) == 0x23C);

struct UNDO_RECORD_HEADER {
    uint32_t Magic;        // 0x00 kUndoRecordMagic
    uint32_t Kind;         // 0x04 kUndoOldSectors, kUndoNewSector0 or kUndoSyncMark
    uint64_t FirstSector;  // 0x08 first 512-byte sector (0 for the other kinds)
    uint32_t SectorCount;  // 0x10 sectors of data that follow (1 for kUndoNewSector0, 0 for a mark)
    uint32_t DataCrc;      // 0x14 CRC-32C of the data
    uint32_t Sequence;     // 0x18 record number, from 0
    uint32_t HeaderCrc;    // 0x1C CRC-32C of the 0x1C bytes before it
};
static_assert(sizeof(UNDO_RECORD_HEADER) == 0x20);
static_assert(offsetof(UNDO_RECORD_HEADER, FirstSector) == 0x08);
static_assert(offsetof(UNDO_RECORD_HEADER, SectorCount) == 0x10);
static_assert(offsetof(UNDO_RECORD_HEADER, HeaderCrc) == 0x1C);
#pragma pack(pop)

// Builds the header of a volume from its first sector; the serial is read from where the
// direction's old file system keeps it.
UNDO_FILE_HEADER MakeUndoHeader(UndoDirection direction, uint64_t volumeSectors,
                                const uint8_t (&bootSector)[512]);

// Appends records to a new undo file.
class CUndoWriter {
public:
    CUndoWriter() = default;
    CUndoWriter(const CUndoWriter&) = delete;
    CUndoWriter& operator=(const CUndoWriter&) = delete;

    // Creates path (which must not exist) and writes the header durably. False with a
    // sentence for the user in *problem.
    bool Create(const std::string& path, const UNDO_FILE_HEADER& header, std::string* problem);
    // Appends a record (buffered in the file, not yet durable). False on a write error.
    bool AppendOldSectors(uint64_t first, uint32_t count, const void* data);
    bool AppendNewSector0(const void* data);
    // Appends a sync mark and makes everything durable. False on an error.
    bool Sync();
    // Bytes written to the file so far.
    uint64_t FileBytes() const { return bytes_; }
    // errno of the last failure.
    int LastError() const { return error_; }

private:
    bool Append(uint32_t kind, uint64_t first, uint32_t count, const void* data);

    platform::COutputFile file_;
    uint32_t sequence_ = 0;
    uint64_t bytes_ = 0;
    int error_ = 0;
};

// One run of saved old sectors.
struct UndoExtent {
    uint64_t First = 0;
    uint32_t Count = 0;
    std::vector<uint8_t> Data;  // Count * 512 bytes
};

// What a sound undo file holds.
struct UndoContents {
    UNDO_FILE_HEADER Header{};
    std::vector<UndoExtent> Extents;                  // in the order they were saved
    std::vector<std::vector<uint8_t>> NewSector0;     // every boot sector the conversion wrote
    bool TornTail = false;  // records after the last sync mark were incomplete and are left out
};

// Reads and checks a whole undo file. False with a sentence for the user in *problem when
// the file cannot be read, is not an undo file, or is damaged.
bool ReadUndoFile(const std::string& path, UndoContents* contents, std::string* problem);

// Checks that contents belong to the volume behind device: the same length, and a sector 0
// that is either the old boot sector or one the conversion wrote. False with the reason.
bool UndoMatchesVolume(const UndoContents& contents, CVolumeDevice* device, std::string* problem);

// Rolls the volume back: checks, then writes every saved sector back (sector 0 last, so an
// interrupted rollback still leaves a volume this file recognises) and flushes nothing itself
// (the caller releases the volume). Running it again after an interruption ends the same.
// False with the reason; nothing is written when the checks fail.
bool RollbackVolume(const std::string& undoPath, CVolumeDevice* device, std::string* problem);

// Where the wizard keeps the undo file of a conversion of drive `letter` started now (local
// clock): <data>/undo/<YYYYmmdd-HHMMSS>-<letter>.undo, where <data> is
// $VELUNDRA_DATA_DIR, else $XDG_DATA_HOME/velundra, else $HOME/.local/share/velundra. The
// folder is created. Empty with the reason in *problem when it cannot be.
std::string WizardUndoPath(char letter, std::string* problem);
