// SparseDevice: a volume device of a given length that reads as zeros except where bytes were
// placed or written. Only the 4 KiB pages touched take memory, so a volume of FAT32 size
// (tens or hundreds of MiB) costs what its metadata and file data cost. For tests and fuzz
// targets that run whole conversions in memory.
//
// A transfer budget bounds the work done through the device: once the bytes read plus
// written reach it, every further transfer fails (returns 0), as a disk that stopped
// answering would. Chosen sectors can be made bad: a transfer touching one fails. Both can
// be lifted to inspect the result afterwards.
//
// Header-only so that the fuzz targets (which link the engine alone) can use it.
// Threads: one thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "device/CVolumeDevice.h"

namespace testsupport {

class SparseDevice : public CVolumeDevice {
public:
    static constexpr uint64_t kPageBytes = 4096;
    static constexpr uint64_t kSectorsPerPage = kPageBytes / 512;

    // A volume of `sectors` sectors of zeros; `budgetBytes` bounds the bytes transferred
    // (UINT64_MAX: no bound).
    explicit SparseDevice(uint64_t sectors, uint64_t budgetBytes = UINT64_MAX)
        : sectors_(sectors), budget_(budgetBytes) {}

    // Places bytes at sector `first` without counting them as a transfer; what lies beyond
    // the volume's end is dropped. A partial last sector keeps zeros after the bytes.
    void Place(uint64_t first, const uint8_t* bytes, uint64_t length) {
        if (first >= sectors_) return;
        length = std::min(length, (sectors_ - first) * 512);
        Copy(first * 512, bytes, length);
    }

    // Lifts the budget (UINT64_MAX: none) and forgets what was spent.
    void SetBudget(uint64_t budgetBytes) {
        budget_ = budgetBytes;
        spent_ = 0;
    }
    uint64_t Spent() const { return spent_; }

    // Transfers touching [first, first + count) fail from now on.
    void FailSectors(uint64_t first, uint64_t count) { failing_.push_back({first, count}); }
    // Every sector answers again (false) or the bad ones fail again (true); Fails() still
    // names the bad ones.
    void SetFailuresActive(bool active) { failuresActive_ = active; }
    // True when a sector of [first, first + count) was made bad.
    bool Fails(uint64_t first, uint64_t count) const {
        for (const Range& f : failing_) {
            if (first < f.first + f.count && f.first < first + count) return true;
        }
        return false;
    }
    // Sectors written since the device was made, successful writes only.
    uint64_t Written() const { return written_; }
    // Pages that hold bytes.
    size_t Pages() const { return pages_.size(); }

    int ReadSectors(void* buffer, uint64_t first, uint64_t count) override {
        const uint64_t n = static_cast<uint32_t>(count);  // the interface takes the low 32 bits
        if (n == 0) return 1;
        if (!Admit(first, n)) return 0;
        auto* out = static_cast<uint8_t*>(buffer);
        uint64_t at = first * 512;
        uint64_t left = n * 512;
        while (left > 0) {
            const uint64_t within = at % kPageBytes;
            const uint64_t piece = std::min(left, kPageBytes - within);
            auto page = pages_.find(at / kPageBytes);
            if (page == pages_.end()) {
                std::memset(out, 0, piece);
            } else {
                std::memcpy(out, page->second.get() + within, piece);
            }
            out += piece;
            at += piece;
            left -= piece;
        }
        return 1;
    }

    int WriteSectors(const void* buffer, uint64_t first, uint64_t count) override {
        const uint64_t n = static_cast<uint32_t>(count);
        if (n == 0) return 1;
        if (!Admit(first, n)) return 0;
        Copy(first * 512, static_cast<const uint8_t*>(buffer), n * 512);
        written_ += n;
        return 1;
    }

    uint64_t SectorCount() override { return sectors_; }
    int Open() override { return 1; }
    int Close() override { return 1; }

private:
    // True when [first, first + n) lies on the volume and the budget covers it (then spent).
    bool Admit(uint64_t first, uint64_t n) {
        if (first > sectors_ || n > sectors_ - first || (failuresActive_ && Fails(first, n))) return false;
        const uint64_t bytes = n * 512;
        if (budget_ != UINT64_MAX && (spent_ >= budget_ || bytes > budget_ - spent_)) {
            spent_ = budget_;
            return false;
        }
        spent_ += bytes;
        return true;
    }

    void Copy(uint64_t at, const uint8_t* bytes, uint64_t length) {
        while (length > 0) {
            const uint64_t within = at % kPageBytes;
            const uint64_t piece = std::min(length, kPageBytes - within);
            std::unique_ptr<uint8_t[]>& page = pages_[at / kPageBytes];
            if (!page) page = std::make_unique<uint8_t[]>(kPageBytes);  // zeroed
            std::memcpy(page.get() + within, bytes, piece);
            bytes += piece;
            at += piece;
            length -= piece;
        }
    }

    struct Range {
        uint64_t first;
        uint64_t count;
    };
    uint64_t sectors_;
    uint64_t budget_;
    std::vector<Range> failing_;
    bool failuresActive_ = true;
    uint64_t spent_ = 0;
    uint64_t written_ = 0;
    std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> pages_;
};

}  // namespace testsupport
