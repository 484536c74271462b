#include "tests/support/CraftedNtfs.h"

#include <stdexcept>

namespace testsupport::crafted {

namespace {

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

uint32_t StructureBytes(int8_t v, uint32_t clusterBytes) {
    return v > 0 ? clusterBytes * static_cast<uint32_t>(v) : 1u << -v;
}

uint16_t StrideCount(size_t bytes) { return static_cast<uint16_t>(bytes / 512); }

}  // namespace

Bytes Utf16Bytes(const std::u16string& text) {
    Bytes bytes(text.size() * 2);
    if (!text.empty()) std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

uint32_t Geometry::RecordSize() const { return StructureBytes(clustersPerRecord, ClusterBytes()); }
uint32_t Geometry::IndexBlockBytes() const { return StructureBytes(clustersPerIndexBlock, ClusterBytes()); }

Bytes BootSector(const Geometry& g) {
    NTFS_BOOT_SECTOR boot{};
    boot.Jump[0] = 0xEB;
    boot.Jump[1] = 0x52;
    boot.Jump[2] = 0x90;
    std::memcpy(boot.OemId, "NTFS    ", 8);
    boot.BytesPerSector = g.sectorBytes;
    boot.SectorsPerCluster = g.sectorsPerCluster;
    boot.MediaDescriptor = 0xF8;
    boot.TotalSectors = g.clusters * g.sectorsPerCluster;
    boot.MftLcn = g.mftLcn;
    boot.MftMirrorLcn = 2;
    boot.ClustersPerRecord = g.clustersPerRecord;
    boot.ClustersPerIndexBlock = g.clustersPerIndexBlock;
    boot.EndMarker = 0xAA55;
    Bytes bytes(sizeof boot);
    std::memcpy(bytes.data(), &boot, sizeof boot);
    return bytes;
}

Bytes MappingPairs(const std::vector<std::pair<uint64_t, int64_t>>& runs) {
    Bytes out;
    int64_t previous = 0;
    for (const auto& [count, lcn] : runs) {
        // Smallest little-endian widths: unsigned for the length, signed for the offset.
        Bytes length;
        for (uint64_t v = count; v != 0 || length.empty(); v >>= 8) length.push_back(static_cast<uint8_t>(v));
        if (length.back() & 0x80) length.push_back(0);
        Bytes offset;
        if (lcn >= 0) {
            int64_t delta = lcn - previous;
            previous = lcn;
            for (;;) {
                offset.push_back(static_cast<uint8_t>(delta));
                const int64_t rest = delta >> 8;
                const bool signBit = (offset.back() & 0x80) != 0;
                if ((rest == 0 && !signBit) || (rest == -1 && signBit)) break;
                delta = rest;
            }
        }
        out.push_back(static_cast<uint8_t>(offset.size() << 4 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
        out.insert(out.end(), offset.begin(), offset.end());
    }
    out.push_back(0);
    return out;
}

Bytes ResidentAttr(uint32_t type, const Bytes& value, const std::u16string& name) {
    const size_t nameOffset = sizeof(ATTR_HEADER_RESIDENT);
    const size_t valueOffset = Align8(nameOffset + name.size() * 2);
    Bytes bytes(Align8(valueOffset + value.size()));
    ATTR_HEADER_RESIDENT h{};
    h.Common.TypeCode = type;
    h.Common.Length = static_cast<uint32_t>(bytes.size());
    h.Common.NameLength = static_cast<uint8_t>(name.size());
    h.Common.NameOffset = static_cast<uint16_t>(nameOffset);
    h.ValueLength = static_cast<uint32_t>(value.size());
    h.ValueOffset = static_cast<uint16_t>(valueOffset);
    std::memcpy(bytes.data(), &h, sizeof h);
    std::memcpy(bytes.data() + nameOffset, name.data(), name.size() * 2);
    if (!value.empty()) std::memcpy(bytes.data() + valueOffset, value.data(), value.size());
    return bytes;
}

Bytes NonResidentAttr(uint32_t type, const Bytes& mappingPairs, uint64_t firstVcn, uint64_t lastVcn,
                      uint64_t dataSize, const std::u16string& name) {
    const size_t nameOffset = sizeof(ATTR_HEADER_NONRESIDENT);
    const size_t pairsOffset = Align8(nameOffset + name.size() * 2);
    Bytes bytes(Align8(pairsOffset + mappingPairs.size()));
    ATTR_HEADER_NONRESIDENT h{};
    h.Common.TypeCode = type;
    h.Common.Length = static_cast<uint32_t>(bytes.size());
    h.Common.NonResident = 1;
    h.Common.NameLength = static_cast<uint8_t>(name.size());
    h.Common.NameOffset = static_cast<uint16_t>(nameOffset);
    h.FirstVcn = firstVcn;
    h.LastVcn = lastVcn;
    h.MappingPairsOffset = static_cast<uint16_t>(pairsOffset);
    h.AllocatedSize = dataSize;
    h.DataSize = dataSize;
    h.InitializedSize = dataSize;
    std::memcpy(bytes.data(), &h, sizeof h);
    std::memcpy(bytes.data() + nameOffset, name.data(), name.size() * 2);
    if (!mappingPairs.empty()) std::memcpy(bytes.data() + pairsOffset, mappingPairs.data(), mappingPairs.size());
    return bytes;
}

Bytes StdInfoValue(uint32_t fileAttributes) {
    STANDARD_INFORMATION info{};
    info.FileAttributes = fileAttributes;
    Bytes bytes(sizeof info);
    std::memcpy(bytes.data(), &info, sizeof info);
    return bytes;
}

Bytes FileNameValue(const std::u16string& name, uint8_t nameSpace, uint32_t fileAttributes, uint64_t writeTime,
                    uint64_t creationTime, uint64_t accessTime) {
    FILE_NAME_VALUE v{};
    v.ParentReference = 5;
    v.CreationTime = creationTime;
    v.LastWriteTime = writeTime;
    v.LastAccessTime = accessTime;
    v.FileAttributes = fileAttributes;
    v.NameLength = static_cast<uint8_t>(name.size());
    v.NameSpace = nameSpace;
    Bytes bytes(sizeof v);
    std::memcpy(bytes.data(), &v, sizeof v);
    return Concat(bytes, Utf16Bytes(name));
}

Bytes VolumeInfoValue(uint8_t major, uint8_t minor) {
    VOLUME_INFORMATION v{};
    v.MajorVersion = major;
    v.MinorVersion = minor;
    Bytes bytes(sizeof v);
    std::memcpy(bytes.data(), &v, sizeof v);
    return bytes;
}

Bytes AttrListEntry(uint32_t type, uint64_t record, uint64_t firstVcn) {
    ATTR_LIST_ENTRY e{};
    e.TypeCode = type;
    e.EntryLength = sizeof e;
    e.NameOffset = offsetof(ATTR_LIST_ENTRY, Name);
    e.FirstVcn = firstVcn;
    e.FileReference = record | (uint64_t{1} << 48);  // sequence number 1
    Bytes bytes(sizeof e);
    std::memcpy(bytes.data(), &e, sizeof e);
    return bytes;
}

Bytes IndexEntry(uint64_t fileReference, const Bytes& key, uint8_t flags) {
    Bytes bytes(Align8(sizeof(INDEX_ENTRY_HEADER) + key.size()));
    INDEX_ENTRY_HEADER h{};
    h.FileReference = fileReference;
    h.EntryLength = static_cast<uint16_t>(bytes.size());
    h.KeyLength = static_cast<uint16_t>(key.size());
    h.Flags = flags;
    std::memcpy(bytes.data(), &h, sizeof h);
    if (!key.empty()) std::memcpy(bytes.data() + sizeof h, key.data(), key.size());
    return bytes;
}

Bytes LastIndexEntry() { return IndexEntry(0, Bytes(), kIndexEntryLast); }

Bytes IndexRootValue(const std::vector<Bytes>& entries, uint8_t flags, uint32_t indexedType) {
    INDEX_ROOT_VALUE root{};
    root.IndexedType = indexedType;
    root.CollationRule = 1;
    root.IndexBlockBytes = 4096;
    root.ClustersPerBlock = 1;
    root.Node.FirstEntryOffset = sizeof(INDEX_HEADER);
    uint32_t used = sizeof(INDEX_HEADER);
    for (const Bytes& e : entries) used += static_cast<uint32_t>(e.size());
    root.Node.BytesInUse = used;
    root.Node.BytesAllocated = used;
    root.Node.Flags = flags;
    Bytes bytes(sizeof root);
    std::memcpy(bytes.data(), &root, sizeof root);
    for (const Bytes& e : entries) bytes = Concat(bytes, e);
    return bytes;
}

void Protect(Bytes* structure, uint16_t usaOffset, uint16_t sequence) {
    const uint16_t strides = StrideCount(structure->size());
    Put<uint16_t>(structure, offsetof(MULTI_SECTOR_HEADER, UsaOffset), usaOffset);
    Put<uint16_t>(structure, offsetof(MULTI_SECTOR_HEADER, UsaCount), static_cast<uint16_t>(strides + 1));
    Put<uint16_t>(structure, usaOffset, sequence);
    for (uint16_t k = 0; k < strides; ++k) {
        const size_t last = (k + 1) * 512 - 2;
        Put<uint16_t>(structure, usaOffset + 2 + 2 * k, Get<uint16_t>(*structure, last));
        Put<uint16_t>(structure, last, sequence);
    }
}

Bytes IndexBlock(uint32_t blockBytes, const std::vector<Bytes>& entries, uint16_t sequence) {
    Bytes block(blockBytes);
    std::memcpy(block.data(), "INDX", 4);
    const uint16_t usaOffset = sizeof(INDEX_BLOCK_HEADER);
    const size_t first = Align8(usaOffset + 2 * (StrideCount(blockBytes) + 1));
    size_t at = first;
    for (const Bytes& e : entries) {
        if (at + e.size() > blockBytes) throw std::runtime_error("index block entries do not fit");
        std::memcpy(block.data() + at, e.data(), e.size());
        at += e.size();
    }
    const size_t node = offsetof(INDEX_BLOCK_HEADER, Node);
    Put<uint32_t>(&block, node + offsetof(INDEX_HEADER, FirstEntryOffset), static_cast<uint32_t>(first - node));
    Put<uint32_t>(&block, node + offsetof(INDEX_HEADER, BytesInUse), static_cast<uint32_t>(at - node));
    Put<uint32_t>(&block, node + offsetof(INDEX_HEADER, BytesAllocated), static_cast<uint32_t>(blockBytes - node));
    Protect(&block, usaOffset, sequence);
    return block;
}

uint32_t FirstAttributeOffset(uint32_t recordSize) {
    return static_cast<uint32_t>(Align8(sizeof(FILE_RECORD_HEADER) + 2 * (StrideCount(recordSize) + 1)));
}

Bytes FileRecord(uint32_t recordSize, const std::vector<Bytes>& attributes, uint16_t flags, uint16_t sequence) {
    Bytes record(recordSize);
    std::memcpy(record.data(), "FILE", 4);
    const uint32_t first = FirstAttributeOffset(recordSize);
    size_t at = first;
    for (const Bytes& a : attributes) {
        if (at + a.size() + 8 > recordSize) throw std::runtime_error("attributes do not fit the record");
        std::memcpy(record.data() + at, a.data(), a.size());
        at += a.size();
    }
    Put<uint32_t>(&record, at, kAttrEnd);
    at += 8;
    Put<uint16_t>(&record, offsetof(FILE_RECORD_HEADER, SequenceNumber), 1);
    Put<uint16_t>(&record, offsetof(FILE_RECORD_HEADER, LinkCount), 1);
    Put<uint16_t>(&record, offsetof(FILE_RECORD_HEADER, FirstAttributeOffset), static_cast<uint16_t>(first));
    Put<uint16_t>(&record, offsetof(FILE_RECORD_HEADER, Flags), flags);
    Put<uint32_t>(&record, offsetof(FILE_RECORD_HEADER, BytesInUse), static_cast<uint32_t>(at));
    Put<uint32_t>(&record, offsetof(FILE_RECORD_HEADER, BytesAllocated), recordSize);
    Protect(&record, sizeof(FILE_RECORD_HEADER), sequence);
    return record;
}

Volume::Volume(const Geometry& geometry)
    : geometry_(geometry), image_(geometry.clusters * geometry.ClusterBytes()) {
    Put(0, BootSector(geometry));
}

void Volume::PutRecord(uint64_t n, const Bytes& record) { Put(MftOffset() + n * geometry_.RecordSize(), record); }

void Volume::Put(uint64_t byteOffset, const Bytes& bytes) {
    if (byteOffset + bytes.size() > image_.size()) throw std::runtime_error("write beyond the crafted volume");
    std::memcpy(image_.data() + byteOffset, bytes.data(), bytes.size());
}

void Volume::PutVersion(uint8_t major, uint8_t minor) {
    PutRecord(kVolumeRecord, FileRecord(geometry_.RecordSize(),
                                        {ResidentAttr(kAttrVolumeInformation, VolumeInfoValue(major, minor))}));
}

}  // namespace testsupport::crafted
