// MODE SENSE (6, 10) and MODE SELECT (6, 10) with the four kinds of
// values SPC-3 keeps for each page: current, changeable, default and saved.
// A device type describes its pages and its block descriptor once, in a
// ModeProfile; the values MODE SELECT sets live in the unit.
#ifndef PTASPI_SIM_UNITS_MODE_PARAMETERS_H
#define PTASPI_SIM_UNITS_MODE_PARAMETERS_H

#include "sim/units/emulated_unit.h"

#include <cstddef>
#include <cstdint>

namespace sim::units {

constexpr uint8_t OpModeSelect6 = 0x15;
constexpr uint8_t OpModeSelect10 = 0x55;
constexpr uint8_t OpModeSense10 = 0x5A;

struct ModePageSpec {
    uint8_t code;
    const uint8_t* defaults;    // the whole page, header included; PS is set when answered
    const uint8_t* changeable;  // the mask of bits MODE SELECT may change, same length
    size_t length;
};

struct ModeProfile {
    const ModePageSpec* pages;
    size_t pageCount;
    // Returns nothing: the unit's 8-byte block descriptor.
    void (*blockDescriptor)(const EmulatedUnit& unit, uint8_t* descriptor);
    // Returns the device-specific parameter byte of the mode header.
    uint8_t (*deviceSpecific)(const EmulatedUnit& unit);
    // Returns true when the block descriptor MODE SELECT sent is taken (and
    // applies it); false: INVALID FIELD IN PARAMETER LIST.
    bool (*selectBlockDescriptor)(EmulatedUnit& unit, const uint8_t* descriptor);
};

// Return nothing: the table handlers' work; the outcome holds the status,
// sense and bytes moved.
void AnswerModeSense(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                     const ModeProfile& profile);
void AnswerModeSelect(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                      const ModeProfile& profile);

// Returns the current value of byte `offset` of page `code` (0 when the
// profile has no such page or byte), for the handlers whose work a page
// setting changes.
uint8_t CurrentModeByte(const EmulatedUnit& unit, const ModeProfile& profile, uint8_t code,
                        size_t offset);

}  // namespace sim::units

#endif
