#include "fattontfs/CFatVolume.h"

#include <algorithm>
#include <cstring>

#include "device/CVolumeDevice.h"
#include "ntfs/NtfsBytes.h"
#include "platform/LocalTime.h"
#include "platform/TextEncoding.h"

namespace {

constexpr uint64_t kReadChunkBytes = 1 << 20;
constexpr int kMaxDepth = 512;  // deeper trees are taken for a directory loop

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::string Utf8(std::u16string_view text) { return platform::Utf16ToUtf8(text); }

std::string Where(std::u16string_view path) {
    if (path.empty()) return "the root directory";
    std::string quoted(1, '"');
    quoted.append(Utf8(path));
    quoted.push_back('"');
    return quoted;
}

// Reads `bytes` bytes at a byte offset that is a multiple of 512, in chunks.
bool ReadBytes(CVolumeDevice* device, uint64_t offset, uint64_t bytes, uint8_t* dest) {
    const uint64_t sectors = (bytes + kDeviceSectorBytes - 1) / kDeviceSectorBytes;
    const uint64_t first = offset / kDeviceSectorBytes;
    std::unique_ptr<uint8_t[]> tail;
    for (uint64_t done = 0; done < sectors;) {
        const uint64_t n = std::min<uint64_t>(kReadChunkBytes / kDeviceSectorBytes, sectors - done);
        const uint64_t at = done * kDeviceSectorBytes;
        if (at + n * kDeviceSectorBytes > bytes) {
            // The last sector only partly wanted: read it aside.
            tail.reset(new uint8_t[n * kDeviceSectorBytes]);
            if (device->ReadSectors(tail.get(), first + done, n) != 1) return false;
            std::memcpy(dest + at, tail.get(), bytes - at);
        } else if (device->ReadSectors(dest + at, first + done, n) != 1) {
            return false;
        }
        done += n;
    }
    return true;
}

// The short name as readers show it: base, a dot and the extension when there is one, the
// case flags applied to ASCII letters; returns its units (at most 12) at `text`.
size_t ShortNameText(const uint8_t bytes[11], uint8_t caseFlags, char16_t text[12]) {
    int baseEnd = 8, extEnd = 3;
    while (baseEnd > 0 && bytes[baseEnd - 1] == ' ') --baseEnd;
    while (extEnd > 0 && bytes[8 + extEnd - 1] == ' ') --extEnd;
    size_t n = 0;
    auto part = [&](int from, int length, bool lower) {
        for (int i = 0; i < length; ++i) {
            char16_t c = platform::Cp437ToUtf16(bytes[from + i]);
            if (lower && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
            text[n++] = c;
        }
    };
    part(0, baseEnd, (caseFlags & kFatCaseLowerBase) != 0);
    if (extEnd > 0) {
        text[n++] = u'.';
        part(8, extEnd, (caseFlags & kFatCaseLowerExt) != 0);
    }
    return n;
}

// Up to 13 units of one long-name entry, stored at `piece` until the first 0 unit; returns
// how many.
int TakeLfnUnits(const uint8_t* entry, char16_t* piece) {
    static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    int n = 0;
    for (int offset : kOffsets) {
        const char16_t unit = ntfs::LoadLe<char16_t>(entry + offset);
        if (unit == 0) break;
        piece[n++] = unit;
    }
    return n;
}

// Entry c of a FAT of `Bits`-bit entries at `raw`, in 32-bit meanings: free 0, bad kBad, any
// end of chain kEnd. A FAT12 entry is read as a 16-bit pair, so `raw` has one byte after its
// last entry.
template <unsigned Bits>
uint32_t DecodeFatEntry(const uint8_t* raw, uint64_t c) {
    if constexpr (Bits == 12) {
        const uint16_t pair = ntfs::LoadLe<uint16_t>(raw + c * 3 / 2);
        const uint32_t e = (c & 1) != 0 ? pair >> 4 : pair & 0x0FFF;
        return e >= 0xFF8 ? CFatVolume::kEnd : e == 0xFF7 ? CFatVolume::kBad : e;
    } else if constexpr (Bits == 16) {
        const uint32_t e = ntfs::LoadLe<uint16_t>(raw + c * 2);
        return e >= 0xFFF8 ? CFatVolume::kEnd : e == 0xFFF7 ? CFatVolume::kBad : e;
    } else {
        const uint32_t e = ntfs::LoadLe<uint32_t>(raw + c * 4) & 0x0FFFFFFF;
        return e >= 0x0FFFFFF8 ? CFatVolume::kEnd : e;
    }
}

// Entries 0 .. entries - 1 of a whole FAT, decoded into `out`.
template <unsigned Bits>
void DecodeFat(const uint8_t* raw, uint64_t entries, uint32_t* out) {
    for (uint64_t c = 0; c < entries; ++c) out[c] = DecodeFatEntry<Bits>(raw, c);
}

// The path of a directory's entry for messages: the directory's path, a slash, the name.
std::u16string ChildPath(const std::u16string& dir, std::u16string_view name) {
    std::u16string path = dir;
    if (!path.empty()) path.push_back(u'/');
    path.append(name);
    return path;
}

}  // namespace

uint64_t FAT_NODE::ClusterCount() const {
    uint64_t n = 0;
    for (const FAT_RUN& run : Runs) n += run.Count;
    return n;
}

CFatVolume::CFatVolume(CVolumeDevice* device) : device_(device) {}

bool CFatVolume::Fail(std::string problem) {
    problem_ = std::move(problem);
    return false;
}

const char* CFatVolume::KindName() const {
    switch (kind_) {
        case FatKind::Fat12: return "FAT12";
        case FatKind::Fat16: return "FAT16";
        case FatKind::Fat32: return "FAT32";
    }
    return "FAT";
}

const void* CFatVolume::KeepBytes(const void* data, size_t bytes) {
    constexpr size_t kBlockBytes = 65536;
    const size_t padded = (bytes + 7) / 8 * 8;
    if (treeBlocks_.empty() || treeBlockBytes_ - treeBlockUsed_ < padded) {
        treeBlockBytes_ = std::max(padded, kBlockBytes);
        treeBlocks_.emplace_back(new std::byte[treeBlockBytes_]);
        treeBlockUsed_ = 0;
    }
    std::byte* at = treeBlocks_.back().get() + treeBlockUsed_;
    std::memcpy(at, data, bytes);
    treeBlockUsed_ += padded;
    return at;
}

std::u16string_view CFatVolume::KeepName(const char16_t* units, size_t count) {
    if (count == 0) return {};
    return {static_cast<const char16_t*>(KeepBytes(units, count * sizeof(char16_t))), count};
}

std::span<const FAT_RUN> CFatVolume::KeepRuns(const std::vector<FAT_RUN>& runs) {
    if (runs.empty()) return {};
    return {static_cast<const FAT_RUN*>(KeepBytes(runs.data(), runs.size() * sizeof(FAT_RUN))), runs.size()};
}

bool CFatVolume::Read() {
    problem_.clear();
    if (!ReadBootSector() || !ReadFats()) return false;
    root_ = FAT_NODE{};
    treeBlocks_.clear();
    treeBlockBytes_ = treeBlockUsed_ = 0;
    root_.Attributes = kFatAttrDirectory;
    files_ = directories_ = fileBytes_ = 0;
    label_.clear();
    owner_.assign(fat_.size(), 0);
    chains_ = 0;
    if (kind_ == FatKind::Fat32) {
        root_.FirstCluster = rootCluster_;
        if (!WalkChain(rootCluster_, u"", nullptr, &root_.Runs)) return false;
    }
    if (!ReadDirectory(&root_, u"", 0)) return false;
    if (label_.empty()) label_ = bootLabel_;
    return true;
}

bool CFatVolume::ReadBootSector() {
    problem_.clear();
    uint8_t sector[kDeviceSectorBytes];
    if (device_->ReadSectors(sector, 0, 1) != 1) return Fail("The boot sector cannot be read.");
    if (sector[510] != 0x55 || sector[511] != 0xAA)
        return Fail("The boot sector has no FAT signature: this is not a FAT volume.");
    auto u16 = [&](size_t offset) { return uint32_t{ntfs::LoadLe<uint16_t>(sector + offset)}; };
    auto u32 = [&](size_t offset) { return ntfs::LoadLe<uint32_t>(sector + offset); };
    bytesPerSector_ = u16(offsetof(FAT32_BOOT_SECTOR, BytesPerSector));
    const uint32_t sectorsPerCluster = sector[offsetof(FAT32_BOOT_SECTOR, SectorsPerCluster)];
    reservedSectors_ = u16(offsetof(FAT32_BOOT_SECTOR, ReservedSectors));
    fatCount_ = sector[offsetof(FAT32_BOOT_SECTOR, NumberOfFats)];
    rootEntries_ = u16(offsetof(FAT32_BOOT_SECTOR, RootEntryCount));
    const uint32_t total16 = u16(offsetof(FAT32_BOOT_SECTOR, TotalSectors16));
    const uint32_t fat16 = u16(offsetof(FAT32_BOOT_SECTOR, FatSize16));
    totalSectors_ = total16 != 0 ? total16 : u32(offsetof(FAT32_BOOT_SECTOR, TotalSectors32));
    fatSectors_ = fat16 != 0 ? fat16 : u32(offsetof(FAT32_BOOT_SECTOR, FatSize32));
    sectorsPerTrack_ = static_cast<uint16_t>(u16(offsetof(FAT32_BOOT_SECTOR, SectorsPerTrack)));
    heads_ = static_cast<uint16_t>(u16(offsetof(FAT32_BOOT_SECTOR, NumberOfHeads)));
    hiddenSectors_ = u32(offsetof(FAT32_BOOT_SECTOR, HiddenSectors));
    if (!IsPowerOfTwo(bytesPerSector_) || bytesPerSector_ < 512 || bytesPerSector_ > 4096)
        return Fail("The boot sector states " + std::to_string(bytesPerSector_) +
                    " bytes per sector: this is not a FAT volume.");
    if (!IsPowerOfTwo(sectorsPerCluster) || sectorsPerCluster > 128)
        return Fail("The boot sector states " + std::to_string(sectorsPerCluster) +
                    " sectors per cluster: this is not a FAT volume.");
    if (reservedSectors_ == 0 || fatCount_ == 0 || fatSectors_ == 0)
        return Fail("The boot sector describes no FAT: this is not a FAT volume.");
    clusterBytes_ = sectorsPerCluster * bytesPerSector_;

    const uint64_t rootSectors = (uint64_t{rootEntries_} * kFatDirEntryBytes + bytesPerSector_ - 1) / bytesPerSector_;
    const uint64_t metaSectors = reservedSectors_ + uint64_t{fatCount_} * fatSectors_ + rootSectors;
    if (totalSectors_ <= metaSectors)
        return Fail("The boot sector leaves no room for data: this is not a FAT volume.");
    const uint64_t clusters = (totalSectors_ - metaSectors) / sectorsPerCluster;
    if (clusters == 0 || clusters > kFat32MaxClusters)
        return Fail("The boot sector describes " + std::to_string(clusters) +
                    " data clusters: this is not a FAT volume.");
    clusterCount_ = static_cast<uint32_t>(clusters);
    // FAT32 keeps its FAT size in the 32-bit field and has no fixed root; FAT12 and FAT16
    // differ by their cluster count.
    kind_ = fat16 == 0 ? FatKind::Fat32 : clusters < 4085 ? FatKind::Fat12 : FatKind::Fat16;
    if (kind_ == FatKind::Fat32 && rootEntries_ != 0)
        return Fail("The boot sector has a FAT32 table and a fixed root directory: it is damaged.");
    const unsigned entryBits = kind_ == FatKind::Fat12 ? 12 : kind_ == FatKind::Fat16 ? 16 : 32;
    if ((uint64_t{clusterCount_} + 2) * entryBits > fatSectors_ * bytesPerSector_ * 8)
        return Fail("The FAT is too small for the clusters the boot sector states: it is damaged.");
    const uint64_t deviceBytes = device_->SectorCount() * kDeviceSectorBytes;
    deviceBytes_ = deviceBytes;
    if (totalSectors_ * bytesPerSector_ > deviceBytes)
        return Fail("The boot sector states a volume of " + std::to_string(totalSectors_ * bytesPerSector_) +
                    " bytes, longer than the device (" + std::to_string(deviceBytes) + " bytes).");
    rootDirByte_ = (reservedSectors_ + uint64_t{fatCount_} * fatSectors_) * bytesPerSector_;
    firstDataByte_ = metaSectors * bytesPerSector_;

    const uint8_t* labelField = nullptr;
    uint8_t signature = 0;
    if (kind_ == FatKind::Fat32) {
        rootCluster_ = u32(offsetof(FAT32_BOOT_SECTOR, RootCluster));
        signature = sector[offsetof(FAT32_BOOT_SECTOR, BootSignature)];
        serial_ = u32(offsetof(FAT32_BOOT_SECTOR, VolumeSerial));
        labelField = sector + offsetof(FAT32_BOOT_SECTOR, VolumeLabel);
    } else {
        const size_t at = kFat16ExtendedBootOffset;
        signature = sector[at + offsetof(FAT16_EXTENDED_BOOT, BootSignature)];
        serial_ = u32(at + offsetof(FAT16_EXTENDED_BOOT, VolumeSerial));
        labelField = sector + at + offsetof(FAT16_EXTENDED_BOOT, VolumeLabel);
    }
    bootLabel_.clear();
    if (signature == kExtendedBootSignature) {
        std::string label(reinterpret_cast<const char*>(labelField), 11);
        while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) label.pop_back();
        if (label != "NO NAME") bootLabel_ = platform::Cp437ToUtf16(label);
    } else {
        serial_ = 0;
    }
    return true;
}

