// CFileRecord: fix-ups, the attribute walk and its bounds, the type mask, attribute lists
// across extension records with the merge of split extents, and the record accessors.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"
#include "tests/support/CraftedNtfs.h"
#include "tests/support/MemoryDevice.h"

namespace {

using namespace testsupport::crafted;
using testsupport::MemoryDevice;

constexpr uint32_t kRecord = 1024;

// A crafted volume opened through the reader.
struct Opened {
    explicit Opened(Volume& image) : device(image.Image()), volume(&device) {}
    MemoryDevice device;
    CNTFSVolume volume;

    // Reads of one record's first sector since the last ClearReads.
    size_t ReadsOfRecord(uint64_t n, const Volume& image) const {
        size_t count = 0;
        for (const auto& r : device.Reads()) count += r.first == (image.MftOffset() + n * kRecord) / 512;
        return count;
    }
};

Bytes Name(const std::u16string& name, uint8_t ns) { return ResidentAttr(kAttrFileName, FileNameValue(name, ns)); }

std::vector<std::pair<uint64_t, int64_t>> RunsOf(CAttrBase* attribute) {
    std::vector<std::pair<uint64_t, int64_t>> runs;
    auto* data = static_cast<CAttrNonResident*>(attribute);
    for (tagDataRun_Entry* r = data->Runs.First(); r != nullptr; r = data->Runs.Next()) {
        runs.emplace_back(r->VcnFrom, r->Lcn);
    }
    return runs;
}

TEST(FileRecord, FixupsCoverEvery512ByteStrideWhateverTheHeaderCountSays) {
    // The saved words go back into the last word of each stride; the header's count is not
    // consulted, and 4096-byte sectors still have 512-byte strides.
    for (uint16_t sectorBytes : {512, 4096}) {
        for (uint16_t headerCount : {0, 1, 3, 9}) {
            SCOPED_TRACE(testing::Message() << sectorBytes << " byte sectors, count " << headerCount);
            Geometry g;
            g.sectorBytes = sectorBytes;
            g.sectorsPerCluster = static_cast<uint8_t>(4096 / sectorBytes);
            Volume image(g);
            // A resident value that spans the first stride's end, so the restored word is data.
            Bytes value(600, 0x5A);
            Bytes record = FileRecord(kRecord, {ResidentAttr(kAttrData, value)}, kRecordInUse, 0x1234);
            Put<uint16_t>(&record, offsetof(MULTI_SECTOR_HEADER, UsaCount), headerCount);
            image.PutRecord(20, record);
            Opened o(image);
            CFileRecord rec(&o.volume);
            ASSERT_TRUE(rec.LoadRecord(20));
            ASSERT_TRUE(rec.BuildAttributes());
            auto* data = static_cast<CAttrResident*>(rec.FirstUnnamedData());
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(Bytes(data->Value, data->Value + data->ValueLength), value);
        }
    }
}

TEST(FileRecord, DamagedStrideOrUpdateSequenceOutsideFailsTheLoad) {
    struct Case {
        const char* what;
        size_t offset;
        uint16_t value;
    };
    const Case cases[] = {
        {"second stride's last word differs", 1022, 0x7777},
        {"first stride's last word differs", 510, 0x7777},
        {"update sequence array past the record", offsetof(MULTI_SECTOR_HEADER, UsaOffset), 1020},
        {"first attribute offset past the record", offsetof(FILE_RECORD_HEADER, FirstAttributeOffset), 1022},
        {"first attribute offset inside the header", offsetof(FILE_RECORD_HEADER, FirstAttributeOffset), 0x10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Volume image;
        Bytes record = FileRecord(kRecord, {Name(u"a", kNamespaceWin32)});
        Put<uint16_t>(&record, c.offset, c.value);
        image.PutRecord(20, record);
        Opened o(image);
        CFileRecord rec(&o.volume);
        EXPECT_FALSE(rec.LoadRecord(20));
        EXPECT_EQ(rec.RecordNumber, 20u);  // read, but not usable
        EXPECT_EQ(rec.RecordBuffer, nullptr);
        EXPECT_EQ(rec.RecordFlags(), 0u);
    }
    // A wrong signature.
    Volume image;
    Bytes record = FileRecord(kRecord, {Name(u"a", kNamespaceWin32)});
    record[0] = 'B';
    image.PutRecord(20, record);
    Opened o(image);
    CFileRecord rec(&o.volume);
    EXPECT_FALSE(rec.LoadRecord(20));
    EXPECT_EQ(rec.RecordNumber, 20u);
}

TEST(FileRecord, TypeMaskSelectsWhatIsBuilt) {
    Volume image;
    image.PutRecord(20, FileRecord(kRecord, {ResidentAttr(kAttrStandardInformation, StdInfoValue()),
                                             Name(u"LONGFI~1.TXT", kNamespaceDos),
                                             Name(u"long file name.txt", kNamespaceWin32),
                                             ResidentAttr(0x50, Bytes(40, 1)),  // $SECURITY_DESCRIPTOR
                                             ResidentAttr(kAttrData, Bytes(10, 2))}));
    Opened o(image);
    CFileRecord rec(&o.volume);
    ASSERT_TRUE(rec.LoadRecord(20));
    rec.TypeMask = 0x387;
    ASSERT_TRUE(rec.BuildAttributes());
    const int expected[16] = {1, 0, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(rec.AttrLists[i].Count(), expected[i]) << "list " << i;
    EXPECT_EQ(rec.Attrs(0x50)->Count(), 0);
    EXPECT_EQ(rec.Attrs(0x55), nullptr);
    EXPECT_EQ(rec.Attrs(0x110), nullptr);

    // Building again from the same record gives the same lists (also after a wider mask).
    rec.TypeMask = 0xFFFF;
    ASSERT_TRUE(rec.BuildAttributes());
    EXPECT_EQ(rec.Attrs(0x50)->Count(), 1);
    EXPECT_EQ(rec.Attrs(kAttrFileName)->Count(), 2);
    // Only the record up to its end marker is kept.
    EXPECT_LT(rec.RecordBytes(), kRecord);
}

TEST(FileRecord, AttributeWalkEndsAtBadLengthsKeepingWhatCameBefore) {
    struct Case {
        const char* what;
        uint32_t length;  // written into the second attribute's length field
    };
    const Case cases[] = {
        {"length 0", 0},
        {"length shorter than a header", 0x10},
        {"end past the record", 2000},
        {"end just past the record", 0},  // filled in below: one byte beyond
    };
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(cases[i].what);
        Volume image;
        const Bytes first = ResidentAttr(kAttrStandardInformation, StdInfoValue());
        Bytes record = FileRecord(kRecord, {first, Name(u"name", kNamespaceWin32), ResidentAttr(kAttrData, Bytes(8))});
        const uint32_t second = FirstAttributeOffset(kRecord) + static_cast<uint32_t>(first.size());
        const uint32_t length = i == 3 ? kRecord - second + 1 : cases[i].length;
        // Patch through the fix-ups: the length field lies in the first stride.
        Put<uint32_t>(&record, second + 4, length);
        image.PutRecord(20, record);
        Opened o(image);
        CFileRecord rec(&o.volume);
        ASSERT_TRUE(rec.LoadRecord(20));
        EXPECT_TRUE(rec.BuildAttributes());
        EXPECT_EQ(rec.Attrs(kAttrStandardInformation)->Count(), 1);
        EXPECT_EQ(rec.Attrs(kAttrFileName)->Count(), 0);
        EXPECT_EQ(rec.Attrs(kAttrData)->Count(), 0);
    }
}

TEST(FileRecord, SelectedAttributeThatCannotBeBuiltFailsTheBuild) {
    struct Case {
        const char* what;
        Bytes attribute;
    };
    Bytes valuePastEnd = ResidentAttr(kAttrData, Bytes(16));
    Put<uint32_t>(&valuePastEnd, offsetof(ATTR_HEADER_RESIDENT, ValueLength), 17);
    Bytes namePastEnd = ResidentAttr(kAttrData, Bytes(16), u"s");
    Put<uint8_t>(&namePastEnd, offsetof(ATTR_HEADER_COMMON, NameLength), 40);
    Bytes shortName = ResidentAttr(kAttrFileName, FileNameValue(u"abc", kNamespaceWin32));
    Put<uint32_t>(&shortName, offsetof(ATTR_HEADER_RESIDENT, ValueLength), sizeof(FILE_NAME_VALUE) + 4);
    Bytes pairsPastEnd = NonResidentAttr(kAttrData, MappingPairs({{1, 10}}), 0, 0, 4096);
    Put<uint16_t>(&pairsPastEnd, offsetof(ATTR_HEADER_NONRESIDENT, MappingPairsOffset),
                  static_cast<uint16_t>(pairsPastEnd.size()));
    Bytes residentIndexAlloc = ResidentAttr(kAttrIndexAllocation, Bytes(8));
    Bytes nonResidentName = NonResidentAttr(kAttrFileName, MappingPairs({{1, 10}}), 0, 0, 100);
    const Case cases[] = {
        {"value past the attribute", valuePastEnd},
        {"name past the attribute", namePastEnd},
        {"$FILE_NAME value shorter than its name", shortName},
        {"$FILE_NAME value shorter than a $FILE_NAME", ResidentAttr(kAttrFileName, Bytes(0x30))},
        {"$STANDARD_INFORMATION without its flags", ResidentAttr(kAttrStandardInformation, Bytes(0x20))},
        {"$INDEX_ROOT value too short", ResidentAttr(kAttrIndexRoot, Bytes(0x18))},
        {"mapping pairs past the attribute", pairsPastEnd},
        {"resident $INDEX_ALLOCATION", residentIndexAlloc},
        {"non-resident $FILE_NAME", nonResidentName},
        {"type code below 0x10", ResidentAttr(0x08, Bytes(8))},
        {"type code 0x110", ResidentAttr(0x110, Bytes(8))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Volume image;
        image.PutRecord(20, FileRecord(kRecord, {ResidentAttr(kAttrStandardInformation, StdInfoValue()), c.attribute,
                                                 Name(u"after", kNamespaceWin32)}));
        Opened o(image);
        CFileRecord rec(&o.volume);
        ASSERT_TRUE(rec.LoadRecord(20));
        rec.TypeMask = 0xFFFFFFFF;
        EXPECT_FALSE(rec.BuildAttributes());
        EXPECT_EQ(rec.Attrs(kAttrStandardInformation)->Count(), 1);  // built before it

        // Not selected, it costs nothing.
        ASSERT_TRUE(rec.LoadRecord(20));
        rec.TypeMask = 0x01 | 0x04;
        const uint32_t type = Get<uint32_t>(c.attribute, 0);
        if (type != kAttrFileName && type != kAttrStandardInformation) {
            EXPECT_TRUE(rec.BuildAttributes());
        }
    }
}

// A file whose unnamed $DATA is split over the base record (VCN 0-9) and extension
// records 30 (VCN 10-19) and 31 (VCN 20-29), listed in the order given.
struct SplitData {
    Volume image;
    explicit SplitData(const std::vector<std::pair<uint32_t, uint64_t>>& listed) {
        Bytes list;
        for (const auto& [type, record] : listed) list = Concat(list, AttrListEntry(type, record));
        image.PutRecord(20, FileRecord(kRecord, {ResidentAttr(kAttrStandardInformation, StdInfoValue()),
                                                 ResidentAttr(kAttrAttributeList, list),
                                                 Name(u"split", kNamespaceWin32),
                                                 NonResidentAttr(kAttrData, MappingPairs({{10, 50}}), 0, 9, 30 * 4096)}));
        image.PutRecord(30, FileRecord(kRecord, {NonResidentAttr(kAttrData, MappingPairs({{10, 70}}), 10, 19, 30 * 4096),
                                                 Name(u"second name", kNamespacePosix)}));
        image.PutRecord(31, FileRecord(kRecord, {NonResidentAttr(kAttrData, MappingPairs({{10, 90}}), 20, 29, 30 * 4096)}));
    }
};

TEST(FileRecord, SplitDataIsJoinedInVcnOrderWhateverTheListOrder) {
    const std::vector<std::vector<std::pair<uint32_t, uint64_t>>> orders = {
        {{kAttrData, 20}, {kAttrData, 30}, {kAttrData, 31}},
        {{kAttrData, 31}, {kAttrData, 20}, {kAttrData, 30}},  // extents listed out of order
    };
    for (const auto& order : orders) {
        SplitData split(order);
        Opened o(split.image);
        CFileRecord rec(&o.volume);
        ASSERT_TRUE(rec.LoadRecord(20));
        rec.TypeMask = 0x387;
        ASSERT_TRUE(rec.BuildAttributes());
        ASSERT_EQ(rec.Attrs(kAttrData)->Count(), 1);
        CAttrBase* data = rec.FirstUnnamedData();
        EXPECT_EQ(RunsOf(data), (std::vector<std::pair<uint64_t, int64_t>>{{0, 50}, {10, 70}, {20, 90}}));
        // The header covers all extents, so the whole file reads.
        EXPECT_EQ(static_cast<CAttrNonResident*>(data)->LastVcn(), 29u);
        std::vector<uint8_t> buffer(4096);
        uint32_t got = 0;
        const uint64_t at = 25 * 4096;
        EXPECT_TRUE(data->ReadAt(&at, buffer.data(), 4096, &got));
        EXPECT_EQ(got, 4096u);
        // $FILE_NAME was not listed for record 30, so its name there is not brought in.
        EXPECT_EQ(rec.Attrs(kAttrFileName)->Count(), 1);
    }
}

TEST(FileRecord, ExtensionRecordNamedTwiceIsReadOnceAndAddsNothingTwice) {
    SplitData split({{kAttrFileName, 20}, {kAttrFileName, 30}, {kAttrData, 20}, {kAttrData, 30},
                     {kAttrData, 30}, {kAttrFileName, 30}, {kAttrData, 31}});
    Opened o(split.image);
    CFileRecord rec(&o.volume);
    ASSERT_TRUE(rec.LoadRecord(20));
    rec.TypeMask = 0x387;
    o.device.ClearReads();
    ASSERT_TRUE(rec.BuildAttributes());
    // Record 30 once per selected type it holds, record 31 once.
    EXPECT_EQ(o.ReadsOfRecord(30, split.image), 2u);
    EXPECT_EQ(o.ReadsOfRecord(31, split.image), 1u);
    EXPECT_EQ(RunsOf(rec.FirstUnnamedData()), (std::vector<std::pair<uint64_t, int64_t>>{{0, 50}, {10, 70}, {20, 90}}));
    ASSERT_EQ(rec.Attrs(kAttrFileName)->Count(), 2);
    EXPECT_NE(rec.FileNameInNamespace(kNamespacePosix), nullptr);
}

TEST(FileRecord, DuplicateExtentsFromTheListAreDropped) {
    // Two extension records holding the same extent (VCN 10-19) at different places: the
    // first one listed wins, and no run appears twice.
    SplitData split({{kAttrData, 20}, {kAttrData, 30}, {kAttrData, 32}, {kAttrData, 31}});
    split.image.PutRecord(32, FileRecord(kRecord, {NonResidentAttr(kAttrData, MappingPairs({{10, 110}}), 10, 19, 30 * 4096)}));
    Opened o(split.image);
    CFileRecord rec(&o.volume);
    ASSERT_TRUE(rec.LoadRecord(20));
    rec.TypeMask = 0x387;
    ASSERT_TRUE(rec.BuildAttributes());
    EXPECT_EQ(RunsOf(rec.FirstUnnamedData()), (std::vector<std::pair<uint64_t, int64_t>>{{0, 50}, {10, 70}, {20, 90}}));
}

TEST(FileRecord, AttributeListEntriesThatLoadNothing) {
    struct Case {
        const char* what;
        std::vector<std::pair<uint32_t, uint64_t>> listed;
        uint32_t mask;
    };
    const Case cases[] = {
        {"type not selected", {{kAttrData, 30}}, 0x07},
        {"the base record itself", {{kAttrData, 20}}, 0x387},
        {"an attribute list in another record", {{kAttrAttributeList, 30}}, 0x387},
        {"type 0x110", {{0x110, 30}}, 0xFFFFFFFF},
        {"type beyond 0x110 ends the walk", {{0x120, 30}, {kAttrData, 31}}, 0x387},
        {"type below 0x10 ends the walk", {{0x00, 30}, {kAttrData, 31}}, 0x387},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SplitData split(c.listed);
        Opened o(split.image);
        CFileRecord rec(&o.volume);
        ASSERT_TRUE(rec.LoadRecord(20));
        rec.TypeMask = c.mask;
        o.device.ClearReads();
        EXPECT_TRUE(rec.BuildAttributes());
        EXPECT_TRUE(o.device.Reads().empty());
    }
}

TEST(FileRecord, AttributeListWalkEndsAtAShortEntryOrAnUnreadableRecord) {
    // An entry length of 0 (would never move on) ends the walk after the first extension.
    {
        Bytes list = Concat(AttrListEntry(kAttrData, 30), AttrListEntry(kAttrData, 31));
        Put<uint16_t>(&list, 32 + offsetof(ATTR_LIST_ENTRY, EntryLength), 0);
        Volume image;
        image.PutRecord(20, FileRecord(kRecord, {ResidentAttr(kAttrAttributeList, list),
                                                 NonResidentAttr(kAttrData, MappingPairs({{10, 50}}), 0, 9, 30 * 4096)}));
        image.PutRecord(30, FileRecord(kRecord, {NonResidentAttr(kAttrData, MappingPairs({{10, 70}}), 10, 19, 30 * 4096)}));
        image.PutRecord(31, FileRecord(kRecord, {NonResidentAttr(kAttrData, MappingPairs({{10, 90}}), 20, 29, 30 * 4096)}));
        Opened o(image);
        CFileRecord rec(&o.volume);
        ASSERT_TRUE(rec.LoadRecord(20));
        EXPECT_TRUE(rec.BuildAttributes());
        EXPECT_EQ(RunsOf(rec.FirstUnnamedData()), (std::vector<std::pair<uint64_t, int64_t>>{{0, 50}, {10, 70}}));
    }
    // An extension record that cannot be read ends the walk; what came before stays.
    {
        SplitData split({{kAttrData, 30}, {kAttrData, 33}, {kAttrData, 31}});
        Opened o(split.image);
        CFileRecord rec(&o.volume);
        ASSERT_TRUE(rec.LoadRecord(20));
        EXPECT_TRUE(rec.BuildAttributes());
        EXPECT_EQ(RunsOf(rec.FirstUnnamedData()), (std::vector<std::pair<uint64_t, int64_t>>{{0, 50}, {10, 70}}));
    }
}

TEST(FileRecord, AttributeListsPointingAtEachOtherDoNotRecurse) {
    // Record 20 lists record 30 for $DATA, and record 30 carries a list naming record 20.
    Volume image;
    image.PutRecord(20, FileRecord(kRecord, {ResidentAttr(kAttrAttributeList, AttrListEntry(kAttrData, 30)),
                                             NonResidentAttr(kAttrData, MappingPairs({{10, 50}}), 0, 9, 20 * 4096)}));
    image.PutRecord(30, FileRecord(kRecord, {ResidentAttr(kAttrAttributeList, Concat(AttrListEntry(kAttrData, 20),
                                                                                     AttrListEntry(kAttrAttributeList, 20))),
                                             NonResidentAttr(kAttrData, MappingPairs({{10, 70}}), 10, 19, 20 * 4096)}));
    Opened o(image);
    CFileRecord rec(&o.volume);
    ASSERT_TRUE(rec.LoadRecord(20));
    EXPECT_TRUE(rec.BuildAttributes());
    EXPECT_EQ(RunsOf(rec.FirstUnnamedData()), (std::vector<std::pair<uint64_t, int64_t>>{{0, 50}, {10, 70}}));
}

TEST(FileRecord, NamesAndDataAccessors) {
    Volume image;
    image.PutRecord(20, FileRecord(kRecord, {ResidentAttr(kAttrStandardInformation, StdInfoValue(kFileAttrCompressed)),
                                             Name(u"READ.ME", kNamespaceDos), Name(u"Read me now.txt", kNamespaceWin32),
                                             ResidentAttr(kAttrData, Bytes(5, 1), u"stream"),
                                             ResidentAttr(kAttrData, Bytes(7, 2))}));
    image.PutRecord(21, FileRecord(kRecord, {ResidentAttr(kAttrStandardInformation, StdInfoValue(kFileAttrEncrypted)),
                                             Name(u"x", kNamespacePosix), ResidentAttr(kAttrData, Bytes(5, 1), u"only")},
                                   kRecordInUse | kRecordDirectory));
    Opened o(image);
    CFileRecord rec(&o.volume);
    ASSERT_TRUE(rec.LoadRecord(20));
    ASSERT_TRUE(rec.BuildAttributes());
    EXPECT_EQ(rec.FileNameInNamespace(kNamespaceWin32AndDos), nullptr);
    ASSERT_NE(rec.FileNameInNamespace(kNamespaceDos), nullptr);
    EXPECT_EQ(rec.FileNameInNamespace(kNamespaceDos)->Name(), u"READ.ME");
    char16_t buffer[256];
    EXPECT_EQ(rec.CopyLongName(buffer), 15);
    EXPECT_EQ(std::u16string(buffer), u"Read me now.txt");
    ASSERT_NE(rec.FirstUnnamedData(), nullptr);
    EXPECT_EQ(rec.FirstUnnamedData()->DataLength(), 7u);  // not the named stream before it
    EXPECT_EQ(rec.HasCompressedFlag(), 1);
    EXPECT_EQ(rec.HasEncryptedFlag(), 0);
    EXPECT_EQ(rec.RecordFlags(), kRecordInUse);

    ASSERT_TRUE(rec.LoadRecord(21));
    ASSERT_TRUE(rec.BuildAttributes());
    EXPECT_EQ(rec.FirstUnnamedData(), nullptr);  // only a named stream
    EXPECT_EQ(rec.HasCompressedFlag(), 0);
    EXPECT_EQ(rec.HasEncryptedFlag(), 1);
    EXPECT_EQ(rec.RecordFlags(), kRecordInUse | kRecordDirectory);
    EXPECT_EQ(rec.CopyLongName(buffer), 1);

    // Without $STANDARD_INFORMATION and names, the accessors answer "none".
    rec.TypeMask = 0x80;
    ASSERT_TRUE(rec.BuildAttributes());
    EXPECT_EQ(rec.HasCompressedFlag(), 0);
    EXPECT_EQ(rec.CopyLongName(buffer), 0);
}

}  // namespace
