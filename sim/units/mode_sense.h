// MODE SENSE(6) for units with logical blocks: the 4-byte header, one block
// descriptor unless DBD is set, and the pages the device type keeps.
#ifndef PTASPI_SIM_UNITS_MODE_SENSE_H
#define PTASPI_SIM_UNITS_MODE_SENSE_H

#include "sim/units/emulated_unit.h"

#include <cstddef>
#include <cstdint>

namespace sim::units {

struct ModePage {
    uint8_t code;
    const uint8_t* bytes;  // the current (and default) values, page header included
    size_t length;
};

// Returns nothing: answers MODE SENSE(6) with `pages`, cut to the allocation
// length. Page code 0x3F returns every page, 0x00 none; another code the
// unit lacks is a field error, and so is asking for saved values.
void AnswerModeSense6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                      const ModePage* pages, size_t pageCount);

}  // namespace sim::units

#endif
