// CRC-32C: with the processor's CRC32 instruction where it has one (SSE 4.2, eight bytes at a
// time), else by a 256-entry table one byte at a time. Undo files checksum every byte they
// save, so the instruction keeps the checksum far below the cost of writing the bytes.
#include "undo/Crc32c.h"

#include <array>
#include <cstring>

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

uint32_t TableCrc(const uint8_t* p, size_t size, uint32_t c) {
    static const std::array<uint32_t, 256> table = MakeTable();
    for (size_t i = 0; i < size; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t InstructionCrc(const uint8_t* p, size_t size, uint32_t c) {
    uint64_t c64 = c;
    for (; size >= 8; p += 8, size -= 8) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        c64 = __builtin_ia32_crc32di(c64, word);
    }
    c = static_cast<uint32_t>(c64);
    for (; size > 0; ++p, --size) c = __builtin_ia32_crc32qi(c, *p);
    return c;
}

bool HasCrcInstruction() {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#endif

}  // namespace

uint32_t Crc32c(const void* data, size_t size, uint32_t crc) {
    const auto* p = static_cast<const uint8_t*>(data);
#if defined(__x86_64__)
    if (HasCrcInstruction()) return ~InstructionCrc(p, size, ~crc);
#endif
    return ~TableCrc(p, size, ~crc);
}
