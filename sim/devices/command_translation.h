// What a Storport miniport that translates SCSI to another command set does
// with a pass-through's command block: StorAHCI's SCSI-to-ATA translation
// for SATA disks, StorNVMe's SCSI-to-NVMe translation for NVMe disks.
// Commands outside the translation never reach the device.
#ifndef PTASPI_SIM_DEVICES_COMMAND_TRANSLATION_H
#define PTASPI_SIM_DEVICES_COMMAND_TRANSLATION_H

#include "sim/machine/machine.h"
#include "sim/units/unit.h"

#include <windows.h>

#include <cstdint>

namespace sim {

// Returns true when the port driver translates the command block for a
// unit of this translation (every command when there is none).
bool IsTranslated(Translation translation, const uint8_t* cdb, uint8_t cdbLength);

// Returns the platform error with which the pass-through fails for an
// untranslated command (ERROR_INVALID_FUNCTION from StorAHCI), or 0 with
// `outcome` filled when the port driver completes it itself (CHECK
// CONDITION, ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE from StorNVMe).
DWORD RefuseUntranslated(Translation translation, ScsiOutcome& outcome);

}  // namespace sim

#endif