bool CFatVolume::ReadFats() {
    // 1. Each copy whole (a FAT32 FAT of a 2 TiB volume is 256 MiB at most; most are far
    //    smaller), decoded to 32-bit entries: free 0, bad kBad, end of chain kEnd. The first
    //    copy is decoded into fat_, the others only compared with it: byte for byte, and entry
    //    by entry only where the bytes differ.
    const unsigned entryBits = kind_ == FatKind::Fat12 ? 12 : kind_ == FatKind::Fat16 ? 16 : 32;
    const uint64_t entries = uint64_t{clusterCount_} + 2;
    const uint64_t bytes = (entries * entryBits + 7) / 8;
    const uint64_t dataEntriesByte = 2 * entryBits / 8;  // entry 2 starts here (3, 4 or 8)
    std::unique_ptr<uint8_t[]> first(new uint8_t[bytes + 1]);
    std::unique_ptr<uint8_t[]> raw;
    first[bytes] = 0;  // a FAT12 entry pair read at the end takes one byte more
    const uint8_t* r = first.get();
    auto decode = [&](uint64_t c) {
        return entryBits == 12 ? DecodeFatEntry<12>(r, c) : entryBits == 16 ? DecodeFatEntry<16>(r, c)
                                                                              : DecodeFatEntry<32>(r, c);
    };
    for (uint32_t copy = 0; copy < fatCount_; ++copy) {
        const uint64_t offset = (reservedSectors_ + uint64_t{copy} * fatSectors_) * bytesPerSector_;
        if (copy == 1) {
            raw.reset(new uint8_t[bytes + 1]);
            raw[bytes] = 0;
            r = raw.get();
        }
        if (!ReadBytes(device_, offset, bytes, copy == 0 ? first.get() : raw.get()))
            return Fail("FAT copy " + std::to_string(copy + 1) + " cannot be read.");
        if (copy == 0) {
            fat_.resize(entries);
            if (entryBits == 12)
                DecodeFat<12>(r, entries, fat_.data());
            else if (entryBits == 16)
                DecodeFat<16>(r, entries, fat_.data());
            else
                DecodeFat<32>(r, entries, fat_.data());
            continue;
        }
        // 2. The copies must agree on every data cluster (entries 0 and 1 carry flags). Equal
        //    bytes decode equally; for FAT32 so do equal raw entries.
        if (std::memcmp(first.get() + dataEntriesByte, raw.get() + dataEntriesByte, bytes - dataEntriesByte) == 0)
            continue;
        for (uint64_t c = 2; c < entries; ++c) {
            if (entryBits == 32 && ntfs::LoadLe<uint32_t>(r + c * 4) == fat_[c]) continue;
            if (decode(c) != fat_[c])
                return Fail("The FAT copies differ at cluster " + std::to_string(c) +
                            ": the volume needs repair (fsck.fat) first.");
        }
    }
    return true;
}

