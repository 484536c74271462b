#include "ntfs/CAttrBase.h"

#include <algorithm>
#include <cstring>

#include "device/CVolumeDevice.h"
#include "device/Log.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CNTFSVolume.h"
#include "platform/TextEncoding.h"

namespace {

constexpr uint32_t kDeviceSector = 512;

// Reads `bytes` bytes at byte `diskOffset` of the volume into dest. Whole sectors go
// straight into dest; a partial first or last sector passes through a local sector.
bool ReadDiskBytes(CVolumeDevice* device, uint64_t diskOffset, uint8_t* dest, uint64_t bytes) {
    uint64_t sector = diskOffset / kDeviceSector;
    const uint32_t head = static_cast<uint32_t>(diskOffset % kDeviceSector);
    if (head != 0) {
        uint8_t bounce[kDeviceSector];
        if (device->ReadSectors(bounce, sector, 1) != 1) return false;
        const uint64_t n = std::min<uint64_t>(bytes, kDeviceSector - head);
        std::memcpy(dest, bounce + head, n);
        dest += n;
        bytes -= n;
        ++sector;
    }
    // The device takes counts below 2^32 sectors; reads here are far smaller, but split
    // anyway rather than let a count wrap.
    constexpr uint64_t kMaxSectorsPerCall = 0x10000;
    while (bytes >= kDeviceSector) {
        const uint64_t whole = std::min(bytes / kDeviceSector, kMaxSectorsPerCall);
        if (device->ReadSectors(dest, sector, whole) != 1) return false;
        dest += whole * kDeviceSector;
        bytes -= whole * kDeviceSector;
        sector += whole;
    }
    if (bytes > 0) {
        uint8_t bounce[kDeviceSector];
        if (device->ReadSectors(bounce, sector, 1) != 1) return false;
        std::memcpy(dest, bounce, bytes);
    }
    return true;
}

// Reads `bytes` bytes starting `inRun` bytes into a run (the range lies inside the run).
// A sparse run reads as zeros.
bool ReadRunBytes(CVolumeDevice* device, uint32_t clusterBytes, const tagDataRun_Entry& run,
                  uint64_t inRun, uint8_t* dest, uint64_t bytes) {
    if (run.Lcn == -1) {
        std::memset(dest, 0, bytes);
        return true;
    }
    uint64_t runStart = 0;
    uint64_t diskOffset = 0;
    const bool ok = run.Lcn >= 0 &&
                    !__builtin_mul_overflow(static_cast<uint64_t>(run.Lcn), uint64_t{clusterBytes}, &runStart) &&
                    !__builtin_add_overflow(runStart, inRun, &diskOffset) &&
                    ReadDiskBytes(device, diskOffset, dest, bytes);
    if (!ok) {
        LogErrorA("Cannot read cluster with LCN %I64d\n",
                  static_cast<long long>(run.Lcn + static_cast<int64_t>(inRun / clusterBytes)));
    }
    return ok;
}

}  // namespace

bool AttributeFits(const uint8_t* header, uint32_t length, bool nonResident) {
    if (length < sizeof(ATTR_HEADER_RESIDENT)) return false;
    const auto common = ntfs::LoadStruct<ATTR_HEADER_COMMON>(header);
    if (common.NameLength != 0 &&
        !ntfs::RangeFits(common.NameOffset, uint64_t{common.NameLength} * 2, length)) {
        return false;
    }
    if (nonResident) {
        if (length < sizeof(ATTR_HEADER_NONRESIDENT)) return false;
        const auto h = ntfs::LoadStruct<ATTR_HEADER_NONRESIDENT>(header);
        // At least the terminating byte of the mapping pairs must be inside.
        return h.MappingPairsOffset >= sizeof(ATTR_HEADER_NONRESIDENT) && h.MappingPairsOffset < length;
    }
    const auto h = ntfs::LoadStruct<ATTR_HEADER_RESIDENT>(header);
    return ntfs::RangeFits(h.ValueOffset, h.ValueLength, length);
}

// ---- CAttrBase ----------------------------------------------------------------------------

CAttrBase::CAttrBase(uint8_t* header, CFileRecord* record)
    : Header(header),
      SectorBytes(record->OwnerVolume->SectorBytes),
      ClusterBytes(record->OwnerVolume->ClusterBytes),
      IndexBlockBytes(record->OwnerVolume->IndexBlockBytes),
      Device(record->OwnerVolume->Device),
      Record(record) {}

