#include "sim/process/exit_status.h"

#include "sim/loader/process.h"

#include <errno.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace sim {

int ReportExitStatus(uint32_t code) {
    const bool fits = code <= 255;
    const bool reserved = code == FaultReportStatus || code == OwnFailureStatus ||
                          code == ProgramRefusedStatus || code == ProgramNotFoundStatus;
    if (!fits || reserved) {
        const std::string& program = ProgramPath();
        const char* name = std::strrchr(program.c_str(), '/');
        std::fprintf(stderr, "%s: %s ended with exit code %" PRIu32 " (0x%08" PRIX32 ")\n",
                     program_invocation_short_name, name != nullptr ? name + 1 : program.c_str(),
                     code, code);
    }
    return fits ? static_cast<int>(code) : LargeCodeStatus;
}

}  // namespace sim
