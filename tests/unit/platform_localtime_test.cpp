#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/LocalTime.h"

namespace {

using platform::DosDateTime;

// FILETIME of a UTC calendar time plus 100-ns ticks.
uint64_t FileTimeOf(int y, int mo, int d, int h, int mi, int s, uint64_t ticks = 0) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    int64_t unix = static_cast<int64_t>(timegm(&t));
    return static_cast<uint64_t>(unix + 11644473600LL) * 10000000ULL + ticks;
}

uint16_t Date(int y, int mo, int d) { return static_cast<uint16_t>((y - 1980) << 9 | mo << 5 | d); }
uint16_t Time(int h, int mi, int s) { return static_cast<uint16_t>(h << 11 | mi << 5 | s / 2); }

// Sets TZ for one test and puts the old value back.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

TEST(LocalTime, DosFieldsInUtc) {
    ScopedTz tz("UTC");
    struct Case {
        uint64_t ft;
        uint16_t date, time;
        uint8_t centi;
    } cases[] = {
        {FileTimeOf(2024, 3, 15, 13, 45, 31, 2500000), Date(2024, 3, 15), Time(13, 45, 30), 125},
        {FileTimeOf(1980, 1, 1, 0, 0, 0), Date(1980, 1, 1), 0, 0},
        {FileTimeOf(2107, 12, 31, 23, 59, 59, 9999999), Date(2107, 12, 31), Time(23, 59, 58), 199},
        {FileTimeOf(2000, 2, 29, 12, 0, 0), Date(2000, 2, 29), Time(12, 0, 0), 0},
    };
    for (const Case& c : cases) {
        DosDateTime dos = platform::FileTimeToLocalDos(c.ft);
        EXPECT_EQ(dos.date, c.date);
        EXPECT_EQ(dos.time, c.time);
        EXPECT_EQ(dos.centiseconds, c.centi);
    }
}

TEST(LocalTime, OutsideTheDosRangeGivesZero) {
    ScopedTz tz("UTC");
    const uint64_t outside[] = {0, FileTimeOf(1979, 12, 31, 23, 59, 59), FileTimeOf(2108, 1, 1, 0, 0, 0),
                                ~0ULL};
    for (uint64_t ft : outside) {
        DosDateTime dos = platform::FileTimeToLocalDos(ft);
        EXPECT_EQ(dos.date, 0);
        EXPECT_EQ(dos.time, 0);
        DosDateTime raw{1, 1, 1};
        EXPECT_FALSE(platform::FileTimeToDosDateTime(ft, &raw));
        EXPECT_EQ(raw.date, 0);
        EXPECT_EQ(raw.time, 0);
    }
}

TEST(LocalTime, BerlinSummerAndWinterTime) {
    ScopedTz tz("Europe/Berlin");
    struct Case {
        uint64_t utc;
        uint16_t date, time;
    } cases[] = {
        {FileTimeOf(2024, 7, 1, 12, 0, 0), Date(2024, 7, 1), Time(14, 0, 0)},    // CEST, +2
        {FileTimeOf(2024, 1, 15, 12, 0, 0), Date(2024, 1, 15), Time(13, 0, 0)},  // CET, +1
        // The local shift comes before the range check: 23:30 UTC is already 1980 in Berlin.
        {FileTimeOf(1979, 12, 31, 23, 30, 0), Date(1980, 1, 1), Time(0, 30, 0)},
        // Around the switch to summer time on 2024-03-31 at 01:00 UTC.
        {FileTimeOf(2024, 3, 31, 0, 59, 58), Date(2024, 3, 31), Time(1, 59, 58)},
        {FileTimeOf(2024, 3, 31, 1, 0, 0), Date(2024, 3, 31), Time(3, 0, 0)},
    };
    for (const Case& c : cases) {
        DosDateTime dos = platform::FileTimeToLocalDos(c.utc);
        EXPECT_EQ(dos.date, c.date);
        EXPECT_EQ(dos.time, c.time);
    }
    uint64_t local = 0;
    ASSERT_TRUE(platform::FileTimeToLocalFileTime(FileTimeOf(2024, 7, 1, 12, 0, 0), &local));
    EXPECT_EQ(local, FileTimeOf(2024, 7, 1, 14, 0, 0));
}

TEST(LocalTime, LocalDosFieldsBackToUtc) {
    // The way FAT times go to NTFS: the Berlin cases above in reverse, the hundredths kept,
    // and dates that no calendar has refused.
    ScopedTz tz("Europe/Berlin");
    struct Case {
        uint16_t date, time;
        uint8_t centiseconds;
        bool ok;
        uint64_t utc;
    } cases[] = {
        {Date(2024, 7, 1), Time(14, 0, 0), 0, true, FileTimeOf(2024, 7, 1, 12, 0, 0)},
        {Date(2024, 1, 15), Time(13, 0, 0), 150, true, FileTimeOf(2024, 1, 15, 12, 0, 1) + 5000000},
        {Date(1980, 1, 1), Time(0, 30, 0), 0, true, FileTimeOf(1979, 12, 31, 23, 30, 0)},
        {Date(2024, 2, 29), Time(12, 0, 0), 0, true, FileTimeOf(2024, 2, 29, 11, 0, 0)},
        {Date(2023, 2, 29), Time(12, 0, 0), 0, false, 0},
        {Date(2024, 4, 31), Time(12, 0, 0), 0, false, 0},
        {Date(2024, 13, 1), Time(12, 0, 0), 0, false, 0},
        {Date(2024, 1, 1), Time(24, 0, 0), 0, false, 0},
    };
    for (const Case& c : cases) {
        DosDateTime dos;
        dos.date = c.date;
        dos.time = c.time;
        dos.centiseconds = c.centiseconds;
        uint64_t utc = 7;
        EXPECT_EQ(platform::LocalDosDateTimeToFileTime(dos, &utc), c.ok) << c.date << " " << c.time;
        EXPECT_EQ(utc, c.ok ? c.utc : 7u) << c.date << " " << c.time;
    }
}

TEST(LocalTime, WestOfUtcCannotGoBelowTheEpochOf1601) {
    ScopedTz tz("America/New_York");
    uint64_t local = 12345;
    EXPECT_FALSE(platform::FileTimeToLocalFileTime(0, &local));
    EXPECT_EQ(local, 12345u);
    // The UTC value is then used as it stands: still outside the DOS range.
    EXPECT_EQ(platform::FileTimeToLocalDos(0).date, 0);
}

TEST(LocalTime, ClockCanBePinnedAndRestored) {
    platform::LocalClockTime pinned{2031, 12, 3, 24, 23, 59, 58, 999};
    {
        platform::ScopedLocalClock clock(pinned);
        auto now = platform::LocalClockNow();
        EXPECT_EQ(now.year, 2031);
        EXPECT_EQ(now.day, 24);
        EXPECT_EQ(now.millisecond, 999);
    }
    ScopedTz tz("UTC");
    time_t before = time(nullptr);
    auto now = platform::LocalClockNow();
    struct tm t {};
    gmtime_r(&before, &t);
    EXPECT_EQ(now.year, t.tm_year + 1900);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_LT(now.millisecond, 1000);
    EXPECT_LT(now.dayOfWeek, 7);
}

}  // namespace
