// The C runtime's time family as msvcrt has it: time, clock, the
// conversions to and from broken-down time in 32 and 64 bits, strftime
// with its Microsoft letters and '#' flag, asctime and ctime, and the time
// zone that _tzset takes from TZ ("PST8PDT": a name, hours west of UTC,
// optional minutes and seconds, and a daylight name that brings the United
// States' daylight rules) or, without TZ, from the machine's zone
// (GetTimeZoneInformation). The plain names are the 32-bit forms, as in
// msvcrt.dll, whose time_t is 32 bits.
#include "sim/runtime/runtime_families.h"

#include "sim/kernel/time_conversions.h"
#include "sim/runtime/errno_values.h"
#include "sim/runtime/family_entries.h"

#include <windows.h>

#include <time.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

// msvcrt's time zone state.
long rt_timezone_value = 0;  // seconds west of UTC
int rt_daylight_value = 0;   // nonzero when the zone has daylight time
long rt_dstbias_value = -3600;
char rt_tzname_standard[64] = "PST";
char rt_tzname_daylight[64] = "PDT";
char* rt_tzname_value[2] = {rt_tzname_standard, rt_tzname_daylight};

namespace sim {
namespace {

const int64_t Max32 = 0x7FFFFFFF;
const int64_t Max64 = 32535215999LL;  // 3000-12-31 23:59:59, msvcrt's _MAX__TIME64_T

// Whether daylight time follows the machine's zone's dates (true) or the
// United States' rules (a TZ with a daylight name); guarded by zoneLock.
bool zoneRules = false;
TIME_ZONE_INFORMATION machineZone;
std::recursive_mutex zoneLock;
bool zoneSet = false;

const char* const dayNames[7] = {"Sunday", "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
const char* const monthNames[12] = {"January", "February", "March", "April", "May", "June",
                                    "July", "August", "September", "October", "November",
                                    "December"};

// msvcrt's struct tm: nine ints.
struct WindowsTm {
    int Sec, Min, Hour, Mday, Mon, Year, Wday, Yday, Isdst;
};

// Returns nothing; the zone is read from TZ, or the machine's.
void SetZoneLocked() {
    zoneSet = true;
    const char* tz = rt_getenv("TZ");
    if (tz != nullptr && *tz != '\0') {
        zoneRules = false;
        std::snprintf(rt_tzname_standard, sizeof rt_tzname_standard, "%.3s", tz);
        const char* at = tz + std::strlen(rt_tzname_standard);
        bool west = true;
        if (*at == '+' || *at == '-') west = *at++ == '+';
        long seconds = 0;
        int fields = 0;
        while (fields < 3) {
            long value = 0;
            if (*at < '0' || *at > '9') break;
            while (*at >= '0' && *at <= '9') value = value * 10 + (*at++ - '0');
            seconds += value * (fields == 0 ? 3600 : fields == 1 ? 60 : 1);
            ++fields;
            if (*at != ':') break;
            ++at;
        }
        rt_timezone_value = west ? seconds : -seconds;
        rt_daylight_value = *at != '\0';
        std::snprintf(rt_tzname_daylight, sizeof rt_tzname_daylight, "%.3s", at);
        rt_dstbias_value = -3600;
        return;
    }
    zoneRules = true;
    GetTimeZoneInformation(&machineZone);
    rt_timezone_value = machineZone.Bias * 60;
    if (machineZone.StandardDate.wMonth != 0) rt_timezone_value += machineZone.StandardBias * 60;
    rt_daylight_value = machineZone.DaylightDate.wMonth != 0 && machineZone.DaylightBias != 0;
    rt_dstbias_value = (machineZone.DaylightBias - machineZone.StandardBias) * 60;
    WideCharToMultiByte(CP_ACP, 0, machineZone.StandardName, -1, rt_tzname_standard,
                        sizeof rt_tzname_standard, nullptr, nullptr);
    WideCharToMultiByte(CP_ACP, 0, machineZone.DaylightName, -1, rt_tzname_daylight,
                        sizeof rt_tzname_daylight, nullptr, nullptr);
}

// Returns nothing once the zone has been set at least once (the runtime's
// first local conversion calls _tzset).
void EnsureZone() {
    std::lock_guard<std::recursive_mutex> hold(zoneLock);
    if (!zoneSet) SetZoneLocked();
}

// Returns the day of the month of the nth (5: last) `weekday` in `month`.
int NthWeekday(int year, int month, int weekday, int nth) {
    const int first = static_cast<int>((DaysFrom1601(year, month, 1) + 1) % 7);
    int day = 1 + (weekday - first + 7) % 7 + 7 * (nth - 1);
    while (day > DaysInMonth(year, month)) day -= 7;
    return day;
}

// Returns the seconds from the year's start to `day` of `month` at `hour`.
int64_t SecondsIntoYear(int year, int month, int day, int hour, int minute) {
    return ((DaysFrom1601(year, month, day) - DaysFrom1601(year, 1, 1)) * 24 + hour) * 3600 +
           minute * 60;
}

// Returns true when the local standard time `seconds` into `year` falls in
// daylight time: it begins at its date and time in standard time and ends
// at its end date's time in daylight time, one hour (the daylight bias)
// earlier in standard time.
bool InDaylight(int year, int64_t seconds) {
    if (!rt_daylight_value) return false;
    int64_t begins, ends;
    if (zoneRules) {
        const SYSTEMTIME& on = machineZone.DaylightDate;
        const SYSTEMTIME& off = machineZone.StandardDate;
        const int onDay = on.wYear == 0 ? NthWeekday(year, on.wMonth, on.wDayOfWeek, on.wDay) : on.wDay;
        const int offDay =
            off.wYear == 0 ? NthWeekday(year, off.wMonth, off.wDayOfWeek, off.wDay) : off.wDay;
        begins = SecondsIntoYear(year, on.wMonth, onDay, on.wHour, on.wMinute);
        ends = SecondsIntoYear(year, off.wMonth, offDay, off.wHour, off.wMinute) + rt_dstbias_value;
    } else if (year > 2006) {
        // Since 2007: the second Sunday of March to the first of November.
        begins = SecondsIntoYear(year, 3, NthWeekday(year, 3, 0, 2), 2, 0);
        ends = SecondsIntoYear(year, 11, NthWeekday(year, 11, 0, 1), 2, 0) + rt_dstbias_value;
    } else {
        // Before: the first Sunday of April to the last of October.
        begins = SecondsIntoYear(year, 4, NthWeekday(year, 4, 0, 1), 2, 0);
        ends = SecondsIntoYear(year, 10, NthWeekday(year, 10, 0, 5), 2, 0) + rt_dstbias_value;
    }
    return begins < ends ? seconds >= begins && seconds < ends : seconds >= begins || seconds < ends;
}

// Returns the broken-down UTC time of `t` (seconds since 1970).
WindowsTm BreakDown(int64_t t) {
    const SYSTEMTIME fields = SystemTimeOfTicks(UnixEpochTicks + t * TicksPerSecond);
    WindowsTm tm{};
    tm.Sec = fields.wSecond;
    tm.Min = fields.wMinute;
    tm.Hour = fields.wHour;
    tm.Mday = fields.wDay;
    tm.Mon = fields.wMonth - 1;
    tm.Year = fields.wYear - 1900;
    tm.Wday = fields.wDayOfWeek;
    tm.Yday = static_cast<int>(DaysFrom1601(fields.wYear, fields.wMonth, fields.wDay) -
                               DaysFrom1601(fields.wYear, 1, 1));
    return tm;
}

thread_local WindowsTm tmBuffer;
thread_local char textBuffer[80];

// Returns the per-thread tm holding the UTC time of `t`, or null with
// EINVAL outside 0 to `limit`.
WindowsTm* UtcTm(int64_t t, int64_t limit) {
    if (t < 0 || t > limit) {
        SetProgramErrno(WindowsEINVAL);
        return nullptr;
    }
    tmBuffer = BreakDown(t);
    return &tmBuffer;
}

// Returns the per-thread tm holding the local time of `t`, or null.
WindowsTm* LocalTm(int64_t t, int64_t limit) {
    if (t < 0 || t > limit) {
        SetProgramErrno(WindowsEINVAL);
        return nullptr;
    }
    EnsureZone();
    std::lock_guard<std::recursive_mutex> hold(zoneLock);
    int64_t local = t - rt_timezone_value;
    WindowsTm tm = BreakDown(local);
    const int64_t intoYear = int64_t(tm.Yday) * 86400 + tm.Hour * 3600 + tm.Min * 60 + tm.Sec;
    if (InDaylight(tm.Year + 1900, intoYear)) {
        tm = BreakDown(local - rt_dstbias_value);
        tm.Isdst = 1;
    }
    tmBuffer = tm;
    return &tmBuffer;
}

// Returns the floor of a / b for b > 0.
int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Returns the seconds since 1970 of the fields of *tm read as `local` or
// UTC time, the fields normalised; -1 outside 0 to `limit`.
int64_t MakeTime(WindowsTm* tm, bool local, int64_t limit) {
    if (tm == nullptr) {
        SetProgramErrno(WindowsEINVAL);
        return -1;
    }
    int64_t month = tm->Mon;
    int64_t year = int64_t(tm->Year) + 1900 + FloorDiv(month, 12);
    month -= FloorDiv(month, 12) * 12;
    if (year < 1601 || year > 30000) return -1;
    int64_t days = DaysFrom1601(static_cast<int>(year), static_cast<int>(month + 1), 1) -
                   DaysFrom1601(1970, 1, 1) + tm->Mday - 1;
    int64_t t = days * 86400 + int64_t(tm->Hour) * 3600 + int64_t(tm->Min) * 60 + tm->Sec;
    if (local) {
        EnsureZone();
        std::lock_guard<std::recursive_mutex> hold(zoneLock);
        t += rt_timezone_value;
        bool daylight = tm->Isdst > 0;
        if (tm->Isdst < 0) {
            const WindowsTm standard = BreakDown(t - rt_timezone_value);
            daylight = InDaylight(standard.Year + 1900, int64_t(standard.Yday) * 86400 +
                                                             standard.Hour * 3600 +
                                                             standard.Min * 60 + standard.Sec);
        }
        if (daylight && rt_daylight_value) t += rt_dstbias_value;
        if (t < 0 || t > limit) return -1;
        const WindowsTm* normal = LocalTm(t, limit);
        *tm = *normal;
        return t;
    }
    if (t < 0 || t > limit) return -1;
    *tm = BreakDown(t);
    return t;
}

// Returns the text asctime gives for *tm: "Wed Jan 02 02:03:55 1980\n".
char* AscTime(const WindowsTm* tm) {
    if (tm == nullptr || tm->Wday < 0 || tm->Wday > 6 || tm->Mon < 0 || tm->Mon > 11) {
        SetProgramErrno(WindowsEINVAL);
        return nullptr;
    }
    std::snprintf(textBuffer, sizeof textBuffer, "%.3s %.3s %02d %02d:%02d:%02d %d\n",
                  dayNames[tm->Wday], monthNames[tm->Mon], tm->Mday, tm->Hour, tm->Min, tm->Sec,
                  tm->Year + 1900);
    return textBuffer;
}

// Returns true with `letter`'s text for *tm appended to `out`; `alternate`
// is the '#' flag (no leading zeros; long forms of %c and %x).
bool FormatLetter(std::string& out, char letter, bool alternate, const WindowsTm& tm) {
    char text[128];
    const char* number = alternate ? "%d" : "%02d";
    switch (letter) {
        case 'a': std::snprintf(text, sizeof text, "%.3s", dayNames[tm.Wday % 7]); break;
        case 'A': std::snprintf(text, sizeof text, "%s", dayNames[tm.Wday % 7]); break;
        case 'b': std::snprintf(text, sizeof text, "%.3s", monthNames[tm.Mon % 12]); break;
        case 'B': std::snprintf(text, sizeof text, "%s", monthNames[tm.Mon % 12]); break;
        case 'c':
            if (alternate) {
                std::snprintf(text, sizeof text, "%s, %s %d, %d %02d:%02d:%02d",
                              dayNames[tm.Wday % 7], monthNames[tm.Mon % 12], tm.Mday,
                              tm.Year + 1900, tm.Hour, tm.Min, tm.Sec);
            } else {
                std::snprintf(text, sizeof text, "%02d/%02d/%02d %02d:%02d:%02d", tm.Mon + 1,
                              tm.Mday, (tm.Year + 1900) % 100, tm.Hour, tm.Min, tm.Sec);
            }
            break;
        case 'd': std::snprintf(text, sizeof text, number, tm.Mday); break;
        case 'H': std::snprintf(text, sizeof text, number, tm.Hour); break;
        case 'I': std::snprintf(text, sizeof text, number, tm.Hour % 12 == 0 ? 12 : tm.Hour % 12); break;
        case 'j': std::snprintf(text, sizeof text, alternate ? "%d" : "%03d", tm.Yday + 1); break;
        case 'm': std::snprintf(text, sizeof text, number, tm.Mon + 1); break;
        case 'M': std::snprintf(text, sizeof text, number, tm.Min); break;
        case 'p': std::snprintf(text, sizeof text, "%s", tm.Hour < 12 ? "AM" : "PM"); break;
        case 'S': std::snprintf(text, sizeof text, number, tm.Sec); break;
        case 'U': std::snprintf(text, sizeof text, number, (tm.Yday + 7 - tm.Wday) / 7); break;
        case 'w': std::snprintf(text, sizeof text, "%d", tm.Wday); break;
        case 'W':
            std::snprintf(text, sizeof text, number, (tm.Yday + 7 - (tm.Wday + 6) % 7) / 7);
            break;
        case 'x':
            if (alternate) {
                std::snprintf(text, sizeof text, "%s, %s %d, %d", dayNames[tm.Wday % 7],
                              monthNames[tm.Mon % 12], tm.Mday, tm.Year + 1900);
            } else {
                std::snprintf(text, sizeof text, "%02d/%02d/%02d", tm.Mon + 1, tm.Mday,
                              (tm.Year + 1900) % 100);
            }
            break;
        case 'X': std::snprintf(text, sizeof text, "%02d:%02d:%02d", tm.Hour, tm.Min, tm.Sec); break;
        case 'y': std::snprintf(text, sizeof text, number, (tm.Year + 1900) % 100); break;
        case 'Y': std::snprintf(text, sizeof text, "%d", tm.Year + 1900); break;
        case 'z':
        case 'Z':
            EnsureZone();
            std::snprintf(text, sizeof text, "%s", rt_tzname_value[tm.Isdst > 0 ? 1 : 0]);
            break;
        case '%': std::snprintf(text, sizeof text, "%%"); break;
        default: return false;
    }
    out += text;
    return true;
}

// Returns the length of what strftime wrote to `to` (with its NUL), or 0
// when it does not fit `size` or the format has a letter msvcrt refuses
// (errno EINVAL).
size_t FormatTime(char* to, size_t size, const char* format, const WindowsTm* tm) {
    if (to == nullptr || format == nullptr || tm == nullptr) {
        SetProgramErrno(WindowsEINVAL);
        return 0;
    }
    std::string out;
    for (const char* at = format; *at != '\0'; ++at) {
        if (*at != '%') {
            out += *at;
            continue;
        }
        ++at;
        bool alternate = false;
        if (*at == '#') {
            alternate = true;
            ++at;
        }
        if (*at == '\0' || !FormatLetter(out, *at, alternate, *tm)) {
            if (size > 0) *to = '\0';
            SetProgramErrno(WindowsEINVAL);
            return 0;
        }
    }
    if (out.size() + 1 > size) {
        if (size > 0) *to = '\0';
        return 0;
    }
    std::memcpy(to, out.c_str(), out.size() + 1);
    return out.size();
}

// Returns the seconds since 1970 now.
int64_t Now() { return (NowTicks() - UnixEpochTicks) / TicksPerSecond; }

// The process's start, for clock().
const int64_t processStart = NowTicks();

}  // namespace
}  // namespace sim

using sim::WindowsTm;

RUNTIME_ENTRY void rt_tzset(void) {
    std::lock_guard<std::recursive_mutex> hold(sim::zoneLock);
    sim::SetZoneLocked();
}
RUNTIME_ENTRY long* rt_p_timezone(void) { return &rt_timezone_value; }
RUNTIME_ENTRY int* rt_p_daylight(void) { return &rt_daylight_value; }
RUNTIME_ENTRY long* rt_p_dstbias(void) { return &rt_dstbias_value; }
RUNTIME_ENTRY char** rt_p_tzname(void) { return rt_tzname_value; }

// Returns the time in seconds since 1970 (-1 past 2038 for the 32-bit
// form), stored in *t too unless null.
RUNTIME_ENTRY int32_t rt_time32(int32_t* t) {
    const int64_t now = sim::Now();
    const int32_t value = now > sim::Max32 ? -1 : static_cast<int32_t>(now);
    if (t != nullptr) *t = value;
    return value;
}
RUNTIME_ENTRY int64_t rt_time64(int64_t* t) {
    const int64_t now = sim::Now();
    if (t != nullptr) *t = now;
    return now;
}

// Returns the milliseconds of wall-clock time since the process started
// (CLOCKS_PER_SEC is 1000), as msvcrt's clock measures, not processor
// time.
RUNTIME_ENTRY long rt_clock(void) {
    return static_cast<long>((sim::NowTicks() - sim::processStart) / 10000);
}

RUNTIME_ENTRY void* rt_gmtime32(const int32_t* t) {
    return t == nullptr ? nullptr : sim::UtcTm(*t, sim::Max32);
}
RUNTIME_ENTRY void* rt_gmtime64(const int64_t* t) {
    return t == nullptr ? nullptr : sim::UtcTm(*t, sim::Max64);
}
RUNTIME_ENTRY void* rt_localtime32(const int32_t* t) {
    return t == nullptr ? nullptr : sim::LocalTm(*t, sim::Max32);
}
RUNTIME_ENTRY void* rt_localtime64(const int64_t* t) {
    return t == nullptr ? nullptr : sim::LocalTm(*t, sim::Max64);
}
RUNTIME_ENTRY int32_t rt_mktime32(void* tm) {
    return static_cast<int32_t>(sim::MakeTime(static_cast<WindowsTm*>(tm), true, sim::Max32));
}
RUNTIME_ENTRY int64_t rt_mktime64(void* tm) {
    return sim::MakeTime(static_cast<WindowsTm*>(tm), true, sim::Max64);
}
RUNTIME_ENTRY int32_t rt_mkgmtime32(void* tm) {
    return static_cast<int32_t>(sim::MakeTime(static_cast<WindowsTm*>(tm), false, sim::Max32));
}
RUNTIME_ENTRY int64_t rt_mkgmtime64(void* tm) {
    return sim::MakeTime(static_cast<WindowsTm*>(tm), false, sim::Max64);
}
RUNTIME_ENTRY double rt_difftime32(int32_t end, int32_t start) { return double(end) - double(start); }
RUNTIME_ENTRY double rt_difftime64(int64_t end, int64_t start) { return double(end - start); }
RUNTIME_ENTRY char* rt_asctime(const void* tm) {
    return sim::AscTime(static_cast<const WindowsTm*>(tm));
}
RUNTIME_ENTRY char* rt_ctime32(const int32_t* t) {
    return t == nullptr ? nullptr : sim::AscTime(sim::LocalTm(*t, sim::Max32));
}
RUNTIME_ENTRY char* rt_ctime64(const int64_t* t) {
    return t == nullptr ? nullptr : sim::AscTime(sim::LocalTm(*t, sim::Max64));
}
RUNTIME_ENTRY size_t rt_strftime(char* to, size_t size, const char* format, const void* tm) {
    return sim::FormatTime(to, size, format, static_cast<const WindowsTm*>(tm));
}

// As strftime, in UTF-16 (the format's characters taken as Latin-1).
RUNTIME_ENTRY size_t rt_wcsftime(uint16_t* to, size_t size, const uint16_t* format,
                                 const void* tm) {
    if (to == nullptr || format == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return 0;
    }
    std::string narrow;
    for (const uint16_t* at = format; *at != 0; ++at) narrow += static_cast<char>(*at < 256 ? *at : '?');
    std::string out(size * 4 + 64, '\0');
    const size_t length = sim::FormatTime(&out[0], out.size(), narrow.c_str(),
                                          static_cast<const WindowsTm*>(tm));
    if (length == 0 || length + 1 > size) {
        if (size > 0) *to = 0;
        return 0;
    }
    for (size_t i = 0; i <= length; ++i) to[i] = static_cast<unsigned char>(out[i]);
    return length;
}

// msvcrt's struct _timeb (32-bit time) and __timeb64.
struct WindowsTimeb32 {
    int32_t Time;
    uint16_t Millitm;
    int16_t Timezone;
    int16_t Dstflag;
};
static_assert(sizeof(WindowsTimeb32) == 12, "struct _timeb is 12 bytes");
struct WindowsTimeb64 {
    int64_t Time;
    uint16_t Millitm;
    int16_t Timezone;
    int16_t Dstflag;
};
static_assert(sizeof(WindowsTimeb64) == 16, "struct __timeb64 is 16 bytes");

// Returns nothing; *timeptr is now, with the zone's minutes west and
// whether daylight time is in force.
RUNTIME_ENTRY void rt_ftime64(WindowsTimeb64* timeptr) {
    const int64_t ticks = sim::NowTicks() - sim::UnixEpochTicks;
    timeptr->Time = ticks / sim::TicksPerSecond;
    timeptr->Millitm = static_cast<uint16_t>(ticks / 10000 % 1000);
    sim::EnsureZone();
    timeptr->Timezone = static_cast<int16_t>(rt_timezone_value / 60);
    const WindowsTm* local = sim::LocalTm(timeptr->Time, sim::Max64);
    timeptr->Dstflag = static_cast<int16_t>(local != nullptr && local->Isdst > 0);
}
RUNTIME_ENTRY void rt_ftime32(WindowsTimeb32* timeptr) {
    WindowsTimeb64 wide;
    rt_ftime64(&wide);
    timeptr->Time = static_cast<int32_t>(wide.Time);
    timeptr->Millitm = wide.Millitm;
    timeptr->Timezone = wide.Timezone;
    timeptr->Dstflag = wide.Dstflag;
}

// Returns `to` holding the local date as "MM/DD/YY".
RUNTIME_ENTRY char* rt_strdate(char* to) {
    const WindowsTm* tm = sim::LocalTm(sim::Now(), sim::Max64);
    char text[40];
    std::snprintf(text, sizeof text, "%02d/%02d/%02d", tm->Mon + 1, tm->Mday, (tm->Year + 1900) % 100);
    std::memcpy(to, text, 9);
    return to;
}

// Returns `to` holding the local time as "HH:MM:SS".
RUNTIME_ENTRY char* rt_strtime(char* to) {
    const WindowsTm* tm = sim::LocalTm(sim::Now(), sim::Max64);
    char text[40];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", tm->Hour, tm->Min, tm->Sec);
    std::memcpy(to, text, 9);
    return to;
}
