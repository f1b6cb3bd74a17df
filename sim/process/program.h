// Running a Windows console program (a PE32 i386 EXE) as the simulated
// process: checked, mapped, its DLLs found and attached in NT's order,
// then its own entry point, whose end ends the process.
#ifndef PTASPI_SIM_PROCESS_PROGRAM_H
#define PTASPI_SIM_PROCESS_PROGRAM_H

#include <string>
#include <vector>

namespace sim {

struct ProgramRun {
    std::string Path;                    // the EXE, a host path
    std::vector<std::string> Arguments;  // after the program's name
    bool ListImports = false;  // print every import and whether it is there, run nothing
    bool Strict = false;       // refuse to start when an import is missing
};

// Returns the exit status of a run that does not start (126: refused, with
// one line on standard error saying why; 127: no such file) or of
// ListImports (0). Never returns once the program's DLLs have run: the
// process ends with the program's exit code (see exit_status.h), or with
// 3 and a report when the program faults or calls what the simulator
// lacks.
int RunProgram(const ProgramRun& run);

// Returns why the file `bytes` cannot run as a program (a DLL, a 64-bit
// or GUI image, not a PE image), empty when it may.
std::string ProgramImageProblem(const std::vector<unsigned char>& bytes);

}  // namespace sim

#endif
