// The simulated machine's functions, called directly.
#include "system_calls.h"

namespace aspitool {

void LoadSystemCalls(SystemCalls& calls) {
    calls.getVersionEx = GetVersionExA;
    calls.isWow64Process = IsWow64Process;
    calls.openProcessToken = OpenProcessToken;
    calls.getTokenInformation = GetTokenInformation;
}

}  // namespace aspitool
