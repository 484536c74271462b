#include "engine/VolumeCheck.h"

#include <algorithm>
#include <bit>
#include <string>
#include <unordered_set>
#include <vector>

#include "device/CVolumeDevice.h"
#include "engine/FileData.h"
#include "engine/FileTree.h"
#include "engine/Refusal.h"
#include "ntfs/CNTFSVolume.h"

namespace {

// Flags of an attribute header (ATTR_HEADER_COMMON.Flags).
constexpr uint16_t kAttrFlagCompressionMask = 0x00FF;
constexpr uint16_t kAttrFlagEncrypted = 0x4000;
constexpr uint16_t kAttrFlagSparse = 0x8000;

// $VOLUME_INFORMATION and $ATTRIBUTE_LIST, for reading $Volume.
constexpr uint32_t kVolumeInfoTypeMask = 0x42;

// One bit per volume cluster.
class ClusterBits {
public:
    explicit ClusterBits(uint64_t clusters) : words_(static_cast<size_t>((clusters + 63) / 64), 0) {}

    // Sets the bits of [first, first + count), a word at a time. False when one of them was
    // already set; *taken then receives the first such cluster.
    bool Claim(uint64_t first, uint64_t count, uint64_t* taken) {
        const uint64_t end = first + count;
        for (uint64_t c = first; c < end;) {
            const unsigned bit = static_cast<unsigned>(c % 64);
            const uint64_t n = std::min<uint64_t>(64 - bit, end - c);
            const uint64_t mask = (n == 64 ? ~uint64_t{0} : ((uint64_t{1} << n) - 1)) << bit;
            uint64_t& word = words_[static_cast<size_t>(c / 64)];
            if ((word & mask) != 0) {
                *taken = c - bit + static_cast<uint64_t>(std::countr_zero(word & mask));
                return false;
            }
            word |= mask;
            c += n;
        }
        return true;
    }

private:
    std::vector<uint64_t> words_;
};

// Clusters that data may use: the volume as its boot sector describes it, cut to the device
// when the device is shorter.
uint64_t UsableClusters(CNTFSVolume* volume) {
    uint64_t clusters = volume->VolumeClusters();
    if (volume->Device != nullptr && volume->ClusterBytes != 0) {
        clusters = std::min(clusters, volume->Device->SectorCount() * 512 / volume->ClusterBytes);
    }
    return clusters;
}

uint16_t LinkCount(CFileRecord* record) {
    return ntfs::LoadLe<uint16_t>(record->RecordBuffer.get() + offsetof(FILE_RECORD_HEADER, LinkCount));
}

// The path of the first file other than `self` whose runs hold cluster `cluster`; empty when
// there is none.
std::u16string OwnerOf(FILE_ITEM* root, uint64_t cluster, uint64_t self) {
    std::u16string owner;
    VisitTree(root, [&](FILE_ITEM* item, const std::u16string& path) {
        if (!owner.empty() || item->FileRecord == nullptr || item->FileRecord->RecordNumber == self) return;
        CAttrNonResident* data = NonResidentData(item);
        if (data == nullptr) return;
        for (tagDataRun_Entry* run = data->Runs.First(); run != nullptr; run = data->Runs.Next()) {
            if (run->Lcn >= 0 && cluster >= static_cast<uint64_t>(run->Lcn) &&
                cluster - static_cast<uint64_t>(run->Lcn) < run->ClusterCount) {
                owner = path;
                return;
            }
        }
    });
    return owner;
}

// The path of `target` below `root`, for a message; empty when it is not in the tree.
std::u16string PathOf(FILE_ITEM* root, const FILE_ITEM* target) {
    std::u16string found;
    VisitTree(root, [&](FILE_ITEM* item, const std::u16string& path) {
        if (item == target && found.empty()) found = path;
    });
    return found;
}

// Checks one file's unnamed data (steps 1 to 4 of CheckTree). The file's path is built only
// for a refusal: building one per file cost a tenth of the whole walk.
void CheckFileData(FILE_ITEM* root, FILE_ITEM* item, uint64_t clusters, ClusterBits* bits) {
    CFileRecord* record = item->FileRecord.get();
    CAttrBase* data = record->FirstUnnamedData();
    if (data == nullptr) return;
    const long long number = static_cast<long long>(record->RecordNumber);
    auto shown = [&] { return DisplayPath(PathOf(root, item)); };

    // 1. What the attribute itself says about its form.
    const uint16_t flags = ntfs::LoadLe<uint16_t>(data->Header + offsetof(ATTR_HEADER_COMMON, Flags));
    if ((flags & (kAttrFlagCompressionMask | kAttrFlagEncrypted)) != 0) {
        ThrowRefusal(u"The file '%s' contain Compressed or Encrypted attribute, please remove these attributes and "
                     u"retry!",
                     shown().c_str());
    }
    if ((flags & kAttrFlagSparse) != 0) {
        ThrowRefusal(u"The file '%s' is a sparse file, FAT32 is not supported.", shown().c_str());
    }
    if (!data->IsNonResident()) return;
    auto* nonResident = static_cast<CAttrNonResident*>(data);

    // 2, 3. Runs in VCN order from the first cluster, each on the volume.
    if (!nonResident->RunsValid()) {
        ThrowDamaged(u"The data runs of '%s' (file record %I64d) are damaged or reach beyond the end of the volume.",
                     shown().c_str(), number);
    }
    uint64_t covered = 0;  // clusters covered from VCN 0 without a gap
    bool gap = nonResident->FirstVcn() != 0;
    for (tagDataRun_Entry* run = nonResident->Runs.First(); run != nullptr; run = nonResident->Runs.Next()) {
        if (run->Lcn < 0) {
            ThrowRefusal(u"The file '%s' is a sparse file, FAT32 is not supported.", shown().c_str());
        }
        const auto lcn = static_cast<uint64_t>(run->Lcn);
        if (lcn == 0) {
            ThrowDamaged(u"The data of '%s' (file record %I64d) is placed on the boot sector of the volume.",
                         shown().c_str(), number);
        }
        if (!ntfs::RangeFits(lcn, run->ClusterCount, clusters)) {
            ThrowDamaged(u"The data runs of '%s' (file record %I64d) reach beyond the end of the volume.",
                         shown().c_str(), number);
        }
        if (!gap && run->VcnFrom == covered) {
            covered += run->ClusterCount;
        } else {
            gap = true;
        }

        // 4. Each cluster once.
        uint64_t taken = 0;
        if (!bits->Claim(lcn, run->ClusterCount, &taken)) {
            const std::u16string other = OwnerOf(root, taken, record->RecordNumber);
            if (other.empty()) {
                ThrowDamaged(u"The data runs of '%s' (file record %I64d) use cluster %I64d twice.", shown().c_str(),
                             number, static_cast<long long>(taken));
            }
            ThrowDamaged(u"The files '%s' and '%s' both use cluster %I64d of the volume.",
                         DisplayPath(other).c_str(), shown().c_str(), static_cast<long long>(taken));
        }
    }
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(covered, uint64_t{data->ClusterBytes}, &bytes)) bytes = UINT64_MAX;
    const uint64_t length = data->DataLength();
    if (bytes < length) {
        ThrowDamaged(u"The file '%s' (file record %I64d) has %I64d bytes of data, but its clusters hold only %I64d.",
                     shown().c_str(), number, static_cast<long long>(length), static_cast<long long>(bytes));
    }
}

}  // namespace

