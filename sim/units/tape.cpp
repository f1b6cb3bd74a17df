// The emulated sequential-access (tape) unit: identity and readiness only;
// without a cartridge it is not ready.
#include "sim/units/common_commands.h"
#include "sim/units/device_types.h"
#include "sim/units/emulated_unit.h"

namespace sim::units {

namespace {

const CommandEntry TapeCommands[] = {
    {OpTestUnitReady, HandleTestUnitReady},
    {OpRequestSense, HandleRequestSense},
    {OpInquiry, HandleInquiry},
    {OpReportLuns, HandleReportLuns},
};

}  // namespace

std::unique_ptr<UnitBackend> CreateTapeBackend(const UnitConfig& config, std::string&) {
    auto unit = NewEmulatedUnit(config);
    unit->medium = config.backend.medium;
    CommandTable table{TapeCommands, sizeof TapeCommands / sizeof TapeCommands[0]};
    return std::make_unique<EmulatedBackend>(std::move(unit), table);
}

}  // namespace sim::units
