// What a machine file allows but a user would not want: units that a class
// driver claims and that the library has no way to reach, disks whose
// file and size disagree, a user whose every pass-through is refused.
#ifndef PTASPI_SIM_MACHINE_WARNINGS_H
#define PTASPI_SIM_MACHINE_WARNINGS_H

#include "sim/machine/machine.h"

#include <string>
#include <vector>

namespace sim {

struct MachineWarning {
    std::string text;      // the whole line, naming the unit by port, bus, target and LUN
    bool unreachable = false;  // a claimed unit the library cannot reach
    unsigned target = 0, lun = 0;  // that unit's address on its bus
    std::string reason;    // why it cannot be reached
};

// Returns one warning for each such thing in `machine`; empty when there
// is nothing to say.
std::vector<MachineWarning> MachineWarnings(const Machine& machine);

}  // namespace sim

#endif
