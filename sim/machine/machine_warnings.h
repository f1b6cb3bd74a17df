// What a machine file allows but a user would not want: units that a class
// driver claims and that the library has no way to reach, disks whose
// file and size disagree, a user whose every pass-through is refused.
#ifndef PTASPI_SIM_MACHINE_WARNINGS_H
#define PTASPI_SIM_MACHINE_WARNINGS_H

#include "sim/machine/machine.h"

#include <string>
#include <vector>

namespace sim {

// Returns one line for each such thing in `machine`, naming the unit by
// port, bus, target and LUN, and why; empty when there is nothing to say.
std::vector<std::string> MachineWarnings(const Machine& machine);

}  // namespace sim

#endif
