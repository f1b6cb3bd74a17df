// The port driver's control handlers. DeviceIoControl hands each one the
// I/O manager's system buffer (as large as the larger of the two lengths,
// aligned as NT's pool aligns it, holding exactly the input's bytes and
// junk after them); a handler returns 0 and the count of bytes to copy
// back to the output, or the error the control fails with, in which case
// nothing is copied back.
#ifndef PTASPI_SIM_PORT_DRIVER_H
#define PTASPI_SIM_PORT_DRIVER_H

#include "sim/devices/device_files.h"
#include "sim/units/unit.h"

#include <windows.h>

#include <cstdint>
#include <vector>

namespace sim {

// Returns 0 or the error of IOCTL_SCSI_PASS_THROUGH (direct false) or
// IOCTL_SCSI_PASS_THROUGH_DIRECT (direct true), after the I/O manager's
// access check has passed.
DWORD HandlePassThrough(const DeviceFile& file, bool direct, uint8_t* system,
                        DWORD inputLength, DWORD outputLength, DWORD& information);

// Returns 0, or the error with which the device has gone meanwhile: runs
// one command a class driver sends its own unit, waiting for the unit as a
// pass-through does.
DWORD ExecuteClassCommand(const DeviceFile& file, ScsiCommand& command, ScsiOutcome& outcome);

// Appends one pass-through request to the log that tests read; `input` is
// the input buffer as it arrived.
void RecordPassThrough(const DeviceFile& file, DWORD code, std::vector<uint8_t> input,
                       DWORD inputLength, DWORD outputLength, DWORD error);

// Appends an I/O control that no driver knows to the unknown-control log
// (and reports it on standard error when asked to).
void RecordUnknownControl(const DeviceFile& file, DWORD code);

}  // namespace sim

#endif
