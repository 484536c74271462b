// The file tree read from NTFS: one FILE_ITEM per file or directory that will exist on the
// FAT32 volume, built before anything is written. Every later step (space estimate,
// relocation, FAT chains, directories) works from this tree alone.
//
// The walk is also where the conversion refuses what FAT32 cannot hold or what it cannot read
// safely: sparse, compressed and encrypted files, files of 4 GiB or more, records without a
// name, names FAT32 cannot store, and every entry, record or index block that cannot be read
// or was read only in part (a file left out would lose its data when its clusters become
// free). Refusals are thrown as SimpleException of kind 1 whose text names the file by its
// path from the root ("/Photos/2009/IMG_0001.JPG"), or the folder by its path and record
// number when its index is damaged. It skips the NTFS system files (records below 16), DOS-only
// index keys and the hidden system folders "System Volume Information" and "$RECYCLE.BIN".
//
// Checks of the whole tree against the volume (clusters owned twice, runs past the end, a
// dirty volume) are in engine/VolumeCheck.h and run after the walk.
//
// Ownership: the tree is owned by one ShCount<FILE_ITEM> whose deleter is FreeFileTree; each
// item owns its record. Records of directories keep no index once they have been walked.
// Threads: the conversion thread; nothing here locks. The counters are per thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ntfs/CIndexEntry.h"

class CNTFSVolume;

// One file or directory of the tree. FirstChild and NextSibling belong to the tree: free it
// with FreeFileTree (an item's own destructor frees only its record, never its neighbours,
// so that destroying a deep or wide tree never recurses).
struct FILE_ITEM {
    std::unique_ptr<CFileRecord> FileRecord;  // the file's record, attributes built; owned
    FILE_ITEM* FirstChild = nullptr;          // first entry of a directory; null for files and empty directories
    FILE_ITEM* NextSibling = nullptr;         // next entry of the same directory; null at the end
};

// Owner of an object through a deleter function, used for the file tree. The virtual
// destructor calls the deleter on the pointer; Pointer() returns it.
class BaseShCount {
public:
    virtual ~BaseShCount() = default;
    virtual void* Pointer() const = 0;
};

// Sole owner of a T through a deleter function, like std::unique_ptr: moves, never copies.
template <typename T>
class ShCount final : public BaseShCount {
public:
    using Deleter = void (*)(T*);

    ShCount() noexcept = default;
    ShCount(T* pointer, Deleter deleter) noexcept : pointer_(pointer), deleter_(deleter) {}
    ~ShCount() override { Reset(); }

    ShCount(ShCount&& other) noexcept : pointer_(other.pointer_), deleter_(other.deleter_) {
        other.pointer_ = nullptr;
    }
    ShCount& operator=(ShCount&& other) noexcept {
        if (this != &other) {
            Reset();
            pointer_ = other.pointer_;
            deleter_ = other.deleter_;
            other.pointer_ = nullptr;
        }
        return *this;
    }
    ShCount(const ShCount&) = delete;
    ShCount& operator=(const ShCount&) = delete;

    void* Pointer() const override { return pointer_; }
    T* Get() const noexcept { return pointer_; }
    T* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

    // Gives the object up without deleting it.
    T* Release() noexcept {
        T* p = pointer_;
        pointer_ = nullptr;
        return p;
    }
    // Deletes the object held (if any) and holds `pointer` instead, with the same deleter.
    void Reset(T* pointer = nullptr) noexcept {
        T* old = pointer_;
        pointer_ = pointer;
        if (old != nullptr && deleter_ != nullptr) deleter_(old);
    }

private:
    T* pointer_ = nullptr;
    Deleter deleter_ = nullptr;
};

// Frees an item, everything below it and all its following siblings, with their records.
// Iterative: no recursion however deep or wide the tree. Null is allowed.
void FreeFileTree(FILE_ITEM* item);

// The owner of a new tree whose root item takes `rootRecord` (record 5, attributes built).
ShCount<FILE_ITEM> MakeFileTree(std::unique_ptr<CFileRecord> rootRecord);

// Files and directories added by the walks since they were last cleared (the driver clears
// them before the walk and logs them after it). The root is not counted. One conversion runs
// at a time in a process, on one thread. (Thread-local storage here made GCC 12's null-pointer
// sanitizer misfire on every access from another translation unit.)
extern uint32_t TotalFiles;
extern uint32_t TotalDirectories;

// Attribute types loaded for each record met in an index: $STANDARD_INFORMATION,
// $ATTRIBUTE_LIST, $FILE_NAME, $DATA, $INDEX_ROOT, $INDEX_ALLOCATION and $BITMAP (the
// index's block bitmap, which says which index blocks are in use).
constexpr uint32_t kTreeRecordTypeMask = 0x787;
// The same for the root directory, without $DATA.
constexpr uint32_t kTreeRootTypeMask = 0x707;

// Lists the directory `record` (the record of `item`, attributes built with at least
// $INDEX_ROOT, $INDEX_ALLOCATION and $BITMAP) and appends its children to `item`, then walks
// every subdirectory below it the same way. Children keep index order: the root node's
// entries, then those of index block 0, 1, ... (blocks the index bitmap marks free are
// skipped: they hold stale entries of deleted files). A node whose entry walk stopped before
// its end marker is refused as damaged. Each directory's index is dropped once it has been
// listed. A record without an index over $FILE_NAME adds nothing.
//
// Subdirectories are walked from an explicit stack after their parent has been listed, not by
// recursion, so a deep tree cannot overflow the thread's stack; the resulting tree is the
// same. Throws SimpleException (kind 1) for every refusal; the items built so far stay in the
// tree, which the caller's owner frees.
void WalkDirectory(CFileRecord* record, CNTFSVolume* volume, FILE_ITEM* item);

