// The file tree read from NTFS: what the walk takes and skips and in which order, index
// blocks and their bitmap, every refusal (unreadable or stale records, names FAT32 cannot
// hold, sparse, compressed and large files), hard links, times from the keys, freeing the
// tree, and the case table and message bounds the refusals rely on.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/FileTree.h"
#include "engine/Refusal.h"
#include "engine/UnicodeCase.h"
#include "platform/TextEncoding.h"
#include "tests/support/CraftedTree.h"

namespace {

using namespace testsupport::crafted;
using Paths = std::vector<std::string>;

const std::string kAdvice =
    " The volume may be damaged: please check it (chkdsk /f on Windows, ntfsfix on Linux) and try again.";

constexpr uint32_t kHidden = 0x2;
constexpr uint32_t kSystem = 0x4;
constexpr uint64_t kDocs = 25;

// A non-resident unnamed $DATA of `size` bytes in one run.
Bytes Data(uint64_t size, uint64_t clusters = 1, int64_t lcn = kFirstFreeLcn + 100) {
    return NonResidentAttr(kAttrData, MappingPairs({{clusters, lcn}}), 0, clusters - 1, size);
}

// The walk of an image, or its refusal text.
std::string WalkRefusal(TreeImage& image) {
    WalkedTree walked(image.Image());
    return RefusalOf([&] { walked.Walk(); });
}

// A root holding one entry for record 30 named "bad.txt" (or the given key), with record 30
// as `putRecord` makes it.
std::string RefusalForRecord(const std::function<void(TreeImage&)>& putRecord, Bytes key = Key(30, u"bad.txt")) {
    TreeImage image;
    image.PutRoot({key});
    putRecord(image);
    return WalkRefusal(image);
}

TEST(FileTree, WalkTakesEntriesInIndexOrderAndSkipsSystemFilesDosKeysAndHiddenSystemFolders) {
    TreeImage image;
    image.PutRoot({
        Key(3, u"$Volume", kNamespaceWin32AndDos),                                       // system file
        Key(20, u"Alpha.txt"),                                                            // long name ...
        Key(20, u"ALPHA~1.TXT", kNamespaceDos),                                           // ... and its DOS name
        Key(21, u"System Volume Information", kNamespaceWin32, kRootRecord, kHidden | kSystem | kFileAttrDirectoryIndex),
        Key(22, u"$RECYCLE.BIN", kNamespaceWin32, kRootRecord, kSystem | kFileAttrDirectoryIndex),
        Key(23, u"system volume information", kNamespaceWin32, kRootRecord, kHidden | kFileAttrDirectoryIndex),
        DirKey(kDocs, u"Docs"),
    });
    image.PutFile(20, {NameAttr(u"Alpha.txt"), NameAttr(u"ALPHA~1.TXT", kNamespaceDos)}, {Data(10)});
    // Records 21 and 22 are never read: they do not even exist.
    image.PutDirectory(23, {NameAttr(u"system volume information")}, {});
    image.PutDirectory(kDocs, {NameAttr(u"Docs")},
                       {Key(26, u"note.txt", kNamespacePosix, kDocs),
                        Key(27, u"System Volume Information", kNamespaceWin32, kDocs, kFileAttrDirectoryIndex)});
    image.PutFile(26, {NameAttr(u"note.txt", kNamespacePosix, kDocs)});
    image.PutDirectory(27, {NameAttr(u"System Volume Information", kNamespaceWin32, kDocs)}, {});

    WalkedTree walked(image.Image());
    walked.Walk();
    EXPECT_EQ(walked.Paths(), (Paths{"/Alpha.txt", "/system volume information/", "/Docs/", "/Docs/note.txt",
                                     "/Docs/System Volume Information/"}));
    EXPECT_EQ(TotalFiles, 2u);
    EXPECT_EQ(TotalDirectories, 3u);

    // The file keeps its DOS name beside the long one; directories drop their index.
    FILE_ITEM* alpha = walked.Find("/Alpha.txt");
    ASSERT_NE(alpha, nullptr);
    EXPECT_NE(alpha->FileRecord->FileNameInNamespace(kNamespaceDos), nullptr);
    FILE_ITEM* docs = walked.Find("/Docs");
    ASSERT_NE(docs, nullptr);
    EXPECT_EQ(docs->FileRecord->Attrs(kAttrIndexRoot)->Count(), 0);
    EXPECT_EQ(walked.tree->FileRecord->Attrs(kAttrIndexRoot)->Count(), 0);
}

TEST(FileTree, IndexBlocksFollowTheRootAndBlocksMarkedFreeAreSkipped) {
    // Block 1 is free in the bitmap and still holds the entry of a deleted file (record 40 is
    // not in use), as ntfs-3g leaves freed blocks.
    auto build = [](std::optional<uint8_t> bitmap, bool emptyBitmap = false) {
        TreeImage image;
        auto blocks = image.IndexBlocks(kFirstFreeLcn, {{Key(31, u"b"), Key(32, u"c")}, {Key(40, u"stale")}, {Key(33, u"d")}},
                                        bitmap);
        if (emptyBitmap) blocks.push_back(ResidentAttr(kAttrBitmap, Bytes(), u"$I30"));
        image.PutRoot({Key(30, u"a")}, blocks, kIndexRootHasBlocks);
        for (uint64_t n : {30, 31, 32, 33}) image.PutFile(n, {NameAttr(std::u16string(1, u"abcd"[n - 30]))});
        image.PutFile(40, {NameAttr(u"stale")}, {}, 0, /*recordFlags=*/0);
        return image;
    };

    TreeImage withBitmap = build(0b101);
    WalkedTree walked(withBitmap.Image());
    walked.Walk();
    EXPECT_EQ(walked.Paths(), (Paths{"/a", "/b", "/c", "/d"}));

    // Without a bitmap, or beyond what it covers, every block counts, and the stale entry is
    // found out.
    for (bool emptyBitmap : {false, true}) {
        TreeImage withoutBitmap = build(std::nullopt, emptyBitmap);
        EXPECT_EQ(WalkRefusal(withoutBitmap),
                  "The folder entry '/stale' refers to file record 40, which is not in use or belongs to another file." +
                      kAdvice);
    }
}

TEST(FileTree, DamagedIndexesAreRefused) {
    struct Case {
        const char* what;
        std::function<void(TreeImage&)> build;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"block in use without its signature",
         [](TreeImage& image) {
             auto blocks = image.IndexBlocks(kFirstFreeLcn, {{Key(31, u"b")}, {Key(32, u"c")}}, 0b11);
             image.Image().Put((kFirstFreeLcn + 1) * 4096, Bytes{'X', 'X', 'X', 'X'});
             image.PutRoot({}, blocks, kIndexRootHasBlocks);
             image.PutFile(31, {NameAttr(u"b")});
         },
         "The index block 1 of the folder '/' (file record 5) cannot be read." + kAdvice},
        {"block in use with a broken update sequence",
         [](TreeImage& image) {
             auto blocks = image.IndexBlocks(kFirstFreeLcn, {{Key(31, u"b")}}, 0b1);
             image.Image().Put(kFirstFreeLcn * 4096 + 1022, Bytes{0x77, 0x77});
             image.PutRoot({}, blocks, kIndexRootHasBlocks);
         },
         "The index block 0 of the folder '/' (file record 5) cannot be read." + kAdvice},
        {"root says blocks, no allocation",
         [](TreeImage& image) { image.PutRoot({}, {}, kIndexRootHasBlocks); },
         "The index of the folder '/' (file record 5) cannot be read." + kAdvice},
        {"directory without an index root",
         [](TreeImage& image) {
             image.PutRoot({DirKey(kDocs, u"Docs")});
             image.PutFile(kDocs, {NameAttr(u"Docs")}, {}, 0, kRecordInUse | kRecordDirectory);
         },
         "The index of the folder '/Docs' (file record 25) cannot be read." + kAdvice},
        {"directory reached a second time",
         [](TreeImage& image) {
             image.PutRoot({DirKey(kDocs, u"Docs")});
             image.PutDirectory(kDocs, {NameAttr(u"Docs")}, {DirKey(kDocs, u"Again", kDocs)});
         },
         "The folder '/Docs/Again' (file record 25) is reached a second time." + kAdvice},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TreeImage image;
        c.build(image);
        EXPECT_EQ(WalkRefusal(image), c.message);
    }
}

