#include "fattontfs/CNtfsWriter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <span>
#include <string_view>
#include <unordered_map>

#include "device/CVolumeDevice.h"
#include "engine/UnicodeCase.h"
#include "engine/ZeroedBytes.h"
#include "fattontfs/CFatVolume.h"
#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"
#include "ntfs/NtfsBytes.h"
#include "ntfs/NtfsSystemFiles.h"
#include "platform/LocalTime.h"
#include "platform/TextEncoding.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kBootBytes = 8192;

// A problem that ends planning; its text is the sentence for the user.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

uint64_t DivideUp(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

struct Run {
    int64_t lcn;     // -1: sparse
    uint64_t count;
};

// A run list not owned (a vector of runs, or a part of one).
using RunSpan = std::span<const Run>;

uint64_t RunClusters(RunSpan runs) {
    uint64_t n = 0;
    for (const Run& r : runs) n += r.count;
    return n;
}

// Mapping pairs: per run a header byte (bytes of the offset << 4 | bytes of the length),
// the length, and the signed distance from the previous run's LCN (none for a sparse run).
// EncodePair writes one run's pair (at most 17 bytes) and returns its length.
uint32_t EncodePair(const Run& run, int64_t* previous, uint8_t* out) {
    uint8_t lengthBytes[9], offsetBytes[8];
    int nl = 0, no = 0;
    for (uint64_t v = run.count; nl == 0 || v != 0; v >>= 8) lengthBytes[nl++] = static_cast<uint8_t>(v);
    if ((lengthBytes[nl - 1] & 0x80) != 0) lengthBytes[nl++] = 0;
    if (run.lcn >= 0) {
        int64_t delta = run.lcn - *previous;
        for (;;) {
            offsetBytes[no++] = static_cast<uint8_t>(delta);
            const int64_t rest = delta >> 8;
            const bool signBit = (offsetBytes[no - 1] & 0x80) != 0;
            if ((rest == 0 && !signBit) || (rest == -1 && signBit)) break;
            delta = rest;
        }
        *previous = run.lcn;
    }
    out[0] = static_cast<uint8_t>(no << 4 | nl);
    std::memcpy(out + 1, lengthBytes, nl);
    std::memcpy(out + 1 + nl, offsetBytes, no);
    return static_cast<uint32_t>(1 + nl + no);
}

// Bytes of a run list's mapping pairs, the end byte included.
uint32_t PairsBytes(RunSpan runs) {
    int64_t previous = 0;
    uint8_t pair[17];
    uint32_t n = 1;
    for (const Run& run : runs) n += EncodePair(run, &previous, pair);
    return n;
}

// Writes a run list's mapping pairs and the end byte at `out` (PairsBytes bytes).
void WritePairs(RunSpan runs, uint8_t* out) {
    int64_t previous = 0;
    for (const Run& run : runs) out += EncodePair(run, &previous, out);
    *out = 0;
}

// Cuts a run list into extents whose mapping pairs (each extent's first offset counted from
// LCN 0, the end byte included) take at most kNtfsExtentPairsBytes bytes.
std::vector<std::vector<Run>> SplitExtents(RunSpan runs) {
    std::vector<std::vector<Run>> extents(1);
    int64_t previous = 0;
    uint32_t used = 1;
    uint8_t pair[17];
    for (const Run& run : runs) {
        int64_t at = previous;
        uint32_t n = EncodePair(run, &at, pair);
        if (used + n > kNtfsExtentPairsBytes && !extents.back().empty()) {
            extents.emplace_back();
            at = 0;
            used = 1;
            n = EncodePair(run, &at, pair);
        }
        used += n;
        previous = at;
        extents.back().push_back(run);
    }
    return extents;
}

// Protects a FILE record or INDX block for writing: the last word of every 512-byte stride
// goes into the update sequence array and the sequence number takes its place (the reverse
// of CFileRecord::ApplyFixups).
void ProtectFixups(uint8_t* buffer, uint32_t bytes, uint16_t usaOffset, uint16_t sequence) {
    ntfs::StoreLe<uint16_t>(buffer + usaOffset, sequence);
    for (uint32_t k = 0; k < bytes / kNtfsUpdateStride; ++k) {
        uint8_t* last = buffer + (k + 1) * kNtfsUpdateStride - 2;
        std::memcpy(buffer + usaOffset + 2 + 2 * k, last, 2);
        ntfs::StoreLe<uint16_t>(last, sequence);
    }
}

// ---- FILE records -------------------------------------------------------------------------

// One MFT record being built in its slot of the MFT image (kNtfsRecordBytes zero bytes: the
// MFT image is allocated zero-filled and every slot is built once): attributes are appended
// in type order; Finish writes the end marker and protects the record in place.
class RecordImage {
public:
    RecordImage(uint8_t* slot, uint64_t number, uint16_t sequence, uint16_t flags) : bytes_(slot) {
        FILE_RECORD_HEADER h{};
        std::memcpy(h.Multi.Magic, "FILE", 4);
        h.Multi.UsaOffset = kNtfsRecordUsaOffset;
        h.Multi.UsaCount = 1 + kNtfsRecordBytes / kNtfsUpdateStride;
        h.SequenceNumber = sequence;
        h.FirstAttributeOffset = kNtfsRecordFirstAttribute;
        h.Flags = flags;
        h.BytesAllocated = kNtfsRecordBytes;
        h.RecordNumberLow = static_cast<uint32_t>(number);
        std::memcpy(bytes_, &h, sizeof h);
        used_ = kNtfsRecordFirstAttribute;
    }

    // Bytes still free for attributes (the end marker kept aside).
    uint32_t Room() const { return kNtfsRecordBytes - used_ - 8; }

    void AddResident(uint32_t type, std::u16string_view name, const void* value, uint32_t length,
                     bool indexed = false) {
        const uint32_t nameOffset = sizeof(ATTR_HEADER_RESIDENT);
        const uint32_t valueOffset = NtfsAlign8(nameOffset + 2 * static_cast<uint32_t>(name.size()));
        const uint32_t total = NtfsAlign8(valueOffset + length);
        uint8_t* at = Reserve(total);
        ATTR_HEADER_RESIDENT h{};
        h.Common.TypeCode = type;
        h.Common.Length = total;
        h.Common.NameLength = static_cast<uint8_t>(name.size());
        h.Common.NameOffset = static_cast<uint16_t>(nameOffset);
        h.Common.Instance = instance_++;
        h.ValueLength = length;
        h.ValueOffset = static_cast<uint16_t>(valueOffset);
        h.IndexedFlag = indexed ? 1 : 0;
        std::memcpy(at, &h, sizeof h);
        std::memcpy(at + nameOffset, name.data(), 2 * name.size());
        if (length != 0) std::memcpy(at + valueOffset, value, length);
    }
    void AddResident(uint32_t type, std::u16string_view name, const Bytes& value, bool indexed = false) {
        AddResident(type, name, value.data(), static_cast<uint32_t>(value.size()), indexed);
    }

    // A non-resident attribute, or one extent of it: the runs cover VCNs firstVcn on. The
    // sizes are those of the whole attribute in its first extent and 0 in the others.
    void AddNonResident(uint32_t type, std::u16string_view name, RunSpan runs,
                        uint64_t dataSize, uint32_t clusterBytes) {
        AddExtent(type, name, runs, 0, RunClusters(runs), dataSize, clusterBytes, instance_);
    }
    void AddExtent(uint32_t type, std::u16string_view name, RunSpan runs, uint64_t firstVcn,
                   uint64_t totalClusters, uint64_t dataSize, uint32_t clusterBytes, uint16_t instance) {
        const uint32_t pairsBytes = PairsBytes(runs);
        const uint32_t nameOffset = sizeof(ATTR_HEADER_NONRESIDENT);
        const uint32_t pairsOffset = NtfsAlign8(nameOffset + 2 * static_cast<uint32_t>(name.size()));
        const uint32_t total = NtfsAlign8(pairsOffset + pairsBytes);
        uint8_t* at = Reserve(total);
        const uint64_t clusters = RunClusters(runs);
        ATTR_HEADER_NONRESIDENT h{};
        h.Common.TypeCode = type;
        h.Common.Length = total;
        h.Common.NonResident = 1;
        h.Common.NameLength = static_cast<uint8_t>(name.size());
        h.Common.NameOffset = static_cast<uint16_t>(nameOffset);
        h.Common.Instance = instance;
        instance_ = static_cast<uint16_t>(std::max<uint32_t>(instance_, instance + 1u));
        h.FirstVcn = firstVcn;
        h.LastVcn = clusters == 0 ? ~0ULL : firstVcn + clusters - 1;
        h.MappingPairsOffset = static_cast<uint16_t>(pairsOffset);
        if (firstVcn == 0) {
            h.AllocatedSize = totalClusters * clusterBytes;
            h.DataSize = dataSize;
            h.InitializedSize = dataSize;
        }
        std::memcpy(at, &h, sizeof h);
        std::memcpy(at + nameOffset, name.data(), 2 * name.size());
        WritePairs(runs, at + pairsOffset);
    }

    void SetLinkCount(uint16_t n) { ntfs::StoreLe<uint16_t>(bytes_ + offsetof(FILE_RECORD_HEADER, LinkCount), n); }
    // An extension record names the base record that owns it.
    void SetBaseRecord(uint64_t reference) {
        ntfs::StoreLe<uint64_t>(bytes_ + offsetof(FILE_RECORD_HEADER, BaseRecord), reference);
    }
    uint16_t NextInstance() const { return instance_; }

    // Ends the record and protects it by the update sequence, in place.
    void Finish() {
        ntfs::StoreLe<uint32_t>(bytes_ + used_, kAttrEnd);
        ntfs::StoreLe<uint32_t>(bytes_ + offsetof(FILE_RECORD_HEADER, BytesInUse), used_ + 8);
        ntfs::StoreLe<uint16_t>(bytes_ + offsetof(FILE_RECORD_HEADER, NextAttributeId), instance_);
        ProtectFixups(bytes_, kNtfsRecordBytes, kNtfsRecordUsaOffset, 1);
    }

private:
    uint8_t* Reserve(uint32_t bytes) {
        if (bytes > Room()) throw Refusal("record overflow");
        uint8_t* at = bytes_ + used_;
        used_ += bytes;
        return at;
    }

    uint8_t* bytes_;
    uint32_t used_;
    uint16_t instance_ = 0;
};

// A record that is not in use (reserved or spare): only the header.
void EmptyRecord(uint8_t* slot, uint64_t number) { RecordImage(slot, number, 0, 0).Finish(); }

// ---- Values -------------------------------------------------------------------------------

struct Times {
    uint64_t creation = 0, write = 0, change = 0, access = 0;
};

STANDARD_INFORMATION StandardInformation(const Times& t, uint32_t attributes) {
    STANDARD_INFORMATION si{};
    si.CreationTime = t.creation;
    si.LastWriteTime = t.write;
    si.MftChangeTime = t.change;
    si.LastAccessTime = t.access;
    si.FileAttributes = attributes;
    si.SecurityId = kFirstSecurityId;
    return si;
}

// Bytes of the $FILE_NAME value of a name of `units` units.
uint32_t FileNameValueBytes(size_t units) { return static_cast<uint32_t>(sizeof(FILE_NAME_VALUE) + 2 * units); }

// Writes the $FILE_NAME value at `out` (FileNameValueBytes of the name).
void WriteFileNameValue(uint8_t* out, uint64_t parentReference, const Times& t, uint64_t allocated, uint64_t size,
                        uint32_t attributes, std::u16string_view name, uint8_t nameSpace) {
    FILE_NAME_VALUE v{};
    v.ParentReference = parentReference;
    v.CreationTime = t.creation;
    v.LastWriteTime = t.write;
    v.MftChangeTime = t.change;
    v.LastAccessTime = t.access;
    v.AllocatedSize = allocated;
    v.DataSize = size;
    v.FileAttributes = attributes;
    v.NameLength = static_cast<uint8_t>(name.size());
    v.NameSpace = nameSpace;
    std::memcpy(out, &v, sizeof v);
    std::memcpy(out + sizeof v, name.data(), 2 * name.size());
}

Bytes FileNameValue(uint64_t parentReference, const Times& t, uint64_t allocated, uint64_t size,
                    uint32_t attributes, std::u16string_view name, uint8_t nameSpace) {
    Bytes out(FileNameValueBytes(name.size()));
    WriteFileNameValue(out.data(), parentReference, t, allocated, size, attributes, name, nameSpace);
    return out;
}

uint64_t Reference(uint64_t record, uint16_t sequence) { return record | uint64_t{sequence} << 48; }
uint16_t SequenceOf(uint64_t record) { return record < 16 ? static_cast<uint16_t>(record == 0 ? 1 : record) : 1; }

// One entry of a file-name index: the key is the $FILE_NAME value. The names and the key are
// not owned; they live as long as the plan (the upper-cased name while its folder's index is
// built).
struct IndexItem {
    std::u16string_view upper;  // the name upper-cased, unit by unit, each unit big-endian
    std::u16string_view name;   // the name as stored
    uint64_t reference = 0;
    const uint8_t* key = nullptr;
    uint32_t keyLength = 0;
    std::u16string_view shown;  // the file's long name, for messages
    bool dosName = false;       // the name is a file's separate DOS name
};

// Sorts a folder's items in NTFS's collation of file names: upper-cased unit by unit, then as
// stored. Each name is upper-cased once, into `upperUnits` (kept for the items' `upper`), with
// its units big-endian so that memcmp orders them as units; the sort moves small keys.
//
// A folder read from a FAT volume often lists its long names nearly in this order already,
// and the separate DOS names follow no order. So:
//   1. the DOS names and the other names are sorted apart (the others by insertion while
//      that stays cheap) and merged;
//   2. when the result is not strictly ascending (two items collate equal), all items are
//      sorted together from their first order, as std::sort does.
// Items that do not collate equal have one order only, so step 1 gives what step 2 would.
void SortItems(std::vector<IndexItem>* items, std::vector<char16_t>* upperUnits) {
    std::vector<IndexItem>& list = *items;
    size_t units = 0;
    for (const IndexItem& it : list) units += it.name.size();
    upperUnits->resize(units);
    struct Key {
        const char16_t* upper;
        uint32_t units;
        uint32_t item;
    };
    std::vector<Key> keys(list.size());
    size_t at = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        char16_t* upper = upperUnits->data() + at;
        const size_t n = list[i].name.size();
        UpcaseInto(list[i].name, upper);
        for (size_t k = 0; k < n; ++k) upper[k] = static_cast<char16_t>(upper[k] << 8 | upper[k] >> 8);
        list[i].upper = std::u16string_view(upper, n);
        keys[i] = {upper, static_cast<uint32_t>(n), static_cast<uint32_t>(i)};
        at += n;
    }
    auto collate = [&](const Key& a, const Key& b) -> int {
        const int c = std::memcmp(a.upper, b.upper, 2 * std::min(a.units, b.units));
        if (c != 0) return c;
        if (a.units != b.units) return a.units < b.units ? -1 : 1;
        const int n = list[a.item].name.compare(list[b.item].name);
        return n < 0 ? -1 : n > 0 ? 1 : 0;
    };
    auto less = [&](const Key& a, const Key& b) { return collate(a, b) < 0; };
    // Insertion while the items moved stay few (a nearly ordered run), else std::sort.
    auto sortPart = [&](std::vector<Key>* part) {
        std::vector<Key>& v = *part;
        size_t budget = 4 * v.size();
        for (size_t i = 1; i < v.size(); ++i) {
            const Key k = v[i];
            size_t j = i;
            while (j > 0 && less(k, v[j - 1])) {
                v[j] = v[j - 1];
                --j;
                if (budget-- == 0) {
                    v[j] = k;
                    std::sort(v.begin(), v.end(), less);
                    return;
                }
            }
            v[j] = k;
        }
    };
    // 1. Apart, then merged.
    std::vector<Key> others, dos, merged;
    others.reserve(keys.size());
    for (const Key& k : keys) (list[k.item].dosName ? dos : others).push_back(k);
    sortPart(&others);
    std::sort(dos.begin(), dos.end(), less);
    merged.resize(keys.size());
    std::merge(others.begin(), others.end(), dos.begin(), dos.end(), merged.begin(), less);
    // 2. Two items that collate equal: all together, from the first order.
    for (size_t k = 1; k < merged.size(); ++k) {
        if (collate(merged[k - 1], merged[k]) < 0) continue;
        merged = keys;
        std::sort(merged.begin(), merged.end(), less);
        break;
    }
    std::vector<IndexItem> sorted;
    sorted.reserve(list.size());
    for (const Key& k : merged) sorted.push_back(list[k.item]);
    list.swap(sorted);
}

