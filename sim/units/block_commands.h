// Commands of units with logical blocks (disk, CD-ROM): capacity, reads,
// writes, verify and cache flush, each checked against the capacity with
// 64-bit arithmetic so that no LBA and count can wrap past the end.
#ifndef PTASPI_SIM_UNITS_BLOCK_COMMANDS_H
#define PTASPI_SIM_UNITS_BLOCK_COMMANDS_H

#include "sim/units/emulated_unit.h"

#include <cstdint>

namespace sim::units {

constexpr uint8_t OpRead6 = 0x08;
constexpr uint8_t OpWrite6 = 0x0A;
constexpr uint8_t OpModeSense6 = 0x1A;
constexpr uint8_t OpStartStopUnit = 0x1B;
constexpr uint8_t OpPreventAllowRemoval = 0x1E;
constexpr uint8_t OpReadCapacity10 = 0x25;
constexpr uint8_t OpRead10 = 0x28;
constexpr uint8_t OpWrite10 = 0x2A;
constexpr uint8_t OpVerify10 = 0x2F;
constexpr uint8_t OpSynchronizeCache10 = 0x35;
constexpr uint8_t OpReadToc = 0x43;
constexpr uint8_t OpSynchronizeCache16 = 0x91;
constexpr uint8_t OpRead16 = 0x88;
constexpr uint8_t OpWrite16 = 0x8A;
constexpr uint8_t OpVerify16 = 0x8F;
constexpr uint8_t OpServiceActionIn16 = 0x9E;
constexpr uint8_t OpRead12 = 0xA8;
constexpr uint8_t OpWrite12 = 0xAA;
constexpr uint8_t OpVerify12 = 0xAF;
constexpr uint8_t ServiceActionReadCapacity16 = 0x10;

// Returns true when the `count` blocks from `lba` all lie on the medium. An
// LBA past the last block is out of range even with no blocks to move.
bool BlockRangeValid(const EmulatedUnit& unit, uint64_t lba, uint64_t count);

// Return nothing: the table handlers; the outcome holds the status, sense
// and bytes moved. Data transfers shorter than the command asks for: a read moves only what
// the buffer holds (bytesMoved tells the caller; the rest is residual, as a
// port driver reports a data underrun). A write stores only the complete
// blocks the buffer holds and then ends with CHECK CONDITION, ABORTED
// COMMAND, DATA PHASE ERROR, so that a short write is never taken for a
// whole one.
void HandleReadCapacity10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleRead6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleRead10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleWrite6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleWrite10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleVerify10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleSynchronizeCache10(EmulatedUnit& unit, const ScsiCommand& command,
                              ScsiOutcome& outcome);
// The longer forms a disk answers: 32-bit counts (12) and 64-bit LBAs (16),
// READ CAPACITY(16) under SERVICE ACTION IN(16). A protection field other
// than 0 is refused, since the units keep no protection information.
void HandleRead12(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleRead16(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleWrite12(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleWrite16(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleVerify12(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleVerify16(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleSynchronizeCache16(EmulatedUnit& unit, const ScsiCommand& command,
                              ScsiOutcome& outcome);
void HandleServiceActionIn16(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);

}  // namespace sim::units

#endif
