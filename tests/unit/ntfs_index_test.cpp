// Directory indexes: file names with their upper-cased copies and times, the entry walk and
// its bounds, INDX blocks, and enumerating a directory.

#include <gtest/gtest.h>

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
constexpr uint32_t kBlock = 4096;

Bytes Entry(uint64_t record, const std::u16string& name, uint8_t ns = kNamespaceWin32) {
    return IndexEntry(record | (uint64_t{1} << 48), FileNameValue(name, ns));
}

std::vector<std::u16string> Names(CSList<CIndexEntry>* entries) {
    std::vector<std::u16string> names;
    for (CIndexEntry* e = entries->First(); e != nullptr; e = entries->Next()) {
        names.push_back(e->NameValue == nullptr ? u"<none>" : e->Name());
    }
    return names;
}

// Every name a directory enumeration visits, in order.
std::vector<std::u16string> Enumerate(CNTFSVolume* volume, uint64_t directory) {
    CFileRecord record(volume);
    EXPECT_TRUE(record.LoadRecord(directory));
    record.TypeMask = 0x307;
    EXPECT_TRUE(record.BuildAttributes());
    std::vector<std::u16string> names;
    EnumerateDirectory(&record, [&](CSList<CIndexEntry>* entries) {
        for (const auto& n : Names(entries)) names.push_back(n);
        return true;
    });
    return names;
}

TEST(Index, FileNameKeepsNameAndUpperCase) {
    Bytes value = FileNameValue(u"readme.txt", kNamespaceWin32, 0x20, 1111, 2222, 3333);
    CFileName name(value.data());
    EXPECT_EQ(name.NameChars, 10);
    ASSERT_NE(name.UpperName, nullptr);
    EXPECT_EQ(std::u16string(name.UpperName.get()), u"README.TXT");
    char16_t buffer[256];
    EXPECT_EQ(name.CopyName(buffer), 10);
    EXPECT_EQ(std::u16string(buffer), u"readme.txt");
    EXPECT_EQ(name.NameSpace(), kNamespaceWin32);
    EXPECT_EQ(name.FileAttributes(), 0x20u);

    // Tests run with TZ=UTC: local times are the UTC values; unset pointers stay unset.
    uint64_t write = 0, creation = 7, access = 7;
    name.LocalTimes(&write, nullptr, nullptr);
    EXPECT_EQ(write, 1111u);
    name.LocalTimes(&write, &creation, &access);
    EXPECT_EQ(creation, 2222u);
    EXPECT_EQ(access, 3333u);

    CFileName none;
    EXPECT_EQ(none.NameChars, 0);
    EXPECT_EQ(none.UpperName, nullptr);
    EXPECT_EQ(none.CopyName(buffer), 0);
    EXPECT_EQ(std::u16string(buffer), u"readme.txt");  // untouched
    none.LocalTimes(&write);
    EXPECT_EQ(write, 0u);
}

TEST(Index, EntryKeys) {
    // No key, a key too short for a $FILE_NAME, a key too short for its name, a good key.
    Bytes noKey = IndexEntry(30, Bytes());
    Bytes shortKey = IndexEntry(30, Bytes(0x30, 0));
    Bytes cutName = IndexEntry(30, FileNameValue(u"abcdef", kNamespaceWin32));
    Put<uint16_t>(&cutName, offsetof(INDEX_ENTRY_HEADER, KeyLength), sizeof(FILE_NAME_VALUE) + 4);
    Bytes good = Entry(31, u"abc");
    for (Bytes* b : {&noKey, &shortKey, &cutName}) {
        CIndexEntry e(b->data());
        EXPECT_EQ(e.NameValue, nullptr);
        EXPECT_EQ(e.NameChars, 0);
        EXPECT_EQ(e.UpperName, nullptr);
        EXPECT_EQ(e.HasDamagedKey(), b != &noKey);
    }
    CIndexEntry e(good.data());
    EXPECT_FALSE(e.HasDamagedKey());
    EXPECT_EQ(e.Name(), u"abc");
    EXPECT_EQ(e.RecordNumber(), 31u);  // the sequence number is not part of it
    EXPECT_FALSE(e.IsLast());
}