uint32_t EntryBytes(const IndexItem* item, bool withChild) {
    return NtfsAlign8(sizeof(INDEX_ENTRY_HEADER) + (item ? item->keyLength : 0)) + (withChild ? 8 : 0);
}

// Writes one index entry at `out` (the closing entry when item is null) and returns its bytes.
uint32_t WriteIndexEntry(uint8_t* out, const IndexItem* item, bool withChild, uint64_t childVcn, bool last) {
    const uint32_t keyLength = item ? item->keyLength : 0;
    const uint32_t length = EntryBytes(item, withChild);
    INDEX_ENTRY_HEADER h{};
    h.FileReference = item ? item->reference : 0;
    h.EntryLength = static_cast<uint16_t>(length);
    h.KeyLength = static_cast<uint16_t>(keyLength);
    h.Flags = static_cast<uint8_t>((withChild ? 0x01 : 0) | (last ? kIndexEntryLast : 0));
    std::memcpy(out, &h, sizeof h);
    if (item) std::memcpy(out + sizeof h, item->key, keyLength);
    std::memset(out + sizeof h + keyLength, 0, length - sizeof h - keyLength);
    if (withChild) ntfs::StoreLe<uint64_t>(out + length - 8, childVcn);
    return length;
}

// An index node's entries: items (each with its child when the node has children) and the
// closing entry (with the last child).
struct NodeItems {
    std::vector<const IndexItem*> items;
    std::vector<int64_t> children;  // per item, then one for the closing entry; -1: leaf
};

