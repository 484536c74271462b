// Hand-made NTFS structures for unit tests of the reader: boot sectors, FILE records with
// their attributes, mapping pairs, attribute lists, index roots and INDX blocks, laid out in
// a small in-memory volume. Everything is built with the reader's own on-disk structures,
// so a test says only what is special about its case (a damaged stride, an overrunning
// offset) and patches those bytes itself.
//
// Threads: any; no shared state.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ntfs/CIndexEntry.h"
#include "ntfs/CNTFSVolume.h"

namespace testsupport::crafted {

using Bytes = std::vector<uint8_t>;

// Stores a value at an offset of a byte vector (which must be long enough).
template <typename T>
void Put(Bytes* bytes, size_t offset, T value) {
    std::memcpy(bytes->data() + offset, &value, sizeof value);
}
template <typename T>
T Get(const Bytes& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}
// The UTF-16 units of a string as bytes.
Bytes Utf16Bytes(const std::u16string& text);
// a followed by b.
Bytes Concat(const Bytes& a, const Bytes& b);

struct Geometry {
    uint16_t sectorBytes = 512;
    uint8_t sectorsPerCluster = 8;     // 4096-byte clusters
    int8_t clustersPerRecord = -10;    // 1024-byte records
    int8_t clustersPerIndexBlock = 1;  // one-cluster index blocks
    uint64_t mftLcn = 4;
    uint64_t clusters = 256;           // length of the volume

    uint32_t ClusterBytes() const { return uint32_t{sectorBytes} * sectorsPerCluster; }
    uint32_t RecordSize() const;
    uint32_t IndexBlockBytes() const;
};

// A boot sector for the geometry (TotalSectors covers `clusters` clusters).
Bytes BootSector(const Geometry& geometry);

// Mapping pairs for runs of (cluster count, LCN; -1 for sparse), with the terminating 0.
Bytes MappingPairs(const std::vector<std::pair<uint64_t, int64_t>>& runs);

// Whole attributes (header, name, value or mapping pairs), padded to 8 bytes.
Bytes ResidentAttr(uint32_t type, const Bytes& value, const std::u16string& name = u"");
Bytes NonResidentAttr(uint32_t type, const Bytes& mappingPairs, uint64_t firstVcn, uint64_t lastVcn,
                      uint64_t dataSize, const std::u16string& name = u"");

// Attribute values.
Bytes StdInfoValue(uint32_t fileAttributes = 0);
Bytes FileNameValue(const std::u16string& name, uint8_t nameSpace, uint32_t fileAttributes = 0,
                    uint64_t writeTime = 0, uint64_t creationTime = 0, uint64_t accessTime = 0);
Bytes VolumeInfoValue(uint8_t major, uint8_t minor);
Bytes AttrListEntry(uint32_t type, uint64_t record, uint64_t firstVcn = 0);

// Index entries (padded to 8 bytes) and nodes.
Bytes IndexEntry(uint64_t fileReference, const Bytes& key, uint8_t flags = 0);
Bytes LastIndexEntry();
// An $INDEX_ROOT value with the entries (a last entry is not added: pass LastIndexEntry()).
Bytes IndexRootValue(const std::vector<Bytes>& entries, uint8_t flags = 0, uint32_t indexedType = 0x30);
// A protected INDX block of blockBytes with the entries.
Bytes IndexBlock(uint32_t blockBytes, const std::vector<Bytes>& entries, uint16_t sequence = 1);

// A protected FILE record of recordSize bytes holding the attributes in order and the end
// marker. The update sequence array sits at 0x30, the first attribute after it.
Bytes FileRecord(uint32_t recordSize, const std::vector<Bytes>& attributes, uint16_t flags = kRecordInUse,
                 uint16_t sequence = 1);
// Offset of the first attribute in a record made by FileRecord.
uint32_t FirstAttributeOffset(uint32_t recordSize);

// Writes the update sequence array of a structure at usaOffset and stamps every 512-byte
// stride's last word with the sequence number.
void Protect(Bytes* structure, uint16_t usaOffset, uint16_t sequence);

// A small volume image: boot sector at 0, the MFT contiguous from the geometry's LCN.
class Volume {
public:
    explicit Volume(const Geometry& geometry = Geometry());

    Bytes& Image() { return image_; }
    const Geometry& Geom() const { return geometry_; }
    uint64_t MftOffset() const { return geometry_.mftLcn * geometry_.ClusterBytes(); }

    // Record n at MftOffset + n * RecordSize.
    void PutRecord(uint64_t n, const Bytes& record);
    // Bytes at a byte offset / at the start of a cluster.
    void Put(uint64_t byteOffset, const Bytes& bytes);
    void PutCluster(uint64_t lcn, const Bytes& bytes) { Put(lcn * geometry_.ClusterBytes(), bytes); }
    // A $Volume record (3) of the given NTFS version, so that the volume reads its version.
    void PutVersion(uint8_t major, uint8_t minor);

private:
    Geometry geometry_;
    Bytes image_;
};

}  // namespace testsupport::crafted
