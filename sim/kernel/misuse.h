// Calls that NT leaves undefined (a critical section entered that was
// never initialised, say). Where a program runs, they end its run with a
// one-line report, as its faults do; elsewhere (the tests, the Linux
// tools) the process stops with the message.
#ifndef PTASPI_SIM_KERNEL_MISUSE_H
#define PTASPI_SIM_KERNEL_MISUSE_H

namespace sim {

// Never returns: ends the process with the report of `text`, a call made
// from `caller`.
typedef void (*MisuseReport)(const char* text, const void* caller);

// Returns nothing; `report` tells of every misuse from now on.
void SetMisuseReport(MisuseReport report);
// Never returns: tells of the misuse `text`, a call made from `caller`.
[[noreturn]] void ReportMisuse(const char* text, const void* caller);

}  // namespace sim

#endif