TEST(FileTree, IndexNodesReadOnlyInPartAndDamagedKeysAreRefusedNamingTheFolder) {
    // /Docs (record 25) holds "a.txt" (record 30) and "b.txt" (record 31), both healthy; each
    // case damages the node or one key of its index. Nothing may be listed past the damage.
    const Bytes a = Key(30, u"a.txt", kNamespaceWin32, kDocs);
    const Bytes b = Key(31, u"b.txt", kNamespaceWin32, kDocs);
    const uint32_t directoryFlags = kRecordInUse | kRecordDirectory;
    // /Docs with this index root value (the end marker as the case leaves it) and `extra`.
    auto docsWithRoot = [&](TreeImage& image, const Bytes& rootValue, const std::vector<Bytes>& extra = {}) {
        std::vector<Bytes> attributes{ResidentAttr(kAttrIndexRoot, rootValue, u"$I30")};
        attributes.insert(attributes.end(), extra.begin(), extra.end());
        image.PutFile(kDocs, {NameAttr(u"Docs")}, attributes, 0, directoryFlags);
    };
    // A copy of an entry with one field patched.
    auto patched = [](Bytes entry, size_t at, auto value) {
        Put(&entry, at, value);
        return entry;
    };
    const size_t keyNameLength = sizeof(INDEX_ENTRY_HEADER) + offsetof(FILE_NAME_VALUE, NameLength);
    const std::string partRoot =
        "The index of the folder '/Docs' (file record 25) is damaged: some of its entries cannot be read." + kAdvice;
    auto badKey = [](const char* folder, int folderRecord, int record) {
        return "The index of the folder '" + std::string(folder) + "' (file record " + std::to_string(folderRecord) +
               ") holds an entry for file record " + std::to_string(record) + " whose name is damaged." + kAdvice;
    };

    struct Case {
        const char* what;
        std::function<void(TreeImage&)> build;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"root node without its end marker",
         [&](TreeImage& image) { docsWithRoot(image, IndexRootValue({a, b})); }, partRoot},
        {"root entry shorter than an entry header",
         [&](TreeImage& image) {
             docsWithRoot(image, IndexRootValue({a, patched(b, offsetof(INDEX_ENTRY_HEADER, EntryLength), uint16_t{8}),
                                                 LastIndexEntry()}));
         },
         partRoot},
        {"root node whose bytes in use end inside an entry",
         [&](TreeImage& image) {
             Bytes value = IndexRootValue({a, b, LastIndexEntry()});
             const uint32_t cut = static_cast<uint32_t>(sizeof(INDEX_HEADER) + a.size() + sizeof(INDEX_ENTRY_HEADER));
             Put(&value, offsetof(INDEX_ROOT_VALUE, Node) + offsetof(INDEX_HEADER, BytesInUse), cut);
             docsWithRoot(image, value);
         },
         partRoot},
        {"index block without its end marker",
         [&](TreeImage& image) {
             auto blocks = image.IndexBlocks(kFirstFreeLcn, {{b}}, 0b1);
             image.Image().PutCluster(kFirstFreeLcn, IndexBlock(image.Image().Geom().IndexBlockBytes(), {b}));
             image.PutDirectory(kDocs, {NameAttr(u"Docs")}, {a}, blocks, kIndexRootHasBlocks);
         },
         "The index block 0 of the folder '/Docs' (file record 25) is damaged: some of its entries cannot be read." +
             kAdvice},
        {"key whose name runs past it",
         [&](TreeImage& image) { image.PutDirectory(kDocs, {NameAttr(u"Docs")}, {a, patched(b, keyNameLength, uint8_t{200})}); },
         badKey("/Docs", 25, 31)},
        {"key shorter than a file name value",
         [&](TreeImage& image) {
             image.PutDirectory(kDocs, {NameAttr(u"Docs")}, {a, IndexEntry(31 | (uint64_t{1} << 48), Bytes(0x20, 0))});
         },
         badKey("/Docs", 25, 31)},
        {"entry without a key that is not the end marker",
         [&](TreeImage& image) {
             image.PutDirectory(kDocs, {NameAttr(u"Docs")}, {a, IndexEntry(31 | (uint64_t{1} << 48), Bytes())});
         },
         badKey("/Docs", 25, 31)},
        {"key with an empty name",
         [&](TreeImage& image) {
             image.PutDirectory(kDocs, {NameAttr(u"Docs")},
                                {a, IndexEntry(31 | (uint64_t{1} << 48), NameValueIn(u"", kNamespaceWin32, kDocs))});
         },
         badKey("/Docs", 25, 31)},
        {"damaged key in an index block of the root",
         [&](TreeImage& image) {
             const Bytes c = Key(32, u"c.txt");
             auto blocks = image.IndexBlocks(kFirstFreeLcn, {{c, patched(Key(33, u"d.txt"), keyNameLength, uint8_t{99})}}, 0b1);
             image.PutRoot({DirKey(kDocs, u"Docs")}, blocks, kIndexRootHasBlocks);
             image.PutDirectory(kDocs, {NameAttr(u"Docs")}, {a, b});
             image.PutFile(32, {NameAttr(u"c.txt")});
         },
         badKey("/", 5, 33)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TreeImage image;
        image.PutRoot({DirKey(kDocs, u"Docs")});
        image.PutFile(30, {NameAttr(u"a.txt", kNamespaceWin32, kDocs)});
        image.PutFile(31, {NameAttr(u"b.txt", kNamespaceWin32, kDocs)});
        c.build(image);
        EXPECT_EQ(WalkRefusal(image), c.message);
    }

    // The same folder, undamaged, lists both files; a block marked free is never read, so its
    // state does not matter.
    TreeImage healthy;
    healthy.PutRoot({DirKey(kDocs, u"Docs")});
    healthy.PutFile(30, {NameAttr(u"a.txt", kNamespaceWin32, kDocs)});
    healthy.PutFile(31, {NameAttr(u"b.txt", kNamespaceWin32, kDocs)});
    auto blocks = healthy.IndexBlocks(kFirstFreeLcn, {{b}, {Key(40, u"gone.txt", kNamespaceWin32, kDocs)}}, 0b01);
    healthy.Image().PutCluster(kFirstFreeLcn + 1, IndexBlock(healthy.Image().Geom().IndexBlockBytes(), {Key(40, u"gone.txt")}));
    healthy.PutDirectory(kDocs, {NameAttr(u"Docs")}, {a}, blocks, kIndexRootHasBlocks);
    WalkedTree walked(healthy.Image());
    walked.Walk();
    EXPECT_EQ(walked.Paths(), (Paths{"/Docs/", "/Docs/a.txt", "/Docs/b.txt"}));
}

