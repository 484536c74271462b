// MemoryDevice: a volume device over bytes held in memory, for unit tests of the code that
// reads and writes through CVolumeDevice. Sectors are 512 bytes; a transfer that reaches past
// the end fails like one past the end of a real volume. It records every read (first sector,
// count) so tests can check how the reader addresses the disk, and can fail reads that touch
// chosen sectors.
//
// Header-only so that any layer's tests can use it. Threads: one test thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "device/CVolumeDevice.h"

namespace testsupport {

class MemoryDevice : public CVolumeDevice {
public:
    struct Read {
        uint64_t first;
        uint32_t count;
    };

    explicit MemoryDevice(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    std::vector<uint8_t>& Bytes() { return bytes_; }
    const std::vector<Read>& Reads() const { return reads_; }
    void ClearReads() { reads_.clear(); }
    // Reads touching [first, first + count) fail from now on.
    void FailReadsTouching(uint64_t first, uint64_t count) { failing_.push_back({first, count}); }

    int ReadSectors(void* buffer, uint64_t first, uint64_t count) override {
        const auto n = static_cast<uint32_t>(count);
        reads_.push_back({first, n});
        if (n == 0) return 1;
        for (const auto& f : failing_) {
            if (first < f.first + f.count && f.first < first + n) return 0;
        }
        if (!Fits(first, n)) return 0;
        std::memcpy(buffer, bytes_.data() + first * 512, uint64_t{n} * 512);
        return 1;
    }

    int WriteSectors(const void* buffer, uint64_t first, uint64_t count) override {
        const auto n = static_cast<uint32_t>(count);
        if (n == 0) return 1;
        if (!Fits(first, n)) return 0;
        std::memcpy(bytes_.data() + first * 512, buffer, uint64_t{n} * 512);
        return 1;
    }

    uint64_t SectorCount() override { return bytes_.size() / 512; }
    int Open() override { return 1; }
    int Close() override { return 1; }

private:
    bool Fits(uint64_t first, uint32_t n) const {
        const uint64_t sectors = bytes_.size() / 512;
        return first <= sectors && n <= sectors - first;
    }

    struct Range {
        uint64_t first;
        uint64_t count;
    };
    std::vector<uint8_t> bytes_;
    std::vector<Read> reads_;
    std::vector<Range> failing_;
};

}  // namespace testsupport