// Bytes of a node's entries.
uint32_t NodeBytes(const NodeItems& n) {
    const bool withChild = n.children.back() >= 0;
    uint32_t b = 0;
    for (const IndexItem* i : n.items) b += EntryBytes(i, withChild);
    return b + EntryBytes(nullptr, withChild);
}

// Writes a node's entries at `out` (NodeBytes of them); child n is at VCN n * vcnPerBlock.
uint32_t WriteNodeEntries(uint8_t* out, const NodeItems& node, uint64_t vcnPerBlock) {
    const bool hasChildren = !node.children.empty() && node.children.back() >= 0;
    auto vcnOf = [&](int64_t child) { return hasChildren ? static_cast<uint64_t>(child) * vcnPerBlock : 0; };
    uint32_t at = 0;
    for (size_t i = 0; i < node.items.size(); ++i)
        at += WriteIndexEntry(out + at, node.items[i], hasChildren, vcnOf(node.children[i]), false);
    at += WriteIndexEntry(out + at, nullptr, hasChildren, vcnOf(node.children.back()), true);
    return at;
}

// The value of an $INDEX_ROOT holding `entries`.
Bytes IndexRootValue(uint32_t indexedType, uint32_t collation, uint32_t clusterBytes, const Bytes& entries,
                     bool large) {
    INDEX_ROOT_VALUE v{};
    v.IndexedType = indexedType;
    v.CollationRule = collation;
    v.IndexBlockBytes = kNtfsIndexBlockBytes;
    v.ClustersPerBlock = static_cast<uint8_t>(clusterBytes <= kNtfsIndexBlockBytes ? kNtfsIndexBlockBytes / clusterBytes
                                                                                   : kNtfsIndexBlockBytes / 512);
    v.Node.FirstEntryOffset = sizeof(INDEX_HEADER);
    v.Node.BytesInUse = static_cast<uint32_t>(sizeof(INDEX_HEADER) + entries.size());
    v.Node.BytesAllocated = v.Node.BytesInUse;
    v.Node.Flags = large ? kIndexRootHasBlocks : 0;
    Bytes out(sizeof v + entries.size());
    std::memcpy(out.data(), &v, sizeof v);
    if (!entries.empty()) std::memcpy(out.data() + sizeof v, entries.data(), entries.size());
    return out;
}

constexpr uint32_t kBlockUsaOffset = sizeof(INDEX_BLOCK_HEADER);  // 0x28
constexpr uint32_t kBlockFirstEntry = NtfsAlign8(kBlockUsaOffset + 2 * (1 + kNtfsIndexBlockBytes / kNtfsUpdateStride));
constexpr uint32_t kBlockEntryRoom = kNtfsIndexBlockBytes - kBlockFirstEntry;

// Ends one INDX block at `out` (kNtfsIndexBlockBytes bytes, zero but for the node's entries,
// `entries` bytes at kBlockFirstEntry): the header, then the update sequence.
void FinishIndexBlock(uint8_t* out, uint64_t vcn, uint32_t entries, bool hasChildren) {
    INDEX_BLOCK_HEADER h{};
    std::memcpy(h.Multi.Magic, "INDX", 4);
    h.Multi.UsaOffset = kBlockUsaOffset;
    h.Multi.UsaCount = 1 + kNtfsIndexBlockBytes / kNtfsUpdateStride;
    h.BlockVcn = vcn;
    h.Node.FirstEntryOffset = kBlockFirstEntry - offsetof(INDEX_BLOCK_HEADER, Node);
    h.Node.BytesInUse = h.Node.FirstEntryOffset + entries;
    h.Node.BytesAllocated = kNtfsIndexBlockBytes - offsetof(INDEX_BLOCK_HEADER, Node);
    h.Node.Flags = hasChildren ? 1 : 0;
    std::memcpy(out, &h, sizeof h);
    ProtectFixups(out, kNtfsIndexBlockBytes, kBlockUsaOffset, 1);
}

// A file-name index laid out: the root's entries, and the INDX blocks when they do not fit.
struct BuiltIndex {
    Bytes rootEntries;
    bool large = false;
    Bytes blocks;               // block n at VCN n * vcnPerBlock, protected
    size_t blockCount = 0;
    std::vector<Run> runs;      // clusters of the blocks
};

// Builds a B-tree bottom-up: a level's items are cut into nodes that fill a block; the item
// after each node goes up a level with that node as its child; the level above is built the
// same way until it fits in the root.
template <typename Allocate>
BuiltIndex BuildIndex(const std::vector<IndexItem>& sorted, uint32_t rootRoom, uint32_t clusterBytes,
                      const Allocate& allocate) {
    BuiltIndex built;
    NodeItems level;
    level.items.reserve(sorted.size());
    level.children.assign(sorted.size() + 1, -1);
    for (const IndexItem& item : sorted) level.items.push_back(&item);
    std::vector<std::pair<NodeItems, bool>> nodes;  // block n: its items
    while (NodeBytes(level) > rootRoom) {
        const bool withChild = level.children.back() >= 0;
        NodeItems up;
        NodeItems current;
        uint32_t used = EntryBytes(nullptr, withChild);
        for (size_t i = 0; i < level.items.size(); ++i) {
            const uint32_t b = EntryBytes(level.items[i], withChild);
            if (used + b > kBlockEntryRoom && !current.items.empty()) {
                // This item closes the node: it goes up with the node as its child.
                current.children.push_back(level.children[i]);
                nodes.emplace_back(std::move(current), withChild);
                up.items.push_back(level.items[i]);
                up.children.push_back(static_cast<int64_t>(nodes.size() - 1));
                current = NodeItems{};
                used = EntryBytes(nullptr, withChild);
                continue;
            }
            current.items.push_back(level.items[i]);
            current.children.push_back(level.children[i]);
            used += b;
        }
        current.children.push_back(level.children.back());
        nodes.emplace_back(std::move(current), withChild);
        up.children.push_back(static_cast<int64_t>(nodes.size() - 1));
        level = std::move(up);
    }
    const uint64_t vcnPerBlock = clusterBytes <= kNtfsIndexBlockBytes ? kNtfsIndexBlockBytes / clusterBytes
                                                                      : kNtfsIndexBlockBytes / 512;
    built.rootEntries.resize(NodeBytes(level));
    WriteNodeEntries(built.rootEntries.data(), level, vcnPerBlock);
    built.large = !nodes.empty();
    built.blockCount = nodes.size();
    built.blocks.assign(nodes.size() * kNtfsIndexBlockBytes, 0);
    for (size_t n = 0; n < nodes.size(); ++n) {
        uint8_t* block = built.blocks.data() + n * kNtfsIndexBlockBytes;
        const uint32_t entries = WriteNodeEntries(block + kBlockFirstEntry, nodes[n].first, vcnPerBlock);
        FinishIndexBlock(block, n * vcnPerBlock, entries, nodes[n].second);
    }
    if (built.large) built.runs = allocate(DivideUp(nodes.size() * kNtfsIndexBlockBytes, clusterBytes));
    return built;
}

// An empty view index root ($O, $Q, $R, $SII, $SDH without entries).
Bytes EmptyViewRoot(uint32_t collation, uint32_t clusterBytes) {
    VIEW_INDEX_ENTRY_HEADER end{};
    end.EntryLength = sizeof end;
    end.Flags = kIndexEntryLast;
    Bytes entries(sizeof end);
    std::memcpy(entries.data(), &end, sizeof end);
    return IndexRootValue(0, collation, clusterBytes, entries, false);
}

Bytes ViewEntry(const Bytes& key, const Bytes& data) {
    VIEW_INDEX_ENTRY_HEADER h{};
    h.DataOffset = static_cast<uint16_t>(sizeof h + key.size());
    h.DataLength = static_cast<uint16_t>(data.size());
    h.EntryLength = static_cast<uint16_t>(NtfsAlign8(static_cast<uint32_t>(sizeof h + key.size() + data.size())));
    h.KeyLength = static_cast<uint16_t>(key.size());
    Bytes out(h.EntryLength, 0);
    std::memcpy(out.data(), &h, sizeof h);
    std::memcpy(out.data() + sizeof h, key.data(), key.size());
    std::memcpy(out.data() + h.DataOffset, data.data(), data.size());
    return out;
}

