// What a process asks kernel32 about itself and the machine: how it was
// started, the time and time zone, its id, its unhandled-exception filter.
#include "sim/kernel/threads.h"

#include <windows.h>

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

// 100-ns intervals from 1601-01-01 (FILETIME's epoch) to 1970-01-01.
const uint64_t UnixEpochInFileTime = 116444736000000000ULL;

std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> unhandledExceptionFilter{nullptr};

}  // namespace

// Returns nothing; *lpStartupInfo says the process was started with no
// window settings and no standard handles of its parent's choosing, as a
// console program started from a command prompt is.
extern "C" void WINAPI GetStartupInfoA(LPSTARTUPINFOA lpStartupInfo) {
    sim::ExitIfTerminated();
    std::memset(lpStartupInfo, 0, sizeof *lpStartupInfo);
    lpStartupInfo->cb = sizeof *lpStartupInfo;
}

// Returns nothing; *lpSystemTimeAsFileTime is the current time (UTC).
extern "C" void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    sim::ExitIfTerminated();
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t ticks = UnixEpochInFileTime + uint64_t(now.tv_sec) * 10000000ULL +
                           uint64_t(now.tv_nsec) / 100;
    lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

// Returns TIME_ZONE_ID_UNKNOWN: the simulated machine keeps UTC, with no
// daylight saving time, whatever the host's zone, so that programs print
// the same times on every host.
extern "C" DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION lpTimeZoneInformation) {
    sim::ExitIfTerminated();
    std::memset(lpTimeZoneInformation, 0, sizeof *lpTimeZoneInformation);
    const char name[] = "Coordinated Universal Time";
    for (size_t i = 0; i + 1 < sizeof name; ++i) {
        lpTimeZoneInformation->StandardName[i] = static_cast<WCHAR>(name[i]);
        lpTimeZoneInformation->DaylightName[i] = static_cast<WCHAR>(name[i]);
    }
    return TIME_ZONE_ID_UNKNOWN;
}

// Returns the process's id: the host's, as the thread environment block
// holds it.
extern "C" DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

// Returns the filter set before. The simulator keeps the filter but never
// calls it: a fault in a program ends its run with a report instead of
// being dispatched to structured exception handlers.
extern "C" LPTOP_LEVEL_EXCEPTION_FILTER WINAPI
SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER lpTopLevelExceptionFilter) {
    sim::ExitIfTerminated();
    return unhandledExceptionFilter.exchange(lpTopLevelExceptionFilter);
}
