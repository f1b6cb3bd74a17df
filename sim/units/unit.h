// The logical unit backend interface: the port driver model hands a unit a
// command block with its data buffer and gets back the status byte, sense
// bytes and the count of bytes moved. Backends know nothing of pass-through
// headers, so new kinds of unit plug in without touching the port driver.
#ifndef PTASPI_SIM_UNIT_H
#define PTASPI_SIM_UNIT_H

#include "sim/machine/machine.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

enum class DataDirection { None, In, Out };

struct ScsiCommand {
    uint8_t cdb[16] = {};
    uint8_t cdbLength = 0;
    DataDirection direction = DataDirection::None;
    uint8_t* data = nullptr;    // the transfer buffer, dataLength bytes
    uint32_t dataLength = 0;
    // The caller's TimeOutValue: a command still running after this many
    // seconds ends with ERROR_SEM_TIMEOUT in platformError. 0: no limit.
    uint32_t timeoutSeconds = 0;
    // The sense bytes the caller takes with the status (autosense); 0: none,
    // so a real unit keeps the sense for a REQUEST SENSE.
    uint32_t senseLength = 0;
};

struct ScsiOutcome {
    uint8_t status = 0;              // SCSI status byte
    std::vector<uint8_t> sense;      // sense data that came with the status
    uint32_t bytesMoved = 0;         // data bytes actually transferred
    // Non-zero: the command ran (its data moved, its sense is pending), but
    // the control fails with this platform error, as NT's port driver fails
    // a request that timed out, met a bus error or lost its unit.
    DWORD platformError = 0;
};

class UnitBackend {
public:
    virtual ~UnitBackend() = default;
    // Returns the platform error with which a pass-through control fails
    // before the command reaches the unit (0: none). `direct` tells which
    // control. Used by scripted units; counts no use of any response.
    virtual DWORD PlatformErrorFor(const ScsiCommand& command, bool direct) {
        (void)command;
        (void)direct;
        return 0;
    }
    // Executes one command. The backend keeps the sense of a CHECK
    // CONDITION as its pending sense, for a later REQUEST SENSE.
    virtual void Execute(const ScsiCommand& command, ScsiOutcome& outcome) = 0;
    // Ends every hang: commands blocked in the unit return. A real unit
    // lets its connection go and fails later commands.
    virtual void Release() {}
    // Returns the number of commands blocked in a hang, waiting for Release.
    virtual size_t HangingCommands() { return 0; }
    // Returns the number of commands blocked in a hang or a delay.
    virtual size_t BlockedCommands() { return HangingCommands(); }
    // Returns the unit's own 36 bytes of standard INQUIRY data when it is a
    // real unit, which the port driver then reports; null for emulated ones.
    virtual const std::vector<uint8_t>* RealInquiry() const { return nullptr; }
    // Returns the real unit's serial number as its VPD page 0x80 gave it
    // when the machine was installed (empty: the unit has none); null for
    // emulated units.
    virtual const std::string* RealSerial() const { return nullptr; }
};

// Returns the backend the unit describes, or null with a message.
std::unique_ptr<UnitBackend> CreateBackend(const UnitConfig& unit, std::string& error);

// SCSI status bytes and sense keys that backends use.
constexpr uint8_t StatusGood = 0x00;
constexpr uint8_t StatusCheckCondition = 0x02;
constexpr uint8_t StatusConditionMet = 0x04;
constexpr uint8_t StatusBusy = 0x08;
constexpr uint8_t StatusReservationConflict = 0x18;

}  // namespace sim

#endif
