// The built-in default machine: machines/default.json compiled in, so that
// tests and the client have a machine without any file at hand.
#include "sim/machine/machine.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

extern const char DefaultMachineJson[];

const char* DefaultMachineText() { return DefaultMachineJson; }

// Returns the parsed default machine. A default machine that does not
// parse is a broken build, not a run-time condition: it aborts.
Machine DefaultMachine() {
    Machine machine;
    std::string error;
    if (!ParseMachine(DefaultMachineJson, machine, error)) {
        std::fprintf(stderr, "the built-in default machine is invalid: %s\n", error.c_str());
        std::abort();
    }
    return machine;
}

}  // namespace sim
