// The simulated loader: LoadLibraryA, FreeLibrary and GetProcAddress load
// the Linux build of a library afresh from a private copy, so its static
// storage starts at zero on every load, and call its DllMain as Windows
// does. What tests use besides the Win32 calls is declared here.
#ifndef PTASPI_SIM_LOADER_H
#define PTASPI_SIM_LOADER_H

#include <windows.h>

#include <cstddef>
#include <string>

namespace sim {

// Returns what the module's DllMain returned when called now with `reason`
// (for instance DLL_THREAD_ATTACH), TRUE when it has no DllMain, and FALSE
// with last error 126 when `module` is not a loaded module.
BOOL CallEntryPoint(HMODULE module, DWORD reason);
// Returns the number of modules loaded and not yet unloaded.
size_t LoadedModuleCount();
// Returns the number of PE images mapped and not yet unmapped.
size_t MappedImageCount();
// Returns why the calling thread's last failed LoadLibraryA of a PE file
// failed (which check refused it, or the import the simulator lacks);
// empty when no such load has failed on this thread.
const std::string& LastLoadError();
// Returns nothing once every loaded module's entry point has been called
// with `reason` (DLL_THREAD_ATTACH in load order, DLL_THREAD_DETACH in
// reverse) under the loader lock. Threads that _beginthread starts call it
// as they start and as they end.
void RunThreadNotifications(DWORD reason);
// Does to the loaded modules what NT's ExitProcess does, and returns true:
// every other thread of the machine is terminated (no DLL_THREAD_DETACH),
// then, under the loader lock, each module's entry point is called with
// DLL_PROCESS_DETACH and a non-null reserved, last loaded first, and the
// modules are unloaded; meanwhile FreeLibrary does nothing, so every module
// is detached exactly once. The calling thread goes on, so tests can look
// at what happened. Returns false, calling no entry point, when a terminated
// thread holds the loader lock, where NT's exit would hang for good.
bool SimulateProcessExit();
// Returns true once every loaded module's entry point has been called with
// DLL_PROCESS_DETACH and a non-null reserved, last loaded first, each
// exactly once, under the loader lock; FreeLibrary does nothing from then
// on. The modules stay mapped: the process is about to end. The caller has
// ended every other thread first. Returns false, calling no entry point,
// when a terminated thread holds the loader lock.
bool DetachModulesAtExit();

}  // namespace sim

#endif
