// The simulated machine's registry, called directly.
#include "registry_calls.h"

namespace aspitool {

bool LoadRegistryCalls(RegistryCalls& calls) {
    calls.openKey = RegOpenKeyExA;
    calls.queryValue = RegQueryValueExA;
    calls.closeKey = RegCloseKey;
    return true;
}

}  // namespace aspitool
