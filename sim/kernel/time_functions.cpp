// kernel32's time family: tick counts, the performance counter, system and
// local time, and the conversions between FILETIME, SYSTEMTIME, local file
// times and MS-DOS dates. Local time is the machine's time zone
// (GetTimeZoneInformation) as it is now, as NT's FileTimeToLocalFileTime
// uses it, whatever the time being converted.
#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/time_conversions.h"
#include "sim/kernel/win32_families.h"

#include <windows.h>

#include <time.h>

namespace sim {
namespace {

const DWORD ErrorPrivilegeNotHeld = 1314;
const int64_t PerformanceFrequency = 10000000;  // 10 MHz, as NT 10's counter

// Returns the time since the host booted in 100 ns units.
int64_t SinceBoot() {
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return int64_t(now.tv_sec) * TicksPerSecond + now.tv_nsec / 100;
}

int64_t TicksOf(const FILETIME& time) {
    return static_cast<int64_t>((uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

void StoreTicks(LPFILETIME to, int64_t ticks) {
    to->dwLowDateTime = static_cast<DWORD>(ticks);
    to->dwHighDateTime = static_cast<DWORD>(uint64_t(ticks) >> 32);
}

// Returns the machine's bias now, in minutes (UTC = local + bias).
LONG CurrentBias() {
    TIME_ZONE_INFORMATION zone;
    const DWORD which = GetTimeZoneInformation(&zone);
    if (which == 2) return zone.Bias + zone.DaylightBias;  // TIME_ZONE_ID_DAYLIGHT
    if (which == 1) return zone.Bias + zone.StandardBias;  // TIME_ZONE_ID_STANDARD
    return zone.Bias;
}

BOOL Fail(DWORD error) {
    SetLastErrorCode(error);
    return FALSE;
}

}  // namespace
}  // namespace sim

// Returns the milliseconds since the machine started, wrapping after 49.7
// days.
extern "C" DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(sim::SinceBoot() / 10000);
}

// Returns the milliseconds since the machine started.
extern "C" uint64_t WINAPI GetTickCount64(void) {
    return static_cast<uint64_t>(sim::SinceBoot() / 10000);
}

// Returns TRUE with the performance counter, which counts at the
// frequency QueryPerformanceFrequency gives.
extern "C" BOOL WINAPI QueryPerformanceCounter(int64_t* lpPerformanceCount) {
    if (lpPerformanceCount == nullptr) return sim::Fail(ERROR_NOACCESS);
    *lpPerformanceCount = sim::SinceBoot();
    return TRUE;
}

// Returns TRUE with the performance counter's counts per second.
extern "C" BOOL WINAPI QueryPerformanceFrequency(int64_t* lpFrequency) {
    if (lpFrequency == nullptr) return sim::Fail(ERROR_NOACCESS);
    *lpFrequency = sim::PerformanceFrequency;
    return TRUE;
}

// Returns nothing; *lpSystemTime is the current time in UTC.
extern "C" void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    *lpSystemTime = sim::SystemTimeOfTicks(sim::NowTicks());
}

// Returns nothing; *lpSystemTime is the current local time.
extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    *lpSystemTime =
        sim::SystemTimeOfTicks(sim::NowTicks() - sim::CurrentBias() * 60 * sim::TicksPerSecond);
}

// Returns FALSE: 87 for fields out of range, else 1314, since setting the
// clock needs SE_SYSTEMTIME_NAME, a privilege disabled by default that
// nothing here can enable.
extern "C" BOOL WINAPI SetSystemTime(const SYSTEMTIME* lpSystemTime) {
    int64_t ticks = 0;
    if (lpSystemTime == nullptr || !sim::TicksOfSystemTime(*lpSystemTime, &ticks)) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    return sim::Fail(sim::ErrorPrivilegeNotHeld);
}

// As SetSystemTime.
extern "C" BOOL WINAPI SetLocalTime(const SYSTEMTIME* lpSystemTime) {
    return SetSystemTime(lpSystemTime);
}

// Returns TRUE with the fields of the time; FALSE with 87 for a count of
// 0x8000000000000000 or more.
extern "C" BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    const int64_t ticks = sim::TicksOf(*lpFileTime);
    if (ticks < 0) return sim::Fail(ERROR_INVALID_PARAMETER);
    *lpSystemTime = sim::SystemTimeOfTicks(ticks);
    return TRUE;
}

// Returns TRUE with the count of the time; FALSE with 87 for a field out
// of range (wDayOfWeek is ignored).
extern "C" BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    int64_t ticks = 0;
    if (!sim::TicksOfSystemTime(*lpSystemTime, &ticks)) return sim::Fail(ERROR_INVALID_PARAMETER);
    sim::StoreTicks(lpFileTime, ticks);
    return TRUE;
}

// Returns TRUE with the UTC time moved to local time by the zone's bias as
// it is now.
extern "C" BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* lpFileTime,
                                               LPFILETIME lpLocalFileTime) {
    const int64_t ticks = sim::TicksOf(*lpFileTime) - sim::CurrentBias() * 60 * sim::TicksPerSecond;
    if (ticks < 0) return sim::Fail(ERROR_INVALID_PARAMETER);
    sim::StoreTicks(lpLocalFileTime, ticks);
    return TRUE;
}

