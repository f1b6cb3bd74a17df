// The simulated process as a program sees it: its command line and its
// end. The program runner sets the command line before it starts a
// program; GetCommandLineA and ExitProcess are the Win32 calls over it.
#ifndef PTASPI_SIM_LOADER_PROCESS_H
#define PTASPI_SIM_LOADER_PROCESS_H

#include <string>

namespace sim {

// Returns nothing; GetCommandLineA returns `commandLine` from now on.
void SetProcessCommandLine(const std::string& commandLine);
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