TEST(FileTree, RecordsThatCannotBeTakenAreRefusedNeverDropped) {
    struct Case {
        const char* what;
        std::function<void(TreeImage&)> putRecord;
        Bytes key;
        std::string message;
    };
    const Bytes badKey = Key(30, u"bad.txt");
    const std::string notOurs =
        "The folder entry '/bad.txt' refers to file record 30, which is not in use or belongs to another file." + kAdvice;
    const std::vector<Case> cases = {
        {"no record there", [](TreeImage&) {}, badKey, "The file record 30 ('/bad.txt') cannot be read." + kAdvice},
        {"record not in use", [](TreeImage& i) { i.PutFile(30, {NameAttr(u"bad.txt")}, {}, 0, 0); }, badKey, notOurs},
        {"record reused since", [](TreeImage& i) { i.PutFile(30, {NameAttr(u"bad.txt")}); },
         Key(30, u"bad.txt", kNamespaceWin32, kRootRecord, 0, /*sequence=*/2), notOurs},
        {"attributes that cannot be built",
         [](TreeImage& i) {
             i.Image().PutRecord(30, FileRecord(kTreeRecordBytes,
                                                {ResidentAttr(kAttrStandardInformation, Bytes(8, 0)), NameAttr(u"bad.txt")}));
         },
         badKey, "The attributes of file record 30 ('/bad.txt') cannot be read." + kAdvice},
        {"no name at all", [](TreeImage& i) { i.PutFile(30, {}, {Data(10)}); }, badKey,
         "Find a NTFS File/Directory '/bad.txt' without Dos and Win namespace,The volume may install an opearting "
         "system.\nVelundra has stopped converting, please move it to the other volume and try again."},
        {"sparse", [](TreeImage& i) { i.PutFile(30, {NameAttr(u"bad.txt")}, {}, kFileAttrSparse); }, badKey,
         "The file '/bad.txt' is a sparse file, FAT32 is not supported."},
        {"compressed", [](TreeImage& i) { i.PutFile(30, {NameAttr(u"bad.txt")}, {}, kFileAttrCompressed); }, badKey,
         "The file '/bad.txt' contain Compressed or Encrypted attribute, please remove these attributes and retry!"},
        {"encrypted", [](TreeImage& i) { i.PutFile(30, {NameAttr(u"bad.txt")}, {}, kFileAttrEncrypted); }, badKey,
         "The file '/bad.txt' contain Compressed or Encrypted attribute, please remove these attributes and retry!"},
        {"4 GiB of data", [](TreeImage& i) { i.PutFile(30, {NameAttr(u"bad.txt")}, {Data(4294967296ULL)}); }, badKey,
         "File '/bad.txt' is larger than 4GB.\nFAT32 format does not support file larger than 4GB. To continue, please "
         "split it into files smaller than 4GB."},
        {"key says folder, record says file", [](TreeImage& i) { i.PutFile(30, {NameAttr(u"bad.txt")}); },
         DirKey(30, u"bad.txt"),
         "The folder entry '/bad.txt' (file record 30) does not agree with its file record about being a folder." +
             kAdvice},
        {"key says file, record says folder", [](TreeImage& i) { i.PutDirectory(30, {NameAttr(u"bad.txt")}, {}); },
         badKey,
         "The folder entry '/bad.txt' (file record 30) does not agree with its file record about being a folder." +
             kAdvice},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(RefusalForRecord(c.putRecord, c.key), c.message);
    }
}

