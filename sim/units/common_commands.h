// The commands every emulated unit answers the same way (INQUIRY, TEST UNIT
// READY, REQUEST SENSE, the unsupported-opcode reply) and the helpers every
// handler uses to finish a command.
#ifndef PTASPI_SIM_UNITS_COMMON_COMMANDS_H
#define PTASPI_SIM_UNITS_COMMON_COMMANDS_H

#include "sim/machine/machine.h"
#include "sim/units/unit.h"
#include "sim/units/emulated_unit.h"
#include "sim/units/sense.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::units {

constexpr uint8_t OpTestUnitReady = 0x00;
constexpr uint8_t OpRequestSense = 0x03;
constexpr uint8_t OpInquiry = 0x12;
constexpr uint8_t OpReportLuns = 0xA0;
constexpr uint8_t OpMaintenanceIn = 0xA3;
constexpr uint8_t ServiceActionReportOperationCodes = 0x0C;

// Length of standard INQUIRY data.
constexpr size_t StandardInquiryLength = 36;

// Returns the 36 bytes of standard INQUIRY data for `inquiry`.
std::vector<uint8_t> StandardInquiryData(const InquiryConfig& inquiry);

// Returns the number of data-in bytes the command's buffer can take: its
// length when the command moves data in, 0 otherwise.
uint32_t DataInCapacity(const ScsiCommand& command);
// Returns the number of data-out bytes the command's buffer offers.
uint32_t DataOutAvailable(const ScsiCommand& command);

// Returns the count of bytes moved: the reply cut to `allocation` and to the
// data buffer, copied there, with GOOD status.
uint32_t ReplyDataIn(const ScsiCommand& command, ScsiOutcome& outcome, const uint8_t* reply,
                     size_t length, uint32_t allocation);

// Returns nothing: ends the command with CHECK CONDITION, reports the sense
// with it and keeps it as the pending sense for a later REQUEST SENSE.
void CheckCondition(std::vector<uint8_t>& pendingSense, ScsiOutcome& outcome, SenseCode code);
void CheckCondition(std::vector<uint8_t>& pendingSense, ScsiOutcome& outcome, SenseCode code,
                    const SenseDetail& detail);

// Returns nothing: the INQUIRY reply for `inquiry` (standard data only).
void AnswerInquiry(const InquiryConfig& inquiry, std::vector<uint8_t>& pendingSense,
                   const ScsiCommand& command, ScsiOutcome& outcome);
// Returns nothing: the REQUEST SENSE reply from `pendingSense`, which it
// clears.
void AnswerRequestSense(std::vector<uint8_t>& pendingSense, const ScsiCommand& command,
                        ScsiOutcome& outcome);

// Return nothing: the table handlers every device type shares; the outcome
// holds the status, sense and bytes moved. INQUIRY with EVPD answers the
// unit's vital product data pages.
void HandleInquiry(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleTestUnitReady(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleRequestSense(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleUnsupported(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
// REPORT LUNS, which SPC-3 (the version the units' INQUIRY data claims)
// makes mandatory for every device type.
void HandleReportLuns(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
// MAINTENANCE IN's REPORT SUPPORTED OPERATION CODES: every command of the
// unit's own table, or whether one is answered, with its usage map.
void HandleMaintenanceIn(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
// Returns nothing: accepts the command with GOOD status and no effect, for
// commands whose effect an emulated unit has no use for (START STOP UNIT).
void HandleAccepted(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);

// Returns true when the unit has a medium; otherwise ends the command with
// NOT READY, MEDIUM NOT PRESENT and returns false.
bool RequireMedium(EmulatedUnit& unit, ScsiOutcome& outcome);

// Return the big-endian field at `bytes` (Read) or nothing (Write): the
// byte order of every multi-byte field in command blocks and replies.
uint16_t ReadBig16(const uint8_t* bytes);
uint32_t ReadBig32(const uint8_t* bytes);
uint64_t ReadBig64(const uint8_t* bytes);
void WriteBig16(uint8_t* bytes, uint16_t value);
void WriteBig32(uint8_t* bytes, uint32_t value);
void WriteBig64(uint8_t* bytes, uint64_t value);

}  // namespace sim::units

#endif
