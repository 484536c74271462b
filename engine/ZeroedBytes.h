// ZeroedBytes: an owned byte buffer that starts all zeros. It comes from calloc, so a large
// one is made of pages the system hands over already zero: nothing is cleared twice, and
// pages never written are never touched. Used where a buffer is built piece by piece over
// zeros (an MFT image, a run of directory clusters).
//
// Threads: any; a buffer belongs to its owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

struct FreeZeroedBytes {
    void operator()(uint8_t* bytes) const { std::free(bytes); }
};
using ZeroedBytes = std::unique_ptr<uint8_t[], FreeZeroedBytes>;

// `bytes` zero bytes (at least one allocated); throws std::bad_alloc when there is no room.
inline ZeroedBytes AllocateZeroedBytes(size_t bytes) {
    ZeroedBytes buffer(static_cast<uint8_t*>(std::calloc(bytes != 0 ? bytes : 1, 1)));
    if (buffer == nullptr) throw std::bad_alloc();
    return buffer;
}
