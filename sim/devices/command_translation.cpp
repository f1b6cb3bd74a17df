// The SCSI commands that StorAHCI and StorNVMe translate, and how each
// refuses the others.
//
// StorAHCI (Microsoft's AHCI miniport, published among Microsoft's driver
// samples as storahci) translates for an ATA disk exactly the operation
// codes of its SrbConvertToATACommand; any other completes with
// SRB_STATUS_INVALID_REQUEST, which the storage stack reports as
// STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION to the caller
// (the class driver sample's ClassInterpretSenseInfo maps it so). ATAPI
// devices get their command blocks unchanged.
//
// StorNVMe translates the commands that "StorNVMe SCSI Translation Support"
// lists, and those that Microsoft's NVMe SCSI compliance test requires of
// it (marked M). StorNVMe follows the NVM Express SCSI Translation
// Reference 1.5, which completes any other command with CHECK CONDITION,
// ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE.
#include "sim/devices/command_translation.h"

#include "sim/units/sense.h"

namespace sim {
namespace {

constexpr uint8_t ServiceActionIn16 = 0x9E;
constexpr uint8_t ReadCapacity16Action = 0x10;

// StorAHCI's SrbConvertToATACommand.
const uint8_t ataCommands[] = {
    0x00,  // TEST UNIT READY
    0x12,  // INQUIRY
    0x15,  // MODE SELECT(6)
    0x1A,  // MODE SENSE(6)
    0x1B,  // START STOP UNIT
    0x1E,  // PREVENT ALLOW MEDIUM REMOVAL
    0x25,  // READ CAPACITY(10)
    0x28,  // READ(10)
    0x2A,  // WRITE(10)
    0x2F,  // VERIFY(10)
    0x35,  // SYNCHRONIZE CACHE(10)
    0x3B,  // WRITE BUFFER
    0x42,  // UNMAP
    0x55,  // MODE SELECT(10)
    0x5A,  // MODE SENSE(10)
    0x85,  // ATA PASS-THROUGH(16)
    0x88,  // READ(16)
    0x8A,  // WRITE(16)
    0x8F,  // VERIFY(16)
    0xA0,  // REPORT LUNS
    0xA2,  // SECURITY PROTOCOL IN
    0xB5,  // SECURITY PROTOCOL OUT
};

// StorNVMe's translation table and the compliance test's mandatory commands.
const uint8_t nvmeCommands[] = {
    0x00,  // TEST UNIT READY
    0x12,  // INQUIRY
    0x15,  // MODE SELECT(6) (compliance test)
    0x1A,  // MODE SENSE(6) (compliance test)
    0x1B,  // START STOP UNIT
    0x1D,  // SEND DIAGNOSTIC
    0x25,  // READ CAPACITY(10)
    0x28,  // READ(10)
    0x2A,  // WRITE(10)
    0x2F,  // VERIFY(10)
    0x35,  // SYNCHRONIZE CACHE(10)
    0x3B,  // WRITE BUFFER
    0x42,  // UNMAP
    0x48,  // SANITIZE
    0x4D,  // LOG SENSE
    0x55,  // MODE SELECT(10)
    0x5A,  // MODE SENSE(10)
    0x88,  // READ(16)
    0x8A,  // WRITE(16)
    0x8F,  // VERIFY(16)
    0x9B,  // READ BUFFER(16)
    0xA0,  // REPORT LUNS
    0xA2,  // SECURITY PROTOCOL IN
    0xB5,  // SECURITY PROTOCOL OUT
};

// Returns true when `opcode` is among the `count` codes at `table`.
bool Listed(const uint8_t* table, size_t count, uint8_t opcode) {
    for (size_t i = 0; i < count; ++i) {
        if (table[i] == opcode) return true;
    }
    return false;
}

}  // namespace

bool IsTranslated(Translation translation, const uint8_t* cdb, uint8_t cdbLength) {
    if (translation == Translation::None) return true;
    if (cdbLength == 0) return false;
    const uint8_t opcode = cdb[0];
    // Of SERVICE ACTION IN(16) both translate READ CAPACITY(16) alone.
    if (opcode == ServiceActionIn16) {
        return cdbLength >= 2 && (cdb[1] & 0x1F) == ReadCapacity16Action;
    }
    if (translation == Translation::Ata) {
        return Listed(ataCommands, sizeof ataCommands, opcode);
    }
    return Listed(nvmeCommands, sizeof nvmeCommands, opcode);
}

DWORD RefuseUntranslated(Translation translation, ScsiOutcome& outcome) {
    if (translation == Translation::Ata) return ERROR_INVALID_FUNCTION;
    outcome = ScsiOutcome();
    outcome.status = 0x02;  // CHECK CONDITION
    outcome.sense = units::BuildSense(units::SenseInvalidOpcode);
    return 0;
}

}  // namespace sim
