// REPORT SUPPORTED OPERATION CODES: the unit's own command table, so that
// the list is exactly what the unit answers.
#include "sim/units/common_commands.h"

#include <vector>

namespace sim::units {

namespace {

constexpr uint8_t ReportAll = 0;
constexpr uint8_t ReportOpcode = 1;
constexpr uint8_t SupportedAsStandard = 0x03;  // SUPPORT 011b
constexpr uint8_t NotSupported = 0x01;         // SUPPORT 001b

// The commands whose opcode carries service actions, with the one each
// unit type answers under it.
struct ServiceAction {
    uint8_t opcode;
    uint16_t action;
};
const ServiceAction ServiceActions[] = {
    {0x9E, 0x10},  // SERVICE ACTION IN(16): READ CAPACITY(16)
    {0xA3, 0x0C},  // MAINTENANCE IN: REPORT SUPPORTED OPERATION CODES
};

// Returns the command block length of `opcode`, from its group.
uint16_t CdbLength(uint8_t opcode) {
    switch (opcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 10;
    }
}

const ServiceAction* ActionOf(uint8_t opcode) {
    for (const ServiceAction& entry : ServiceActions) {
        if (entry.opcode == opcode) return &entry;
    }
    return nullptr;
}

bool Answers(const EmulatedUnit& unit, uint8_t opcode) {
    for (size_t i = 0; i < unit.commandCount; ++i) {
        if (unit.commands[i].opcode == opcode) return true;
    }
    return false;
}

}  // namespace

void HandleMaintenanceIn(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const uint8_t options = command.cdb[2];
    const uint8_t requested = command.cdb[3];
    const uint16_t requestedAction = ReadBig16(&command.cdb[4]);
    const uint32_t allocation = ReadBig32(&command.cdb[6]);
    if ((command.cdb[1] & 0x1F) != ServiceActionReportOperationCodes || options > 2) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    std::vector<uint8_t> reply;
    if (options == ReportAll) {
        reply.assign(4, 0);
        for (size_t i = 0; i < unit.commandCount; ++i) {
            const uint8_t opcode = unit.commands[i].opcode;
            const ServiceAction* action = ActionOf(opcode);
            uint8_t descriptor[8] = {opcode};
            if (action != nullptr) {
                WriteBig16(&descriptor[2], action->action);
                descriptor[5] = 0x01;  // SERVACTV
            }
            WriteBig16(&descriptor[6], CdbLength(opcode));
            reply.insert(reply.end(), descriptor, descriptor + sizeof descriptor);
        }
        WriteBig32(&reply[0], static_cast<uint32_t>(reply.size() - 4));
    } else {
        const ServiceAction* action = ActionOf(requested);
        // Asking for a command with service actions without naming one, or
        // naming one for a command without them, is a field error.
        if ((options == ReportOpcode) != (action == nullptr)) {
            CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
            return;
        }
        const bool supported = Answers(unit, requested) &&
                               (action == nullptr || action->action == requestedAction);
        const uint16_t length = CdbLength(requested);
        reply.assign(4, 0);
        reply[1] = supported ? SupportedAsStandard : NotSupported;
        if (supported) {
            WriteBig16(&reply[2], length);
            // The usage map: every bit of the block may be used, but for
            // the control byte's reserved and vendor bits.
            std::vector<uint8_t> usage(length, 0xFF);
            usage[0] = requested;
            if (action != nullptr) usage[1] = static_cast<uint8_t>(0xE0 | action->action);
            usage[length - 1] = 0x04;  // NACA
            reply.insert(reply.end(), usage.begin(), usage.end());
        }
    }
    ReplyDataIn(command, outcome, reply.data(), reply.size(), allocation);
}

}  // namespace sim::units
