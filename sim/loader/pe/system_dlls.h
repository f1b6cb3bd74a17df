// The simulated system DLLs that a PE image's imports bind to: KERNEL32,
// ADVAPI32 and USER32 to the simulator's own stdcall functions, msvcrt to
// the simulated C runtime.
#ifndef PTASPI_SIM_SYSTEM_DLLS_H
#define PTASPI_SIM_SYSTEM_DLLS_H

#include "sim/runtime/msvcrt.h"

#include <cstddef>

namespace sim {

// Returns the exports of the system DLL named `name` (without case, with
// or without ".dll") and their number in *count; null for a DLL the
// simulator does not provide. An export's ordinal is its place in the
// table, counted from 1.
const NamedExport* SystemDllExports(const char* name, size_t* count);

}  // namespace sim

#endif