TEST(FileTree, ExtensionRecordThatCannotBeReadIsRefused) {
    struct Case {
        const char* what;
        uint64_t extension;  // the record the attribute list names for the data
        std::string message;
    } cases[] = {
        {"a record that is no file record", 31,
         "The file record 31, which holds part of '/split.bin' (file record 30), cannot be read." + kAdvice},
        // Fetching it fails, and the record no longer knows its number: no "-1" in the text.
        {"a record beyond the MFT", 1000000,
         "A file record that holds part of '/split.bin' (file record 30) cannot be read." + kAdvice},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TreeImage image;
        image.PutRoot({Key(30, u"split.bin")});
        Bytes list = Concat(AttrListEntry(kAttrFileName, 30), AttrListEntry(kAttrData, c.extension));
        image.PutFile(30, {NameAttr(u"split.bin")}, {ResidentAttr(kAttrAttributeList, list)});
        EXPECT_EQ(WalkRefusal(image), c.message);
    }
}

TEST(FileTree, EdgesThatAreAccepted) {
    // The largest size FAT32 holds, and a compressed directory holding a plain file.
    TreeImage image;
    image.PutRoot({Key(30, u"max.bin"), DirKey(31, u"Zip")});
    image.PutFile(30, {NameAttr(u"max.bin")}, {Data(4294967295ULL)});
    image.PutDirectory(31, {NameAttr(u"Zip")}, {Key(32, u"plain.txt", kNamespaceWin32, 31)}, {}, 0, kFileAttrCompressed);
    image.PutFile(32, {NameAttr(u"plain.txt", kNamespaceWin32, 31)});
    WalkedTree walked(image.Image());
    walked.Walk();
    EXPECT_EQ(walked.Paths(), (Paths{"/max.bin", "/Zip/", "/Zip/plain.txt"}));

    // A compressed file inside it is refused, by its path.
    TreeImage packed;
    packed.PutRoot({DirKey(31, u"Zip")});
    packed.PutDirectory(31, {NameAttr(u"Zip")}, {Key(32, u"packed.txt", kNamespaceWin32, 31)}, {}, 0, kFileAttrCompressed);
    packed.PutFile(32, {NameAttr(u"packed.txt", kNamespaceWin32, 31)}, {}, kFileAttrCompressed);
    EXPECT_EQ(WalkRefusal(packed),
              "The file '/Zip/packed.txt' contain Compressed or Encrypted attribute, please remove these attributes and "
              "retry!");
}

