// CRC-32C by a 256-entry table, one byte at a time (undo files are checksummed as they are
// written; the disk, not the checksum, bounds their speed).
#include "undo/Crc32c.h"

#include <array>

namespace {

std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        table[i] = c;
    }
    return table;
}

}  // namespace

uint32_t Crc32c(const void* data, size_t size, uint32_t crc) {
    static const std::array<uint32_t, 256> table = MakeTable();
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t c = ~crc;
    for (size_t i = 0; i < size; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}
