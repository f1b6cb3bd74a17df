// The simulated loader: LoadLibraryA, FreeLibrary and GetProcAddress load
// the Linux build of a library afresh from a private copy, so its static
// storage starts at zero on every load, and call its DllMain as Windows
// does. What tests use besides the Win32 calls is declared here.
#ifndef PTASPI_SIM_LOADER_H
#define PTASPI_SIM_LOADER_H

#include <windows.h>

#include <cstddef>

namespace sim {

// Returns what the module's DllMain returned when called now with `reason`
// (for instance DLL_THREAD_ATTACH), TRUE when it has no DllMain, and FALSE
// with last error 126 when `module` is not a loaded module.
BOOL CallEntryPoint(HMODULE module, DWORD reason);
// Returns the number of modules loaded and not yet unloaded.
size_t LoadedModuleCount();

}  // namespace sim

#endif
