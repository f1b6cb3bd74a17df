// Fuzz target of the machine file loader: any text either becomes a
// machine or is refused with a message, never a crash or a throw. A
// machine that the loader accepts must be as whole as its model promises,
// since the rest of the simulator takes it as it is.
#include "sim/machine/machine.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Fail(const char* what) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

// Returns nothing; aborts when an accepted machine breaks a rule that the
// loader promises to have checked.
void CheckMachine(const sim::Machine& machine) {
    for (const sim::PortConfig& port : machine.ports) {
        for (const sim::BusConfig& bus : port.buses) {
            for (const sim::UnitConfig& unit : bus.units) {
                if (unit.inquiry.vendor.size() != 8) Fail("vendor not 8 characters");
                if (unit.inquiry.product.size() != 16) Fail("product not 16 characters");
                if (unit.inquiry.revision.size() != 4) Fail("revision not 4 characters");
                if (unit.drive && (*unit.drive < 'A' || *unit.drive > 'Z')) Fail("drive letter");
            }
        }
    }
    for (const sim::DriveConfig& drive : machine.drives) {
        if (drive.letter < 'A' || drive.letter > 'Z') Fail("drive letter");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::Machine machine;
    std::string error;
    if (sim::ParseMachine(text, machine, error)) {
        if (!error.empty()) Fail("accepted with a message");
        CheckMachine(machine);
    } else if (error.empty()) {
        Fail("refused without a message");
    }
    return 0;
}
