// The simulated system DLLs that a PE image's imports bind to: KERNEL32,
// ADVAPI32 and USER32 to the simulator's own stdcall functions, msvcrt to
// the simulated C runtime.
#ifndef PTASPI_SIM_SYSTEM_DLLS_H
#define PTASPI_SIM_SYSTEM_DLLS_H

#include "sim/runtime/msvcrt.h"

#include <windows.h>

#include <cstddef>

namespace sim {

// Returns the exports of the system DLL named `name` (without case, with
// or without ".dll") and their number in *count; null for a DLL the
// simulator does not provide. An export's ordinal is its place in the
// table, counted from 1.
const NamedExport* SystemDllExports(const char* name, size_t* count);

// Returns the module handle of the system DLL named `name` (a file name
// without a folder, as SystemDllExports takes it), or null when the
// simulator provides no such DLL. These DLLs are always loaded, as
// KERNEL32 and its peers are in every NT process: their handles need no
// load and ignore FreeLibrary.
HMODULE SystemDllHandle(const char* name);
// Returns the exports of the system DLL whose handle is `module` and their
// number in *count, with its file name in *name; null for any other
// handle.
const NamedExport* SystemDllOfHandle(HMODULE module, size_t* count, const char** name);
// Returns true when `module` is a system DLL's handle.
inline bool IsSystemDll(HMODULE module) {
    size_t count = 0;
    const char* name = nullptr;
    return SystemDllOfHandle(module, &count, &name) != nullptr;
}
// Returns the address of the export `procName` (a name, or an ordinal
// below 0x10000) of `exports`, or null.
const void* FindSystemExport(const NamedExport* exports, size_t count, const char* procName);

// Returns the name of the family the export `exportName` of the system DLL
// `dll` belongs to (threads, time, ...), null for no such export.
const char* SystemExportFamily(const char* dll, const char* exportName);
// Returns true when the export is limited: its purpose cannot be met on
// the simulated machine, and it fails as documented for that case.
bool SystemExportLimited(const char* dll, const char* exportName);

}  // namespace sim

#endif
