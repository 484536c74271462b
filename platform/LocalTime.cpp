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

}  // namespace

bool FileTimeToLocalFileTime(uint64_t utc, uint64_t* local) {
    uint64_t ticks = 0;
    time_t seconds = static_cast<time_t>(UnixSeconds(utc, &ticks));
    struct tm parts {};
    if (!localtime_r(&seconds, &parts)) return false;
    // tm_gmtoff: the zone's offset east of UTC at that instant, daylight saving included.
    int64_t shift = static_cast<int64_t>(parts.tm_gmtoff) * static_cast<int64_t>(kTicksPerSecond);
    if (shift < 0 && utc < static_cast<uint64_t>(-shift)) return false;
    if (shift > 0 && utc > std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(shift))
        return false;
    *local = utc + static_cast<uint64_t>(shift);
    return true;
}

bool FileTimeToDosDateTime(uint64_t fileTime, DosDateTime* out) {
    *out = DosDateTime{};
    uint64_t ticks = 0;
    time_t seconds = static_cast<time_t>(UnixSeconds(fileTime, &ticks));
    struct tm parts {};
    if (!gmtime_r(&seconds, &parts)) return false;
    int year = parts.tm_year + 1900;
    if (year < 1980 || year > 2107) return false;
    out->date = static_cast<uint16_t>(((year - 1980) << 9) | ((parts.tm_mon + 1) << 5) | parts.tm_mday);
    out->time = static_cast<uint16_t>((parts.tm_hour << 11) | (parts.tm_min << 5) | (parts.tm_sec / 2));
    out->centiseconds = static_cast<uint8_t>((parts.tm_sec % 2) * 100 + ticks / 100000);
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
