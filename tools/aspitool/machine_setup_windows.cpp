// The real machine: nothing to set up, no machine file to load, and no
// record of the platform's errors.
#include "machine_setup.h"

namespace aspitool {

bool MachineOptionSupported() {
    return false;
}

bool SetUpMachine(const std::string& machineFile, MachineNotes& notes, std::string& error) {
    notes = MachineNotes();
    if (!machineFile.empty()) {
        error = "--machine is for the simulated machine of the Linux build; on Windows the tool "
                "works on the real machine";
        return false;
    }
    return true;
}

void TearDownMachine() {}

void StartPlatformRecord() {}

std::vector<std::string> PlatformRecord() {
    return {};
}

}  // namespace aspitool
