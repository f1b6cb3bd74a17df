// The emulated processor device: identity and readiness only.
#include "sim/units/common_commands.h"
#include "sim/units/device_types.h"
#include "sim/units/emulated_unit.h"

namespace sim::units {

namespace {

const CommandEntry ProcessorCommands[] = {
    {OpTestUnitReady, HandleTestUnitReady},
    {OpRequestSense, HandleRequestSense},
    {OpInquiry, HandleInquiry},
    {OpReportLuns, HandleReportLuns},
};

}  // namespace

std::unique_ptr<UnitBackend> CreateProcessorBackend(const UnitConfig& config, std::string&) {
    auto unit = NewEmulatedUnit(config);
    unit->medium = true;
    CommandTable table{ProcessorCommands, sizeof ProcessorCommands / sizeof ProcessorCommands[0]};
    return std::make_unique<EmulatedBackend>(std::move(unit), table);
}

}  // namespace sim::units
