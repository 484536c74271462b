// The checks that refuse a damaged or unclean volume after the walk: runs at cluster 0 or
// past the end, clusters claimed twice (but not by the hard links of one file), data longer
// than its clusters, sparse or compressed data by the attribute's own flags, and the dirty
// flag of $Volume.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/FileTree.h"
#include "engine/VolumeCheck.h"
#include "tests/support/CraftedTree.h"

namespace {

using namespace testsupport::crafted;

const std::string kAdvice =
    " The volume may be damaged: please check it (chkdsk /f on Windows, ntfsfix on Linux) and try again.";
constexpr uint64_t kDocs = 25;
constexpr int64_t kData = kFirstFreeLcn + 100;  // where the tests' file data lies

using Runs = std::vector<std::pair<uint64_t, int64_t>>;

// Unnamed $DATA of `size` bytes with these runs (count, LCN; -1 sparse) from VCN firstVcn on.
Bytes DataWithRuns(uint64_t size, const Runs& runs, uint64_t firstVcn = 0) {
    uint64_t clusters = 0;
    for (const auto& r : runs) clusters += r.first;
    return NonResidentAttr(kAttrData, MappingPairs(runs), firstVcn, firstVcn + clusters - 1, size);
}

// Root files a.bin (record 30) and, when given, b.bin (record 31) with these data attributes.
TreeImage TwoFiles(const Bytes& a, const Bytes* b = nullptr) {
    TreeImage image;
    std::vector<Bytes> keys{Key(30, u"a.bin")};
    if (b != nullptr) keys.push_back(Key(31, u"b.bin"));
    image.PutRoot(keys);
    image.PutFile(30, {NameAttr(u"a.bin")}, {a});
    if (b != nullptr) image.PutFile(31, {NameAttr(u"b.bin")}, {*b});
    return image;
}

// The refusal of CheckTree after a successful walk; "" when the tree passes.
std::string CheckRefusal(TreeImage& image, uint64_t deviceClusters = 0) {
    WalkedTree walked(image.Image());
    if (deviceClusters != 0) walked.device.Bytes().resize(deviceClusters * 4096);
    walked.Walk();
    try {
        CheckTree(walked.tree.Get(), &walked.volume);
    } catch (const SimpleException& e) {
        EXPECT_EQ(e.Kind, 1);
        return RefusalOf([&] { throw e; });
    }
    return "";
}

TEST(VolumeCheck, SoundTreesPass) {
    // Files side by side, a resident file, a directory, and one record linked twice (its
    // clusters are reached through both links and are still one file's).
    TreeImage image;
    image.PutRoot({Key(30, u"a.bin"), Key(31, u"b.bin"), Key(32, u"small.txt"), Key(33, u"linked.bin"),
                   DirKey(kDocs, u"Docs")});
    image.PutDirectory(kDocs, {NameAttr(u"Docs")}, {Key(33, u"again.bin", kNamespaceWin32, kDocs)});
    image.PutFile(30, {NameAttr(u"a.bin")}, {DataWithRuns(8192, {{2, kData}})});
    image.PutFile(31, {NameAttr(u"b.bin")}, {DataWithRuns(4097, {{1, kData + 2}, {1, kData + 10}})});
    image.PutFile(32, {NameAttr(u"small.txt")}, {ResidentAttr(kAttrData, Bytes(100, 7))});
    image.PutFile(33, {NameAttr(u"linked.bin"), NameAttr(u"again.bin", kNamespaceWin32, kDocs)},
                  {DataWithRuns(100, {{1, kData + 20}})}, 0, kRecordInUse, 2);
    EXPECT_EQ(CheckRefusal(image), "");
}

TEST(VolumeCheck, DamagedDataIsRefused) {
    struct Case {
        const char* what;
        Bytes a;
        std::optional<Bytes> b;
        std::string message;
        uint64_t deviceClusters = 0;
    };
    const Bytes compressed = [] {
        Bytes d = DataWithRuns(4096, {{1, kData}});
        Put<uint16_t>(&d, offsetof(ATTR_HEADER_COMMON, Flags), 0x0001);
        return d;
    }();
    const Bytes sparseFlag = [] {
        Bytes d = DataWithRuns(4096, {{1, kData}});
        Put<uint16_t>(&d, offsetof(ATTR_HEADER_COMMON, Flags), 0x8000);
        return d;
    }();
    const std::vector<Case> cases = {
        {"two files claim a cluster", DataWithRuns(8192, {{2, kData}}), DataWithRuns(8192, {{2, kData + 1}}),
         "The files '/a.bin' and '/b.bin' both use cluster 301 of the volume." + kAdvice},
        {"one file claims a cluster twice", DataWithRuns(16384, {{2, kData}, {2, kData + 1}}), std::nullopt,
         "The data runs of '/a.bin' (file record 30) use cluster 301 twice." + kAdvice},
        {"a run on the boot sector", DataWithRuns(8192, {{1, kData}, {1, 0}}), std::nullopt,
         "The data of '/a.bin' (file record 30) is placed on the boot sector of the volume." + kAdvice},
        {"a run past the volume's end", DataWithRuns(8192, {{2, 1023}}), std::nullopt,
         "The data runs of '/a.bin' (file record 30) are damaged or reach beyond the end of the volume." + kAdvice},
        {"a run past the device's end", DataWithRuns(8192, {{2, 600}}), std::nullopt,
         "The data runs of '/a.bin' (file record 30) reach beyond the end of the volume." + kAdvice, 512},
        {"data longer than its clusters", DataWithRuns(3 * 4096 + 1, {{3, kData}}), std::nullopt,
         "The file '/a.bin' (file record 30) has 12289 bytes of data, but its clusters hold only 12288." + kAdvice},
        {"runs that do not start at the first cluster", DataWithRuns(4096, {{2, kData}}, 2), std::nullopt,
         "The file '/a.bin' (file record 30) has 4096 bytes of data, but its clusters hold only 0." + kAdvice},
        {"a sparse run", DataWithRuns(16384, {{2, kData}, {2, -1}}), std::nullopt,
         "The file '/a.bin' is a sparse file, FAT32 is not supported."},
        {"sparse by the attribute's flags", sparseFlag, std::nullopt,
         "The file '/a.bin' is a sparse file, FAT32 is not supported."},
        {"compressed by the attribute's flags", compressed, std::nullopt,
         "The file '/a.bin' contain Compressed or Encrypted attribute, please remove these attributes and retry!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TreeImage image = TwoFiles(c.a, c.b ? &*c.b : nullptr);
        EXPECT_EQ(CheckRefusal(image, c.deviceClusters), c.message);
    }
}

TEST(VolumeCheck, DirtyOrUnreadableVolumeInformationIsRefused) {
    auto volumeRecord = [](TreeImage& image, const std::vector<Bytes>& attributes) {
        image.Image().PutRecord(kVolumeRecord, FileRecord(kTreeRecordBytes, attributes));
    };
    Bytes dirtyInfo = VolumeInfoValue(3, 1);
    Put<uint16_t>(&dirtyInfo, offsetof(VOLUME_INFORMATION, Flags), kVolumeDirty | 0x0010);
    Bytes otherFlags = VolumeInfoValue(3, 1);
    Put<uint16_t>(&otherFlags, offsetof(VOLUME_INFORMATION, Flags), 0x0010);

    struct Case {
        const char* what;
        std::vector<Bytes> attributes;
        std::string message;  // "" passes
    };
    const std::vector<Case> cases = {
        {"clean", {ResidentAttr(kAttrVolumeInformation, VolumeInfoValue(3, 1))}, ""},
        {"other flags only", {ResidentAttr(kAttrVolumeInformation, otherFlags)}, ""},
        {"dirty", {ResidentAttr(kAttrVolumeInformation, dirtyInfo)},
         "The NTFS volume is marked dirty: it was not unmounted cleanly, or errors were found on it. Please check it "
         "first (chkdsk /f on Windows, ntfsfix -d on Linux) and try again."},
        {"no volume information", {ResidentAttr(kAttrVolumeName, Bytes(4, 0))},
         "The volume information of the NTFS volume (file record 3) cannot be read." + kAdvice},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TreeImage image;
        image.PutRoot({});
        volumeRecord(image, c.attributes);
        WalkedTree walked(image.Image());
        if (c.message.empty()) {
            EXPECT_NO_THROW(CheckVolumeClean(&walked.volume));
        } else {
            EXPECT_EQ(RefusalOf([&] { CheckVolumeClean(&walked.volume); }), c.message);
        }
    }

    // Record 3 that cannot be read at all.
    TreeImage image;
    image.Image().PutRecord(kVolumeRecord, Bytes(kTreeRecordBytes, 0));
    WalkedTree walked(image.Image());
    EXPECT_EQ(RefusalOf([&] { CheckVolumeClean(&walked.volume); }),
              "The volume information of the NTFS volume (file record 3) cannot be read." + kAdvice);
}

}  // namespace
