// What a program's faults become: NT's exceptions, dispatched through the
// program's handlers and its unhandled-exception filter (exceptions/), and
// whatever nobody takes, a fault outside the program's images, a call of
// an import the simulator lacks or a call NT leaves undefined ends the
// process at once with one line on standard error that names what
// happened and where, and exit code 3. ReportUnhandledException
// (exceptions/dispatch.h) is defined here, beside the other reports.
#ifndef PTASPI_SIM_LOADER_PROGRAM_FAULTS_H
#define PTASPI_SIM_LOADER_PROGRAM_FAULTS_H

#include <cstdint>
#include <string>

namespace sim {

const int ProgramFaultExitCode = 3;

// Returns nothing; addresses in [base, base + size) are reported as
// `name`+offset from now on, until ForgetImageRange(base).
void RegisterImageRange(const void* base, uint32_t size, const char* name);
// Returns nothing; the range that begins at `base` is no longer named.
void ForgetImageRange(const void* base);
// Returns the address that the import `name` ("DLL!function"), which the
// simulator lacks, is bound to: a page of its own that cannot be touched,
// so that a call of it, or a use of it as data, faults and the report
// names it. The same name gets the same page. Null when no page is left.
const void* MissingImportStop(const std::string& name);
// Returns nothing; from now on a fault of any thread is dispatched, and
// ends the process with its report unless the program handles it; calls
// NT leaves undefined end it with theirs.
void InstallFaultReports();

}  // namespace sim

#endif