void CheckVolumeClean(CNTFSVolume* volume) {
    // 1. $Volume with its $VOLUME_INFORMATION.
    CFileRecord record(volume);
    CAttr_VolInfo* info = nullptr;
    if (record.LoadRecord(kVolumeRecord)) {
        record.TypeMask = kVolumeInfoTypeMask;
        record.BuildAttributes();
        info = static_cast<CAttr_VolInfo*>(record.Attrs(kAttrVolumeInformation)->First());
    }
    if (info == nullptr || info->ValueLength < sizeof(VOLUME_INFORMATION)) {
        ThrowDamaged(u"The volume information of the NTFS volume (file record 3) cannot be read.");
    }

    // 2. The dirty flag.
    const auto value = ntfs::LoadStruct<VOLUME_INFORMATION>(info->InfoValue);
    if ((value.Flags & kVolumeDirty) != 0) {
        ThrowRefusal(u"The NTFS volume is marked dirty: it was not unmounted cleanly, or errors were found on it. "
                     u"Please check it first (chkdsk /f on Windows, ntfsfix -d on Linux) and try again.");
    }
}

void CheckTree(FILE_ITEM* root, CNTFSVolume* volume) {
    // 1. One bit per cluster of the volume.
    const uint64_t clusters = UsableClusters(volume);
    ClusterBits bits(clusters);

    // 2. Every file in tree order; a record reached through several hard links once.
    std::unordered_set<uint64_t> linked;
    if (root == nullptr) return;
    ForEachItem(root->FirstChild, [&](FILE_ITEM* item) {
        if (ItemIsDirectory(item)) return;
        CFileRecord* record = item->FileRecord.get();
        if (LinkCount(record) > 1 && !linked.insert(record->RecordNumber).second) return;
        CheckFileData(root, item, clusters, &bits);
    });
}
