// The Sleuth Kit as an independent reader of NTFS and FAT32 images: parsers for the output
// of `fls` (plain and mactime body format) and of `istat -f ntfs`, and ready-made listings of
// the files and directories a volume holds.
//
// The parsers take the tools' text as it is (UTF-8 names, never trimmed: a name may end in a
// space or a dot); they throw std::runtime_error on a line they do not understand rather
// than guess, so a new tool version shows up as a clear failure.
//
// Threads: any; the listing functions run the tools.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// One line of `fls -r -p`: "r/r 64-128-2:\tdir/name" or "-/r * 16:\t$OrphanFiles/...".
struct FlsEntry {
    char nameType = '-';       // from the directory entry: r file, d directory, v/V virtual, - unknown
    char metaType = '-';       // from the metadata (the file record / FAT entry)
    bool deleted = false;      // "*": the name is not allocated
    bool reallocated = false;  // "(realloc)": the name's metadata now belongs to another file
    uint64_t inode = 0;        // NTFS: the MFT record number; FAT: the Sleuth Kit's address
    int attrType = -1;         // NTFS: the attribute type of "64-128-2" (128), else -1
    int attrId = -1;           // NTFS: the attribute id (2), else -1
    std::string path;          // as printed, relative to the root; a named stream has ":stream"
};
std::vector<FlsEntry> ParseFls(const std::string& text);

// One line of `fls -r -p -m /` (mactime body: MD5|name|inode|mode|UID|GID|size|atime|mtime|
// ctime|crtime). A name may itself hold '|': the fixed fields are taken from both ends.
struct BodyEntry {
    std::string path;             // without the leading "/" and without the suffixes below
    std::string inode;            // "64-128-2" (NTFS) or "5" (FAT)
    uint64_t record = 0;          // the leading number of inode
    std::string mode;             // "r/rrwxrwxrwx"; mode[0] is the name type, mode[2] the meta type
    uint64_t size = 0;
    int64_t atime = 0, mtime = 0, ctime = 0, crtime = 0;  // Unix seconds
    bool fileNameAttr = false;    // NTFS " ($FILE_NAME)": times and size of the name attribute
    bool deleted = false;         // " (deleted)" or " (deleted-realloc)"
    bool volumeLabel = false;     // FAT " (Volume Label Entry)"
    bool IsDir() const { return mode.size() > 2 && mode[2] == 'd'; }
    bool IsVirtual() const { return !mode.empty() && (mode[0] == 'v' || mode[0] == 'V'); }
};
std::vector<BodyEntry> ParseBody(const std::string& text);

// One file or directory of a volume as an independent reader sees it.
struct TreeEntry {
    std::string path;  // relative to the root, "/" separators, no trailing "/"
    bool isDir = false;
    uint64_t size = 0;    // data size of a file (for NTFS, the unnamed $DATA); 0 for directories
    uint64_t record = 0;  // NTFS record number / FAT inode address
    int64_t atime = 0, mtime = 0, ctime = 0, crtime = 0;
};
using Tree = std::map<std::string, TreeEntry>;  // keyed by path

// Every name of the NTFS volume below its root, one entry per hard link: no system files
// (records below 16 and everything below them, like $Extend), no $OrphanFiles, no named
// streams, no deleted names; DOS-only names are not listed by the Sleuth Kit. Throws
// std::runtime_error when fls fails.
Tree NtfsTree(const std::string& image);

// Every file and directory of a FAT32 volume below its root, by long name where there is
// one: no volume label, no virtual entries ($MBR, $FAT1, $FAT2, $OrphanFiles), no deleted
// entries. Times are read with -z UTC. Throws std::runtime_error when fls fails.
Tree FatTree(const std::string& image);

// `istat -f ntfs IMAGE RECORD`, parsed.
struct IstatAttribute {
    std::string typeName;  // "$DATA"
    uint32_t type = 0;     // 128
    uint32_t id = 0;
    std::string name;      // "" for an unnamed attribute ("N/A")
    bool resident = false;
    std::string flags;     // ", Sparse", ", Compressed", ... as printed after the residency
    uint64_t size = 0;
    uint64_t initSize = 0;
    std::vector<uint64_t> clusters;  // non-resident: every cluster in order (0 for sparse ones)
};
struct IstatListEntry {  // one line of the $ATTRIBUTE_LIST values
    uint32_t type = 0;
    uint32_t id = 0;
    uint64_t record = 0;
    uint64_t vcn = 0;
};
struct IstatFileName {
    std::string name;
    uint64_t parent = 0;
    uint64_t actualSize = 0;
};
struct IstatNtfs {
    uint64_t entry = 0;
    uint32_t sequence = 0;
    bool allocated = false;
    uint32_t links = 0;
    std::vector<IstatFileName> names;       // every $FILE_NAME, in istat's order (all namespaces)
    std::vector<IstatListEntry> attributeList;
    std::vector<IstatAttribute> attributes;
    // The unnamed $DATA attribute, or null.
    const IstatAttribute* UnnamedData() const;
};
IstatNtfs ParseIstatNtfs(const std::string& text);
// Runs istat; throws std::runtime_error when it fails.
IstatNtfs IstatNtfsRecord(const std::string& image, uint64_t record);

}  // namespace testsupport