// Entries written into an $INDEX_ROOT value after `patch` has had its say; *complete
// receives whether the walk reached the last-entry marker.
std::vector<std::u16string> RootEntries(const std::vector<Bytes>& entries, void (*patch)(Bytes* value),
                                        bool* complete) {
    Volume image;
    Bytes value = IndexRootValue(entries);
    if (patch != nullptr) patch(&value);
    image.PutRecord(20, FileRecord(kRecord, {ResidentAttr(kAttrIndexRoot, value, u"$I30")}, kRecordInUse | kRecordDirectory));
    MemoryDevice device(image.Image());
    CNTFSVolume volume(&device);
    CFileRecord record(&volume);
    EXPECT_TRUE(record.LoadRecord(20));
    EXPECT_TRUE(record.BuildAttributes());
    auto* root = static_cast<CAttr_IndexRoot*>(record.Attrs(kAttrIndexRoot)->First());
    EXPECT_NE(root, nullptr);
    *complete = root != nullptr && root->NodeComplete;
    return root == nullptr ? std::vector<std::u16string>() : Names(root);
}

// Where the second entry of RootEntryWalkStaysInsideItsNode's root starts in the value: an
// entry named "a" takes 0x58 bytes.
constexpr size_t second = sizeof(INDEX_ROOT_VALUE) + 0x58;

