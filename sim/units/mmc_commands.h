// The MMC commands that CD/DVD readers and writers answer alike: what the
// drive and its disc are (GET CONFIGURATION, READ DISC and TRACK
// INFORMATION, READ TOC, the mode pages), reads of data and audio sectors,
// media changes with their events, and the drive's mechanism. The writer's
// own commands are in writer.cpp; each device type keeps its own table.
#ifndef PTASPI_SIM_UNITS_MMC_COMMANDS_H
#define PTASPI_SIM_UNITS_MMC_COMMANDS_H

#include "sim/units/emulated_unit.h"
#include "sim/units/optical_disc.h"

#include <cstdint>

namespace sim::units {

constexpr uint8_t OpModeSelect6 = 0x15;
constexpr uint8_t OpMmcStartStopUnit = 0x1B;
constexpr uint8_t OpMmcPreventAllowRemoval = 0x1E;
constexpr uint8_t OpMmcReadCapacity = 0x25;
constexpr uint8_t OpMmcRead10 = 0x28;
constexpr uint8_t OpMmcWrite10 = 0x2A;
constexpr uint8_t OpMmcSynchronizeCache = 0x35;
constexpr uint8_t OpReadSubChannel = 0x42;
constexpr uint8_t OpMmcReadToc = 0x43;
constexpr uint8_t OpGetConfiguration = 0x46;
constexpr uint8_t OpGetEventStatus = 0x4A;
constexpr uint8_t OpReadDiscInformation = 0x51;
constexpr uint8_t OpReadTrackInformation = 0x52;
constexpr uint8_t OpReserveTrack = 0x53;
constexpr uint8_t OpModeSelect10 = 0x55;
constexpr uint8_t OpModeSense10 = 0x5A;
constexpr uint8_t OpCloseTrackSession = 0x5B;
constexpr uint8_t OpReadBufferCapacity = 0x5C;
constexpr uint8_t OpSendCueSheet = 0x5D;
constexpr uint8_t OpBlank = 0xA1;
constexpr uint8_t OpMmcRead12 = 0xA8;
constexpr uint8_t OpMmcWrite12 = 0xAA;
constexpr uint8_t OpReadCdMsf = 0xB9;
constexpr uint8_t OpSetCdSpeed = 0xBB;
constexpr uint8_t OpMechanismStatus = 0xBD;
constexpr uint8_t OpReadCd = 0xBE;

// Returns the disc of an optical unit (never null for the units that use
// these handlers).
inline OpticalDisc& DiscOf(EmulatedUnit& unit) { return *unit.optical; }

// Returns nothing: puts the drive's disc in or takes it out, with the event
// and the unit attention a real drive reports.
void LoadOpticalMedium(EmulatedUnit& unit);
void EjectOpticalMedium(EmulatedUnit& unit);

// Returns nothing: the write parameters page (page 05) a writer starts
// with: track-at-once, mode 1 data, no next session.
void SetDefaultWriteParameters(OpticalDisc& disc);

// Return nothing: the table handlers; the outcome holds the status, sense
// and bytes moved.
void HandleOpticalTestUnitReady(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleOpticalStartStop(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleOpticalPreventAllow(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleOpticalReadCapacity(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleOpticalRead10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleOpticalRead12(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleReadCd(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleReadCdMsf(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleOpticalReadToc(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleReadSubChannel(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleGetConfiguration(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleGetEventStatus(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleReadDiscInformation(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleReadTrackInformation(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleOpticalModeSense6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleOpticalModeSense10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleOpticalModeSelect6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleOpticalModeSelect10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleMechanismStatus(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);
void HandleSetCdSpeed(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome);

}  // namespace sim::units

#endif
