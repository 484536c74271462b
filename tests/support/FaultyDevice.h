// FaultyDevice: a volume device for tests that wraps a real one and injects faults, records
// what is written, and guards sectors that must never be written.
//
// It counts progress exactly as CVolumeDevice does (set ProgressTotal, ProgressSink, ... on
// the FaultyDevice, not on the inner device), then decides each transfer in this order:
//   1. a write that touches a guarded sector is refused: not performed, returns 0, and
//      recorded as a violation;
//   2. an injected fault (the Nth call, or a call touching a failing sector) returns 0
//      without reaching the inner device; a failed read fills the buffer with
//      kFailedReadByte, so a caller that uses the bytes of a failed read shows up;
//   3. otherwise the inner device does the transfer and its result is returned.
// Calls are numbered from 1 per direction, every call counting (0-sector ones included).
// Sector ranges are [first, first + count) in 512-byte sectors; a transfer "touches" a range
// when they share a sector (the transfer's count is the low 32 bits, as on the real device).
//
// Ownership: the inner device is not owned and must outlive this one; Open and Close are
// passed to it. Threads: one test thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/CVolumeDevice.h"

namespace testsupport {

class FaultyDevice : public CVolumeDevice {
public:
    static constexpr unsigned char kFailedReadByte = 0xDB;

    // What became of one write.
    enum class Outcome {
        Written,   // the inner device wrote it
        Failed,    // the inner device refused it (e.g. past the end)
        Injected,  // an injected fault failed it
        Refused,   // it touched a guarded sector: a violation
    };
    struct WriteRecord {
        uint64_t first = 0;
        uint32_t count = 0;
        Outcome outcome = Outcome::Written;
        std::vector<unsigned char> bytes;  // the data, when RecordWriteBytes(true)
    };
    struct Violation {
        uint64_t first = 0;    // the refused write
        uint32_t count = 0;
        uint64_t sector = 0;   // its first guarded sector
    };

    explicit FaultyDevice(CVolumeDevice& inner);

    // Fault injection; each call adds to what was set before.
    void FailNthRead(uint64_t n);
    void FailNthWrite(uint64_t n);
    // A power cut before the nth write: it and every later write fail (0: none).
    void FailWritesFrom(uint64_t n) { failWritesFrom_ = n; }
    void FailReadsTouching(uint64_t first, uint64_t count);
    void FailWritesTouching(uint64_t first, uint64_t count);

    // Guards: writes into these sectors are refused and recorded as violations.
    void GuardSectors(uint64_t first, uint64_t count);
    // Any sector for which the predicate says true is guarded (e.g. "its cluster's bit is
    // set in the bitmap"). The predicate is asked once per sector of each write.
    void GuardSectorsWhere(std::function<bool(uint64_t sector)> isGuarded);

    // Whether WriteRecords keep a copy of the data (off by default).
    void RecordWriteBytes(bool on) { recordBytes_ = on; }

    const std::vector<WriteRecord>& Writes() const { return writes_; }
    const std::vector<Violation>& Violations() const { return violations_; }
    // The violations as text ("write 40+8 into guarded sector 44; ..."), for test messages.
    std::string DescribeViolations() const;
    uint64_t ReadCalls() const { return readCalls_; }
    uint64_t WriteCalls() const { return writeCalls_; }

    int ReadSectors(void* buffer, uint64_t first, uint64_t count) override;
    int WriteSectors(const void* buffer, uint64_t first, uint64_t count) override;
    uint64_t SectorCount() override { return inner_.SectorCount(); }
    int Open() override;
    int Close() override;

private:
    struct Range {
        uint64_t first;
        uint64_t count;
    };
    static bool Touches(const std::vector<Range>& ranges, uint64_t first, uint32_t n);
    static bool Contains(const std::vector<uint64_t>& calls, uint64_t call);
    // The first guarded sector of the write, or false when it touches none.
    bool FirstGuarded(uint64_t first, uint32_t n, uint64_t* sector) const;

    CVolumeDevice& inner_;
    std::vector<uint64_t> failReadCalls_, failWriteCalls_;
    uint64_t failWritesFrom_ = 0;
    std::vector<Range> failReads_, failWrites_, guards_;
    std::vector<std::function<bool(uint64_t)>> guardPredicates_;
    bool recordBytes_ = false;
    uint64_t readCalls_ = 0, writeCalls_ = 0;
    std::vector<WriteRecord> writes_;
    std::vector<Violation> violations_;
};

}  // namespace testsupport