// The default security descriptor: owner and group Administrators, everyone full control,
// inherited by files and folders below.
Bytes DefaultSecurityDescriptor() {
    const uint8_t everyone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    const uint8_t admins[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
    Bytes sd(20, 0);
    sd[0] = 1;                                     // revision
    ntfs::StoreLe<uint16_t>(sd.data() + 2, 0x8004);  // self-relative, DACL present
    // DACL at 20: header, one ACCESS_ALLOWED ACE for Everyone.
    const uint32_t daclOffset = 20, aceSize = 8 + sizeof everyone, aclSize = 8 + aceSize;
    Bytes acl(aclSize, 0);
    acl[0] = 2;
    ntfs::StoreLe<uint16_t>(acl.data() + 2, static_cast<uint16_t>(aclSize));
    ntfs::StoreLe<uint16_t>(acl.data() + 4, 1);
    acl[8] = 0;     // ACCESS_ALLOWED
    acl[9] = 0x03;  // object and container inherit
    ntfs::StoreLe<uint16_t>(acl.data() + 10, static_cast<uint16_t>(aceSize));
    ntfs::StoreLe<uint32_t>(acl.data() + 12, 0x001F01FF);
    std::memcpy(acl.data() + 16, everyone, sizeof everyone);
    sd.insert(sd.end(), acl.begin(), acl.end());
    const uint32_t owner = static_cast<uint32_t>(sd.size());
    sd.insert(sd.end(), admins, admins + sizeof admins);
    const uint32_t group = static_cast<uint32_t>(sd.size());
    sd.insert(sd.end(), admins, admins + sizeof admins);
    ntfs::StoreLe<uint32_t>(sd.data() + 4, owner);
    ntfs::StoreLe<uint32_t>(sd.data() + 8, group);
    ntfs::StoreLe<uint32_t>(sd.data() + 16, daclOffset);
    return sd;
}

Bytes AttrDefTable() {
    struct Def {
        const char16_t* name;
        uint32_t type, collation, flags;
        int64_t min, max;
    } defs[] = {
        {u"$STANDARD_INFORMATION", 0x10, 0, kAttrDefResident, 0x30, 0x48},
        {u"$ATTRIBUTE_LIST", 0x20, 0, kAttrDefAlwaysLog, 0, -1},
        {u"$FILE_NAME", 0x30, kCollationFileName, kAttrDefIndexable | kAttrDefResident, 0x44, 0x242},
        {u"$OBJECT_ID", 0x40, 0, kAttrDefResident, 0, 0x100},
        {u"$SECURITY_DESCRIPTOR", 0x50, 0, kAttrDefAlwaysLog, 0, -1},
        {u"$VOLUME_NAME", 0x60, 0, kAttrDefResident, 2, 0x100},
        {u"$VOLUME_INFORMATION", 0x70, 0, kAttrDefResident, 0xC, 0xC},
        {u"$DATA", 0x80, 0, 0, 0, -1},
        {u"$INDEX_ROOT", 0x90, 0, kAttrDefResident, 0, -1},
        {u"$INDEX_ALLOCATION", 0xA0, 0, kAttrDefAlwaysLog, 0, -1},
        {u"$BITMAP", 0xB0, 0, kAttrDefAlwaysLog, 0, -1},
        {u"$REPARSE_POINT", 0xC0, 0, kAttrDefAlwaysLog, 0, 0x4000},
        {u"$EA_INFORMATION", 0xD0, 0, kAttrDefResident, 8, 8},
        {u"$EA", 0xE0, 0, 0, 0, 0x10000},
        {u"$LOGGED_UTILITY_STREAM", 0x100, 0, kAttrDefAlwaysLog, 0, 0x10000},
    };
    Bytes out(kNtfsAttrDefBytes, 0);
    size_t at = 0;
    for (const Def& d : defs) {
        ATTR_DEF_ENTRY e{};
        for (size_t i = 0; d.name[i] != 0; ++i) e.Name[i] = d.name[i];
        e.TypeCode = d.type;
        e.CollationRule = d.collation;
        e.Flags = d.flags;
        e.MinimumSize = d.min;
        e.MaximumSize = d.max;
        std::memcpy(out.data() + at, &e, sizeof e);
        at += sizeof e;
    }
    return out;
}

uint64_t NowFileTime() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return platform::kFileTimeUnixEpoch +
           static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) * 10;
}

}  // namespace

// ---- The writer ---------------------------------------------------------------------------

struct CNtfsWriter::Impl {
    const CFatVolume* fat;
    CVolumeDevice* device;
    std::function<bool()> flush;
    uint32_t c = 0;              // NTFS cluster bytes
    uint64_t clusters = 0;
    uint64_t perFat = 0;         // NTFS clusters per FAT cluster

    std::vector<bool> available;     // per NTFS cluster: true when new data may go there (one bit each)
    uint64_t cursor = 0;
    std::vector<uint8_t> bitmap;     // the NTFS cluster bitmap being built

    struct Piece {       // a stretch of new bytes to write at a cluster run list
        std::vector<Run> runs;
        Bytes bytes;     // written from the start of the runs; the rest of the clusters untouched
    };
    std::vector<Piece> pieces;
    struct Move {        // FAT clusters whose data is copied before the NTFS volume ends
        uint32_t fatCluster;
        std::vector<Run> to;
    };
    std::vector<Move> moves;
    ZeroedBytes mft;     // the whole MFT image, records protected (built over zeros)
    uint64_t mftBytes = 0;
    std::vector<Run> mftRuns, mirrorRuns;
    uint64_t mirrorRecords = 0;
    NTFS_BOOT_SECTOR boot{};
    bool backupFirst = false;

    // -- clusters --
    std::vector<Run> Allocate(uint64_t count) {
        std::vector<Run> runs;
        if (count == 0) return runs;
        // First a single free stretch long enough, from the cursor on and then from the start;
        // else the free stretches in order.
        for (int pass = 0; pass < 2 && runs.empty(); ++pass) {
            uint64_t from = pass == 0 ? cursor : 0, to = pass == 0 ? clusters : cursor;
            for (uint64_t k = from; k < to;) {
                if (!available[k]) { ++k; continue; }
                uint64_t e = k;
                while (e < clusters && available[e] && e - k < count) ++e;
                if (e - k == count) { runs.push_back({static_cast<int64_t>(k), count}); break; }
                k = e;
            }
        }
        if (runs.empty()) {
            uint64_t need = count;
            for (uint64_t k = 0; k < clusters && need > 0;) {
                if (!available[k]) { ++k; continue; }
                uint64_t e = k;
                while (e < clusters && available[e] && e - k < need) ++e;
                runs.push_back({static_cast<int64_t>(k), e - k});
                need -= e - k;
                k = e;
            }
            if (need > 0) throw Refusal("room");
        }
        for (const Run& r : runs) {
            for (uint64_t k = 0; k < r.count; ++k) available[r.lcn + k] = false;
            MarkUsed(r);
            cursor = r.lcn + r.count;
        }
        return runs;
    }
    void MarkUsed(const Run& r) {
        if (r.lcn < 0) return;
        uint64_t k = static_cast<uint64_t>(r.lcn);
        const uint64_t end = std::min<uint64_t>(k + r.count, clusters);
        for (; k < end && k % 8 != 0; ++k) bitmap[k / 8] |= static_cast<uint8_t>(1 << (k % 8));
        for (; k + 8 <= end; k += 8) bitmap[k / 8] = 0xFF;
        for (; k < end; ++k) bitmap[k / 8] |= static_cast<uint8_t>(1 << (k % 8));
    }
    std::vector<Run> Place(Bytes bytes) {
        std::vector<Run> runs = Allocate(DivideUp(bytes.size(), c));
        pieces.push_back({runs, std::move(bytes)});
        return runs;
    }
    uint64_t LcnOfFat(uint32_t fatCluster) const { return fat->ClusterOffset(fatCluster) / c; }
};

CNtfsWriter::CNtfsWriter(const CFatVolume* fat, CVolumeDevice* device, std::function<bool()> flush)
    : impl_(std::make_unique<Impl>()) {
    impl_->fat = fat;
    impl_->device = device;
    impl_->flush = std::move(flush);
}

CNtfsWriter::~CNtfsWriter() = default;

namespace {

// What the writer keeps of one file or folder of the FAT tree.
struct Entry {
    const FAT_NODE* node;
    uint64_t record;
    uint64_t parent;
    RunSpan runs;  // data runs in NTFS clusters (files), in the plan's run store
    Times times;
    std::u16string_view longName;  // the node's name (kept by the FAT volume)
    // The DOS name (the short name upper-cased; at most 8 + 1 + 3 units); none (0 units)
    // when the long name is of both namespaces.
    char16_t dosUnits[12] = {};
    uint8_t dosLength = 0;
    std::vector<std::vector<Run>> extents = {};  // when the runs need extension records: one each
    uint64_t firstExtension = 0;            // the first of those records (the others follow)
    size_t runsFirst = 0, runsCount = 0;    // where `runs` lies in the run store

    std::u16string_view DosName() const { return {dosUnits, dosLength}; }
};

// A $FILE_NAME value kept for a record and its index item.
struct Value {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    bool empty() const { return size == 0; }
};

}  // namespace