// Returns TRUE with the local time moved back to UTC.
extern "C" BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime,
                                               LPFILETIME lpFileTime) {
    const int64_t ticks =
        sim::TicksOf(*lpLocalFileTime) + sim::CurrentBias() * 60 * sim::TicksPerSecond;
    if (ticks < 0) return sim::Fail(ERROR_INVALID_PARAMETER);
    sim::StoreTicks(lpFileTime, ticks);
    return TRUE;
}

// Returns -1, 0 or 1 as the first time is earlier than, equal to or later
// than the second (unsigned counts).
extern "C" LONG WINAPI CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2) {
    const uint64_t a = uint64_t(sim::TicksOf(*lpFileTime1));
    const uint64_t b = uint64_t(sim::TicksOf(*lpFileTime2));
    return a < b ? -1 : a > b ? 1 : 0;
}

// Returns TRUE with the MS-DOS date and time (two-second resolution) of
// the time; FALSE with 87 outside 1980 to 2107.
extern "C" BOOL WINAPI FileTimeToDosDateTime(const FILETIME* lpFileTime, WORD* lpFatDate,
                                             WORD* lpFatTime) {
    const int64_t ticks = sim::TicksOf(*lpFileTime);
    if (ticks < 0) return sim::Fail(ERROR_INVALID_PARAMETER);
    const SYSTEMTIME time = sim::SystemTimeOfTicks(ticks);
    if (time.wYear < 1980 || time.wYear > 2107) return sim::Fail(ERROR_INVALID_PARAMETER);
    *lpFatDate = static_cast<WORD>(((time.wYear - 1980) << 9) | (time.wMonth << 5) | time.wDay);
    *lpFatTime = static_cast<WORD>((time.wHour << 11) | (time.wMinute << 5) | (time.wSecond / 2));
    return TRUE;
}

// Returns TRUE with the time of the MS-DOS date and time; FALSE with 87 for
// fields out of range.
extern "C" BOOL WINAPI DosDateTimeToFileTime(WORD wFatDate, WORD wFatTime, LPFILETIME lpFileTime) {
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(1980 + (wFatDate >> 9));
    time.wMonth = static_cast<WORD>((wFatDate >> 5) & 15);
    time.wDay = static_cast<WORD>(wFatDate & 31);
    time.wHour = static_cast<WORD>(wFatTime >> 11);
    time.wMinute = static_cast<WORD>((wFatTime >> 5) & 63);
    time.wSecond = static_cast<WORD>((wFatTime & 31) * 2);
    return SystemTimeToFileTime(&time, lpFileTime);
}

// Returns TRUE with the UTC time in the zone's local time (the machine's
// zone for null), its daylight rules applied for that moment.
extern "C" BOOL WINAPI SystemTimeToTzSpecificLocalTime(
    const TIME_ZONE_INFORMATION* lpTimeZoneInformation, const SYSTEMTIME* lpUniversalTime,
    LPSYSTEMTIME lpLocalTime) {
    TIME_ZONE_INFORMATION machine;
    if (lpTimeZoneInformation == nullptr) {
        GetTimeZoneInformation(&machine);
        lpTimeZoneInformation = &machine;
    }
    int64_t ticks = 0;
    if (!sim::TicksOfSystemTime(*lpUniversalTime, &ticks)) return sim::Fail(ERROR_INVALID_PARAMETER);
    bool daylight = false;
    const LONG bias = sim::ZoneBiasAt(*lpTimeZoneInformation, ticks, &daylight);
    *lpLocalTime = sim::SystemTimeOfTicks(ticks - bias * 60 * sim::TicksPerSecond);
    return TRUE;
}

// Returns TRUE with the zone's local time in UTC: the standard bias tried
// first, the daylight one when the result falls in daylight time.
extern "C" BOOL WINAPI TzSpecificLocalTimeToSystemTime(
    const TIME_ZONE_INFORMATION* lpTimeZoneInformation, const SYSTEMTIME* lpLocalTime,
    LPSYSTEMTIME lpUniversalTime) {
    TIME_ZONE_INFORMATION machine;
    if (lpTimeZoneInformation == nullptr) {
        GetTimeZoneInformation(&machine);
        lpTimeZoneInformation = &machine;
    }
    int64_t local = 0;
    if (!sim::TicksOfSystemTime(*lpLocalTime, &local)) return sim::Fail(ERROR_INVALID_PARAMETER);
    const int64_t minute = 60 * sim::TicksPerSecond;
    int64_t utc = local + (lpTimeZoneInformation->Bias + lpTimeZoneInformation->StandardBias) * minute;
    bool daylight = false;
    sim::ZoneBiasAt(*lpTimeZoneInformation, utc, &daylight);
    if (daylight) {
        utc = local + (lpTimeZoneInformation->Bias + lpTimeZoneInformation->DaylightBias) * minute;
    }
    *lpUniversalTime = sim::SystemTimeOfTicks(utc);
    return TRUE;
}

// Returns TRUE: the clock advances 15.625 ms a tick, with no adjustment.
extern "C" BOOL WINAPI GetSystemTimeAdjustment(PDWORD lpTimeAdjustment, PDWORD lpTimeIncrement,
                                               LPBOOL lpTimeAdjustmentDisabled) {
    *lpTimeAdjustment = 156250;
    *lpTimeIncrement = 156250;
    *lpTimeAdjustmentDisabled = TRUE;
    return TRUE;
}