uint32_t CFatVolume::FreeClusters() const { return FreeClustersBelow(fat_.size()); }

uint32_t CFatVolume::FreeClustersBelow(uint64_t end) const {
    uint32_t n = 0;
    const uint32_t* entries = fat_.data();
    const uint64_t last = std::min<uint64_t>(end, fat_.size());
    for (uint64_t c = 2; c < last; ++c) n += entries[c] == kFree;
    return n;
}

uint32_t CFatVolume::BadClusters() const {
    uint32_t n = 0;
    for (uint64_t c = 2; c < fat_.size(); ++c) n += fat_[c] == kBad;
    return n;
}

bool CFatVolume::ReadClusters(uint32_t first, uint32_t count, void* dest) const {
    return ReadBytes(device_, ClusterOffset(first), uint64_t{count} * clusterBytes_,
                     static_cast<uint8_t*>(dest));
}

bool CFatVolume::WalkChain(uint32_t first, const std::u16string& dir, const std::u16string_view* name,
                           std::span<const FAT_RUN>* kept) {
    // Every cluster is claimed by one chain only: a cluster met again in the same chain is a
    // loop, one claimed by an earlier chain a cross-link. The path for a message is built only
    // when there is one. The runs are gathered in chainRuns_ and kept when the chain ends.
    const uint32_t chain = ++chains_;
    const uint32_t last = clusterCount_ + 1;
    auto where = [&] { return Where(name ? ChildPath(dir, *name) : dir); };
    std::vector<FAT_RUN>* runs = &chainRuns_;
    uint32_t c = first;
    runs->clear();
    *kept = {};
    if (c < 2 || c > last)
        return Fail(where() + " starts at cluster " + std::to_string(c) +
                    ", outside the data area: the volume needs repair (fsck.fat) first.");
    uint32_t runFirst = c, runCount = 0;
    for (;;) {
        if (owner_[c] == chain)
            return Fail("The cluster chain of " + where() + " loops at cluster " +
                        std::to_string(c) + ": the volume needs repair (fsck.fat) first.");
        if (owner_[c] != 0)
            return Fail("The cluster chain of " + where() + " crosses another chain at cluster " +
                        std::to_string(c) + ": the volume needs repair (fsck.fat) first.");
        owner_[c] = chain;
        if (runFirst + runCount == c) {
            ++runCount;
        } else {
            runs->push_back({runFirst, runCount});
            runFirst = c;
            runCount = 1;
        }
        const uint32_t next = fat_[c];
        if (next == kEnd) {
            runs->push_back({runFirst, runCount});
            *kept = KeepRuns(*runs);
            return true;
        }
        if (next == kFree || next == kBad || next < 2 || next > last)
            return Fail("The cluster chain of " + where() + " leads from cluster " + std::to_string(c) +
                        (next == kFree ? " to a free cluster" : next == kBad ? " to a bad cluster"
                                                                             : " out of the data area") +
                        ": the volume needs repair (fsck.fat) first.");
        c = next;
    }
}