std::u16string CAttrBase::AttrName() const {
    const auto common = ntfs::LoadStruct<ATTR_HEADER_COMMON>(Header);
    std::u16string name(common.NameLength, u'\0');
    if (common.NameLength != 0) {
        std::memcpy(name.data(), Header + common.NameOffset, common.NameLength * sizeof(char16_t));
    }
    return name;
}

// ---- CAttrResident ------------------------------------------------------------------------

CAttrResident::CAttrResident(uint8_t* header, CFileRecord* record) : CAttrBase(header, record) {
    const auto h = ntfs::LoadStruct<ATTR_HEADER_RESIDENT>(header);
    Value = header + h.ValueOffset;
    ValueLength = h.ValueLength;
    FirstDataCluster = 0;
}

uint64_t CAttrResident::DataLength(uint64_t* allocated) const {
    if (allocated != nullptr) *allocated = ValueLength;
    return ValueLength;
}

bool CAttrResident::ReadAt(const uint64_t* offset, void* dest, uint32_t length, uint32_t* delivered) {
    *delivered = 0;
    if (length == 0) return true;
    // The whole 64-bit offset is compared: an offset of 4 GiB + x is beyond any value, not x.
    if (*offset >= ValueLength) return false;
    const auto at = static_cast<uint32_t>(*offset);
    const uint32_t n = std::min(length, ValueLength - at);
    std::memcpy(dest, Value + at, n);
    *delivered = n;
    return true;
}

// ---- CAttrNonResident ---------------------------------------------------------------------

CAttrNonResident::CAttrNonResident(uint8_t* header, CFileRecord* record)
    : CAttrBase(header, record), RunsDecoded(false) {
    RunsDecoded = DecodeRuns();
}

uint64_t CAttrNonResident::DataLength(uint64_t* allocated) const {
    const auto h = ntfs::LoadStruct<ATTR_HEADER_NONRESIDENT>(Header);
    if (allocated != nullptr) *allocated = h.AllocatedSize;
    return h.DataSize;
}

int CAttrNonResident::DecodeRunHeader(const uint8_t** cursor, const uint8_t* end,
                                      uint64_t* length, int64_t* offset) {
    const uint8_t* p = *cursor;
    if (p >= end) return -1;
    // 1. The header byte: width of the length field (low nibble) and of the offset field.
    const uint8_t h = *p++;
    const unsigned lengthBytes = h & 0x0F;
    const unsigned offsetBytes = h >> 4;
    if (lengthBytes > 8 || offsetBytes > 8) return 0;
    if (static_cast<uint64_t>(end - p) < lengthBytes + offsetBytes) return -1;

    // 2. The length, unsigned little-endian; negative as a signed number is refused.
    uint64_t len = 0;
    for (unsigned i = 0; i < lengthBytes; ++i) len |= uint64_t{p[i]} << (8 * i);
    if (static_cast<int64_t>(len) < 0) return 0;
    p += lengthBytes;

    // 3. The offset, sign-extended from the top bit of its last byte.
    uint64_t off = 0;
    if (offsetBytes > 0) {
        for (unsigned i = 0; i < offsetBytes; ++i) off |= uint64_t{p[i]} << (8 * i);
        if (offsetBytes < 8 && (p[offsetBytes - 1] & 0x80) != 0) off |= ~uint64_t{0} << (8 * offsetBytes);
        p += offsetBytes;
    }

    // 4. Decoded.
    *cursor = p;
    *length = len;
    *offset = static_cast<int64_t>(off);
    return 1;
}

