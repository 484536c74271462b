#include "platform/LocalTime.h"

#include <ctime>
#include <limits>
#include <utility>

namespace platform {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;

std::function<LocalClockTime()>& ClockOverride() {
    static std::function<LocalClockTime()> clock;
    return clock;
}

// Seconds since 1970 (may be negative) of a FILETIME; the remainder in 100-ns ticks.
int64_t UnixSeconds(uint64_t fileTime, uint64_t* ticks) {
    *ticks = fileTime % kTicksPerSecond;
    return static_cast<int64_t>(fileTime / kTicksPerSecond) -
           static_cast<int64_t>(kFileTimeUnixEpoch / kTicksPerSecond);
}

// a / b rounded towards minus infinity (b > 0): the hour or day an instant before 1970 lies in.
int64_t FloorDivide(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// The zone's offset east of UTC, in seconds, at a Unix time; false when the zone cannot
// place it.
bool ZoneOffsetAt(time_t seconds, int64_t* offset) {
    struct tm parts {};
    if (!localtime_r(&seconds, &parts)) return false;
    // tm_gmtoff: the offset in force at that instant, daylight saving included.
    *offset = static_cast<int64_t>(parts.tm_gmtoff);
    return true;
}

// One UTC hour whose offset is known: a volume's files mostly share a few hours (a copy, a
// camera's shots), and asking the zone costs far more than the shift. The offset is taken as
// known only when the hour's first and last second agree (no zone changes its offset twice
// within an hour); otherwise every instant of that hour asks the zone. The C library takes up
// a new TZ only at tzset(), which sets tzname, timezone and daylight; the hour is kept while
// those are as they were when it was filled (reading them costs next to nothing).
struct ZoneHourCache {
    bool valid = false;
    int64_t hour = 0;      // Unix time / 3600, floored
    int64_t offset = 0;    // seconds east of UTC throughout that hour
    const char* standardName = nullptr;  // the zone as tzset() left it
    const char* summerName = nullptr;
    long standardOffset = 0;
    int hasSummer = 0;

    bool SameZone() const {
        return standardName == tzname[0] && summerName == tzname[1] && standardOffset == timezone &&
               hasSummer == daylight;
    }
    void Fill(int64_t h, int64_t o) {
        valid = true;
        hour = h;
        offset = o;
        standardName = tzname[0];
        summerName = tzname[1];
        standardOffset = timezone;
        hasSummer = daylight;
    }
};

bool CachedZoneOffset(int64_t unixSeconds, int64_t* offset) {
    thread_local ZoneHourCache cache;
    const int64_t hour = FloorDivide(unixSeconds, 3600);
    if (cache.valid && cache.hour == hour && cache.SameZone()) {
        *offset = cache.offset;
        return true;
    }
    int64_t first = 0, last = 0;
    if (ZoneOffsetAt(static_cast<time_t>(hour * 3600), &first) &&
        ZoneOffsetAt(static_cast<time_t>(hour * 3600 + 3599), &last) && first == last) {
        cache.Fill(hour, first);
        *offset = first;
        return true;
    }
    return ZoneOffsetAt(static_cast<time_t>(unixSeconds), offset);
}

// Calendar date of a day count since 1970-01-01 (proleptic Gregorian, negative before it).
void CivilFromDays(int64_t days, int* year, int* month, int* day) {
    days += 719468;  // days from 0000-03-01, where the leap day ends each 400-year era
    const int64_t era = FloorDivide(days, 146097);
    const int64_t doe = days - era * 146097;                                 // 0 .. 146096
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0 .. 399
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);             // 0 .. 365, from March
    const int64_t mp = (5 * doy + 2) / 153;                                  // 0 = March
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

}  // namespace

bool FileTimeToLocalFileTime(uint64_t utc, uint64_t* local) {
    uint64_t ticks = 0;
    int64_t offset = 0;
    if (!CachedZoneOffset(UnixSeconds(utc, &ticks), &offset)) return false;
    const int64_t shift = offset * static_cast<int64_t>(kTicksPerSecond);
    if (shift < 0 && utc < static_cast<uint64_t>(-shift)) return false;
    if (shift > 0 && utc > std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(shift))
        return false;
    *local = utc + static_cast<uint64_t>(shift);
    return true;
}

bool FileTimeToDosDateTime(uint64_t fileTime, DosDateTime* out) {
    *out = DosDateTime{};
    uint64_t ticks = 0;
    const int64_t seconds = UnixSeconds(fileTime, &ticks);
    const int64_t days = FloorDivide(seconds, 86400);
    const int64_t inDay = seconds - days * 86400;
    int year = 0, month = 0, day = 0;
    CivilFromDays(days, &year, &month, &day);
    if (year < 1980 || year > 2107) return false;
    const int hour = static_cast<int>(inDay / 3600), minute = static_cast<int>(inDay / 60 % 60);
    const int second = static_cast<int>(inDay % 60);
    out->date = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    out->time = static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
    out->centiseconds = static_cast<uint8_t>((second % 2) * 100 + ticks / 100000);
    return true;
}

bool LocalDosDateTimeToFileTime(const DosDateTime& local, uint64_t* utc) {
    const int day = local.date & 0x1F, month = (local.date >> 5) & 0x0F;
    const int hour = local.time >> 11, minute = (local.time >> 5) & 0x3F;
    const int second = (local.time & 0x1F) * 2;
    const int year = 1980 + (local.date >> 9);
    static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59 ||
        local.centiseconds > 199)
        return false;
    struct tm parts {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;  // let the zone say whether summer time was in force
    const time_t seconds = mktime(&parts);
    *utc = static_cast<uint64_t>(static_cast<int64_t>(seconds) +
                                 static_cast<int64_t>(kFileTimeUnixEpoch / kTicksPerSecond)) *
               kTicksPerSecond +
           uint64_t{local.centiseconds} * 100000;
    return true;
}

int64_t ClampUnixTimeToLocalYears(int64_t unixSeconds, int firstYear, int lastYear) {
    auto localMidnight = [](int year, int month, int day) {
        struct tm parts {};
        parts.tm_year = year - 1900;
        parts.tm_mon = month - 1;
        parts.tm_mday = day;
        parts.tm_isdst = -1;
        return static_cast<int64_t>(mktime(&parts));
    };
    const time_t t = static_cast<time_t>(unixSeconds);
    struct tm parts {};
    if (!localtime_r(&t, &parts) || parts.tm_year + 1900 < firstYear) return localMidnight(firstYear, 1, 1);
    if (parts.tm_year + 1900 > lastYear) return localMidnight(lastYear, 12, 31);
    return unixSeconds;
}

DosDateTime FileTimeToLocalDos(uint64_t utc) {
    uint64_t local = utc;
    if (!FileTimeToLocalFileTime(utc, &local)) local = utc;
    DosDateTime out;
    FileTimeToDosDateTime(local, &out);
    return out;
}

LocalClockTime LocalClockNow() {
    if (const auto& clock = ClockOverride()) return clock();
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts {};
    LocalClockTime out;
    if (!localtime_r(&now.tv_sec, &parts)) return out;
    out.year = static_cast<uint16_t>(parts.tm_year + 1900);
    out.month = static_cast<uint16_t>(parts.tm_mon + 1);
    out.dayOfWeek = static_cast<uint16_t>(parts.tm_wday);
    out.day = static_cast<uint16_t>(parts.tm_mday);
    out.hour = static_cast<uint16_t>(parts.tm_hour);
    out.minute = static_cast<uint16_t>(parts.tm_min);
    // A leap second (60) is shown as 59, as a SYSTEMTIME cannot hold it.
    out.second = static_cast<uint16_t>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
    out.millisecond = static_cast<uint16_t>(now.tv_nsec / 1000000);
    return out;
}

void SetLocalClock(std::function<LocalClockTime()> clock) { ClockOverride() = std::move(clock); }

ScopedLocalClock::ScopedLocalClock(const LocalClockTime& fixed) {
    SetLocalClock([fixed] { return fixed; });
}

ScopedLocalClock::ScopedLocalClock(std::function<LocalClockTime()> clock) {
    SetLocalClock(std::move(clock));
}

ScopedLocalClock::~ScopedLocalClock() { SetLocalClock({}); }

}  // namespace platform
