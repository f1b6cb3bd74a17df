// Calendar arithmetic shared by kernel32's time functions and the C
// runtime's: FILETIME counts (100 ns since 1601-01-01 UTC) to and from
// calendar fields, and the bias of a time zone given as NT describes one
// (TIME_ZONE_INFORMATION, its transition dates as NT reads them).
#ifndef PTASPI_SIM_KERNEL_TIME_CONVERSIONS_H
#define PTASPI_SIM_KERNEL_TIME_CONVERSIONS_H

#include <windows.h>

#include <cstdint>

namespace sim {

const int64_t TicksPerSecond = 10000000;
const int64_t TicksPerDay = 86400 * TicksPerSecond;
const int64_t UnixEpochTicks = 116444736000000000LL;

// Returns the number of days from 1601-01-01 to the given date (month 1-12).
int64_t DaysFrom1601(int year, int month, int day);
// Returns the number of days in `month` of `year`.
int DaysInMonth(int year, int month);
// Returns the fields of the FILETIME count `ticks` (not negative), the day
// of the week included.
SYSTEMTIME SystemTimeOfTicks(int64_t ticks);
// Returns true with the FILETIME count of `time` in *ticks when every field
// is in range (the day of the week is ignored, as NT ignores it).
bool TicksOfSystemTime(const SYSTEMTIME& time, int64_t* ticks);
// Returns the current time as a FILETIME count.
int64_t NowTicks();
// Returns the bias in minutes (UTC = local + bias) that `zone` has at the
// UTC moment `utcTicks`, and whether daylight time is in force in
// *daylight: the standard bias, or the daylight one between the zone's
// transitions (dates given as "the nth weekday of a month" when their year
// is 0, absolute dates otherwise).
LONG ZoneBiasAt(const TIME_ZONE_INFORMATION& zone, int64_t utcTicks, bool* daylight);

}  // namespace sim

#endif