TEST(Index, RootEntryWalkStaysInsideItsNode) {
    const std::vector<Bytes> three = {Entry(30, u"a"), Entry(31, u"b"), LastIndexEntry()};
    ASSERT_EQ(sizeof(INDEX_ROOT_VALUE) + three[0].size(), second);
    struct Case {
        const char* what;
        void (*patch)(Bytes*);
        std::vector<std::u16string> names;
    };
    const Case cases[] = {
        {"intact: the last entry is listed too", nullptr, {u"a", u"b", u"<none>"}},
        {"second entry length 0",
         [](Bytes* v) { Put<uint16_t>(v, second + offsetof(INDEX_ENTRY_HEADER, EntryLength), 0); }, {u"a"}},
        {"second entry shorter than an entry header",
         [](Bytes* v) { Put<uint16_t>(v, second + offsetof(INDEX_ENTRY_HEADER, EntryLength), 8); }, {u"a"}},
        {"second entry's key longer than the entry",
         [](Bytes* v) { Put<uint16_t>(v, second + offsetof(INDEX_ENTRY_HEADER, KeyLength), 0x200); }, {u"a"}},
        {"second entry reaching past the value",
         [](Bytes* v) { Put<uint16_t>(v, second + offsetof(INDEX_ENTRY_HEADER, EntryLength), 0x400); }, {u"a"}},
        {"first entry longer than the bytes in use",
         [](Bytes* v) { Put<uint32_t>(v, offsetof(INDEX_ROOT_VALUE, Node) + offsetof(INDEX_HEADER, BytesInUse), 0x20); },
         {}},
        {"first entry offset past the value",
         [](Bytes* v) { Put<uint32_t>(v, offsetof(INDEX_ROOT_VALUE, Node), 0x1000); }, {}},
        {"first entry offset inside the node header",
         [](Bytes* v) { Put<uint32_t>(v, offsetof(INDEX_ROOT_VALUE, Node), 0x04); }, {}},
        {"bytes in use past the value", [](Bytes* v) {
             Put<uint32_t>(v, offsetof(INDEX_ROOT_VALUE, Node) + offsetof(INDEX_HEADER, BytesInUse), 0xFFFFFFF0);
         }, {u"a", u"b", u"<none>"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool complete = false;
        EXPECT_EQ(RootEntries(three, c.patch, &complete), c.names);
        // Only a walk that reached the last-entry marker is complete.
        EXPECT_EQ(complete, !c.names.empty() && c.names.back() == u"<none>");
    }
}

TEST(Index, NodeWithoutLastMarkerEndsAtItsBytesInUse) {
    // Two entries and no end marker; a stale entry lies behind the bytes in use, within the
    // node header's 16 bytes of slack that a count of entry lengths alone would allow.
    Volume image;
    std::vector<Bytes> entries = {Entry(30, u"a"), Entry(31, u"b")};
    Bytes value = IndexRootValue(entries);
    value = Concat(value, IndexEntry(0, Bytes(), 0));  // 16 bytes: a keyless, unflagged entry
    image.PutRecord(20, FileRecord(kRecord, {ResidentAttr(kAttrIndexRoot, value, u"$I30")}));
    MemoryDevice device(image.Image());
    CNTFSVolume volume(&device);
    CFileRecord record(&volume);
    ASSERT_TRUE(record.LoadRecord(20));
    ASSERT_TRUE(record.BuildAttributes());
    auto* root = static_cast<CAttr_IndexRoot*>(record.Attrs(kAttrIndexRoot)->First());
    EXPECT_EQ(Names(root), (std::vector<std::u16string>{u"a", u"b"}));
    EXPECT_FALSE(root->NodeComplete);
}

// A directory (record 20) with root entries and three INDX blocks at LCN 60-62.
struct BigDirectory {
    Volume image;
    BigDirectory(uint8_t rootFlags = kIndexRootHasBlocks, uint64_t allocationSize = 3 * kBlock) {
        const Bytes root = IndexRootValue({Entry(40, u"root1"), IndexEntry(0, Bytes(), kIndexEntryLast | 0x01)}, rootFlags);
        image.PutRecord(20, FileRecord(kRecord, {ResidentAttr(kAttrStandardInformation, StdInfoValue()),
                                                 ResidentAttr(kAttrIndexRoot, root, u"$I30"),
                                                 NonResidentAttr(kAttrIndexAllocation, MappingPairs({{3, 60}}), 0, 2,
                                                                 allocationSize, u"$I30")},
                                       kRecordInUse | kRecordDirectory));
        for (int b = 0; b < 3; ++b) {
            const std::u16string n = u"block" + std::u16string(1, static_cast<char16_t>(u'0' + b));
            image.PutCluster(60 + b, IndexBlock(kBlock, {Entry(41 + 2 * b, n + u"a"), Entry(42 + 2 * b, n + u"b"),
                                                         LastIndexEntry()}));
        }
    }
};

TEST(Index, DirectoryIsEnumeratedRootThenBlockByBlock) {
    BigDirectory dir;
    MemoryDevice device(dir.image.Image());
    CNTFSVolume volume(&device);
    EXPECT_EQ(Enumerate(&volume, 20),
              (std::vector<std::u16string>{u"root1", u"<none>", u"block0a", u"block0b", u"<none>", u"block1a",
                                           u"block1b", u"<none>", u"block2a", u"block2b", u"<none>"}));
    // One device request per block.
    CFileRecord record(&volume);
    ASSERT_TRUE(record.LoadRecord(20));
    ASSERT_TRUE(record.BuildAttributes());
    auto* alloc = static_cast<CAttr_IndexAlloc*>(record.Attrs(kAttrIndexAllocation)->First());
    ASSERT_EQ(alloc->BlockCount, 3u);
    CIndexBlock block;
    device.ClearReads();
    const uint64_t one = 1;
    ASSERT_TRUE(alloc->ReadBlock(&one, &block));
    EXPECT_EQ(device.Reads().size(), 1u);
    EXPECT_EQ(Names(&block), (std::vector<std::u16string>{u"block1a", u"block1b", u"<none>"}));
    const uint64_t three = 3;
    EXPECT_FALSE(alloc->ReadBlock(&three, &block));
    EXPECT_EQ(block.Count(), 3);  // a block number out of range leaves the block as it was
}

TEST(Index, DamagedBlockIsSkipped) {
    BigDirectory dir;
    // The middle block's second stride no longer carries the sequence number.
    Bytes middle(kBlock);
    std::memcpy(middle.data(), dir.image.Image().data() + 61 * kBlock, kBlock);
    Put<uint16_t>(&middle, 1022, 0x4444);
    dir.image.PutCluster(61, middle);
    MemoryDevice device(dir.image.Image());
    CNTFSVolume volume(&device);
    EXPECT_EQ(Enumerate(&volume, 20),
              (std::vector<std::u16string>{u"root1", u"<none>", u"block0a", u"block0b", u"<none>", u"block2a",
                                           u"block2b", u"<none>"}));

    CFileRecord record(&volume);
    ASSERT_TRUE(record.LoadRecord(20));
    ASSERT_TRUE(record.BuildAttributes());
    auto* alloc = static_cast<CAttr_IndexAlloc*>(record.Attrs(kAttrIndexAllocation)->First());
    CIndexBlock block;
    const uint64_t zero = 0, one = 1;
    ASSERT_TRUE(alloc->ReadBlock(&zero, &block));
    EXPECT_FALSE(alloc->ReadBlock(&one, &block));
    EXPECT_EQ(block.Count(), 0);  // failed after the read: no entries left
}

TEST(Index, BlockWhoseEntriesOverrunHasNone) {
    BigDirectory dir;
    Bytes block = IndexBlock(kBlock, {Entry(41, u"x"), LastIndexEntry()});
    // The first-entry offset points past the block (the field lies in the first stride).
    Put<uint32_t>(&block, offsetof(INDEX_BLOCK_HEADER, Node), 0x2000);
    dir.image.PutCluster(60, block);
    MemoryDevice device(dir.image.Image());
    CNTFSVolume volume(&device);
    const auto names = Enumerate(&volume, 20);
    EXPECT_EQ(names.size(), 8u);  // root's two, then blocks 1 and 2 only
    EXPECT_EQ(names[2], u"block1a");

    CFileRecord record(&volume);
    ASSERT_TRUE(record.LoadRecord(20));
    ASSERT_TRUE(record.BuildAttributes());
    auto* alloc = static_cast<CAttr_IndexAlloc*>(record.Attrs(kAttrIndexAllocation)->First());
    CIndexBlock readBlock;
    const uint64_t zero = 0, one = 1;
    ASSERT_TRUE(alloc->ReadBlock(&zero, &readBlock));
    EXPECT_FALSE(readBlock.NodeComplete);
    ASSERT_TRUE(alloc->ReadBlock(&one, &readBlock));
    EXPECT_TRUE(readBlock.NodeComplete);
}

TEST(Index, IndexSplitOverExtensionRecordsHasAllItsBlocks) {
    // Block 0 described by the base record's extent, blocks 1 and 2 by an extension record's
    // (whose sizes are 0, as in every extent but the first).
    BigDirectory dir;
    const Bytes root = IndexRootValue({Entry(40, u"root1"), IndexEntry(0, Bytes(), kIndexEntryLast | 0x01)},
                                      kIndexRootHasBlocks);
    const Bytes list = Concat(AttrListEntry(kAttrIndexRoot, 20), Concat(AttrListEntry(kAttrIndexAllocation, 20),
                                                                       AttrListEntry(kAttrIndexAllocation, 30, 1)));
    dir.image.PutRecord(20, FileRecord(kRecord, {ResidentAttr(kAttrAttributeList, list),
                                                 ResidentAttr(kAttrIndexRoot, root, u"$I30"),
                                                 NonResidentAttr(kAttrIndexAllocation, MappingPairs({{1, 60}}), 0, 0,
                                                                 3 * kBlock, u"$I30")},
                                       kRecordInUse | kRecordDirectory));
    dir.image.PutRecord(30, FileRecord(kRecord, {NonResidentAttr(kAttrIndexAllocation, MappingPairs({{2, 61}}), 1, 2,
                                                                 0, u"$I30")}));
    MemoryDevice device(dir.image.Image());
    CNTFSVolume volume(&device);
    CFileRecord record(&volume);
    ASSERT_TRUE(record.LoadRecord(20));
    ASSERT_TRUE(record.BuildAttributes());
    ASSERT_EQ(record.Attrs(kAttrIndexAllocation)->Count(), 1);
    EXPECT_EQ(static_cast<CAttr_IndexAlloc*>(record.Attrs(kAttrIndexAllocation)->First())->BlockCount, 3u);
    EXPECT_EQ(Enumerate(&volume, 20).size(), 11u);
}

TEST(Index, SmallDirectoryUsesTheRootAlone) {
    BigDirectory dir(0);  // root flags 0 although an $INDEX_ALLOCATION exists
    MemoryDevice device(dir.image.Image());
    CNTFSVolume volume(&device);
    EXPECT_EQ(Enumerate(&volume, 20), (std::vector<std::u16string>{u"root1", u"<none>"}));
}

TEST(Index, BlockCountNeedsWholeBlocks) {
    struct Case {
        uint64_t size;
        uint64_t blocks;
    };
    const Case cases[] = {
        {3 * kBlock + 100, 0},
        {3 * kBlock, 3},
        {4 * kBlock, 0},                     // more blocks than the runs hold
        {(uint64_t{1} << 40) * kBlock, 0},   // (walking them would never end)
    };
    for (const Case& c : cases) {
        BigDirectory dir(kIndexRootHasBlocks, c.size);
        MemoryDevice device(dir.image.Image());
        CNTFSVolume volume(&device);
        CFileRecord record(&volume);
        ASSERT_TRUE(record.LoadRecord(20));
        ASSERT_TRUE(record.BuildAttributes());
        auto* alloc = static_cast<CAttr_IndexAlloc*>(record.Attrs(kAttrIndexAllocation)->First());
        EXPECT_EQ(alloc->BlockCount, c.blocks);
    }
}

TEST(Index, RootOverOtherThanFileNamesIsNotADirectory) {
    Volume image;
    image.PutRecord(20, FileRecord(kRecord, {ResidentAttr(kAttrIndexRoot, IndexRootValue({Entry(30, u"a"), LastIndexEntry()}, 0, 0),
                                                          u"$SDH")}));
    MemoryDevice device(image.Image());
    CNTFSVolume volume(&device);
    CFileRecord record(&volume);
    ASSERT_TRUE(record.LoadRecord(20));
    ASSERT_TRUE(record.BuildAttributes());
    auto* root = static_cast<CAttr_IndexRoot*>(record.Attrs(kAttrIndexRoot)->First());
    EXPECT_EQ(root->Count(), 0);
    EXPECT_FALSE(EnumerateDirectory(&record, [](CSList<CIndexEntry>*) { return true; }));
}

}  // namespace
