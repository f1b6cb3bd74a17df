// The simulated machine: a machine file or the built-in default.
#include "machine_setup.h"

#include "sim/machine/machine.h"
#include "sim/sim.h"

namespace aspitool {

bool SetUpMachine(const std::string& machineFile, std::string& machineName, std::string& error) {
    sim::Machine machine;
    if (machineFile.empty()) {
        machine = sim::DefaultMachine();
    } else if (!sim::LoadMachineFile(machineFile, machine, error)) {
        return false;
    }
    if (!sim::InstallMachine(machine, error)) {
        error = "cannot set up the machine: " + error;
        return false;
    }
    machineName = machine.name;
    return true;
}

void TearDownMachine() {
    sim::UninstallMachine();
}

}  // namespace aspitool