bool CFatVolume::ReadDirectory(FAT_NODE* node, const std::u16string& path, int depth) {
    if (depth > kMaxDepth)
        return Fail("The folders below " + Where(path) + " are nested deeper than " +
                    std::to_string(kMaxDepth) + " levels: the volume is damaged.");
    // 1. The directory's bytes: the fixed root of FAT12/16, else the chain.
    const bool isRoot = depth == 0;
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t length = 0;
    if (isRoot && kind_ != FatKind::Fat32) {
        length = uint64_t{rootEntries_} * kFatDirEntryBytes;
        bytes.reset(new uint8_t[length]);
        if (!ReadBytes(device_, rootDirByte_, length, bytes.get()))
            return Fail("The root directory cannot be read.");
    } else {
        length = node->ClusterCount() * clusterBytes_;
        if (length > (uint64_t{1} << 31))
            return Fail(Where(path) + " is a directory of more than 2 GiB: the volume is damaged.");
        bytes.reset(new uint8_t[length]);
        uint64_t at = 0;
        for (const FAT_RUN& run : node->Runs) {
            if (!ReadClusters(run.First, run.Count, bytes.get() + at))
                return Fail("The directory " + Where(path) + " cannot be read (cluster " +
                            std::to_string(run.First) + ").");
            at += uint64_t{run.Count} * clusterBytes_;
        }
    }
    // 2. Its entries, then each subdirectory in turn.
    bool ended = false;
    if (!ParseEntries(bytes.get(), length, node, path, isRoot, &ended)) return false;
    bytes.reset();
    for (FAT_NODE& child : node->Children) {
        if (!child.IsDirectory()) continue;
        if (!ReadDirectory(&child, ChildPath(path, child.Name()), depth + 1)) return false;
    }
    return true;
}

