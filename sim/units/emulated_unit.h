// The state of an emulated unit and the backend that runs its commands
// through its device type's fixed command table.
#ifndef PTASPI_SIM_UNITS_EMULATED_UNIT_H
#define PTASPI_SIM_UNITS_EMULATED_UNIT_H

#include "sim/machine/machine.h"
#include "sim/units/unit.h"
#include "sim/units/storage.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim::units {

struct CommandEntry;
struct TapeMedium;
struct OpticalDisc;

struct EmulatedUnit {
    InquiryConfig inquiry;
    bool medium = true;                     // false: no disc or cartridge loaded
    uint32_t blocks = 0;                    // 0 for units without blocks
    uint32_t blockSize = 0;
    std::unique_ptr<BlockStorage> storage;  // null for units without blocks
    std::vector<uint8_t> pendingSense;      // empty: nothing pending
    std::string serial;                     // VPD page 0x80
    bool ejected = false;                   // the medium was ejected; a load brings it back
    bool removalPrevented = false;          // PREVENT ALLOW MEDIUM REMOVAL in force
    std::vector<uint8_t> targetLuns;        // REPORT LUNS: the target's LUNs, ascending
    // Mode pages MODE SELECT has set, whole, by page code: current and
    // saved values. A page not here has its default values.
    std::map<uint8_t, std::vector<uint8_t>> modeCurrent;
    std::map<uint8_t, std::vector<uint8_t>> modeSaved;
    // The unit's own command table, which REPORT SUPPORTED OPERATION CODES
    // lists; filled by EmulatedBackend.
    const CommandEntry* commands = nullptr;
    size_t commandCount = 0;
    // Non-zero for a direct-access unit: the maximum transfer length, in
    // blocks, that its block limits VPD page reports.
    uint32_t maximumTransferBlocks = 0;
    // A tape's medium and position (null for other units).
    std::shared_ptr<TapeMedium> tape;
    // A medium came in: the next command that is not exempt gets UNIT
    // ATTENTION, NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED.
    bool mediumChanged = false;
    std::shared_ptr<OpticalDisc> optical;   // CD/DVD units: the disc and drive state
};

// Returns a unit with the identity of `config` and a serial number drawn
// from it; the caller fills in the medium.
std::unique_ptr<EmulatedUnit> NewEmulatedUnit(const UnitConfig& config);

using CommandHandler = void (*)(EmulatedUnit& unit, const ScsiCommand& command,
                                ScsiOutcome& outcome);

struct CommandEntry {
    uint8_t opcode;
    CommandHandler handler;
};

struct CommandTable {
    const CommandEntry* entries;
    size_t count;
};

// Runs every command of one unit, one at a time, through its table; an
// opcode the table lacks gets the unsupported-opcode reply.
class EmulatedBackend : public UnitBackend {
public:
    EmulatedBackend(std::unique_ptr<EmulatedUnit> unit, CommandTable table)
        : unit_(std::move(unit)), table_(table) {
        unit_->commands = table.entries;
        unit_->commandCount = table.count;
    }
    void Execute(const ScsiCommand& command, ScsiOutcome& outcome) override;

private:
    std::mutex mutex_;
    std::unique_ptr<EmulatedUnit> unit_;
    CommandTable table_;
};

// Returns the handler for `opcode`, or null when the table has none.
CommandHandler FindHandler(CommandTable table, uint8_t opcode);

}  // namespace sim::units

#endif
