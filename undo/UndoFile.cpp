#include "undo/UndoFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fstream>

#include "device/CVolumeDevice.h"
#include "platform/LocalTime.h"
#include "undo/Crc32c.h"

namespace {

constexpr size_t kRecordCrcBytes = offsetof(UNDO_RECORD_HEADER, HeaderCrc);
constexpr size_t kHeaderCrcBytes = offsetof(UNDO_FILE_HEADER, HeaderCrc);

uint64_t LoadLe64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

uint32_t LoadLe32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A record header that is whole and checksums right.
bool SoundRecordHeader(const UNDO_RECORD_HEADER& r) {
    return r.Magic == kUndoRecordMagic && r.HeaderCrc == Crc32c(&r, kRecordCrcBytes) &&
           (r.Kind == kUndoOldSectors || r.Kind == kUndoNewSector0 || r.Kind == kUndoSyncMark);
}

}  // namespace

UNDO_FILE_HEADER MakeUndoHeader(UndoDirection direction, uint64_t volumeSectors,
                                const uint8_t (&bootSector)[512]) {
    UNDO_FILE_HEADER h{};
    std::memcpy(h.Magic, kUndoMagic, sizeof h.Magic);
    h.Version = kUndoVersion;
    h.Direction = static_cast<uint32_t>(direction);
    h.VolumeSectors = volumeSectors;
    if (direction == UndoDirection::NtfsToFat32) {
        h.VolumeSerial = LoadLe64(bootSector + 0x48);
    } else {
        // FAT32 keeps its serial after its longer parameter block; FAT12 and FAT16 at 0x27.
        const bool fat32 = bootSector[0x16] == 0 && bootSector[0x17] == 0;
        h.VolumeSerial = LoadLe32(bootSector + (fat32 ? 0x43 : 0x27));
    }
    std::memcpy(h.OldBootSector, bootSector, 512);
    h.HeaderCrc = Crc32c(&h, kHeaderCrcBytes);
    return h;
}

bool CUndoWriter::Create(const std::string& path, const UNDO_FILE_HEADER& header,
                         std::string* problem) {
    int error = 0;
    if (!file_.Open(path, platform::FileOpen::CreateNew, &error)) {
        *problem = "Cannot create the undo file " + path + ": " +
                   (error == EEXIST ? std::string("it exists already (an undo file is never overwritten)")
                                    : std::string(std::strerror(error))) + ".";
        return false;
    }
    if (!file_.Write(&header, sizeof header, &error) || !file_.Sync(&error)) {
        *problem = "Cannot write the undo file " + path + ": " + std::strerror(error) + ".";
        return false;
    }
    bytes_ = sizeof header;
    return true;
}

bool CUndoWriter::Append(uint32_t kind, uint64_t first, uint32_t count, const void* data) {
    UNDO_RECORD_HEADER r{};
    r.Magic = kUndoRecordMagic;
    r.Kind = kind;
    r.FirstSector = first;
    r.SectorCount = count;
    const size_t dataBytes = size_t{count} * kDeviceSectorBytes;
    r.DataCrc = Crc32c(data, dataBytes);
    r.Sequence = sequence_++;
    r.HeaderCrc = Crc32c(&r, kRecordCrcBytes);
    if (!file_.Write(&r, sizeof r, &error_)) return false;
    if (dataBytes != 0 && !file_.Write(data, dataBytes, &error_)) return false;
    bytes_ += sizeof r + dataBytes;
    return true;
}

bool CUndoWriter::AppendOldSectors(uint64_t first, uint32_t count, const void* data) {
    return Append(kUndoOldSectors, first, count, data);
}

bool CUndoWriter::AppendNewSector0(const void* data) { return Append(kUndoNewSector0, 0, 1, data); }

bool CUndoWriter::Sync() { return Append(kUndoSyncMark, 0, 0, nullptr) && file_.Sync(&error_); }