bool CFatVolume::ParseEntries(const uint8_t* bytes, size_t length, FAT_NODE* node,
                              const std::u16string& path, bool isRoot, bool* ended) {
    // 1. Room for the children: one per short entry up to the end mark (an upper bound; the
    //    label and the dot entries are counted too).
    size_t shortEntries = 0;
    for (size_t at = 0; at + kFatDirEntryBytes <= length; at += kFatDirEntryBytes) {
        const uint8_t* e = bytes + at;
        if (e[0] == 0x00) break;
        if (e[0] != 0xE5 && (e[offsetof(FAT_DIR_ENTRY, Attributes)] & 0x3F) != kFatAttrLongName) ++shortEntries;
    }
    node->Children.reserve(node->Children.size() + shortEntries);
    // 2. The entries. Long-name entries come before their short entry, last piece first; a
    //    run of them is kept only when its order numbers count down to 1 and its checksum
    //    matches the short entry (else the short name stands, as every FAT reader does).
    //    Piece k (from 1) of the long name is kept at units 13 * (k - 1) of `pieces`.
    constexpr int kMaxPieces = 20, kPieceUnits = 13;
    char16_t pieces[kMaxPieces * kPieceUnits];
    int pieceUnits[kMaxPieces] = {};
    int expected = 0, total = 0;
    uint8_t checksum = 0;
    bool longValid = false;
    bool sawDot = false, sawDotDot = false;
    for (size_t at = 0; at + kFatDirEntryBytes <= length; at += kFatDirEntryBytes) {
        const uint8_t* e = bytes + at;
        if (e[0] == 0x00) { *ended = true; break; }
        if (e[0] == 0xE5) { longValid = false; expected = 0; continue; }
        const uint8_t attributes = e[offsetof(FAT_DIR_ENTRY, Attributes)];
        if ((attributes & 0x3F) == kFatAttrLongName) {
            const uint8_t order = e[0];
            if ((order & kLfnLastOrder) != 0) {
                total = order & 0x1F;
                expected = total;
                checksum = e[offsetof(FAT_LFN_ENTRY, Checksum)];
                longValid = total >= 1 && total <= kMaxPieces;
            } else if (!longValid || (order & 0x1F) != expected || e[offsetof(FAT_LFN_ENTRY, Checksum)] != checksum) {
                longValid = false;
            }
            if (longValid && (order & 0x1F) == expected) {
                pieceUnits[expected - 1] = TakeLfnUnits(e, pieces + (expected - 1) * kPieceUnits);
                --expected;
            } else {
                longValid = false;
            }
            continue;
        }
        FAT_DIR_ENTRY entry;
        std::memcpy(&entry, e, sizeof entry);
        const bool haveLong = longValid && expected == 0 && ShortNameChecksum(entry.Name) == checksum;
        longValid = false;
        expected = 0;
        if ((attributes & kFatAttrVolumeId) != 0) {
            // The label entry of the root; volume-id entries elsewhere are ignored.
            if (isRoot && label_.empty() && (attributes & kFatAttrDirectory) == 0) {
                std::string label(reinterpret_cast<const char*>(entry.Name), 11);
                while (!label.empty() && label.back() == ' ') label.pop_back();
                if (!label.empty() && label[0] == 0x05) label[0] = static_cast<char>(0xE5);
                label_ = platform::Cp437ToUtf16(label);
            }
            continue;
        }
        if (entry.Name[0] == '.') {
            const bool dot = std::memcmp(entry.Name, ".          ", 11) == 0;
            const bool dotDot = std::memcmp(entry.Name, "..         ", 11) == 0;
            if (!isRoot && (dot || dotDot)) {
                sawDot |= dot;
                sawDotDot |= dotDot;
                continue;
            }
        }
        // The child is built in its place among the children.
        FAT_NODE& child = node->Children.emplace_back();
        std::memcpy(child.ShortBytes, entry.Name, 11);
        if (child.ShortBytes[0] == 0x05) child.ShortBytes[0] = 0xE5;
        child.Attributes = attributes;
        child.CaseFlags = entry.CaseFlags;
        child.CreationTenths = entry.CreationTenths;
        child.CreationTime = entry.CreationTime;
        child.CreationDate = entry.CreationDate;
        child.LastAccessDate = entry.LastAccessDate;
        child.WriteTime = entry.WriteTime;
        child.WriteDate = entry.WriteDate;
        child.FirstCluster = (kind_ == FatKind::Fat32 ? uint32_t{entry.FirstClusterHigh} << 16 : 0) |
                             entry.FirstClusterLow;
        child.FileSize = entry.FileSize;
        char16_t shortText[12];
        child.ShortName = KeepName(shortText, ShortNameText(child.ShortBytes, child.CaseFlags, shortText));
        if (haveLong) {
            // The pieces closed up in place (piece 1 stays where it is), then kept.
            size_t units = 0;
            for (int i = 0; i < total; ++i) {
                std::memmove(pieces + units, pieces + i * kPieceUnits, sizeof(char16_t) * static_cast<size_t>(pieceUnits[i]));
                units += static_cast<size_t>(pieceUnits[i]);
            }
            child.LongName = KeepName(pieces, units);
        }
        const std::u16string_view name = child.Name();
        if (name.empty() || child.ShortBytes[0] == ' ')
            return Fail("The directory " + Where(path) + " holds an entry without a name: the volume needs repair (fsck.fat) first.");
        if (child.IsDirectory()) {
            if (child.FirstCluster == 0)
                return Fail("The folder " + Where(ChildPath(path, name)) + " has no clusters: the volume needs repair (fsck.fat) first.");
            if (!WalkChain(child.FirstCluster, path, &name, &child.Runs)) return false;
            child.FileSize = 0;
            ++directories_;
        } else {
            // The chain must hold exactly the clusters the size needs: a shorter one has lost
            // data, a longer one holds clusters no reader would show.
            const uint64_t need = (uint64_t{child.FileSize} + clusterBytes_ - 1) / clusterBytes_;
            if (child.FirstCluster == 0) {
                if (need != 0)
                    return Fail("The file " + Where(ChildPath(path, name)) + " has a size but no clusters: the volume needs repair (fsck.fat) first.");
            } else {
                if (!WalkChain(child.FirstCluster, path, &name, &child.Runs)) return false;
                const uint64_t have = child.ClusterCount();
                if (have != need)
                    return Fail("The file " + Where(ChildPath(path, name)) + " has " + std::to_string(have) +
                                " clusters where its size needs " + std::to_string(need) +
                                ": the volume needs repair (fsck.fat) first.");
            }
            ++files_;
            fileBytes_ += child.FileSize;
        }
    }
    if (!isRoot && (!sawDot || !sawDotDot))
        return Fail("The folder " + Where(path) + " lacks its \".\" or \"..\" entry: the volume needs repair (fsck.fat) first.");
    return true;
}

uint64_t FatTimeToFileTime(uint16_t date, uint16_t time, uint8_t tenths) {
    if (date == 0) return 0;
    platform::DosDateTime local;
    local.date = date;
    local.time = time;
    local.centiseconds = tenths;
    uint64_t utc = 0;
    return platform::LocalDosDateTimeToFileTime(local, &utc) ? utc : 0;
}