bool CNtfsWriter::Plan() {
    Impl& w = *impl_;
    const CFatVolume& fat = *w.fat;
    try {
        // 1. Geometry and the clusters that may take new data.
        plan_ = PlanNtfs(fat);
        if (!plan_.Fits()) throw Refusal("room");
        w.c = plan_.ClusterBytes;
        w.clusters = plan_.Clusters;
        w.perFat = fat.ClusterBytes() / w.c;
        w.available.assign(w.clusters, false);
        w.bitmap.assign(DivideUp(DivideUp(w.clusters, 8), 8) * 8, 0);
        // A stretch of free FAT clusters is one stretch of NTFS clusters.
        const uint32_t fatEnd = fat.ClusterCount() + 2;
        for (uint32_t k = 2; k < fatEnd;) {
            if (!fat.IsClusterFree(k)) { ++k; continue; }
            uint32_t e = k + 1;
            while (e < fatEnd && fat.IsClusterFree(e)) ++e;
            const uint64_t first = std::min(w.LcnOfFat(k), w.clusters);
            const uint64_t end = std::min(w.LcnOfFat(k) + uint64_t{e - k} * w.perFat, w.clusters);
            std::fill(w.available.begin() + static_cast<int64_t>(first), w.available.begin() + static_cast<int64_t>(end), true);
            k = e;
        }
        // $Boot's clusters at the start of the volume.
        const uint64_t bootClusters = DivideUp(kBootBytes, w.c);
        w.MarkUsed({0, bootClusters});

        // 2. Number the files and folders depth first and turn their chains into runs; data
        //    that lies beyond the NTFS volume's last cluster is copied into free clusters.
        std::vector<Entry> entries;
        entries.reserve(1 + fat.FileCount() + fat.DirectoryCount());
        uint64_t nextRecord = kNtfsFirstFreeRecord;
        // Local DOS times to UTC through the zone once per distinct date and time: the files
        // of a volume share few of them, and each conversion asks the C library's zone code.
        // The hundredths of a valid time only add to it. Files written together share their
        // times, so the last one asked is kept beside the table.
        std::unordered_map<uint32_t, uint64_t> utcOf;
        uint32_t lastKey = 0;
        uint64_t lastUtc = FatTimeToFileTime(0, 0);
        auto fileTime = [&](uint16_t date, uint16_t time, uint8_t tenths) -> uint64_t {
            if (tenths > 199) return FatTimeToFileTime(date, time, tenths);
            const uint32_t key = uint32_t{date} << 16 | time;
            if (key != lastKey) {
                auto it = utcOf.find(key);
                if (it == utcOf.end()) it = utcOf.emplace(key, FatTimeToFileTime(date, time)).first;
                lastKey = key;
                lastUtc = it->second;
            }
            return lastUtc == 0 ? 0 : lastUtc + uint64_t{tenths} * 100000;
        };
        // The runs of all files, one file after the other; a file's runs are appended at the
        // end while it is numbered (an entry's span is set once all are there).
        std::vector<Run> runStore;
        runStore.reserve(fat.FileCount() + 64);
        auto addRun = [&](size_t first, const Run& p) {
            if (runStore.size() > first && runStore.back().lcn + static_cast<int64_t>(runStore.back().count) == p.lcn)
                runStore.back().count += p.count;
            else
                runStore.push_back(p);
        };
        // A file's chain in NTFS clusters: the FAT clusters inside the NTFS volume keep their
        // place (a FAT run's clusters there are one run), the others are copied.
        auto fileRuns = [&](const FAT_NODE& file, size_t first) {
            uint64_t left = DivideUp(file.FileSize, w.c);
            for (const FAT_RUN& r : file.Runs) {
                if (left == 0) break;
                // The FAT clusters of this run that the file's size needs, and how many of them
                // lie wholly inside the NTFS volume (a prefix: each ends further on).
                const uint64_t wanted = std::min<uint64_t>(r.Count, DivideUp(left, w.perFat));
                const uint64_t lcn0 = w.LcnOfFat(r.First);
                uint64_t inside = 0;
                if (lcn0 + std::min(wanted * w.perFat, left) <= w.clusters)
                    inside = wanted;
                else if (lcn0 < w.clusters)
                    inside = std::min<uint64_t>(wanted - 1, (w.clusters - lcn0) / w.perFat);
                if (inside > 0) {
                    const Run kept{static_cast<int64_t>(lcn0), std::min(inside * w.perFat, left)};
                    w.MarkUsed(kept);
                    addRun(first, kept);
                    left -= kept.count;
                }
                for (uint64_t k = inside; k < wanted; ++k) {
                    const uint32_t fc = static_cast<uint32_t>(r.First + k);
                    const uint64_t take = std::min<uint64_t>(w.perFat, left);
                    std::vector<Run> piece = w.Allocate(take);
                    for (const Run& p : piece) addRun(first, p);
                    w.moves.push_back({fc, std::move(piece)});
                    left -= take;
                }
            }
        };
        auto number = [&](auto& self, const FAT_NODE& dir, uint64_t dirRecord) -> void {
            for (const FAT_NODE& child : dir.Children) {
                Entry& e = entries.emplace_back();
                e.node = &child;
                e.record = nextRecord++;
                e.parent = dirRecord;
                e.times.write = fileTime(child.WriteDate, child.WriteTime, 0);
                e.times.creation = child.CreationDate != 0
                                       ? fileTime(child.CreationDate, child.CreationTime, child.CreationTenths)
                                       : e.times.write;
                e.times.access = child.LastAccessDate != 0 ? fileTime(child.LastAccessDate, 0, 0) : e.times.write;
                e.times.change = e.times.write;
                e.longName = child.Name();
                if (child.ShortName.size() > std::size(e.dosUnits))
                    throw Refusal("A short name is longer than 8.3 characters: the volume is damaged.");
                UpcaseInto(child.ShortName, e.dosUnits);
                const std::u16string_view dos(e.dosUnits, child.ShortName.size());
                if (dos != e.longName) e.dosLength = static_cast<uint8_t>(dos.size());
                if (!child.IsDirectory() && child.FileSize != 0) {
                    e.runsFirst = runStore.size();
                    fileRuns(child, e.runsFirst);
                    e.runsCount = runStore.size() - e.runsFirst;
                    const RunSpan runs(runStore.data() + e.runsFirst, e.runsCount);
                    // Runs that do not fit beside the names go to extension records.
                    if (NtfsRunsNeedExtensionRecords(e.longName.size(), e.dosLength != 0, e.dosLength,
                                                     PairsBytes(runs))) {
                        e.extents = SplitExtents(runs);
                        e.firstExtension = nextRecord;
                        nextRecord += e.extents.size();
                    }
                }
                if (child.IsDirectory()) self(self, child, e.record);
            }
        };
        // Entry 0 stands for the root.
        entries.push_back(Entry{&fat.Root(), kRootRecord, kRootRecord, {}, {}, u"."});
        number(number, fat.Root(), kRootRecord);
        for (Entry& e : entries) e.runs = RunSpan(runStore.data() + e.runsFirst, e.runsCount);
        if (nextRecord > plan_.Records) throw Refusal("records");

        // 3. Clusters of the fixed metadata.
        const uint64_t now = NowFileTime();
        const Times sysTimes{now, now, now, now};
        const uint64_t records = plan_.Records;
        w.mirrorRecords = std::max<uint64_t>(4, w.c / kNtfsRecordBytes);
        w.mftRuns = w.Allocate(DivideUp(records * kNtfsRecordBytes, w.c));
        if (PairsBytes(w.mftRuns) > 200) throw Refusal("The free space is split into too many pieces for the MFT; defragment the volume first.");
        Bytes mftBitmap(DivideUp(records, 64) * 8, 0);
        auto setRecordBit = [&](uint64_t r) { mftBitmap[r / 8] |= static_cast<uint8_t>(1 << (r % 8)); };
        for (uint64_t r = 0; r < nextRecord; ++r) setRecordBit(r);
        const std::vector<Run> mftBitmapRuns = w.Place(mftBitmap);
        w.mirrorRuns = w.Allocate(DivideUp(w.mirrorRecords * kNtfsRecordBytes, w.c));
        const std::vector<Run> logRuns = w.Place(Bytes(plan_.LogFileBytes, 0xFF));
        const std::vector<Run> attrDefRuns = w.Place(AttrDefTable());
        Bytes upcase(kNtfsUpcaseBytes);
        {
            std::vector<char16_t> table(65536);
            UpcaseTable(table.data());
            for (uint32_t u = 0; u < 65536; ++u) ntfs::StoreLe<char16_t>(upcase.data() + 2 * u, table[u]);
        }
        const std::vector<Run> upcaseRuns = w.Place(upcase);
        // $Secure:$SDS with the default descriptor twice, 256 KiB apart.
        const Bytes sd = DefaultSecurityDescriptor();
        SECURITY_DESCRIPTOR_HEADER sdh{};
        sdh.Hash = SecurityDescriptorHash(sd.data(), static_cast<uint32_t>(sd.size()));
        sdh.SecurityId = kFirstSecurityId;
        sdh.Offset = 0;
        sdh.Length = static_cast<uint32_t>(sizeof sdh + sd.size());
        Bytes sdsEntry(sizeof sdh);
        std::memcpy(sdsEntry.data(), &sdh, sizeof sdh);
        sdsEntry.insert(sdsEntry.end(), sd.begin(), sd.end());
        Bytes sds(kNtfsSdsMirrorOffset + sdsEntry.size(), 0);
        std::memcpy(sds.data(), sdsEntry.data(), sdsEntry.size());
        std::memcpy(sds.data() + kNtfsSdsMirrorOffset, sdsEntry.data(), sdsEntry.size());
        const uint64_t sdsSize = sds.size();
        const std::vector<Run> sdsRuns = w.Place(std::move(sds));
        // The cluster bitmap: placed now, filled last.
        const uint64_t bitmapBytes = w.bitmap.size();
        const std::vector<Run> bitmapRuns = w.Allocate(DivideUp(bitmapBytes, w.c));

        // 4. The records.
        w.mftBytes = records * kNtfsRecordBytes;
        w.mft = AllocateZeroedBytes(w.mftBytes);
        auto slot = [&](uint64_t n) { return w.mft.get() + n * kNtfsRecordBytes; };

        // Index items per directory record (the root's: system files first, then the tree).
        std::vector<std::vector<IndexItem>> items(nextRecord);
        for (const Entry& e : entries)
            if (e.node->IsDirectory()) items[e.record].reserve(2 * e.node->Children.size() + (e.record == kRootRecord ? 16 : 0));
        // Names and keys of the system files, kept for their index items.
        std::deque<std::u16string> systemNames;
        std::deque<Bytes> systemKeys;
        auto addItem = [&](uint64_t dir, std::u16string_view name, uint64_t record, const uint8_t* key, uint32_t keyLength,
                           std::u16string_view shown, bool dosName = false) {
            items[dir].push_back({{}, name, Reference(record, SequenceOf(record)), key, keyLength, shown, dosName});
        };
        // A system file's record: SI, FN in namespace 3, then its own attributes.
        auto systemRecord = [&](uint64_t n, const std::u16string& name, uint16_t flags, uint64_t allocated,
                                uint64_t size, uint32_t fnFlags, uint64_t parent,
                                const std::function<void(RecordImage&)>& rest) {
            RecordImage rec(slot(n), n, SequenceOf(n), flags);
            const STANDARD_INFORMATION si = StandardInformation(sysTimes, 0x06);
            rec.AddResident(kAttrStandardInformation, u"", &si, sizeof si);
            const Bytes& fn = systemKeys.emplace_back(FileNameValue(Reference(parent, SequenceOf(parent)), sysTimes, allocated,
                                                                   size, 0x06 | fnFlags, name, kNamespaceWin32AndDos));
            rec.AddResident(kAttrFileName, u"", fn, true);
            rest(rec);
            rec.SetLinkCount(1);
            rec.Finish();
            if (n != kRootRecord) {
                const std::u16string& kept = systemNames.emplace_back(name);
                addItem(parent, kept, n, fn.data(), static_cast<uint32_t>(fn.size()), kept);
            }
        };
        auto runsBytes = [&](const std::vector<Run>& r) { return RunClusters(r) * w.c; };

        systemRecord(kMftRecord, u"$MFT", kRecordInUse, runsBytes(w.mftRuns), records * kNtfsRecordBytes, 0, kRootRecord,
                     [&](RecordImage& rec) {
                         rec.AddNonResident(kAttrData, u"", w.mftRuns, records * kNtfsRecordBytes, w.c);
                         rec.AddNonResident(kAttrBitmap, u"", mftBitmapRuns, mftBitmap.size(), w.c);
                     });
        systemRecord(kMftMirrRecord, u"$MFTMirr", kRecordInUse, runsBytes(w.mirrorRuns), w.mirrorRecords * kNtfsRecordBytes,
                     0, kRootRecord, [&](RecordImage& rec) {
                         rec.AddNonResident(kAttrData, u"", w.mirrorRuns, w.mirrorRecords * kNtfsRecordBytes, w.c);
                     });
        systemRecord(kLogFileRecord, u"$LogFile", kRecordInUse, runsBytes(logRuns), plan_.LogFileBytes, 0, kRootRecord,
                     [&](RecordImage& rec) { rec.AddNonResident(kAttrData, u"", logRuns, plan_.LogFileBytes, w.c); });
        systemRecord(kVolumeRecord, u"$Volume", kRecordInUse, 0, 0, 0, kRootRecord, [&](RecordImage& rec) {
            std::u16string label = fat.Label();
            if (label.size() > 32) label.resize(32);
            rec.AddResident(kAttrVolumeName, u"", reinterpret_cast<const uint8_t*>(label.data()),
                            static_cast<uint32_t>(2 * label.size()));
            VOLUME_INFORMATION info{};
            info.MajorVersion = 3;
            info.MinorVersion = 1;
            rec.AddResident(kAttrVolumeInformation, u"", reinterpret_cast<const uint8_t*>(&info), sizeof info);
            rec.AddResident(kAttrData, u"", nullptr, 0);
        });
        systemRecord(kAttrDefRecord, u"$AttrDef", kRecordInUse, runsBytes(attrDefRuns), kNtfsAttrDefBytes, 0, kRootRecord,
                     [&](RecordImage& rec) { rec.AddNonResident(kAttrData, u"", attrDefRuns, kNtfsAttrDefBytes, w.c); });
        systemRecord(kBitmapRecord, u"$Bitmap", kRecordInUse, runsBytes(bitmapRuns), bitmapBytes, 0, kRootRecord,
                     [&](RecordImage& rec) { rec.AddNonResident(kAttrData, u"", bitmapRuns, bitmapBytes, w.c); });
        const std::vector<Run> bootRuns{{0, bootClusters}};
        systemRecord(kBootRecord, u"$Boot", kRecordInUse, bootClusters * w.c, kBootBytes, 0, kRootRecord,
                     [&](RecordImage& rec) { rec.AddNonResident(kAttrData, u"", bootRuns, kBootBytes, w.c); });
        // $BadClus:$Bad: as long as the volume, sparse except where the FAT marked bad clusters.
        std::vector<Run> badRuns;
        {
            uint64_t at = 0;
            for (uint32_t k = 2; k < fat.ClusterCount() + 2; ++k) {
                if (fat.Entry(k) != CFatVolume::kBad) continue;
                const uint64_t lcn = w.LcnOfFat(k);
                if (lcn + w.perFat > w.clusters) continue;
                if (lcn > at) badRuns.push_back({-1, lcn - at});
                badRuns.push_back({static_cast<int64_t>(lcn), w.perFat});
                w.MarkUsed(badRuns.back());
                at = lcn + w.perFat;
            }
            if (at < w.clusters) badRuns.push_back({-1, w.clusters - at});
        }
        systemRecord(kBadClusRecord, u"$BadClus", kRecordInUse, 0, 0, 0, kRootRecord, [&](RecordImage& rec) {
            rec.AddResident(kAttrData, u"", nullptr, 0);
            rec.AddNonResident(kAttrData, u"$Bad", badRuns, w.clusters * w.c, w.c);
        });
        systemRecord(kSecureRecord, u"$Secure", kRecordInUse | 0x0008, 0, 0, 0x20000000, kRootRecord, [&](RecordImage& rec) {
            rec.AddNonResident(kAttrData, u"$SDS", sdsRuns, sdsSize, w.c);
            Bytes headerData(sizeof sdh);
            std::memcpy(headerData.data(), &sdh, sizeof sdh);
            Bytes sdhKey(8);
            ntfs::StoreLe<uint32_t>(sdhKey.data(), sdh.Hash);
            ntfs::StoreLe<uint32_t>(sdhKey.data() + 4, sdh.SecurityId);
            Bytes sdhData = headerData;
            sdhData.insert(sdhData.end(), {'I', 0, 'I', 0});
            VIEW_INDEX_ENTRY_HEADER end{};
            end.EntryLength = sizeof end;
            end.Flags = kIndexEntryLast;
            Bytes endBytes(sizeof end);
            std::memcpy(endBytes.data(), &end, sizeof end);
            Bytes sdhEntries = ViewEntry(sdhKey, sdhData);
            sdhEntries.insert(sdhEntries.end(), endBytes.begin(), endBytes.end());
            rec.AddResident(kAttrIndexRoot, u"$SDH", IndexRootValue(0, kCollationSecurityHash, w.c, sdhEntries, false));
            Bytes siiKey(4);
            ntfs::StoreLe<uint32_t>(siiKey.data(), sdh.SecurityId);
            Bytes siiEntries = ViewEntry(siiKey, headerData);
            siiEntries.insert(siiEntries.end(), endBytes.begin(), endBytes.end());
            rec.AddResident(kAttrIndexRoot, u"$SII", IndexRootValue(0, kCollationUlong, w.c, siiEntries, false));
        });
        systemRecord(kUpCaseRecord, u"$UpCase", kRecordInUse, runsBytes(upcaseRuns), kNtfsUpcaseBytes, 0, kRootRecord,
                     [&](RecordImage& rec) { rec.AddNonResident(kAttrData, u"", upcaseRuns, kNtfsUpcaseBytes, w.c); });
        // $Extend's children: empty view indexes.
        auto viewRecord = [&](uint64_t n, const std::u16string& name,
                              std::vector<std::pair<std::u16string, uint32_t>> roots) {
            systemRecord(n, name, kRecordInUse | 0x0008, 0, 0, 0x20000000, kExtendRecord, [&](RecordImage& rec) {
                for (const auto& [rootName, collation] : roots)
                    rec.AddResident(kAttrIndexRoot, rootName, EmptyViewRoot(collation, w.c));
            });
        };
        viewRecord(kQuotaRecord, u"$Quota", {{u"$O", kCollationSid}, {u"$Q", kCollationUlong}});
        viewRecord(kObjIdRecord, u"$ObjId", {{u"$O", kCollationUlongs}});
        viewRecord(kReparseRecord, u"$Reparse", {{u"$R", kCollationUlongs}});

        // 5. Files and folders: their names go into their parent's items first, so every
        //    folder's index can be built when its own record is. The $FILE_NAME values of all
        //    of them lie in one buffer, sized first.
        struct Names {
            uint32_t attributes;  // for $STANDARD_INFORMATION
            Value longName, dosName;  // $FILE_NAME values; dosName empty with one name for both
        };
        std::vector<Names> names(entries.size());
        size_t valueBytes = 0;
        for (size_t i = 1; i < entries.size(); ++i)
            valueBytes += FileNameValueBytes(entries[i].longName.size()) +
                          (entries[i].dosLength != 0 ? FileNameValueBytes(entries[i].dosLength) : 0);
        std::unique_ptr<uint8_t[]> values(new uint8_t[valueBytes]);
        uint8_t* nextValue = values.get();
        for (size_t i = 1; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            const FAT_NODE& n = *e.node;
            Names& v = names[i];
            v.attributes = n.Attributes & (kFatAttrReadOnly | kFatAttrHidden | kFatAttrSystem | kFatAttrArchive);
            const uint32_t fnAttrs = v.attributes | (n.IsDirectory() ? kFileAttrDirectoryIndex : 0);
            const uint64_t allocated = RunClusters(e.runs) * w.c, size = n.IsDirectory() ? 0 : n.FileSize;
            const uint64_t parentRef = Reference(e.parent, SequenceOf(e.parent));
            v.longName = {nextValue, FileNameValueBytes(e.longName.size())};
            WriteFileNameValue(nextValue, parentRef, e.times, allocated, size, fnAttrs, e.longName,
                               e.dosLength == 0 ? kNamespaceWin32AndDos : kNamespaceWin32);
            nextValue += v.longName.size;
            addItem(e.parent, e.longName, e.record, v.longName.data, v.longName.size, e.longName);
            if (e.dosLength != 0) {
                v.dosName = {nextValue, FileNameValueBytes(e.dosLength)};
                WriteFileNameValue(nextValue, parentRef, e.times, allocated, size, fnAttrs, e.DosName(), kNamespaceDos);
                nextValue += v.dosName.size;
                addItem(e.parent, e.DosName(), e.record, v.dosName.data, v.dosName.size, e.longName, true);
            }
        }
        // Items of $Extend.
        uint64_t indexClusters = 0;
        std::vector<char16_t> upperUnits;  // the upper-cased names of the folder being built
        auto directoryIndex = [&](RecordImage& rec, uint64_t dirRecord) {
            std::vector<IndexItem>& list = items[dirRecord];
            SortItems(&list, &upperUnits);
            // Two files whose names differ only in letter case would be one name to NTFS.
            for (size_t k = 1; k < list.size(); ++k)
                if (list[k].reference != list[k - 1].reference && list[k].upper == list[k - 1].upper)
                    throw Refusal("The names \"" + platform::Utf16ToUtf8(list[k - 1].shown) + "\" and \"" +
                                  platform::Utf16ToUtf8(list[k].shown) +
                                  "\" of one folder differ only in letter case, which NTFS does not allow; rename one first.");
            // Room in the record for the root: beside the $INDEX_ROOT header and value header,
            // and, for a large index, the $INDEX_ALLOCATION and $BITMAP attributes.
            const uint32_t rootHeaders = NtfsAlign8(sizeof(ATTR_HEADER_RESIDENT) + 8) + sizeof(INDEX_ROOT_VALUE);
            const uint32_t largeExtra = NtfsAlign8(sizeof(ATTR_HEADER_NONRESIDENT) + 8 + 64) + NtfsAlign8(sizeof(ATTR_HEADER_RESIDENT) + 8 + 64);
            uint32_t room = rec.Room() > rootHeaders ? rec.Room() - rootHeaders : 0;
            uint32_t all = 0x10;
            for (const IndexItem& it : list) all += EntryBytes(&it, false);
            if (all > room) room = room > largeExtra ? room - largeExtra : 0;
            if (room < 0x18) throw Refusal("A folder's name is too long for its NTFS record.");
            BuiltIndex built = BuildIndex(list, room, w.c, [&](uint64_t n) { return w.Allocate(n); });
            rec.AddResident(kAttrIndexRoot, u"$I30",
                            IndexRootValue(kAttrFileName, kCollationFileName, w.c, built.rootEntries, built.large));
            if (built.large) {
                Bytes& blocks = built.blocks;
                rec.AddNonResident(kAttrIndexAllocation, u"$I30", built.runs, blocks.size(), w.c);
                Bytes bits(DivideUp(DivideUp(built.blockCount, 8), 8) * 8, 0);
                for (size_t b = 0; b < built.blockCount; ++b) bits[b / 8] |= static_cast<uint8_t>(1 << (b % 8));
                rec.AddResident(kAttrBitmap, u"$I30", bits);
                indexClusters += RunClusters(built.runs);
                w.pieces.push_back({built.runs, std::move(blocks)});
            }
            // The folder's items are done with (their upper-cased names are overwritten next).
            std::vector<IndexItem>().swap(list);
        };
        // A file whose runs need extension records: its base record holds the standard
        // information, the attribute list and the names; each extension record one extent of
        // $DATA, the first with the sizes of the whole stream.
        auto fragmentedRecord = [&](const Entry& e, uint32_t attributes, const Value& longName, const Value& dosName) {
            const uint64_t base = Reference(e.record, 1);
            // Instances in the base record: 0 standard information, 1 the list, 2 and 3 the names.
            auto listEntry = [](Bytes* list, uint32_t type, uint64_t firstVcn, uint64_t reference, uint16_t instance) {
                ATTR_LIST_ENTRY entry{};
                entry.TypeCode = type;
                entry.EntryLength = sizeof entry;
                entry.NameOffset = offsetof(ATTR_LIST_ENTRY, Name);
                entry.FirstVcn = firstVcn;
                entry.FileReference = reference;
                entry.Instance = instance;
                const auto* bytes = reinterpret_cast<const uint8_t*>(&entry);
                list->insert(list->end(), bytes, bytes + sizeof entry);
            };
            Bytes list;
            listEntry(&list, kAttrStandardInformation, 0, base, 0);
            listEntry(&list, kAttrFileName, 0, base, 2);
            if (!dosName.empty()) listEntry(&list, kAttrFileName, 0, base, 3);
            uint64_t vcn = 0;
            for (size_t k = 0; k < e.extents.size(); ++k) {
                listEntry(&list, kAttrData, vcn, Reference(e.firstExtension + k, 1), 0);
                vcn += RunClusters(e.extents[k]);
            }
            const uint64_t clusters = vcn;
            RecordImage rec(slot(e.record), e.record, 1, kRecordInUse);
            const STANDARD_INFORMATION si = StandardInformation(e.times, attributes);
            rec.AddResident(kAttrStandardInformation, u"", &si, sizeof si);
            const uint32_t names = static_cast<uint32_t>(NtfsResidentBytes(longName.size) +
                                                         (dosName.empty() ? 0 : NtfsResidentBytes(dosName.size)));
            if (NtfsResidentBytes(static_cast<uint32_t>(list.size())) + names <= rec.Room()) {
                rec.AddResident(kAttrAttributeList, u"", list);
            } else {
                const uint64_t listBytes = list.size();
                rec.AddNonResident(kAttrAttributeList, u"", w.Place(std::move(list)), listBytes, w.c);
            }
            rec.AddResident(kAttrFileName, u"", longName.data, longName.size, true);
            if (!dosName.empty()) rec.AddResident(kAttrFileName, u"", dosName.data, dosName.size, true);
            rec.SetLinkCount(dosName.empty() ? 1 : 2);
            rec.Finish();
            vcn = 0;
            for (size_t k = 0; k < e.extents.size(); ++k) {
                const uint64_t number = e.firstExtension + k;
                RecordImage extension(slot(number), number, 1, kRecordInUse);
                extension.SetBaseRecord(base);
                extension.AddExtent(kAttrData, u"", e.extents[k], vcn, clusters, e.node->FileSize, w.c, 0);
                extension.Finish();
                vcn += RunClusters(e.extents[k]);
            }
        };
        systemRecord(kExtendRecord, u"$Extend", kRecordInUse | kRecordDirectory, 0, 0, kFileAttrDirectoryIndex, kRootRecord,
                     [&](RecordImage& rec) { directoryIndex(rec, kExtendRecord); });
        for (size_t i = 1; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            const FAT_NODE& n = *e.node;
            const Names& v = names[i];
            if (!e.extents.empty()) {
                fragmentedRecord(e, v.attributes, v.longName, v.dosName);
                continue;
            }
            RecordImage rec(slot(e.record), e.record, 1,
                            static_cast<uint16_t>(kRecordInUse | (n.IsDirectory() ? kRecordDirectory : 0)));
            const STANDARD_INFORMATION si = StandardInformation(e.times, v.attributes);
            rec.AddResident(kAttrStandardInformation, u"", &si, sizeof si);
            rec.AddResident(kAttrFileName, u"", v.longName.data, v.longName.size, true);
            if (!v.dosName.empty()) rec.AddResident(kAttrFileName, u"", v.dosName.data, v.dosName.size, true);
            if (n.IsDirectory())
                directoryIndex(rec, e.record);
            else if (e.runs.empty())
                rec.AddResident(kAttrData, u"", nullptr, 0);
            else
                rec.AddNonResident(kAttrData, u"", e.runs, n.FileSize, w.c);
            rec.SetLinkCount(e.dosLength == 0 ? 1 : 2);
            rec.Finish();
        }
        // The root last: every item of its index is known now ("." included).
        systemRecord(kRootRecord, u".", kRecordInUse | kRecordDirectory, 0, 0, kFileAttrDirectoryIndex, kRootRecord,
                     [&](RecordImage& rec) {
                         // The root's own name is an item of its index too.
                         const Bytes& self = systemKeys.emplace_back(
                             FileNameValue(Reference(kRootRecord, SequenceOf(kRootRecord)), sysTimes, 0, 0,
                                           0x06 | kFileAttrDirectoryIndex, u".", kNamespaceWin32AndDos));
                         const std::u16string& dot = systemNames.emplace_back(u".");
                         addItem(kRootRecord, dot, kRootRecord, self.data(), static_cast<uint32_t>(self.size()), dot);
                         directoryIndex(rec, kRootRecord);
                     });
        // Records nothing was built in (reserved and spare) get the bare header.
        for (uint64_t r = 0; r < records; ++r)
            if (slot(r)[0] == 0) EmptyRecord(slot(r), r);

        // 6. The boot sector, and where its backup goes.
        NTFS_BOOT_SECTOR& b = w.boot;
        b = NTFS_BOOT_SECTOR{};
        b.Jump[0] = 0xEB;
        b.Jump[1] = 0x52;
        b.Jump[2] = 0x90;
        std::memcpy(b.OemId, "NTFS    ", 8);
        b.BytesPerSector = 512;
        b.SectorsPerCluster = static_cast<uint8_t>(w.c / 512);
        b.MediaDescriptor = 0xF8;
        b.SectorsPerTrack = fat.SectorsPerTrack();
        b.Heads = fat.Heads();
        b.HiddenSectors = fat.HiddenSectors();
        b.Unused1 = 0x00800080;
        b.TotalSectors = fat.DeviceBytes() / 512 - 1;
        b.MftLcn = static_cast<uint64_t>(w.mftRuns.front().lcn);
        b.MftMirrorLcn = static_cast<uint64_t>(w.mirrorRuns.front().lcn);
        b.ClustersPerRecord = w.c <= kNtfsRecordBytes ? static_cast<int8_t>(kNtfsRecordBytes / w.c) : -10;
        b.ClustersPerIndexBlock = w.c <= kNtfsIndexBlockBytes ? static_cast<int8_t>(kNtfsIndexBlockBytes / w.c) : -12;
        b.SerialNumber = uint64_t{fat.VolumeSerial()} << 32 | fat.VolumeSerial();
        b.EndMarker = 0xAA55;
        // The last sector may be written before the switch only when no FAT file uses it.
        const uint64_t lastByte = fat.DeviceBytes() - 512;
        w.backupFirst = true;
        if (lastByte >= fat.TotalBytes()) {
            w.backupFirst = true;  // beyond the FAT volume
        } else if (lastByte >= fat.FirstDataByte()) {
            const uint64_t k = 2 + (lastByte - fat.FirstDataByte()) / fat.ClusterBytes();
            if (k < fat.ClusterCount() + 2u && !fat.IsClusterFree(static_cast<uint32_t>(k))) w.backupFirst = false;
        } else {
            w.backupFirst = false;
        }

        // 7. The MFT mirror is a copy of the first records; the cluster bitmap is complete.
        w.pieces.push_back({w.mirrorRuns, Bytes(w.mft.get(), w.mft.get() + w.mirrorRecords * kNtfsRecordBytes)});
        w.pieces.push_back({bitmapRuns, w.bitmap});
        metadataBytes_ = w.mftBytes;
        for (const auto& p : w.pieces) metadataBytes_ += p.bytes.size();
        (void)indexClusters;
        return true;
    } catch (const Refusal& r) {
        const std::string what = r.what();
        if (what == "room" || what == "records")
            problem_ = "The volume does not have enough free space for the NTFS metadata: it needs " +
                       std::to_string(plan_.MetadataClusters * plan_.ClusterBytes / 1024) + " KB, " +
                       std::to_string(plan_.FreeClusters * plan_.ClusterBytes / 1024) + " KB are free.";
        else if (what == "record overflow")
            problem_ = "A file or folder does not fit in one NTFS record (names or pieces too many).";
        else
            problem_ = what;
        return false;
    }
}

