// How a program's exit code becomes the host's 8-bit exit status, and the
// statuses that the runner keeps for its own outcomes.
#ifndef PTASPI_SIM_PROCESS_EXIT_STATUS_H
#define PTASPI_SIM_PROCESS_EXIT_STATUS_H

#include "sim/loader/program_faults.h"

#include <cstdint>

namespace sim {

// The runner's own outcomes, each with a line on standard error that
// begins with the runner's name.
const int FaultReportStatus = ProgramFaultExitCode;  // a fault no handler took, a missing import called
const int OwnFailureStatus = 125;  // the runner's own error: its options, the machine
const int ProgramRefusedStatus = 126;   // the program did not start
const int ProgramNotFoundStatus = 127;  // no such program
// The status of a program's code that does not fit 8 bits.
const int LargeCodeStatus = 255;

// Returns the host exit status for the program's exit code `code`: the
// code itself when it fits 8 bits, LargeCodeStatus otherwise (never 0).
// When the code does not fit, or is one of the runner's own statuses,
// one line on standard error first gives the code in full, in decimal and
// hex, so that the last line of standard error says whose the status is.
int ReportExitStatus(uint32_t code);

}  // namespace sim

#endif
