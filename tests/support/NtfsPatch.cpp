#include "tests/support/NtfsPatch.h"

#include <fstream>
#include <stdexcept>

#include "device/CVolumeDevice.h"
#include "ntfs/CFileRecord.h"
#include "ntfs/CNTFSVolume.h"
#include "tests/support/SleuthKit.h"

namespace testsupport {
namespace {

constexpr size_t kStride = 512;  // the update sequence protects the last word of each 512 bytes

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("NtfsPatch: " + what); }

}  // namespace

NtfsPatch::NtfsPatch(const std::string& image) : image_(image) {
    int error = 0;
    handle_ = platform::OpenVolume(image, platform::VolumeAccess::Shared, &error);
    if (handle_ == platform::kInvalidVolume) Fail("cannot open " + image + " (error " + std::to_string(error) + ")");
    device_ = std::make_unique<CVolumeDevice>(handle_);
    volume_ = std::make_unique<CNTFSVolume>(device_.get());
    if (!volume_->IsVolumeOK()) Fail(image + " is not accepted by the NTFS reader");
    if (auto* mft = dynamic_cast<CAttrNonResident*>(volume_->MftOwnData)) mftRuns_ = mft->SortedRuns();
    if (mftRuns_.empty()) Fail("no runs of $MFT in " + image);
    for (const auto& [path, entry] : NtfsTree(image)) records_.emplace_back(path, entry.record);
}

NtfsPatch::~NtfsPatch() {
    volume_.reset();
    device_.reset();
    platform::CloseVolume(handle_);
}

uint32_t NtfsPatch::ClusterBytes() const { return volume_->ClusterBytes; }
uint64_t NtfsPatch::VolumeClusters() const { return volume_->VolumeClusters(); }

uint64_t NtfsPatch::RecordOf(const std::string& path) {
    for (const auto& [p, record] : records_) {
        if (p == path) return record;
    }
    Fail("no path " + path + " in " + image_);
}

uint64_t NtfsPatch::RecordByteOnImage(uint64_t n, uint64_t offset) {
    const uint64_t at = n * volume_->RecordSize + offset;
    const uint64_t vcn = at / volume_->ClusterBytes;
    for (const tagDataRun_Entry& run : mftRuns_) {
        if (vcn >= run.VcnFrom && vcn <= run.VcnTo && run.Lcn >= 0) {
            return (static_cast<uint64_t>(run.Lcn) + vcn - run.VcnFrom) * volume_->ClusterBytes +
                   at % volume_->ClusterBytes;
        }
    }
    Fail("record " + std::to_string(n) + " lies outside the runs of $MFT");
}

std::vector<uint8_t> NtfsPatch::ReadRecord(uint64_t n) {
    const uint32_t size = volume_->RecordSize;
    std::vector<uint8_t> bytes(size);
    // Stride by stride: with clusters smaller than a record its pieces may lie apart.
    for (size_t at = 0; at < size; at += kStride) {
        const std::string piece = ReadAt(RecordByteOnImage(n, at), kStride);
        std::memcpy(bytes.data() + at, piece.data(), kStride);
    }
    if (std::memcmp(bytes.data(), "FILE", 4) != 0) Fail("record " + std::to_string(n) + " has no FILE signature");
    const uint16_t usa = Get<uint16_t>(bytes, offsetof(MULTI_SECTOR_HEADER, UsaOffset));
    const size_t strides = size / kStride;
    if (usa + 2 * (strides + 1) > size) Fail("record " + std::to_string(n) + " has no room for its update sequence");
    const uint16_t usn = Get<uint16_t>(bytes, usa);
    for (size_t i = 1; i <= strides; ++i) {
        const size_t end = i * kStride - 2;
        if (Get<uint16_t>(bytes, end) != usn) Fail("record " + std::to_string(n) + " has a broken update sequence");
        Put<uint16_t>(bytes, end, Get<uint16_t>(bytes, usa + 2 * i));
    }
    return bytes;
}

void NtfsPatch::WriteRecord(uint64_t n, std::vector<uint8_t> bytes) {
    if (bytes.size() != volume_->RecordSize) Fail("a record of the wrong size");
    const uint16_t usa = Get<uint16_t>(bytes, offsetof(MULTI_SECTOR_HEADER, UsaOffset));
    const uint16_t usn = Get<uint16_t>(bytes, usa);
    for (size_t i = 1; i <= bytes.size() / kStride; ++i) {
        const size_t end = i * kStride - 2;
        Put<uint16_t>(bytes, usa + 2 * i, Get<uint16_t>(bytes, end));
        Put<uint16_t>(bytes, end, usn);
    }
    for (size_t at = 0; at < bytes.size(); at += kStride) {
        WriteAt(RecordByteOnImage(n, at), std::string(reinterpret_cast<const char*>(bytes.data() + at), kStride));
    }
}

void NtfsPatch::EditRecord(uint64_t n, const std::function<void(std::vector<uint8_t>& record)>& edit) {
    std::vector<uint8_t> bytes = ReadRecord(n);
    edit(bytes);
    WriteRecord(n, std::move(bytes));
}

