// The C runtime (msvcrt.dll) as the PE loader binds it: cdecl functions
// with the Windows runtime's behaviour, looked up by name.
#ifndef PTASPI_SIM_RUNTIME_MSVCRT_H
#define PTASPI_SIM_RUNTIME_MSVCRT_H

#include <cstddef>

namespace sim {

// One function or variable that a simulated system DLL exports.
struct NamedExport {
    const char* Name;
    const void* Address;
};

// Returns the runtime's exports (a fixed table) and their number in *count.
const NamedExport* RuntimeExports(size_t* count);

}  // namespace sim

#endif
