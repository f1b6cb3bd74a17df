// The program a process runs, as the loader knows it: DLLs are looked for
// beside it, and only Windows DLLs are loaded for it. The process layer
// (sim/process) sets it before the program's image is mapped.
#ifndef PTASPI_SIM_LOADER_PROCESS_H
#define PTASPI_SIM_LOADER_PROCESS_H

#include <string>

namespace sim {

// Returns nothing; the process runs the program at `hostPath` (a real
// path) from now on: the loader looks for DLLs as NT does for a program,
// and binds what the simulator lacks to stops.
void SetProgramPath(const std::string& hostPath);
// Returns the real path of the program the process runs, empty when it
// runs none (the tests, the Linux tools).
const std::string& ProgramPath();
// Returns true when the process runs a program.
bool IsProgramProcess();

}  // namespace sim

#endif
