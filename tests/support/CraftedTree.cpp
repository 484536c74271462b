#include "tests/support/CraftedTree.h"

#include <gtest/gtest.h>

#include <memory>

#include "device/ProgressInforAssist.h"
#include "platform/TextEncoding.h"

namespace testsupport::crafted {

namespace {

Geometry TreeGeometry(uint64_t clusters) {
    Geometry g;
    g.clustersPerRecord = kTreeRecordExponent;
    g.clusters = clusters;
    return g;
}

Bytes StdInfo(uint32_t flags) { return ResidentAttr(kAttrStandardInformation, StdInfoValue(flags)); }

}  // namespace

Bytes NameValueIn(const std::u16string& name, uint8_t nameSpace, uint64_t parent, uint32_t flags, uint64_t writeTime,
                  uint64_t creationTime, uint64_t accessTime) {
    Bytes value = FileNameValue(name, nameSpace, flags, writeTime, creationTime, accessTime);
    Put<uint64_t>(&value, offsetof(FILE_NAME_VALUE, ParentReference), parent | (uint64_t{1} << 48));
    return value;
}

Bytes NameAttr(const std::u16string& name, uint8_t nameSpace, uint64_t parent, uint32_t flags) {
    return ResidentAttr(kAttrFileName, NameValueIn(name, nameSpace, parent, flags));
}

Bytes Key(uint64_t record, const std::u16string& name, uint8_t nameSpace, uint64_t parent, uint32_t flags,
          uint16_t sequence) {
    return IndexEntry(record | (uint64_t{sequence} << 48), NameValueIn(name, nameSpace, parent, flags));
}

Bytes DirKey(uint64_t record, const std::u16string& name, uint64_t parent, uint8_t nameSpace) {
    return Key(record, name, nameSpace, parent, kFileAttrDirectoryIndex);
}

TreeImage::TreeImage(uint64_t clusters) : volume_(TreeGeometry(clusters)) { volume_.PutVersion(3, 1); }

void TreeImage::PutFile(uint64_t n, const std::vector<Bytes>& names, const std::vector<Bytes>& extra,
                        uint32_t stdFlags, uint16_t recordFlags, uint16_t linkCount) {
    std::vector<Bytes> attributes{StdInfo(stdFlags)};
    attributes.insert(attributes.end(), names.begin(), names.end());
    attributes.insert(attributes.end(), extra.begin(), extra.end());
    Bytes record = FileRecord(kTreeRecordBytes, attributes, recordFlags);
    Put<uint16_t>(&record, offsetof(FILE_RECORD_HEADER, LinkCount), linkCount);
    volume_.PutRecord(n, record);
}

void TreeImage::PutDirectory(uint64_t n, const std::vector<Bytes>& names, const std::vector<Bytes>& rootEntries,
                             const std::vector<Bytes>& extra, uint8_t rootFlags, uint32_t stdFlags) {
    std::vector<Bytes> entries = rootEntries;
    entries.push_back(LastIndexEntry());
    std::vector<Bytes> attributes{ResidentAttr(kAttrIndexRoot, IndexRootValue(entries, rootFlags), u"$I30")};
    attributes.insert(attributes.end(), extra.begin(), extra.end());
    PutFile(n, names, attributes, stdFlags, kRecordInUse | kRecordDirectory);
}

void TreeImage::PutRoot(const std::vector<Bytes>& rootEntries, const std::vector<Bytes>& extra, uint8_t rootFlags) {
    PutDirectory(kRootRecord, {NameAttr(u".", kNamespaceWin32AndDos, kRootRecord, kFileAttrDirectoryIndex)},
                 rootEntries, extra, rootFlags);
}

std::vector<Bytes> TreeImage::IndexBlocks(uint64_t lcn, const std::vector<std::vector<Bytes>>& blocks,
                                          std::optional<uint8_t> bitmap) {
    const uint32_t blockBytes = volume_.Geom().IndexBlockBytes();
    for (size_t i = 0; i < blocks.size(); ++i) {
        std::vector<Bytes> entries = blocks[i];
        entries.push_back(LastIndexEntry());
        volume_.PutCluster(lcn + i, IndexBlock(blockBytes, entries));
    }
    const uint64_t count = blocks.size();
    std::vector<Bytes> attributes{NonResidentAttr(kAttrIndexAllocation,
                                                  MappingPairs({{count, static_cast<int64_t>(lcn)}}), 0, count - 1,
                                                  count * blockBytes, u"$I30")};
    if (bitmap.has_value()) {
        Bytes bits(8, 0);
        bits[0] = *bitmap;
        attributes.push_back(ResidentAttr(kAttrBitmap, bits, u"$I30"));
    }
    return attributes;
}

WalkedTree::WalkedTree(Volume& image) : device(image.Image()), volume(&device) {}

void WalkedTree::Walk() {
    auto root = std::make_unique<CFileRecord>(&volume);
    if (!root->LoadRecord(kRootRecord)) throw std::runtime_error("the crafted root cannot be read");
    root->TypeMask = kTreeRootTypeMask;
    if (!root->BuildAttributes()) throw std::runtime_error("the crafted root's attributes cannot be built");
    tree = MakeFileTree(std::move(root));
    TotalFiles = 0;
    TotalDirectories = 0;
    WalkDirectory(tree->FileRecord.get(), &volume, tree.Get());
}

std::vector<std::string> WalkedTree::Paths() {
    std::vector<std::u16string> wide;
    ListPaths(tree.Get(), &wide);
    std::vector<std::string> paths;
    for (const auto& p : wide) paths.push_back(platform::Utf16ToUtf8(p));
    return paths;
}

FILE_ITEM* WalkedTree::Find(const std::string& path) {
    FILE_ITEM* found = nullptr;
    const std::u16string wanted = platform::Utf8ToUtf16(path);
    VisitTree(tree.Get(), [&](FILE_ITEM* item, const std::u16string& p) {
        if (p == wanted || (p.size() > 1 && p.back() == u'/' && p.substr(0, p.size() - 1) == wanted)) found = item;
    });
    return found;
}

std::string RefusalOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const SimpleException& e) {
        EXPECT_EQ(e.Kind, 1);
        return e.Kind == 1 ? platform::Utf16ToUtf8(e.Text()) : std::string();
    }
    ADD_FAILURE() << "no refusal was thrown";
    return {};
}

}  // namespace testsupport::crafted
