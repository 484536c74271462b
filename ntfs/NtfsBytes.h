// Byte access for the NTFS reader: little-endian loads and stores at any address, and whole
// on-disk structures copied out of a buffer. Everything goes through memcpy, so neither
// alignment nor aliasing rules are broken by reading a field at an odd offset of a damaged
// record.
//
// Threads: any thread; no state.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

static_assert(std::endian::native == std::endian::little,
              "the NTFS structures are read in host byte order, which must be little-endian");

namespace ntfs {

// The value of type T stored at p (any alignment).
template <typename T>
inline T LoadLe(const void* p) {
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Stores value at p (any alignment).
template <typename T>
inline void StoreLe(void* p, T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(p, &value, sizeof value);
}

// A copy of the on-disk structure S that starts at p; the caller has checked that
// sizeof(S) bytes are there.
template <typename S>
inline S LoadStruct(const void* p) {
    return LoadLe<S>(p);
}

// True when `bytes` bytes starting at `offset` lie inside a buffer of `size` bytes
// (written so that no sum can wrap).
inline bool RangeFits(uint64_t offset, uint64_t bytes, uint64_t size) {
    return offset <= size && bytes <= size - offset;
}

// Record numbers are the low 48 bits of a file reference (the top 16 bits are the
// sequence number).
constexpr uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFULL;
inline uint64_t RecordNumberOf(uint64_t fileReference) { return fileReference & kRecordNumberMask; }

}  // namespace ntfs