bool ReadUndoFile(const std::string& path, UndoContents* contents, std::string* problem) {
    // 1. The whole file; 2. the header; 3. the records in order: a bad or incomplete one ends
    //    the sound part, and only a tail with no sound sync mark after it may be left out.
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *problem = "Cannot open the undo file " + path + ": " + std::strerror(errno) + ".";
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *problem = "Cannot read the undo file " + path + ".";
        return false;
    }

    UndoContents out;
    if (bytes.size() < sizeof(UNDO_FILE_HEADER) ||
        std::memcmp(bytes.data(), kUndoMagic, sizeof kUndoMagic) != 0) {
        *problem = path + " is not an undo file.";
        return false;
    }
    std::memcpy(&out.Header, bytes.data(), sizeof out.Header);
    if (out.Header.HeaderCrc != Crc32c(&out.Header, kHeaderCrcBytes)) {
        *problem = "The undo file " + path + " is damaged: its header does not match its checksum.";
        return false;
    }
    if (out.Header.Version != kUndoVersion) {
        *problem = "The undo file " + path + " has version " + std::to_string(out.Header.Version) +
                   ", which this program does not know.";
        return false;
    }

    size_t at = sizeof(UNDO_FILE_HEADER);
    uint32_t expected = 0;
    size_t pendingExtents = 0, pendingSector0 = 0;  // records since that mark
    std::string firstFault;
    uint64_t faultAt = 0;
    while (at < bytes.size()) {
        UNDO_RECORD_HEADER r{};
        const bool whole = bytes.size() - at >= sizeof r;
        if (whole) std::memcpy(&r, bytes.data() + at, sizeof r);
        const uint64_t dataBytes = uint64_t{r.SectorCount} * kDeviceSectorBytes;
        std::string fault;
        if (!whole || !SoundRecordHeader(r)) {
            fault = "a record header is incomplete or does not match its checksum";
        } else if (r.Sequence != expected) {
            fault = "record " + std::to_string(expected) + " is missing";
        } else if ((r.Kind == kUndoNewSector0 && r.SectorCount != 1) ||
                   (r.Kind == kUndoSyncMark && r.SectorCount != 0)) {
            fault = "a record has the wrong length for its kind";
        } else if (bytes.size() - at - sizeof r < dataBytes) {
            fault = "a record's data is incomplete";
        } else if (r.DataCrc != Crc32c(bytes.data() + at + sizeof r, dataBytes)) {
            fault = "the data of a record does not match its checksum";
        } else if (r.Kind == kUndoOldSectors &&
                   (r.SectorCount == 0 || r.FirstSector >= out.Header.VolumeSectors ||
                    r.SectorCount > out.Header.VolumeSectors - r.FirstSector)) {
            fault = "a record names sectors outside the volume";
        }
        if (!fault.empty()) {
            firstFault = fault;
            faultAt = at;
            break;
        }
        const uint8_t* data = bytes.data() + at + sizeof r;
        if (r.Kind == kUndoOldSectors) {
            out.Extents.push_back({r.FirstSector, r.SectorCount, std::vector<uint8_t>(data, data + dataBytes)});
            ++pendingExtents;
        } else if (r.Kind == kUndoNewSector0) {
            out.NewSector0.emplace_back(data, data + dataBytes);
            ++pendingSector0;
        } else {
            pendingExtents = pendingSector0 = 0;
        }
        at += sizeof r + dataBytes;
        ++expected;
    }

    if (!firstFault.empty()) {
        // A sound sync mark anywhere after the fault proves the fault is not a torn tail.
        for (size_t p = faultAt + 1; p + sizeof(UNDO_RECORD_HEADER) <= bytes.size(); ++p) {
            UNDO_RECORD_HEADER r;
            std::memcpy(&r, bytes.data() + p, sizeof r);
            if (r.Magic == kUndoRecordMagic && r.Kind == kUndoSyncMark && SoundRecordHeader(r) &&
                r.Sequence > expected) {
                *problem = "The undo file " + path + " is damaged: " + firstFault + " (at byte " +
                           std::to_string(faultAt) + ").";
                return false;
            }
        }
    }
    // Records after the last sync mark protected writes that never reached the volume (the
    // writer syncs before every write it protects): a torn tail is left out. Whole records
    // without a mark after them are kept: they hold what those sectors still contain.
    if (!firstFault.empty()) {
        out.Extents.resize(out.Extents.size() - pendingExtents);
        out.NewSector0.resize(out.NewSector0.size() - pendingSector0);
        out.TornTail = true;
    }
    *contents = std::move(out);
    return true;
}