TEST(FileTree, NamesFat32CannotHoldAreRefused) {
    struct Case {
        const char* what;
        std::u16string first, second;  // second empty: one file named `first`
        std::string message;
    };
    const std::string clash = " differ only in letter case. FAT32 cannot hold both in one folder: please rename one of "
                              "them and try again.";
    const std::string forbidden = " holds a character that FAT32 does not allow in file names (\\ / : * ? \" < > | or "
                                  "a control character). Please rename it and try again.";
    const std::vector<Case> cases = {
        {"ASCII case", u"README.txt", u"readme.txt", "The names '/Docs/README.txt' and '/Docs/readme.txt'" + clash},
        {"Latin-1 case", u"\u00e9t\u00e9.txt", u"\u00c9T\u00c9.TXT",
         "The names '/Docs/\u00e9t\u00e9.txt' and '/Docs/\u00c9T\u00c9.TXT'" + clash},
        {"Greek case", u"\u03c3\u03bf\u03c6\u03af\u03b1", u"\u03a3\u039f\u03a6\u038a\u0391",
         "The names '/Docs/\u03c3\u03bf\u03c6\u03af\u03b1' and '/Docs/\u03a3\u039f\u03a6\u038a\u0391'" + clash},
        {"same name twice", u"twice.txt", u"twice.txt", "The folder '/Docs' lists the name 'twice.txt' twice." + kAdvice},
        {"colon", u"a:b.txt", u"", "The name of '/Docs/a:b.txt'" + forbidden},
        {"question mark", u"why?.txt", u"", "The name of '/Docs/why?.txt'" + forbidden},
        {"control character", u"bell\u0001.txt", u"", "The name of '/Docs/bell\uFFFD.txt'" + forbidden},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TreeImage image;
        image.PutRoot({DirKey(kDocs, u"Docs")});
        std::vector<Bytes> keys{Key(30, c.first, kNamespacePosix, kDocs)};
        image.PutFile(30, {NameAttr(c.first, kNamespacePosix, kDocs)});
        if (!c.second.empty()) {
            keys.push_back(Key(31, c.second, kNamespacePosix, kDocs));
            image.PutFile(31, {NameAttr(c.second, kNamespacePosix, kDocs)});
        }
        image.PutDirectory(kDocs, {NameAttr(u"Docs")}, keys);
        EXPECT_EQ(WalkRefusal(image), c.message);
    }

    // Letters without a one-unit upper case do not clash: "stra\u00dfe" and "STRASSE" are two names.
    TreeImage fine;
    fine.PutRoot({Key(30, u"stra\u00dfe", kNamespacePosix), Key(31, u"STRASSE", kNamespacePosix)});
    fine.PutFile(30, {NameAttr(u"stra\u00dfe", kNamespacePosix)});
    fine.PutFile(31, {NameAttr(u"STRASSE", kNamespacePosix)});
    WalkedTree walked(fine.Image());
    walked.Walk();
    EXPECT_EQ(walked.Paths().size(), 2u);
}

