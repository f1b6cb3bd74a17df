// Calendar arithmetic on the proleptic Gregorian calendar, as NT's
// RtlTimeToTimeFields and RtlTimeFieldsToTime count it.
#include "sim/kernel/time_conversions.h"

#include <time.h>

namespace sim {
namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

int DaysInMonth(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

int64_t DaysFrom1601(int year, int month, int day) {
    // Days from 0001-03-01 style counting: shift the year to begin in March.
    const int64_t y = month <= 2 ? year - 1 : year;
    const int64_t m = month <= 2 ? month + 12 : month;
    const int64_t days = 365 * y + y / 4 - y / 100 + y / 400 + (153 * (m - 3) + 2) / 5 + day;
    const int64_t epoch = 365 * 1600LL + 1600 / 4 - 1600 / 100 + 1600 / 400 + (153 * 10 + 2) / 5 + 1;
    return days - epoch;  // 1601-01-01 is day 0 (it is 1600-13-01 here)
}

SYSTEMTIME SystemTimeOfTicks(int64_t ticks) {
    SYSTEMTIME time{};
    int64_t days = ticks / TicksPerDay;
    int64_t rest = ticks % TicksPerDay;
    time.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    time.wMilliseconds = static_cast<WORD>(rest / 10000 % 1000);
    rest /= TicksPerSecond;
    time.wSecond = static_cast<WORD>(rest % 60);
    time.wMinute = static_cast<WORD>(rest / 60 % 60);
    time.wHour = static_cast<WORD>(rest / 3600);
    int year = 1601 + static_cast<int>(days / 146097) * 400;
    days %= 146097;
    while (true) {
        const int length = IsLeapYear(year) ? 366 : 365;
        if (days < length) break;
        days -= length;
        ++year;
    }
    int month = 1;
    while (days >= DaysInMonth(year, month)) {
        days -= DaysInMonth(year, month);
        ++month;
    }
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(days + 1);
    return time;
}

bool TicksOfSystemTime(const SYSTEMTIME& time, int64_t* ticks) {
    if (time.wYear < 1601 || time.wYear > 30827 || time.wMonth < 1 || time.wMonth > 12 ||
        time.wDay < 1 || time.wDay > DaysInMonth(time.wYear, time.wMonth) || time.wHour > 23 ||
        time.wMinute > 59 || time.wSecond > 59 || time.wMilliseconds > 999) {
        return false;
    }
    *ticks = DaysFrom1601(time.wYear, time.wMonth, time.wDay) * TicksPerDay +
             ((time.wHour * 60 + time.wMinute) * 60 + time.wSecond) * TicksPerSecond +
             time.wMilliseconds * 10000LL;
    return true;
}

int64_t NowTicks() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return UnixEpochTicks + int64_t(now.tv_sec) * TicksPerSecond + now.tv_nsec / 100;
}

namespace {

// Returns the FILETIME count, in the zone's local time, of the transition
// `date` in `year`: an absolute date when its year is set, else the
// wDay-th (5: the last) wDayOfWeek of its month at its time of day.
int64_t TransitionTicks(const SYSTEMTIME& date, int year) {
    int day = date.wDay;
    if (date.wYear == 0) {
        const int64_t first = DaysFrom1601(year, date.wMonth, 1);
        const int firstWeekday = static_cast<int>((first + 1) % 7);
        day = 1 + (date.wDayOfWeek - firstWeekday + 7) % 7 + 7 * (date.wDay - 1);
        while (day > DaysInMonth(year, date.wMonth)) day -= 7;
    }
    return DaysFrom1601(year, date.wMonth, day) * TicksPerDay +
           ((date.wHour * 60 + date.wMinute) * 60 + date.wSecond) * TicksPerSecond +
           date.wMilliseconds * 10000LL;
}

}  // namespace

LONG ZoneBiasAt(const TIME_ZONE_INFORMATION& zone, int64_t utcTicks, bool* daylight) {
    *daylight = false;
    if (zone.DaylightDate.wMonth == 0 || zone.StandardDate.wMonth == 0) return zone.Bias;
    const int year = SystemTimeOfTicks(utcTicks).wYear;
    // Daylight time begins at its date in standard time and ends at the
    // standard date in daylight time; both compared in UTC.
    const int64_t minute = 60 * TicksPerSecond;
    const int64_t begins =
        TransitionTicks(zone.DaylightDate, year) + (zone.Bias + zone.StandardBias) * minute;
    const int64_t ends =
        TransitionTicks(zone.StandardDate, year) + (zone.Bias + zone.DaylightBias) * minute;
    *daylight = begins < ends ? utcTicks >= begins && utcTicks < ends
                              : utcTicks >= begins || utcTicks < ends;  // southern zones
    return zone.Bias + (*daylight ? zone.DaylightBias : zone.StandardBias);
}

}  // namespace sim
