// Hand-made directory trees for unit tests of the file-tree walk and the volume checks: file
// and directory records with their names and index entries laid out in a crafted volume
// (tests/support/CraftedNtfs.h), opened through the reader and walked into a FILE_ITEM tree.
//
// Records use 4096 bytes, so an index root holds a dozen entries without index blocks; the
// volume is 1024 clusters of 4096 bytes unless a test asks for another size. Clusters from
// kFirstFreeLcn on are free for a test's data and index blocks.
//
// Threads: any; no shared state.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/FileTree.h"
#include "ntfs/CNTFSVolume.h"
#include "tests/support/CraftedNtfs.h"
#include "tests/support/MemoryDevice.h"

namespace testsupport::crafted {

constexpr int8_t kTreeRecordExponent = -12;  // 4096-byte records
constexpr uint32_t kTreeRecordBytes = 4096;
constexpr uint64_t kFirstFreeLcn = 200;

// A $FILE_NAME value whose parent is record `parent` (sequence number 1).
Bytes NameValueIn(const std::u16string& name, uint8_t nameSpace, uint64_t parent, uint32_t flags = 0,
                  uint64_t writeTime = 0, uint64_t creationTime = 0, uint64_t accessTime = 0);
// The same as a whole $FILE_NAME attribute.
Bytes NameAttr(const std::u16string& name, uint8_t nameSpace = kNamespaceWin32, uint64_t parent = kRootRecord,
               uint32_t flags = 0);
// An index entry for `record` (file reference with `sequence`) whose key is that name.
Bytes Key(uint64_t record, const std::u16string& name, uint8_t nameSpace = kNamespaceWin32,
          uint64_t parent = kRootRecord, uint32_t flags = 0, uint16_t sequence = 1);
// The key of a directory (flag 0x10000000 set).
Bytes DirKey(uint64_t record, const std::u16string& name, uint64_t parent = kRootRecord,
             uint8_t nameSpace = kNamespaceWin32);

class TreeImage {
public:
    explicit TreeImage(uint64_t clusters = 1024);

    Volume& Image() { return volume_; }

    // A file record: $STANDARD_INFORMATION with stdFlags, the name attributes, then `extra`.
    void PutFile(uint64_t n, const std::vector<Bytes>& names, const std::vector<Bytes>& extra = {},
                 uint32_t stdFlags = 0, uint16_t recordFlags = kRecordInUse, uint16_t linkCount = 1);
    // A directory record with these index root entries (a last entry is added), then `extra`
    // (e.g. what IndexBlocks returns).
    void PutDirectory(uint64_t n, const std::vector<Bytes>& names, const std::vector<Bytes>& rootEntries,
                      const std::vector<Bytes>& extra = {}, uint8_t rootFlags = 0, uint32_t stdFlags = 0);
    // The root directory (record 5) with these entries.
    void PutRoot(const std::vector<Bytes>& rootEntries, const std::vector<Bytes>& extra = {},
                 uint8_t rootFlags = 0);
    // Writes index blocks (one cluster each, a last entry added to each) from `lcn` on and
    // returns the $INDEX_ALLOCATION and, when `bitmap` is given, the $BITMAP attribute that
    // describe them, for PutDirectory/PutRoot's `extra` (with rootFlags 1).
    std::vector<Bytes> IndexBlocks(uint64_t lcn, const std::vector<std::vector<Bytes>>& blocks,
                                   std::optional<uint8_t> bitmap);

private:
    Volume volume_;
};

// A crafted image opened through the reader (on a copy of its bytes), ready to be walked.
struct WalkedTree {
    explicit WalkedTree(Volume& image);
    MemoryDevice device;
    CNTFSVolume volume;
    ShCount<FILE_ITEM> tree;

    // Loads the root, clears the counters and walks the whole tree (throws what the walk throws).
    void Walk();
    // ListPaths of the tree, in UTF-8.
    std::vector<std::string> Paths();
    // The item at a path ("/Docs/a.txt"), or null.
    FILE_ITEM* Find(const std::string& path);
};

// The text (UTF-8) of the SimpleException of kind 1 that fn throws; a test failure and ""
// when it throws none or another kind.
std::string RefusalOf(const std::function<void()>& fn);

}  // namespace testsupport::crafted