// One directory being listed: shared by every AddIndexEntries call for that directory.
struct DirectoryWalk {
    std::u16string Path;        // the directory's path: "/" for the root, else "/a/b/"
    FILE_ITEM* Last = nullptr;  // the last child appended so far (the last-child slot)
    // The children so far, to find names FAT32 would see as one (equal but for letter case):
    // an open-addressed table of the items by the hash of their upper-cased name, so taking a
    // name allocates nothing of its own.
    struct FoldedNameTable {
        // The child already holding a name equal to `name` but for letter case; else null,
        // and `item` (whose name it is) is taken.
        FILE_ITEM* Insert(std::u16string_view name, FILE_ITEM* item);

        struct Slot {
            uint64_t Hash = 0;
            FILE_ITEM* Item = nullptr;  // null: empty
        };
        std::vector<Slot> Slots;  // a power of two of them, at most half used; linear probing
        size_t Used = 0;
    };
    FoldedNameTable FoldedNames;
    // A subdirectory met, with its path ("/a/b/"), for the caller to walk afterwards.
    struct Pending {
        FILE_ITEM* Item;
        std::u16string Path;
    };
    std::vector<Pending> Subdirectories;  // in index order
    // Record numbers of every directory taken into the tree so far (shared by all
    // directories of one walk): a directory reached twice means a damaged index.
    std::unordered_set<uint64_t>* SeenDirectories = nullptr;
};

// Turns one node's entries (the index root's or one index block's) into children of
// `parent`, appended after walk->Last. For each entry:
//  1. refuse an entry other than the end marker whose key is missing, too short for its
//     name or holds an empty name (a damaged index node: skipping it would lose the file);
//  2. skip references to records below 16, the end marker, DOS-namespace keys, and the
//     hidden or system "System Volume Information" and "$RECYCLE.BIN";
//  3. load the record (refused when it cannot be read, is not in use or belongs to another
//     file) and build its attributes (refused when they cannot be built, have no name, or
//     the file is sparse);
//  4. keep only the names of this link, refresh its times from the key, check its name;
//  5. append the item; refuse compressed or encrypted files and files of 4 GiB or more;
//  6. note a subdirectory in walk->Subdirectories (not walked here) and count the item.
// Throws SimpleException (kind 1) for every refusal.
void AddIndexEntries(CSList<CIndexEntry>* entries, FILE_ITEM* parent, CNTFSVolume* volume,
                     DirectoryWalk* walk);

// Copies the key's file attribute flags and its creation, modification and last access times
// into the first $FILE_NAME value of each namespace (3, 1, 2, 0) that the record has: the
// key in the directory's index is kept newer than the record's own names.
void RefreshNameTimes(CFileRecord* record, CIndexEntry* entry);

// Drops the record's $FILE_NAME attributes that belong to its other hard links, so that the
// names the FAT side takes from the record are those of this index entry: the one equal to
// the key (same parent, namespace and name) and, for a Win32 key, the DOS name beside it.
// Leaves the record untouched when no name matches the key.
void KeepNamesOfEntry(CFileRecord* record, CIndexEntry* entry);

// For the unnamed $DATA (else the first $INDEX_ALLOCATION) of a record when non-resident:
// false, after a level-2 log line, when its runs hold fewer bytes than its data length; true
// otherwise.
bool CheckRunLength(CFileRecord* record);

// The name the item will carry on FAT32: its long name (Win32, else POSIX), else its 8.3
// name (Win32-and-DOS, else DOS). Empty when the record has no name.
std::u16string ItemName(const FILE_ITEM* item);

// True when the record is a directory (record header flag), as every later step decides it.
bool ItemIsDirectory(const FILE_ITEM* item);

// Calls visit(item, path) for every item below `root` (the root itself excluded) in tree
// order: a directory, then what it holds, then its next sibling. `path` is the item's path
// from the root, "/dir/" for a directory and "/dir/file" for a file. Iterative.
void VisitTree(FILE_ITEM* root,
               const std::function<void(FILE_ITEM* item, const std::u16string& path)>& visit);

// Calls visit(item) for `items`, everything they hold and their following siblings, in tree
// order (an item, then what it holds, then its next sibling), from an explicit stack so that a
// deep tree cannot overflow the thread's stack. Builds no paths: for walks that need none.
template <typename Visit>
void ForEachItem(FILE_ITEM* items, Visit visit) {
    std::vector<FILE_ITEM*> pending;
    if (items != nullptr) pending.push_back(items);
    while (!pending.empty()) {
        FILE_ITEM* item = pending.back();
        pending.pop_back();
        visit(item);
        if (item->NextSibling != nullptr) pending.push_back(item->NextSibling);
        if (item->FirstChild != nullptr) pending.push_back(item->FirstChild);
    }
}

// Every path below `root`, in tree order (a directory, then what it holds, then its next
// sibling): "/dir/" for directories and "/dir/file" for files, appended to *out.
void ListPaths(FILE_ITEM* root, std::vector<std::u16string>* out);
