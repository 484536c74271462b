#include "tests/support/FaultyDevice.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace testsupport {

FaultyDevice::FaultyDevice(CVolumeDevice& inner) : inner_(inner) {
    // Mirrored so code that looks at the handle sees the real one; DriveLetter stays 0, so
    // this device never closes it.
    Handle = inner.Handle;
}

void FaultyDevice::FailNthRead(uint64_t n) { failReadCalls_.push_back(n); }
void FaultyDevice::FailNthWrite(uint64_t n) { failWriteCalls_.push_back(n); }
void FaultyDevice::FailReadsTouching(uint64_t first, uint64_t count) {
    failReads_.push_back({first, count});
}
void FaultyDevice::FailWritesTouching(uint64_t first, uint64_t count) {
    failWrites_.push_back({first, count});
}
void FaultyDevice::GuardSectors(uint64_t first, uint64_t count) {
    guards_.push_back({first, count});
}
void FaultyDevice::GuardSectorsWhere(std::function<bool(uint64_t)> isGuarded) {
    guardPredicates_.push_back(std::move(isGuarded));
}

bool FaultyDevice::Touches(const std::vector<Range>& ranges, uint64_t first, uint32_t n) {
    // Overlap of [first, first + n) and [r.first, r.first + r.count), without sums that wrap.
    return std::any_of(ranges.begin(), ranges.end(), [&](const Range& r) {
        if (n == 0 || r.count == 0) return false;
        return first <= r.first ? r.first - first < n : first - r.first < r.count;
    });
}

bool FaultyDevice::Contains(const std::vector<uint64_t>& calls, uint64_t call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

bool FaultyDevice::FirstGuarded(uint64_t first, uint32_t n, uint64_t* sector) const {
    if (!Touches(guards_, first, n) && guardPredicates_.empty()) return false;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t s = first + i;
        bool guarded = Touches(guards_, s, 1);
        for (const auto& isGuarded : guardPredicates_) guarded = guarded || isGuarded(s);
        if (guarded) {
            *sector = s;
            return true;
        }
    }
    return false;
}

int FaultyDevice::ReadSectors(void* buffer, uint64_t first, uint64_t count) {
    const auto n = static_cast<uint32_t>(count);
    ++readCalls_;
    CountTransfer(true, n);
    if (Contains(failReadCalls_, readCalls_) || Touches(failReads_, first, n)) {
        if (n > 0) std::memset(buffer, kFailedReadByte, size_t{n} * 512);
        return 0;
    }
    const int ok = inner_.ReadSectors(buffer, first, count);
    if (ok) SectorsRead += n;
    return ok;
}

int FaultyDevice::WriteSectors(const void* buffer, uint64_t first, uint64_t count) {
    const auto n = static_cast<uint32_t>(count);
    ++writeCalls_;
    CountTransfer(false, n);

    WriteRecord record;
    record.first = first;
    record.count = n;
    if (recordBytes_ && n > 0) {
        const auto* p = static_cast<const unsigned char*>(buffer);
        record.bytes.assign(p, p + size_t{n} * 512);
    }

    uint64_t guarded = 0;
    if (FirstGuarded(first, n, &guarded)) {
        record.outcome = Outcome::Refused;
        violations_.push_back({first, n, guarded});
    } else if (Contains(failWriteCalls_, writeCalls_) || Touches(failWrites_, first, n) ||
               (failWritesFrom_ != 0 && writeCalls_ >= failWritesFrom_)) {
        record.outcome = Outcome::Injected;
    } else if (inner_.WriteSectors(buffer, first, count)) {
        record.outcome = Outcome::Written;
        SectorsWritten += n;
    } else {
        record.outcome = Outcome::Failed;
    }
    const bool written = record.outcome == Outcome::Written;
    writes_.push_back(std::move(record));
    return written ? 1 : 0;
}

int FaultyDevice::Open() {
    const int ok = inner_.Open();
    Handle = inner_.Handle;
    return ok;
}

int FaultyDevice::Close() {
    inner_.Close();
    Handle = inner_.Handle;
    return 1;
}

std::string FaultyDevice::DescribeViolations() const {
    std::string text;
    for (const Violation& v : violations_) {
        if (!text.empty()) text += "; ";
        text += "write " + std::to_string(v.first) + "+" + std::to_string(v.count) +
                " into guarded sector " + std::to_string(v.sector);
    }
    return text;
}

}  // namespace testsupport
