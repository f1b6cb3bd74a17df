// The simulated process as a program sees it: its command line and its
// end. The program runner sets the command line before it starts a
// program; GetCommandLineA and ExitProcess are the Win32 calls over it.
#ifndef PTASPI_SIM_PROCESS_PROCESS_H
#define PTASPI_SIM_PROCESS_PROCESS_H

#include <string>

namespace sim {

// Returns nothing; GetCommandLineA returns `commandLine` from now on.
void SetProcessCommandLine(const std::string& commandLine);

}  // namespace sim

#endif
