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

TEST(LocalTime, ShiftsAroundAChangeInsideAnHourAndAfterAZoneChange) {
    // Lord Howe Island moves from +10:30 to +11 at 15:30 UTC: the middle of a UTC hour. Each
    // instant is asked twice and in both orders, so that an answer remembered for one
    // instant of the hour cannot stand in for the other side of the change.
    {
        ScopedTz tz("Australia/Lord_Howe");
        const uint64_t before = FileTimeOf(2024, 10, 5, 15, 29, 59), after = FileTimeOf(2024, 10, 5, 15, 30, 0);
        const uint64_t order[] = {before, after, after, before, FileTimeOf(2024, 10, 5, 15, 0, 0), after};
        for (uint64_t utc : order) {
            uint64_t local = 0;
            ASSERT_TRUE(platform::FileTimeToLocalFileTime(utc, &local));
            const int64_t minutes = (utc == after) ? 11 * 60 : 10 * 60 + 30;
            EXPECT_EQ(local - utc, static_cast<uint64_t>(minutes) * 60 * 10000000ULL);
        }
    }
    // The same instant after TZ changes gets the new zone's offset.
    const uint64_t noon = FileTimeOf(2024, 7, 1, 12, 0, 0);
    for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York", "UTC"}) {
        ScopedTz tz(zone);
        uint64_t local = 0;
        ASSERT_TRUE(platform::FileTimeToLocalFileTime(noon, &local));
        const int64_t hours = std::string(zone) == "UTC" ? 0 : std::string(zone) == "Europe/Berlin" ? 2 : -4;
        EXPECT_EQ(static_cast<int64_t>(local - noon), hours * 3600 * 10000000LL) << zone;
    }
}

TEST(LocalTime, DosFieldsOfEveryMonthEnd) {
    // The calendar split against the C library's for the last second of each month from 1980
    // to 2107 and the first of the next (leap years, century years, the DOS range's ends).
    for (int year = 1980; year <= 2107; ++year) {
        for (int month = 1; month <= 12; ++month) {
            const uint64_t next = FileTimeOf(year, month + 1, 1, 0, 0, 0);  // timegm normalises month 13
            for (uint64_t ft : {uint64_t{next - 10000000ULL}, next}) {
                const time_t unix = static_cast<time_t>(ft / 10000000ULL) - 11644473600LL;
                struct tm t {};
                gmtime_r(&unix, &t);
                DosDateTime dos;
                const bool inRange = t.tm_year + 1900 <= 2107;
                ASSERT_EQ(platform::FileTimeToDosDateTime(ft, &dos), inRange);
                if (!inRange) continue;
                EXPECT_EQ(dos.date, Date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday));
                EXPECT_EQ(dos.time, Time(t.tm_hour, t.tm_min, t.tm_sec));
            }
        }
    }
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