size_t NtfsPatch::FindAttribute(const std::vector<uint8_t>& record, uint32_t type, bool unnamedOnly) {
    size_t at = Get<uint16_t>(record, offsetof(FILE_RECORD_HEADER, FirstAttributeOffset));
    while (at + sizeof(ATTR_HEADER_COMMON) <= record.size()) {
        const auto h = Get<ATTR_HEADER_COMMON>(record, at);
        if (h.TypeCode == kAttrEnd || h.Length == 0 || at + h.Length > record.size()) break;
        if (h.TypeCode == type && (!unnamedOnly || h.NameLength == 0)) return at;
        at += h.Length;
    }
    return npos;
}

size_t NtfsPatch::ResidentValue(const std::vector<uint8_t>& record, size_t attribute) {
    const auto h = Get<ATTR_HEADER_RESIDENT>(record, attribute);
    if (h.Common.NonResident != 0) Fail("the attribute is not resident");
    return attribute + h.ValueOffset;
}

std::vector<tagDataRun_Entry> NtfsPatch::Runs(uint64_t n, uint32_t type) {
    CFileRecord record(volume_.get());
    if (!record.LoadRecord(n)) Fail("the reader cannot load record " + std::to_string(n));
    record.TypeMask = 0x7FF;
    if (!record.BuildAttributes()) Fail("the reader cannot build record " + std::to_string(n));
    CSList<CAttrBase>* list = record.Attrs(type);
    for (CAttrBase* a = list == nullptr ? nullptr : list->First(); a != nullptr; a = list->Next()) {
        const bool wanted = type == kAttrIndexAllocation ? a->AttrName() == u"$I30" : a->NameLength() == 0;
        auto* nonResident = dynamic_cast<CAttrNonResident*>(a);
        if (wanted && nonResident != nullptr) return nonResident->SortedRuns();
    }
    Fail("record " + std::to_string(n) + " has no non-resident attribute of type " + std::to_string(type));
}

uint64_t NtfsPatch::FirstIndexBlockInUse(uint64_t n) {
    const std::vector<uint8_t> record = ReadRecord(n);
    const size_t bitmap = FindAttribute(record, kAttrBitmap, false);
    if (bitmap == npos) Fail("record " + std::to_string(n) + " has no index bitmap");
    if (Get<ATTR_HEADER_COMMON>(record, bitmap).NonResident != 0) return 0;  // not needed here
    const size_t value = ResidentValue(record, bitmap);
    const uint32_t length = Get<ATTR_HEADER_RESIDENT>(record, bitmap).ValueLength;
    for (uint64_t block = 0; block < uint64_t{length} * 8; ++block) {
        if ((record[value + block / 8] >> (block % 8)) & 1) return block;
    }
    Fail("record " + std::to_string(n) + " has no index block in use");
}

std::vector<uint8_t> NtfsPatch::MappingPairs(const std::vector<std::pair<uint64_t, int64_t>>& runs) {
    std::vector<uint8_t> pairs;
    int64_t previous = 0;
    for (const auto& [count, lcn] : runs) {
        std::vector<uint8_t> length, offset;
        for (uint64_t v = count; v != 0 || length.empty(); v >>= 8) length.push_back(static_cast<uint8_t>(v));
        if (length.back() & 0x80) length.push_back(0);
        // The offset from the previous run, signed, in as few bytes as hold it.
        for (int64_t v = lcn - previous;;) {
            offset.push_back(static_cast<uint8_t>(v));
            const bool negative = (offset.back() & 0x80) != 0;
            v >>= 8;
            if ((v == 0 && !negative) || (v == -1 && negative)) break;
        }
        pairs.push_back(static_cast<uint8_t>(offset.size() << 4 | length.size()));
        pairs.insert(pairs.end(), length.begin(), length.end());
        pairs.insert(pairs.end(), offset.begin(), offset.end());
        previous = lcn;
    }
    pairs.push_back(0);
    return pairs;
}

void NtfsPatch::SetRuns(uint64_t n, const std::vector<std::pair<uint64_t, int64_t>>& runs) {
    EditRecord(n, [&](std::vector<uint8_t>& record) {
        const size_t data = FindAttribute(record, kAttrData);
        if (data == npos) Fail("record " + std::to_string(n) + " has no unnamed $DATA");
        const auto h = Get<ATTR_HEADER_NONRESIDENT>(record, data);
        if (h.Common.NonResident == 0) Fail("the $DATA of record " + std::to_string(n) + " is resident");
        const std::vector<uint8_t> pairs = MappingPairs(runs);
        if (h.MappingPairsOffset + pairs.size() > h.Common.Length) Fail("the new mapping pairs do not fit");
        std::memset(record.data() + data + h.MappingPairsOffset, 0, h.Common.Length - h.MappingPairsOffset);
        std::memcpy(record.data() + data + h.MappingPairsOffset, pairs.data(), pairs.size());
    });
}

std::string NtfsPatch::ReadAt(uint64_t offset, size_t bytes) {
    std::ifstream f(image_, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    std::string out(bytes, '\0');
    f.read(out.data(), static_cast<std::streamsize>(bytes));
    if (static_cast<size_t>(f.gcount()) != bytes) Fail("short read at " + std::to_string(offset));
    return out;
}

void NtfsPatch::WriteAt(uint64_t offset, const std::string& bytes) {
    std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.flush();
    if (!f.good()) Fail("cannot write at " + std::to_string(offset) + " of " + image_);
}

}  // namespace testsupport
