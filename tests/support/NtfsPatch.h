// Patching copies of ntfs-3g images to make what no tool writes: a flag that marks a file
// encrypted, a record without a name, a broken update sequence, data runs that point past
// the end of the volume, into its boot sector or into another file, a data size larger than
// the runs hold, a dirty volume.
//
// Records are found through the $MFT's own runs (read with the engine's NTFS reader, which
// the image must satisfy before it is patched) and edited with their update sequence undone
// and applied again, so a patch may touch any byte of a record. Writes go straight to the
// image file.
//
// Threads: one object per image and test thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ntfs/CAttrBase.h"
#include "platform/RawVolume.h"

class CNTFSVolume;
class CVolumeDevice;

namespace testsupport {

class NtfsPatch {
public:
    // Opens the image (shared) and reads its geometry and the $MFT's runs. Throws
    // std::runtime_error when the reader does not accept it.
    explicit NtfsPatch(const std::string& image);
    ~NtfsPatch();
    NtfsPatch(const NtfsPatch&) = delete;
    NtfsPatch& operator=(const NtfsPatch&) = delete;

    uint32_t ClusterBytes() const;
    uint64_t VolumeClusters() const;

    // The MFT record of a path ("data/x.bin", as the Sleuth Kit lists it), looked up once in
    // the image as it was when this object was made. Throws when the path is not there.
    uint64_t RecordOf(const std::string& path);

    // Record n with its update sequence undone. Throws when it cannot be read or undone.
    std::vector<uint8_t> ReadRecord(uint64_t n);
    // Writes record n back, its update sequence applied again (the sequence number kept).
    void WriteRecord(uint64_t n, std::vector<uint8_t> bytes);
    // Reads record n, hands it to `edit`, writes it back.
    void EditRecord(uint64_t n, const std::function<void(std::vector<uint8_t>& record)>& edit);

    // The offset of the first attribute of `type` in an undone record (only unnamed ones when
    // `unnamedOnly`), or npos when there is none.
    static size_t FindAttribute(const std::vector<uint8_t>& record, uint32_t type, bool unnamedOnly = true);
    // The offset of the value of the resident attribute at `attribute`.
    static size_t ResidentValue(const std::vector<uint8_t>& record, size_t attribute);

    // The runs of the unnamed $DATA of record n (or, with type 0xA0, of its "$I30" index
    // allocation), as the reader decodes them, in VCN order.
    std::vector<tagDataRun_Entry> Runs(uint64_t n, uint32_t type = 0x80);
    // The number of the first index block of folder record n that its bitmap marks in use.
    uint64_t FirstIndexBlockInUse(uint64_t n);

    // Replaces the mapping pairs of the unnamed non-resident $DATA of record n by runs of
    // (clusters, LCN) in VCN order; the header's VCN span and sizes stay. Throws when they do
    // not fit the attribute.
    void SetRuns(uint64_t n, const std::vector<std::pair<uint64_t, int64_t>>& runs);
    // Mapping pairs for runs of (clusters, absolute LCN), ended by a 0 byte.
    static std::vector<uint8_t> MappingPairs(const std::vector<std::pair<uint64_t, int64_t>>& runs);

    // Bytes of the image at a byte offset.
    std::string ReadAt(uint64_t offset, size_t bytes);
    void WriteAt(uint64_t offset, const std::string& bytes);

    template <typename T>
    static T Get(const std::vector<uint8_t>& bytes, size_t at) {
        T value;
        std::memcpy(&value, bytes.data() + at, sizeof value);
        return value;
    }
    template <typename T>
    static void Put(std::vector<uint8_t>& bytes, size_t at, T value) {
        std::memcpy(bytes.data() + at, &value, sizeof value);
    }

    // Byte offset on the image of byte `offset` of record n.
    uint64_t RecordByteOnImage(uint64_t n, uint64_t offset);

    static constexpr size_t npos = static_cast<size_t>(-1);

private:

    std::string image_;
    platform::VolumeHandle handle_ = platform::kInvalidVolume;
    std::unique_ptr<CVolumeDevice> device_;
    std::unique_ptr<CNTFSVolume> volume_;
    std::vector<tagDataRun_Entry> mftRuns_;
    std::vector<std::pair<std::string, uint64_t>> records_;  // path -> record, read once
};

}  // namespace testsupport
