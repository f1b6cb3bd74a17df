#include "sim/units/emulated_unit.h"

#include "sim/units/common_commands.h"
#include "sim/units/vital_product_data.h"

namespace sim::units {

std::unique_ptr<EmulatedUnit> NewEmulatedUnit(const UnitConfig& config) {
    auto unit = std::make_unique<EmulatedUnit>();
    unit->inquiry = config.inquiry;
    unit->serial = UnitSerialNumber(config.inquiry, config.target, config.lun);
    unit->targetLuns = config.targetLuns;
    if (unit->targetLuns.empty()) unit->targetLuns.push_back(config.lun);
    return unit;
}

CommandHandler FindHandler(CommandTable table, uint8_t opcode) {
    for (size_t i = 0; i < table.count; ++i) {
        if (table.entries[i].opcode == opcode) return table.entries[i].handler;
    }
    return nullptr;
}

void EmulatedBackend::Execute(const ScsiCommand& command, ScsiOutcome& outcome) {
    outcome = ScsiOutcome();
    std::lock_guard<std::mutex> hold(mutex_);
    CommandHandler handler = FindHandler(table_, command.cdb[0]);
    if (handler == nullptr) handler = HandleUnsupported;
    // Commands that report state rather than touch the medium do not take
    // the unit attention of a medium change (SPC-3's INQUIRY, REPORT LUNS,
    // REQUEST SENSE; MMC's GET CONFIGURATION and GET EVENT STATUS
    // NOTIFICATION).
    // Sense data describes the command just ended; the next command that
    // acts on the unit makes it stale, so it is dropped. Commands that only
    // report (INQUIRY, REPORT LUNS, REQUEST SENSE) leave it for REQUEST SENSE.
    const uint8_t opcode = command.cdb[0];
    if (opcode != OpRequestSense && opcode != OpInquiry && opcode != OpReportLuns) {
        unit_->pendingSense.clear();
    }
    if (unit_->mediumChanged && opcode != OpInquiry && opcode != OpReportLuns &&
        opcode != OpRequestSense && opcode != 0x46 && opcode != 0x4A) {
        unit_->mediumChanged = false;
        CheckCondition(unit_->pendingSense, outcome, SenseMediumMayHaveChanged);
    } else {
        handler(*unit_, command, outcome);
    }
    // Sense delivered with the status (autosense) is not kept for a later
    // REQUEST SENSE, as a target clears it once it is sent.
    if (outcome.status == StatusCheckCondition && command.senseLength != 0) {
        unit_->pendingSense.clear();
    }
}

}  // namespace sim::units
