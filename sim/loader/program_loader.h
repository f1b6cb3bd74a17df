// The loader's part in starting a program (an EXE) as the simulated
// process: its module, the DLLs it imports, their attach, its entry point.
#ifndef PTASPI_SIM_LOADER_PROGRAM_LOADER_H
#define PTASPI_SIM_LOADER_PROGRAM_LOADER_H

#include "sim/loader/pe/pe_image.h"

#include <windows.h>

#include <string>

namespace sim {

// Returns the program's module handle once the EXE at `hostPath` (a real
// path) is mapped with its imports bound, the DLLs they need loaded and
// listed before it, none attached yet; null with the reason in *message.
HMODULE LoadProgramModule(const std::string& hostPath, std::string* message);
// Returns true once the calling thread has its environment block and the
// program's thread-local data, and every module its DLL_PROCESS_ATTACH in
// NT's order (the program's module last, its TLS callbacks only); false at
// the first DLL that refused it, its file name in *refused.
bool AttachProcessModules(std::string* refused);
// Returns the program's entry point, null when it has none.
void* ProgramEntryPoint();
// ImportFallback::FindDll for a program's process: the DLL `name` looked
// for beside the program, then in the current folder, and loaded as a
// dependency of the module being bound. The loader lock is held.
bool FindDllForImport(const char* name, const PeImage** image, DWORD* error,
                      std::string* message);
// Returns the file name of the module whose imports are being bound, empty
// when none is.
std::string ImportingModuleName();

}  // namespace sim

#endif