bool UndoMatchesVolume(const UndoContents& contents, CVolumeDevice* device, std::string* problem) {
    const uint64_t sectors = device->SectorCount();
    if (sectors != contents.Header.VolumeSectors) {
        *problem = "The undo file belongs to a volume of " + std::to_string(contents.Header.VolumeSectors) +
                   " sectors; this volume has " + std::to_string(sectors) + ".";
        return false;
    }
    uint8_t sector0[512];
    if (device->ReadSectors(sector0, 0, 1) != 1) {
        *problem = "Cannot read the volume's first sector.";
        return false;
    }
    if (std::memcmp(sector0, contents.Header.OldBootSector, 512) == 0) return true;
    for (const auto& written : contents.NewSector0) {
        if (std::memcmp(sector0, written.data(), 512) == 0) return true;
    }
    *problem = "The undo file does not belong to this volume: its boot sector is neither the one "
               "before the conversion nor one the conversion wrote.";
    return false;
}

bool RollbackVolume(const std::string& undoPath, CVolumeDevice* device, std::string* problem) {
    // 1. Read and check every record and the volume's identity before the first write.
    UndoContents contents;
    if (!ReadUndoFile(undoPath, &contents, problem)) return false;
    if (!UndoMatchesVolume(contents, device, problem)) return false;

    // 2. Write every extent back; the one holding sector 0 is written last.
    const UndoExtent* withSector0 = nullptr;
    for (const UndoExtent& e : contents.Extents) {
        if (e.First == 0) {
            withSector0 = &e;
            continue;
        }
        if (device->WriteSectors(e.Data.data(), e.First, e.Count) != 1) {
            *problem = "Writing sectors " + std::to_string(e.First) + " to " +
                       std::to_string(e.First + e.Count - 1) + " back failed; run the rollback again.";
            return false;
        }
    }
    if (withSector0 != nullptr && device->WriteSectors(withSector0->Data.data(), 0, withSector0->Count) != 1) {
        *problem = "Writing the boot sector back failed; run the rollback again.";
        return false;
    }
    return true;
}

std::string WizardUndoPath(char letter, std::string* problem) {
    std::filesystem::path data;
    if (const char* dir = std::getenv("VELUNDRA_DATA_DIR"); dir != nullptr && *dir != '\0') {
        data = dir;
    } else if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
        data = std::filesystem::path(xdg) / "velundra";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        data = std::filesystem::path(home) / ".local" / "share" / "velundra";
    } else {
        *problem = "No folder for undo files: neither VELUNDRA_DATA_DIR, XDG_DATA_HOME nor HOME is set.";
        return {};
    }
    const std::filesystem::path dir = data / "undo";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        *problem = "Cannot create the folder for undo files " + dir.string() + ": " + ec.message() + ".";
        return {};
    }
    const platform::LocalClockTime now = platform::LocalClockNow();
    char name[64];
    std::snprintf(name, sizeof name, "%04u%02u%02u-%02u%02u%02u", unsigned{now.year}, unsigned{now.month},
                  unsigned{now.day}, unsigned{now.hour}, unsigned{now.minute}, unsigned{now.second});
    return (dir / (std::string(name) + "-" + std::string(1, letter) + ".undo")).string();
}