TEST(FileTree, HardLinksAreNamedByTheirOwnEntries) {
    // Record 30 has three names: "one.txt" and "ONE.TXT" in the root, "two.txt" in Docs.
    auto build = [](bool caseTwin) {
        TreeImage image;
        std::vector<Bytes> rootKeys{Key(30, u"one.txt", kNamespacePosix), DirKey(kDocs, u"Docs")};
        if (caseTwin) rootKeys.push_back(Key(30, u"ONE.TXT", kNamespacePosix));
        image.PutRoot(rootKeys);
        image.PutDirectory(kDocs, {NameAttr(u"Docs")}, {Key(30, u"two.txt", kNamespacePosix, kDocs)});
        std::vector<Bytes> names{NameAttr(u"one.txt", kNamespacePosix), NameAttr(u"two.txt", kNamespacePosix, kDocs)};
        if (caseTwin) names.push_back(NameAttr(u"ONE.TXT", kNamespacePosix));
        image.PutFile(30, names, {Data(10)}, 0, kRecordInUse, static_cast<uint16_t>(names.size()));
        return image;
    };

    TreeImage image = build(false);
    WalkedTree walked(image.Image());
    walked.Walk();
    EXPECT_EQ(walked.Paths(), (Paths{"/one.txt", "/Docs/", "/Docs/two.txt"}));
    FILE_ITEM* two = walked.Find("/Docs/two.txt");
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->FileRecord->Attrs(kAttrFileName)->Count(), 1);
    EXPECT_EQ(TotalFiles, 2u);

    // Two names of one file in one folder that differ only in case clash like two files.
    TreeImage twin = build(true);
    EXPECT_EQ(WalkRefusal(twin), "The names '/one.txt' and '/ONE.TXT' differ only in letter case. FAT32 cannot hold "
                                 "both in one folder: please rename one of them and try again.");
}

TEST(FileTree, EachLinkKeepsOnlyTheExtensionRecordsOfItsOwnNames) {
    // Record 30 keeps its two names in extension records 31 and 32.
    TreeImage image;
    image.PutRoot({Key(30, u"one.txt", kNamespacePosix), DirKey(kDocs, u"Docs")});
    image.PutDirectory(kDocs, {NameAttr(u"Docs")}, {Key(30, u"two.txt", kNamespacePosix, kDocs)});
    Bytes list = Concat(AttrListEntry(kAttrStandardInformation, 30),
                        Concat(AttrListEntry(kAttrFileName, 31), AttrListEntry(kAttrFileName, 32)));
    image.PutFile(30, {}, {ResidentAttr(kAttrAttributeList, list), Data(10)}, 0, kRecordInUse, 2);
    const std::pair<uint64_t, std::u16string> extensions[] = {{31, u"one.txt"}, {32, u"two.txt"}};
    for (const auto& [n, name] : extensions) {
        Bytes extension = FileRecord(kTreeRecordBytes, {NameAttr(name, kNamespacePosix, name == u"one.txt" ? kRootRecord : kDocs)});
        Put<uint64_t>(&extension, offsetof(FILE_RECORD_HEADER, BaseRecord), 30 | (uint64_t{1} << 48));
        image.Image().PutRecord(n, extension);
    }
    WalkedTree walked(image.Image());
    walked.Walk();
    EXPECT_EQ(walked.Paths(), (Paths{"/one.txt", "/Docs/", "/Docs/two.txt"}));
    for (const auto& [path, kept] : std::vector<std::pair<std::string, uint64_t>>{{"/one.txt", 31}, {"/Docs/two.txt", 32}}) {
        SCOPED_TRACE(path);
        FILE_ITEM* item = walked.Find(path);
        ASSERT_NE(item, nullptr);
        auto* attributeList = dynamic_cast<CAttr_AttrList<CAttrResident>*>(item->FileRecord->Attrs(kAttrAttributeList)->First());
        ASSERT_NE(attributeList, nullptr);
        ASSERT_EQ(attributeList->ExtensionRecords.Count(), 1);
        EXPECT_EQ(attributeList->ExtensionRecords.First()->RecordNumber, kept);
    }
}