bool CAttrNonResident::DecodeRuns() {
    // The mapping pairs lie inside the attribute (AttributeFits checked their start).
    const auto h = ntfs::LoadStruct<ATTR_HEADER_NONRESIDENT>(Header);
    const uint8_t* cursor = Header + h.MappingPairsOffset;
    const uint8_t* const end = Header + h.Common.Length;
    const uint64_t volumeClusters = Record->OwnerVolume->VolumeClusters();

    // 1. Start at the first VCN, LCN 0.
    uint64_t vcn = h.FirstVcn;
    int64_t lcn = 0;
    if (*cursor == 0) return true;

    // 2. One pair after another.
    for (;;) {
        uint64_t length = 0;
        int64_t offset = 0;
        const int decoded = DecodeRunHeader(&cursor, end, &length, &offset);
        if (decoded == 0) return true;   // a. what was decoded stands
        if (decoded < 0) return false;   // the pairs run past the attribute
        if (length == 0) return false;   // a run of no clusters is not a run

        // b. The LCN moves by the offset; below 0 is a fault.
        int64_t next = 0;
        if (__builtin_add_overflow(lcn, offset, &next) || next < 0) return false;
        lcn = next;

        // c. The entry; an offset of 0 marks a sparse run.
        auto* entry = new tagDataRun_Entry{offset == 0 ? -1 : lcn, length, vcn, 0};
        uint64_t vcnEnd = 0;  // one past the run
        if (__builtin_add_overflow(vcn, length, &vcnEnd)) {
            delete entry;
            return false;
        }
        entry->VcnTo = vcnEnd - 1;
        // A run with clusters on disk must lie on the volume.
        if (entry->Lcn >= 0 &&
            !ntfs::RangeFits(static_cast<uint64_t>(entry->Lcn), length, volumeClusters)) {
            delete entry;
            return false;
        }

        // d. Next VCN.
        vcn = vcnEnd;

        // e. Runs beyond the extent's last VCN make the whole list void.
        if (entry->VcnTo > h.LastVcn) {
            delete entry;
            Runs.Clear();
            return false;
        }

        // f. Kept.
        Runs.Append(entry);

        // g. A 0 byte ends the pairs; running out of bytes before it is a fault.
        if (cursor >= end) return false;
        if (*cursor == 0) return true;
    }
}

bool CAttrNonResident::ReadLcn(void* dest, int64_t lcn, uint64_t count) {
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(count, uint64_t{ClusterBytes}, &bytes)) return false;
    const tagDataRun_Entry run{lcn, count, 0, count - 1};
    return ReadRunBytes(Device, ClusterBytes, run, 0, static_cast<uint8_t*>(dest), bytes);
}

bool CAttrNonResident::ReadByVcn(void* dest, uint64_t vcn, uint64_t count, uint64_t destBytes,
                                 uint32_t* delivered) {
    // 1, 2. Inside the extent's VCN span, and room in dest.
    *delivered = 0;
    const uint64_t span = LastVcn() - FirstVcn() + 1;
    uint64_t endVcn = 0;
    uint64_t needBytes = 0;
    if (__builtin_add_overflow(vcn, count, &endVcn) || endVcn > span) return false;
    if (__builtin_mul_overflow(count, uint64_t{ClusterBytes}, &needBytes) || destBytes < needBytes) {
        return false;
    }

    // 3. One walk from the head; a VCN no run covers, or a failed read, shows as a short count.
    auto* out = static_cast<uint8_t*>(dest);
    uint64_t clusters = 0;
    for (tagDataRun_Entry* run = Runs.First(); run != nullptr && count > 0; run = Runs.Next()) {
        if (run->VcnFrom > vcn || vcn > run->VcnTo) continue;
        const uint64_t chunk = std::min(count, run->VcnTo - vcn + 1);
        uint64_t inRun = 0;
        if (__builtin_mul_overflow(vcn - run->VcnFrom, uint64_t{ClusterBytes}, &inRun) ||
            !ReadRunBytes(Device, ClusterBytes, *run, inRun, out, chunk * ClusterBytes)) {
            break;
        }
        clusters += chunk;
        out += chunk * ClusterBytes;
        vcn += chunk;
        count -= chunk;
    }

    // 4. Bytes delivered (dest is at most 4 GiB here: the callers' lengths are 32-bit).
    *delivered = static_cast<uint32_t>(clusters * ClusterBytes);
    return true;
}

template <typename FindRun>
bool CAttrNonResident::ReadRange(uint64_t offset, uint8_t* dest, uint32_t length,
                                 uint32_t* delivered, FindRun findRun) const {
    // 1. Nothing asked, nothing read.
    *delivered = 0;
    if (length == 0) return true;

    // 2. Inside the data; a read that reaches past its end is cut there.
    const uint64_t dataSize = DataLength(nullptr);
    if (offset > dataSize) return false;
    const uint64_t want = std::min<uint64_t>(length, dataSize - offset);
    if (want == 0) return true;

    // 3. The clusters touched must lie inside the extent's VCN span.
    const uint64_t firstCluster = offset / ClusterBytes;
    const uint64_t lastCluster = (offset + want - 1) / ClusterBytes;
    const uint64_t span = LastVcn() - FirstVcn() + 1;
    if (lastCluster >= span) return false;

    // 4. Run by run; every byte must be covered by a run and read.
    uint64_t vcn = firstCluster;
    uint64_t at = offset;
    uint64_t left = want;
    while (left > 0) {
        const tagDataRun_Entry* run = findRun(vcn);
        if (run == nullptr) return false;
        // vcn * ClusterBytes <= at fits 64 bits; the run's own end may not, so saturate.
        const uint64_t within = at % ClusterBytes;
        uint64_t runBytes = 0;
        if (__builtin_mul_overflow(run->VcnTo - vcn + 1, uint64_t{ClusterBytes}, &runBytes)) {
            runBytes = UINT64_MAX;
        }
        const uint64_t n = std::min(left, runBytes - within);
        const uint64_t inRun = (vcn - run->VcnFrom) * ClusterBytes + within;
        if (!ReadRunBytes(Device, ClusterBytes, *run, inRun, dest, n)) return false;
        dest += n;
        at += n;
        left -= n;
        *delivered += static_cast<uint32_t>(n);
        vcn = at / ClusterBytes;
    }
    return true;
}

