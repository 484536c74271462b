// CNTFSVolume: boot sector checks, direct record reads, the volume version and reading a
// fragmented MFT through $MFT's own runs (also when they continue in extension records).

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"
#include "tests/support/CraftedNtfs.h"
#include "tests/support/MemoryDevice.h"

namespace {

using namespace testsupport::crafted;
using testsupport::MemoryDevice;

// A record that carries its identity in a $FILE_NAME, so a test can tell which copy was read.
Bytes NamedRecord(uint32_t recordSize, const std::u16string& name) {
    return FileRecord(recordSize, {ResidentAttr(kAttrFileName, FileNameValue(name, kNamespaceWin32))});
}

std::u16string NameOfRecord(CNTFSVolume* volume, uint64_t n) {
    CFileRecord record(volume);
    if (!record.LoadRecord(n)) return u"<unreadable>";
    record.TypeMask = 0x04;
    if (!record.BuildAttributes()) return u"<unbuilt>";
    CAttr_FileName* name = record.FileNameInNamespace(kNamespaceWin32);
    return name == nullptr ? u"<nameless>" : name->Name();
}

TEST(NtfsVolume, RefusedBootSectorsLeaveNoGeometryAndReadNoRecord) {
    struct Case {
        const char* what;
        std::function<void(Bytes*)> patch;
    };
    const Case cases[] = {
        {"OEM id NTFS + 3 spaces + X", [](Bytes* b) { (*b)[0x0A] = 'X'; }},
        {"OEM id NTFS + NULs", [](Bytes* b) { std::memset(b->data() + 7, 0, 4); }},
        {"0 bytes per sector", [](Bytes* b) { Put<uint16_t>(b, 0x0B, 0); }},
        {"256 bytes per sector", [](Bytes* b) { Put<uint16_t>(b, 0x0B, 256); }},
        {"1000 bytes per sector", [](Bytes* b) { Put<uint16_t>(b, 0x0B, 1000); }},
        {"8192 bytes per sector", [](Bytes* b) { Put<uint16_t>(b, 0x0B, 8192); }},
        {"0 sectors per cluster", [](Bytes* b) { (*b)[0x0D] = 0; }},
        {"3 sectors per cluster", [](Bytes* b) { (*b)[0x0D] = 3; }},
        {"sectors per cluster 0xF4", [](Bytes* b) { (*b)[0x0D] = 0xF4; }},
        {"record size 256 (0xF8)", [](Bytes* b) { (*b)[0x40] = 0xF8; }},
        {"record size 1 (0x00)", [](Bytes* b) { (*b)[0x40] = 0x00; }},
        {"record size 2^128 (0x80)", [](Bytes* b) { (*b)[0x40] = 0x80; }},
        {"record size 3 clusters", [](Bytes* b) { (*b)[0x40] = 0x03; }},
        {"record size 127 clusters", [](Bytes* b) { (*b)[0x40] = 0x7F; }},
        {"index block 256 (0xF8)", [](Bytes* b) { (*b)[0x44] = 0xF8; }},
        {"index block 2^-127 (0x81)", [](Bytes* b) { (*b)[0x44] = 0x81; }},
        {"MFT beyond the volume", [](Bytes* b) { Put<uint64_t>(b, 0x30, 1000); }},
        {"MFT offset wraps 64 bits", [](Bytes* b) { Put<uint64_t>(b, 0x30, ~0ULL / 2); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Volume image;
        image.PutVersion(3, 1);
        image.PutRecord(5, NamedRecord(1024, u"root"));
        Bytes boot = BootSector(image.Geom());
        c.patch(&boot);
        image.Put(0, boot);

        MemoryDevice device(image.Image());
        CNTFSVolume volume(&device);
        EXPECT_FALSE(volume.IsVolumeOK());
        EXPECT_NE(volume.RefusalReason(), nullptr);
        EXPECT_EQ(volume.RecordSize, 0u);
        EXPECT_EQ(volume.ClusterBytes, 0u);
        EXPECT_EQ(volume.SectorBytes, 0u);
        EXPECT_EQ(volume.IndexBlockBytes, 0u);
        EXPECT_EQ(volume.MftOffset, 0u);
        EXPECT_EQ(volume.TotalSectors, 0u);
        EXPECT_EQ(volume.NtfsVersion, 0u);
        EXPECT_EQ(volume.MftOwnRecord, nullptr);

        // Nothing but the boot sector was read, and no record can be read now.
        ASSERT_EQ(device.Reads().size(), 1u);
        EXPECT_EQ(device.Reads()[0].first, 0u);
        EXPECT_EQ(volume.FetchRecordBytes(5), nullptr);
        CFileRecord record(&volume);
        EXPECT_FALSE(record.LoadRecord(5));
        EXPECT_EQ(record.RecordNumber, ~0ULL);
        EXPECT_EQ(device.Reads().size(), 1u);
    }
}

TEST(NtfsVolume, UnreadableBootSectorIsRefused) {
    Volume image;
    MemoryDevice device(image.Image());
    device.FailReadsTouching(0, 1);
    CNTFSVolume volume(&device);
    EXPECT_FALSE(volume.IsVolumeOK());
    EXPECT_EQ(volume.FetchRecordBytes(0), nullptr);
}

TEST(NtfsVolume, GeometryFromTheBootSector) {
    struct Case {
        uint16_t sectorBytes;
        uint8_t sectorsPerCluster;
        int8_t recordByte;
        int8_t indexByte;
        uint32_t clusterBytes, recordSize, indexBlockBytes;
    };
    const Case cases[] = {
        {512, 8, -10, 1, 4096, 1024, 4096},         // 0xF6: 2^10
        {512, 8, 1, -12, 4096, 4096, 4096},         // one cluster; 0xF4: 2^12
        {512, 1, 2, 8, 512, 1024, 4096},            // two and eight 512-byte clusters
        {4096, 1, 1, 1, 4096, 4096, 4096},          // 4096-byte sectors
        {512, 128, -10, -12, 65536, 1024, 4096},    // 64 KiB clusters
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sectorBytes << "/" << int{c.sectorsPerCluster});
        Geometry g;
        g.sectorBytes = c.sectorBytes;
        g.sectorsPerCluster = c.sectorsPerCluster;
        g.clustersPerRecord = c.recordByte;
        g.clustersPerIndexBlock = c.indexByte;
        g.mftLcn = 8;
        g.clusters = 64;
        Volume image(g);
        MemoryDevice device(image.Image());
        CNTFSVolume volume(&device);
        ASSERT_TRUE(volume.IsVolumeOK()) << volume.RefusalReason();
        EXPECT_EQ(volume.RefusalReason(), nullptr);
        EXPECT_EQ(volume.SectorBytes, c.sectorBytes);
        EXPECT_EQ(volume.ClusterBytes, c.clusterBytes);
        EXPECT_EQ(volume.RecordSize, c.recordSize);
        EXPECT_EQ(volume.IndexBlockBytes, c.indexBlockBytes);
        EXPECT_EQ(volume.MftOffset, uint64_t{8} * c.clusterBytes);
        EXPECT_EQ(volume.TotalSectors, uint64_t{64} * c.sectorsPerCluster);
        // No $Volume record: no version, records are read contiguously.
        EXPECT_EQ(volume.NtfsVersion, 0u);
        EXPECT_EQ(volume.MftOwnRecord, nullptr);
    }
}

// Serves a boot sector at sector 0 and zeros everywhere else; records every read.
class SparseDevice : public CVolumeDevice {
public:
    explicit SparseDevice(Bytes boot) : boot_(std::move(boot)) {}
    int ReadSectors(void* buffer, uint64_t first, uint64_t count) override {
        reads.push_back({first, static_cast<uint32_t>(count)});
        std::memset(buffer, 0, count * 512);
        if (first == 0) std::memcpy(buffer, boot_.data(), 512);
        return 1;
    }
    std::vector<MemoryDevice::Read> reads;

private:
    Bytes boot_;
};

TEST(NtfsVolume, DirectRecordReadAtSixtyFourBitOffset) {
    Geometry g;
    g.mftLcn = (uint64_t{3} << 30) / 4096;  // MFT at 3 GiB
    g.clusters = uint64_t{4} << 20;          // a 16 GiB volume
    SparseDevice device(BootSector(g));
    CNTFSVolume volume(&device);
    ASSERT_TRUE(volume.IsVolumeOK());
    EXPECT_EQ(volume.MftOffset, uint64_t{3221225472});

    device.reads.clear();
    EXPECT_NE(volume.FetchRecordBytes(5), nullptr);
    ASSERT_EQ(device.reads.size(), 1u);
    EXPECT_EQ(device.reads[0].first, 6291466u);
    EXPECT_EQ(device.reads[0].count, 2u);
    // Record numbers are 48-bit.
    EXPECT_EQ(volume.FetchRecordBytes(uint64_t{1} << 48), nullptr);
}

TEST(NtfsVolume, FailedRecordReadLeavesNoBuffer) {
    Volume image;
    image.PutRecord(5, NamedRecord(1024, u"root"));
    MemoryDevice device(image.Image());
    CNTFSVolume volume(&device);
    ASSERT_TRUE(volume.IsVolumeOK());
    device.FailReadsTouching((image.MftOffset() + 5 * 1024) / 512 + 1, 1);
    EXPECT_EQ(volume.FetchRecordBytes(5), nullptr);
    CFileRecord record(&volume);
    EXPECT_FALSE(record.LoadRecord(5));
    EXPECT_EQ(record.RecordNumber, ~0ULL);
    EXPECT_EQ(record.RecordBuffer, nullptr);
}

TEST(NtfsVolume, VersionBelowThreeReadsTheMftAsOneArea) {
    Volume image;
    image.PutVersion(1, 2);
    // A record 0 whose runs would lead elsewhere, were they used.
    image.PutRecord(0, FileRecord(1024, {NonResidentAttr(kAttrData, MappingPairs({{4, 4}, {4, 100}}), 0, 7, 32768)}));
    MemoryDevice device(image.Image());
    CNTFSVolume volume(&device);
    ASSERT_TRUE(volume.IsVolumeOK());
    EXPECT_EQ(volume.NtfsVersion, 0x0102);
    EXPECT_EQ(volume.MftOwnRecord, nullptr);
    EXPECT_EQ(volume.MftOwnData, nullptr);

    device.ClearReads();
    volume.FetchRecordBytes(5000);  // beyond this small image: only where it reads matters
    ASSERT_EQ(device.Reads().size(), 1u);
    EXPECT_EQ(device.Reads()[0].first, (image.MftOffset() + 5000 * 1024) / 512);
    EXPECT_EQ(device.Reads()[0].count, 2u);
}

// $MFT in two extents: records 0-15 at LCN 4 (the boot sector's MFT), 16-31 at LCN 100.
struct FragmentedMft {
    Volume image;
    FragmentedMft(uint64_t dataSize = 32 * 1024) {
        image.PutVersion(3, 1);
        image.PutRecord(0, FileRecord(1024, {ResidentAttr(kAttrStandardInformation, StdInfoValue()),
                                             NonResidentAttr(kAttrData, MappingPairs({{4, 4}, {4, 100}}), 0, 7,
                                                             dataSize)}));
        image.PutRecord(15, NamedRecord(1024, u"fifteen"));
        // Where a contiguous MFT would have records 16 and 19: decoys.
        image.PutRecord(16, NamedRecord(1024, u"decoy16"));
        image.PutRecord(19, NamedRecord(1024, u"decoy19"));
        image.Put(100 * 4096 + 0 * 1024, NamedRecord(1024, u"sixteen"));
        image.Put(100 * 4096 + 3 * 1024, NamedRecord(1024, u"nineteen"));
        image.Put(100 * 4096 + 4 * 1024, NamedRecord(1024, u"twenty"));
    }
};

TEST(NtfsVolume, FragmentedMftIsReadThroughItsRuns) {
    FragmentedMft mft;
    MemoryDevice device(mft.image.Image());
    CNTFSVolume volume(&device);
    ASSERT_TRUE(volume.IsVolumeOK());
    EXPECT_EQ(volume.NtfsVersion, 0x0301);
    ASSERT_NE(volume.MftOwnData, nullptr);
    EXPECT_EQ(static_cast<CAttrNonResident*>(volume.MftOwnData)->Runs.Count(), 2);

    EXPECT_EQ(NameOfRecord(&volume, 15), u"fifteen");  // below 16: always direct
    EXPECT_EQ(NameOfRecord(&volume, 16), u"sixteen");
    EXPECT_EQ(NameOfRecord(&volume, 19), u"nineteen");
    EXPECT_EQ(NameOfRecord(&volume, 20), u"twenty");
    EXPECT_EQ(NameOfRecord(&volume, 32), u"<unreadable>");  // beyond $MFT's data

    // One device request per record read through the runs.
    device.ClearReads();
    EXPECT_NE(volume.FetchRecordBytes(19), nullptr);
    ASSERT_EQ(device.Reads().size(), 1u);
    EXPECT_EQ(device.Reads()[0].first, (100 * 4096 + 3 * 1024) / 512);
    EXPECT_EQ(device.Reads()[0].count, 2u);
}

TEST(NtfsVolume, RecordCutShortByMftDataSizeIsNotRead) {
    FragmentedMft mft(20 * 1024 + 512);  // the data ends half-way through record 20
    MemoryDevice device(mft.image.Image());
    CNTFSVolume volume(&device);
    ASSERT_NE(volume.MftOwnData, nullptr);
    EXPECT_NE(volume.FetchRecordBytes(19), nullptr);
    EXPECT_EQ(volume.FetchRecordBytes(20), nullptr);
}

TEST(NtfsVolume, MftDataContinuedInExtensionRecords) {
    // $MFT's $DATA in three extents: VCN 0-3 in record 0, 4-7 in record 17, 8-11 in
    // record 18. Record 17 is read before any extension is known, directly; record 18 only
    // through the runs of the first two extents (its direct place holds nothing).
    Volume image;
    image.PutVersion(3, 1);
    const Bytes list = Concat(Concat(AttrListEntry(kAttrStandardInformation, 0), AttrListEntry(kAttrData, 0, 0)),
                              Concat(AttrListEntry(kAttrData, 17, 4), AttrListEntry(kAttrData, 18, 8)));
    image.PutRecord(0, FileRecord(1024, {ResidentAttr(kAttrStandardInformation, StdInfoValue()),
                                         ResidentAttr(kAttrAttributeList, list),
                                         NonResidentAttr(kAttrData, MappingPairs({{4, 4}}), 0, 3, 48 * 1024)}));
    const Bytes extent2 = FileRecord(1024, {NonResidentAttr(kAttrData, MappingPairs({{4, 100}}), 4, 7, 48 * 1024)});
    const Bytes extent3 = FileRecord(1024, {NonResidentAttr(kAttrData, MappingPairs({{4, 200}}), 8, 11, 48 * 1024)});
    image.PutRecord(17, extent2);                 // the direct place of record 17
    image.Put(100 * 4096 + 1 * 1024, extent2);    // and its place by the runs
    image.Put(100 * 4096 + 2 * 1024, extent3);    // record 18: by the runs only
    image.Put(200 * 4096 + 8 * 1024, NamedRecord(1024, u"forty"));

    MemoryDevice device(image.Image());
    CNTFSVolume volume(&device);
    ASSERT_NE(volume.MftOwnData, nullptr);
    auto* data = static_cast<CAttrNonResident*>(volume.MftOwnData);
    EXPECT_EQ(volume.MftOwnRecord->Attrs(kAttrData)->Count(), 1);
    EXPECT_EQ(data->LastVcn(), 11u);
    std::vector<std::pair<uint64_t, int64_t>> runs;
    for (tagDataRun_Entry* r = data->Runs.First(); r != nullptr; r = data->Runs.Next()) {
        runs.emplace_back(r->VcnFrom, r->Lcn);
    }
    EXPECT_EQ(runs, (std::vector<std::pair<uint64_t, int64_t>>{{0, 4}, {4, 100}, {8, 200}}));
    EXPECT_EQ(NameOfRecord(&volume, 40), u"forty");
}

}  // namespace
