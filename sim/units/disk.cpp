// The emulated direct-access disk: memory or an image file read and
// written in place.
#include "sim/units/block_commands.h"
#include "sim/units/common_commands.h"
#include "sim/units/device_types.h"
#include "sim/units/emulated_unit.h"
#include "sim/units/mode_parameters.h"

#include <unistd.h>

#include <cstdint>
#include <string>

namespace sim::units {

namespace {

constexpr uint32_t MaximumBlockSize = 65536;
// What the block limits page reports: the most blocks one command may move
// is the transfer length a 16-bit count allows.
constexpr uint32_t MaximumTransferBlocks = 0xFFFF;

// Read-write error recovery: AWRE and ARRE, the retry counts changeable.
const uint8_t ErrorRecoveryPage[12] = {0x01, 0x0A, 0xC0, 0x08, 0, 0, 0, 0, 0x08};
const uint8_t ErrorRecoveryChangeable[12] = {0x01, 0x0A, 0, 0xFF, 0, 0, 0, 0, 0xFF};
// Caching: read cache enabled, write cache disabled, so that writes reach
// the medium at once; WCE and RCD changeable.
const uint8_t CachingPage[20] = {0x08, 0x12};
const uint8_t CachingChangeable[20] = {0x08, 0x12, 0x05};
// Control: GLTSD (no log parameters are kept to save), the queue algorithm
// modifier (unrestricted reordering allowed); fixed-format sense, so
// D_SENSE stays 0; no self-test, so no completion time.
const uint8_t ControlPage[12] = {0x0A, 0x0A, 0x02, 0x10};
const uint8_t ControlChangeable[12] = {0x0A, 0x0A};

const ModePageSpec DiskPages[] = {
    {0x01, ErrorRecoveryPage, ErrorRecoveryChangeable, sizeof ErrorRecoveryPage},
    {0x08, CachingPage, CachingChangeable, sizeof CachingPage},
    {0x0A, ControlPage, ControlChangeable, sizeof ControlPage},
};

// Returns nothing: the short LBA block descriptor, whose block count is the
// capacity (0xFFFFFFFF when it does not fit, which it always does here).
void DiskBlockDescriptor(const EmulatedUnit& unit, uint8_t* descriptor) {
    WriteBig32(&descriptor[0], unit.blocks);
    descriptor[5] = static_cast<uint8_t>(unit.blockSize >> 16);
    descriptor[6] = static_cast<uint8_t>(unit.blockSize >> 8);
    descriptor[7] = static_cast<uint8_t>(unit.blockSize);
}

// Returns the device-specific byte: WP for a read-only image, and DPOFUA,
// since DPO and FUA are accepted on reads and writes.
uint8_t DiskDeviceSpecific(const EmulatedUnit& unit) {
    const bool writeProtected = unit.storage && unit.storage->ReadOnly();
    return static_cast<uint8_t>((writeProtected ? 0x80 : 0x00) | 0x10);
}

// Returns true when the descriptor keeps the block size: a disk is not
// reformatted by MODE SELECT. A block count of 0 or the capacity keeps it.
bool DiskSelectBlockDescriptor(EmulatedUnit& unit, const uint8_t* descriptor) {
    const uint32_t blocks = ReadBig32(&descriptor[0]);
    const uint32_t length = static_cast<uint32_t>(descriptor[5]) << 16 | descriptor[6] << 8 | descriptor[7];
    return length == unit.blockSize && (blocks == 0 || blocks == unit.blocks);
}

const ModeProfile DiskModes = {DiskPages, sizeof DiskPages / sizeof DiskPages[0], DiskBlockDescriptor,
                               DiskDeviceSpecific, DiskSelectBlockDescriptor};

// Return nothing: the mode commands on the disk's pages.
void HandleDiskModeSense(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    AnswerModeSense(unit, command, outcome, DiskModes);
}

void HandleDiskModeSelect(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    AnswerModeSelect(unit, command, outcome, DiskModes);
}

// Returns nothing: PREVENT ALLOW MEDIUM REMOVAL. A disk's medium cannot be
// removed, so the setting is only kept; the reserved PREVENT value 2 and 3
// (the medium changer's) are refused.
void HandleDiskMediumRemoval(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if ((command.cdb[4] & 0x03) > 1) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    unit.removalPrevented = (command.cdb[4] & 0x01) != 0;
    outcome.status = StatusGood;
}

// Returns nothing: START STOP UNIT. A fixed disk has no medium to eject;
// spinning it up or down changes nothing an emulated disk keeps, so START,
// STOP and LOEJ are accepted, but a power condition other than 0 is not.
void HandleDiskStartStop(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if ((command.cdb[4] & 0xF0) != 0) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    outcome.status = StatusGood;
}

// In opcode order: the order REPORT SUPPORTED OPERATION CODES lists them.
const CommandEntry DiskCommands[] = {
    {OpTestUnitReady, HandleTestUnitReady},
    {OpRequestSense, HandleRequestSense},
    {OpRead6, HandleRead6},
    {OpWrite6, HandleWrite6},
    {OpInquiry, HandleInquiry},
    {OpModeSelect6, HandleDiskModeSelect},
    {OpModeSense6, HandleDiskModeSense},
    {OpStartStopUnit, HandleDiskStartStop},
    {OpPreventAllowRemoval, HandleDiskMediumRemoval},
    {OpReadCapacity10, HandleReadCapacity10},
    {OpRead10, HandleRead10},
    {OpWrite10, HandleWrite10},
    {OpVerify10, HandleVerify10},
    {OpSynchronizeCache10, HandleSynchronizeCache10},
    {OpModeSelect10, HandleDiskModeSelect},
    {OpModeSense10, HandleDiskModeSense},
    {OpRead16, HandleRead16},
    {OpWrite16, HandleWrite16},
    {OpVerify16, HandleVerify16},
    {OpSynchronizeCache16, HandleSynchronizeCache16},
    {OpServiceActionIn16, HandleServiceActionIn16},
    {OpReportLuns, HandleReportLuns},
    {OpMaintenanceIn, HandleMaintenanceIn},
    {OpRead12, HandleRead12},
    {OpWrite12, HandleWrite12},
    {OpVerify12, HandleVerify12},
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
    unit->maximumTransferBlocks = MaximumTransferBlocks;
    CommandTable table{DiskCommands, sizeof DiskCommands / sizeof DiskCommands[0]};
    return std::make_unique<EmulatedBackend>(std::move(unit), table);
}

}  // namespace sim::units