TEST(FileTree, KeyTimesAndFlagsReachEveryNamespaceOfTheRecord) {
    TreeImage image;
    Bytes key = IndexEntry(30 | (uint64_t{1} << 48),
                           NameValueIn(u"Report.txt", kNamespaceWin32, kRootRecord, 0x21, 1111, 2222, 3333));
    image.PutRoot({key});
    image.PutFile(30, {ResidentAttr(kAttrFileName, NameValueIn(u"Report.txt", kNamespaceWin32, kRootRecord, 0x20, 1, 2, 3)),
                       ResidentAttr(kAttrFileName, NameValueIn(u"REPORT.TXT", kNamespaceDos, kRootRecord, 0x20, 1, 2, 3))});
    WalkedTree walked(image.Image());
    walked.Walk();
    FILE_ITEM* item = walked.Find("/Report.txt");
    ASSERT_NE(item, nullptr);
    for (uint8_t ns : {kNamespaceWin32, kNamespaceDos}) {
        SCOPED_TRACE(int{ns});
        CAttr_FileName* name = item->FileRecord->FileNameInNamespace(ns);
        ASSERT_NE(name, nullptr);
        const auto value = ntfs::LoadStruct<FILE_NAME_VALUE>(name->NameValue);
        EXPECT_EQ(value.LastWriteTime, 1111u);
        EXPECT_EQ(value.CreationTime, 2222u);
        EXPECT_EQ(value.LastAccessTime, 3333u);
        EXPECT_EQ(value.FileAttributes, 0x21u);
    }
}

TEST(FileTree, RefusalsStayBoundedOnTheLongestPaths) {
    // Twelve nested folders of 255-unit names: the path is over 3000 units.
    TreeImage image;
    const uint64_t first = 30, depth = 12;
    image.PutRoot({DirKey(first, std::u16string(255, u'd'))});
    for (uint64_t i = 0; i < depth; ++i) {
        const uint64_t n = first + i;
        const uint64_t parent = i == 0 ? kRootRecord : n - 1;
        const std::u16string name(255, static_cast<char16_t>(u'd' + (i % 2)));
        const std::u16string childName(255, static_cast<char16_t>(u'd' + ((i + 1) % 2)));
        std::vector<Bytes> keys;
        if (i + 1 < depth) keys.push_back(DirKey(n + 1, childName, n));
        else keys.push_back(Key(99, u"gone.txt", kNamespaceWin32, n));
        image.PutDirectory(n, {NameAttr(name, kNamespaceWin32, parent)}, keys);
    }
    const std::string message = WalkRefusal(image);
    const std::u16string wide = platform::Utf8ToUtf16(message);
    EXPECT_LE(wide.size(), kRefusalTextLimit);
    EXPECT_EQ(message.rfind("The file record 99 ('...", 0), 0u) << message;
    EXPECT_NE(message.find("/gone.txt') cannot be read." + kAdvice), std::string::npos) << message;
}

TEST(FileTree, DisplayPathCutsLongPathsAtTheFrontAndHidesControlCharacters) {
    EXPECT_EQ(DisplayPath(u"/a\u0007b/c\u001f"), u"/a\uFFFDb/c\uFFFD");
    EXPECT_EQ(DisplayPath(u"/short"), u"/short");
    // A path of surrogate pairs: the cut never leaves half a pair at the front.
    std::u16string pairs;
    for (int i = 0; i < 600; ++i) pairs += u"\U0001F600";
    for (const std::u16string& path : {std::u16string(3000, u'x') + u"/end", u"/" + pairs}) {
        const std::u16string shown = DisplayPath(path);
        EXPECT_LE(shown.size(), kDisplayPathLimit);
        EXPECT_EQ(shown.substr(0, 3), u"...");
        EXPECT_EQ(shown.substr(shown.size() - 4), path.substr(path.size() - 4));
        EXPECT_FALSE(shown[3] >= 0xDC00 && shown[3] <= 0xDFFF);
    }
}

