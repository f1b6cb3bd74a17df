// What the process has told kernel32 about itself.
#ifndef PTASPI_SIM_KERNEL_PROCESS_INFO_H
#define PTASPI_SIM_KERNEL_PROCESS_INFO_H

#include <windows.h>

namespace sim {

// Returns the filter SetUnhandledExceptionFilter set last, or null.
LPTOP_LEVEL_EXCEPTION_FILTER CurrentUnhandledExceptionFilter();

}  // namespace sim

#endif
