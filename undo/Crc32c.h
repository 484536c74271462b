// CRC-32C (Castagnoli), the checksum of undo files: reflected polynomial 0x82F63B78, initial
// value and final XOR all ones, so Crc32c("123456789") is 0xE3069283.
//
// Threads: any thread (the table is built once, thread-safely).
#pragma once

#include <cstddef>
#include <cstdint>

// The checksum of size bytes, continuing from crc (the result of an earlier call over the
// bytes before them; 0 to start).
uint32_t Crc32c(const void* data, size_t size, uint32_t crc = 0);
