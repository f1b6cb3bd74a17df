// The real machine: nothing to set up, and no machine file to load.
#include "machine_setup.h"

namespace aspitool {

bool SetUpMachine(const std::string& machineFile, std::string& machineName, std::string& error) {
    machineName.clear();
    if (!machineFile.empty()) {
        error = "--machine is for the simulated machine of the Linux build; on Windows the tool "
                "works on the real machine";
        return false;
    }
    return true;
}

void TearDownMachine() {}

}  // namespace aspitool