namespace {

// Writes bytes from the start of a run list, straight from the buffer in requests of up to
// 16 MiB; a last partial sector is padded with zeros. The rest of the clusters is untouched.
bool WriteAtRuns(CVolumeDevice* device, const std::vector<Run>& runs, const uint8_t* bytes, uint64_t size,
                 uint32_t clusterBytes) {
    constexpr uint64_t kMaxSectors = 32768;
    uint64_t at = 0;
    for (const Run& r : runs) {
        if (at >= size) break;
        const uint64_t take = std::min<uint64_t>(r.count * clusterBytes, size - at);
        const uint64_t first = static_cast<uint64_t>(r.lcn) * (clusterBytes / 512);
        const uint64_t whole = take / 512;
        for (uint64_t done = 0; done < whole;) {
            const uint64_t n = std::min(kMaxSectors, whole - done);
            if (device->WriteSectors(bytes + at + done * 512, first + done, n) != 1) return false;
            done += n;
        }
        if (take % 512 != 0) {
            uint8_t last[512] = {};
            std::memcpy(last, bytes + at + whole * 512, take % 512);
            if (device->WriteSectors(last, first + whole, 1) != 1) return false;
        }
        at += take;
    }
    return true;
}

}  // namespace

bool CNtfsWriter::Write(const std::function<void(const std::string& step)>& progress) {
    Impl& w = *impl_;
    const std::string stillFat = " The volume is still the FAT volume it was.";
    // 1. Data that must leave the clusters beyond the NTFS volume.
    for (const Impl::Move& m : w.moves) {
        Bytes data(w.fat->ClusterBytes());
        if (!w.fat->ReadClusters(m.fatCluster, 1, data.data())) {
            problem_ = "Cluster " + std::to_string(m.fatCluster) + " cannot be read." + stillFat;
            return false;
        }
        data.resize(RunClusters(m.to) * w.c);
        if (!WriteAtRuns(w.device, m.to, data.data(), data.size(), w.c)) {
            problem_ = "Writing the moved data failed." + stillFat;
            return false;
        }
    }
    // 2. The metadata in the order of its clusters, then the MFT itself and, when no FAT file
    //    uses the volume's last sector, the backup boot sector; one flush for all of it.
    progress("Writing the NTFS metadata...");
    std::vector<const Impl::Piece*> order;
    for (const Impl::Piece& p : w.pieces)
        if (!p.runs.empty()) order.push_back(&p);
    std::stable_sort(order.begin(), order.end(),
                     [](const Impl::Piece* a, const Impl::Piece* b) { return a->runs.front().lcn < b->runs.front().lcn; });
    for (const Impl::Piece* p : order) {
        if (!WriteAtRuns(w.device, p->runs, p->bytes.data(), p->bytes.size(), w.c)) {
            problem_ = "Writing the NTFS metadata failed." + stillFat;
            return false;
        }
    }
    progress("Writing the MFT...");
    if (!WriteAtRuns(w.device, w.mftRuns, w.mft.get(), w.mftBytes, w.c)) {
        problem_ = "Writing the MFT failed." + stillFat;
        return false;
    }
    const uint64_t backup = w.boot.TotalSectors;
    if (w.backupFirst && w.device->WriteSectors(&w.boot, backup, 1) != 1) {
        problem_ = "Writing the backup boot sector failed." + stillFat;
        return false;
    }
    if (!w.flush()) {
        problem_ = "Writing the NTFS metadata failed." + stillFat;
        return false;
    }
    // 3. The boot sector, flushed: from here the volume is NTFS. Then the backup when the
    //    FAT volume still used its sector.
    progress("Writing the NTFS boot sector...");
    if (w.device->WriteSectors(&w.boot, 0, 1) != 1 || !w.flush()) {
        problem_ = "Writing the NTFS boot sector failed: the volume may be neither FAT nor NTFS.";
        return false;
    }
    if (!w.backupFirst && (w.device->WriteSectors(&w.boot, backup, 1) != 1 || !w.flush())) {
        problem_ = "Writing the backup boot sector failed; the volume is NTFS without a backup boot sector.";
        return false;
    }
    return true;
}
