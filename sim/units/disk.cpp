// The emulated direct-access disk: memory or an image file read and
// written in place.
#include "sim/units/block_commands.h"
#include "sim/units/common_commands.h"
#include "sim/units/device_types.h"
#include "sim/units/emulated_unit.h"
#include "sim/units/mode_sense.h"

#include <unistd.h>

#include <cstdint>
#include <string>

namespace sim::units {

namespace {

constexpr uint32_t MaximumBlockSize = 65536;

// Write cache disabled, read cache enabled: writes reach the medium at once.
const uint8_t CachingPage[20] = {0x08, 0x12};
const ModePage DiskPages[] = {{0x08, CachingPage, sizeof CachingPage}};

// Returns nothing: MODE SENSE with the caching page.
void HandleDiskModeSense6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    AnswerModeSense6(unit, command, outcome, DiskPages, sizeof DiskPages / sizeof DiskPages[0]);
}

const CommandEntry DiskCommands[] = {
    {OpTestUnitReady, HandleTestUnitReady},
    {OpRequestSense, HandleRequestSense},
    {OpRead6, HandleRead6},
    {OpWrite6, HandleWrite6},
    {OpInquiry, HandleInquiry},
    {OpModeSense6, HandleDiskModeSense6},
    {OpStartStopUnit, HandleAccepted},
    {OpReadCapacity10, HandleReadCapacity10},
    {OpRead10, HandleRead10},
    {OpWrite10, HandleWrite10},
    {OpVerify10, HandleVerify10},
    {OpSynchronizeCache10, HandleSynchronizeCache10},
    {OpReportLuns, HandleReportLuns},
};

}  // namespace

std::unique_ptr<UnitBackend> CreateDiskBackend(const UnitConfig& config, std::string& error) {
    const BackendConfig& backend = config.backend;
    if (backend.blocks == 0) {
        error = "disk: blocks must not be 0";
        return nullptr;
    }
    if (backend.blockSize == 0 || backend.blockSize % 512 != 0 ||
        backend.blockSize > MaximumBlockSize) {
        error = "disk: block_size " + std::to_string(backend.blockSize) +
                " is not a multiple of 512 between 512 and 65536";
        return nullptr;
    }
    std::unique_ptr<BlockStorage> storage;
    if (backend.file.empty()) {
        storage = std::make_unique<MemoryStorage>();
    } else {
        std::string why;
        storage = FileStorage::Open(backend.file, false, why);
        if (!storage) {
            error = "disk file: " + why;
            // A missing file is refused rather than made, so that a misspelt
            // path never turns into a new, empty disk; say how to make one.
            if (::access(backend.file.c_str(), F_OK) != 0) {
                error += " (make it first, for instance with truncate -s " +
                         std::to_string(static_cast<uint64_t>(backend.blocks) * backend.blockSize) +
                         ", or leave out \"file\" for a disk in memory)";
            }
            return nullptr;
        }
    }
    return CreateDiskOnStorage(config, std::move(storage));
}

std::unique_ptr<UnitBackend> CreateDiskOnStorage(const UnitConfig& config,
                                                 std::unique_ptr<BlockStorage> storage) {
    auto unit = NewEmulatedUnit(config);
    unit->blocks = config.backend.blocks;
    unit->blockSize = config.backend.blockSize;
    unit->storage = std::move(storage);
    CommandTable table{DiskCommands, sizeof DiskCommands / sizeof DiskCommands[0]};
    return std::make_unique<EmulatedBackend>(std::move(unit), table);
}

}  // namespace sim::units
