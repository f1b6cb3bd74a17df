// What tests and the client use to run the simulated machine: install a
// machine, watch for leaks, release hanging units.
#ifndef PTASPI_SIM_SIM_H
#define PTASPI_SIM_SIM_H

#include "sim/kernel/faults.h"
#include "sim/machine/machine.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Makes `machine` the running machine: builds its registry, devices and
// units. Returns false with a message when a unit cannot be built (for
// instance an image file that does not open). Replaces any earlier machine.
bool InstallMachine(const Machine& machine, std::string& error);
// Installs the built-in default machine; aborts on failure.
void InstallDefaultMachine();
// Ends the running machine: hung units are released, devices vanish.
void UninstallMachine();

// Makes a device of the running machine vanish ("scsi1:", "CdRom0", "E:",
// "aspidrv0": the name after \\.\): opens fail with 2 from now on.
void RemoveDevice(const std::string& name);
// Releases every hanging command of every unit.
void ReleaseHangs();
// Returns the number of commands blocked in a hang on the running machine,
// so that a test can release them once they have reached their unit.
size_t HangingCommandCount();

// Committed virtual memory, in bytes, and the number of open registry keys.
size_t CommittedVirtualMemory();
size_t OpenRegistryKeyCount();

// How many of the most recent requests each log below keeps: a program
// that runs for hours must not run the process out of memory.
constexpr size_t LoggedRequestLimit = 4096;

// One pass-through request as the port driver received it, for tests that
// check what the library sent; the log keeps the LoggedRequestLimit most
// recent.
struct PassThroughRecord {
    std::string device;          // the name the handle was opened with
    DWORD controlCode = 0;
    DWORD inputLength = 0;
    DWORD outputLength = 0;
    uint8_t header[44] = {};     // the header as received
    std::vector<uint8_t> input;  // the whole input buffer as received
    DWORD error = 0;             // 0 when the control succeeded
};
std::vector<PassThroughRecord> PassThroughLog();
void ClearPassThroughLog();

// One I/O control that no driver of the machine knows, as it arrived: it
// failed with 1 (ERROR_INVALID_FUNCTION), as NT's drivers fail a code
// they do not handle.
struct UnknownControlRecord {
    std::string device;  // the name the handle was opened with
    DWORD controlCode = 0;
};
std::vector<UnknownControlRecord> UnknownControlLog();
void ClearUnknownControlLog();
// Returns nothing; from now on every unknown control is also reported on
// the host's standard error, one line each (ntrun turns this on).
void ReportUnknownControls(bool on);

}  // namespace sim

#endif