TEST(FileTree, FreeFileTreeFreesDeepAndWideTreesWithoutRecursion) {
    // 200,000 levels deep, each level with a sibling; then 200,000 siblings. A recursive free
    // would overflow the stack; the sanitizer build checks that everything is freed.
    for (bool deep : {true, false}) {
        auto* root = new FILE_ITEM;
        FILE_ITEM* at = root;
        for (int i = 0; i < 200000; ++i) {
            auto* next = new FILE_ITEM;
            if (deep) {
                at->FirstChild = next;
                at->FirstChild->NextSibling = new FILE_ITEM;
            } else {
                at->NextSibling = next;
            }
            at = next;
        }
        ShCount<FILE_ITEM> owner(root, &FreeFileTree);
        EXPECT_EQ(owner.Pointer(), root);
    }
    FreeFileTree(nullptr);
}

TEST(FileTree, ShCountOwnsLikeAUniquePointer) {
    int freed = 0;
    static int* counter = nullptr;
    counter = &freed;
    auto deleter = [](int* p) {
        ++*counter;
        delete p;
    };
    {
        ShCount<int> a(new int(1), deleter);
        ShCount<int> b(std::move(a));
        EXPECT_EQ(a.Get(), nullptr);
        EXPECT_EQ(*b.Get(), 1);
        b.Reset(new int(2));
        EXPECT_EQ(freed, 1);
        ShCount<int> c;
        c = std::move(b);
        int* kept = c.Release();
        EXPECT_EQ(freed, 1);
        c.Reset(kept);
        BaseShCount* base = &c;
        EXPECT_EQ(base->Pointer(), kept);
    }
    EXPECT_EQ(freed, 2);
}

TEST(UnicodeCase, UpcasesTheBasicPlaneOneUnitAtATime) {
    struct Case {
        char16_t lower, upper;
    };
    for (const Case& c : std::vector<Case>{{u'a', u'A'},         {u'z', u'Z'},         {u'\u00e9', u'\u00c9'},
                                           {u'\u00ff', u'\u0178'}, {u'\u0101', u'\u0100'}, {u'\u03c2', u'\u03a3'},
                                           {u'\u0436', u'\u0416'}, {u'\u1f80', u'\u1f88'}, {u'\uff41', u'\uff21'}}) {
        EXPECT_EQ(UpcaseUnit(c.lower), c.upper) << std::hex << int{c.lower};
        EXPECT_EQ(UpcaseUnit(c.upper), c.upper) << std::hex << int{c.upper};
    }
    // Unchanged: digits, signs, letters without a one-unit upper case, lone surrogates.
    for (char16_t same : {u'1', u'_', u'\u00df', u'\u0149', u'\u4e2d', char16_t{0xD83D}, char16_t{0xDE00}}) {
        EXPECT_EQ(UpcaseUnit(same), same) << std::hex << int{same};
    }
    EXPECT_TRUE(EqualIgnoringCase(u"Caf\u00e9 \u03a3\u03bf\u03c6\u03af\u03b1", u"CAF\u00c9 \u03c3\u039f\u03a6\u038a\u0391"));
    EXPECT_FALSE(EqualIgnoringCase(u"abc", u"abd"));
    EXPECT_FALSE(EqualIgnoringCase(u"abc", u"abcd"));
}

// The whole-plane table and the in-place upcase give what UpcaseUnit gives, unit for unit.
TEST(UnicodeCase, TableAndInPlaceUpcaseAgreeWithTheUnitRule) {
    std::vector<char16_t> table(65536);
    UpcaseTable(table.data());
    for (uint32_t u = 0; u < 65536; ++u) ASSERT_EQ(table[u], UpcaseUnit(static_cast<char16_t>(u))) << std::hex << u;
    const std::u16string name = u"Caf\u00e9 \u03c3\u03bf\u03c6\u03af\u03b1 \uff41 \U0001F600 x";
    std::u16string upper(name.size(), u'?');
    UpcaseInto(name, upper.data());
    EXPECT_EQ(upper, UpcaseName(name));
}

}  // namespace