bool CAttrNonResident::ReadAt(const uint64_t* offset, void* dest, uint32_t length, uint32_t* delivered) {
    // The list is walked once from the head: runs are consumed in list order.
    tagDataRun_Entry* run = Runs.First();
    auto findRun = [&](uint64_t vcn) -> const tagDataRun_Entry* {
        for (; run != nullptr; run = Runs.Next()) {
            if (run->VcnFrom <= vcn && vcn <= run->VcnTo) return run;
        }
        return nullptr;
    };
    return ReadRange(*offset, static_cast<uint8_t*>(dest), length, delivered, findRun);
}

bool CAttrNonResident::ReadAtSorted(uint64_t offset, void* dest, uint32_t length, uint32_t* delivered,
                                    const std::vector<tagDataRun_Entry>& sortedRuns) const {
    auto findRun = [&](uint64_t vcn) -> const tagDataRun_Entry* {
        // The last run starting at or before vcn.
        auto it = std::upper_bound(sortedRuns.begin(), sortedRuns.end(), vcn,
                                   [](uint64_t v, const tagDataRun_Entry& r) { return v < r.VcnFrom; });
        if (it == sortedRuns.begin()) return nullptr;
        --it;
        return vcn <= it->VcnTo ? &*it : nullptr;
    };
    return ReadRange(offset, static_cast<uint8_t*>(dest), length, delivered, findRun);
}

std::vector<tagDataRun_Entry> CAttrNonResident::SortedRuns() {
    std::vector<tagDataRun_Entry> runs;
    runs.reserve(static_cast<size_t>(Runs.Count()));
    for (tagDataRun_Entry* run = Runs.First(); run != nullptr; run = Runs.Next()) runs.push_back(*run);
    std::stable_sort(runs.begin(), runs.end(),
                     [](const tagDataRun_Entry& a, const tagDataRun_Entry& b) { return a.VcnFrom < b.VcnFrom; });
    return runs;
}

void CAttrNonResident::Prefetch() {
    if (Device == nullptr || ClusterBytes < kDeviceSector) return;
    const uint64_t perCluster = ClusterBytes / kDeviceSector;
    for (tagDataRun_Entry* run = Runs.First(); run != nullptr; run = Runs.Next()) {
        uint64_t first = 0;
        uint64_t count = 0;
        if (run->Lcn < 0 || __builtin_mul_overflow(static_cast<uint64_t>(run->Lcn), perCluster, &first) ||
            __builtin_mul_overflow(run->ClusterCount, perCluster, &count)) {
            continue;
        }
        Device->Prefetch(first, count);
    }
}

// ---- specialised classes ------------------------------------------------------------------

uint32_t CAttr_StdInfo::FileFlags() const {
    return ntfs::LoadLe<uint32_t>(Value + offsetof(STANDARD_INFORMATION, FileAttributes));
}

CAttr_VolInfo::CAttr_VolInfo(uint8_t* header, CFileRecord* record)
    : CAttrResident(header, record), InfoValue(Value) {}

CAttr_VolName::CAttr_VolName(uint8_t* header, CFileRecord* record) : CAttrResident(header, record) {
    LabelLength = ValueLength / 2;
    WideLabel.reset(new char16_t[LabelLength + 1]());
    std::memcpy(WideLabel.get(), Value, LabelLength * sizeof(char16_t));
    // Windows-1252 has one byte per character, so the label never needs more than
    // LabelLength bytes (a surrogate pair becomes one '_').
    AnsiLabel.reset(new char[LabelLength + 1]());
    const std::string ansi =
        platform::Utf16ToCp1252(std::u16string_view(WideLabel.get(), LabelLength));
    std::memcpy(AnsiLabel.get(), ansi.data(), std::min<size_t>(ansi.size(), LabelLength));
    AnsiLabel[LabelLength] = '\0';
}
