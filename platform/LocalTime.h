// Local time: file times shifted into the local zone, the DOS date and time of FAT
// directory entries, and the local clock.
//
// A FILETIME is a count of 100-ns intervals since 1601-01-01 00:00 UTC (uint64). The local
// zone is the process's zone (TZ, else /etc/localtime); each instant is shifted by the
// offset in force at that instant, so summer and winter times both come out as the clock
// on the wall showed them.
//
// Threads: any thread. The clock override is process-wide; set it only while no other
// thread reads the clock (tests set it before the code under test runs).
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// FILETIME of 1970-01-01 00:00 UTC.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;

// Shifts a UTC FILETIME into the local zone. False (and *local untouched) when the zone
// cannot be worked out or the result would leave the FILETIME range.
bool FileTimeToLocalFileTime(uint64_t utc, uint64_t* local);

// The DOS form of a time, as a FAT directory entry holds it.
struct DosDateTime {
    uint16_t date = 0;        // (year - 1980) << 9 | month << 5 | day
    uint16_t time = 0;        // hour << 11 | minute << 5 | second / 2
    uint8_t centiseconds = 0; // 0..199: the odd second and the hundredths lost by `time`
                              // (the creation-time fine resolution byte)
};

// Splits a FILETIME, taken as it stands (no zone shift), into DOS fields. A time before
// 1980-01-01 or after 2107-12-31 has no DOS form: false, and *out is all zeros.
bool FileTimeToDosDateTime(uint64_t fileTime, DosDateTime* out);

// The way back, as FAT stores times: local DOS fields (with the creation time's 0..199
// hundredths) -> UTC FILETIME, each instant shifted by the zone's offset in force then (a
// wall time that a clock change skips or repeats takes the offset mktime picks). False
// (and *utc untouched) when the fields are not a valid date and time.
bool LocalDosDateTimeToFileTime(const DosDateTime& local, uint64_t* utc);

// A Unix time (seconds since 1970 UTC) kept within local calendar years firstYear to
// lastYear: one whose local year lies before firstYear becomes the local midnight that starts
// firstYear-01-01, one after lastYear the local midnight that starts lastYear-12-31; any
// other is returned as it is. A time the zone cannot place counts as before firstYear.
int64_t ClampUnixTimeToLocalYears(int64_t unixSeconds, int firstYear, int lastYear);

// The usual pair: UTC FILETIME -> local time -> DOS fields. When the local shift fails the
// UTC value is used unchanged. Out of the DOS range: all zeros.
DosDateTime FileTimeToLocalDos(uint64_t utc);

// The local clock, broken down like a SYSTEMTIME.
struct LocalClockTime {
    uint16_t year = 0;
    uint16_t month = 0;      // 1..12
    uint16_t dayOfWeek = 0;  // 0 = Sunday
    uint16_t day = 0;        // 1..31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t millisecond = 0;
};

// The current local time with milliseconds (the override's answer when one is set).
LocalClockTime LocalClockNow();

// Replaces the clock for the whole process; an empty function restores the real clock.
void SetLocalClock(std::function<LocalClockTime()> clock);

// Pins the clock for the lifetime of the object, then restores the real clock.
class ScopedLocalClock {
public:
    explicit ScopedLocalClock(const LocalClockTime& fixed);
    explicit ScopedLocalClock(std::function<LocalClockTime()> clock);
    ~ScopedLocalClock();
    ScopedLocalClock(const ScopedLocalClock&) = delete;
    ScopedLocalClock& operator=(const ScopedLocalClock&) = delete;
};

}  // namespace platform
