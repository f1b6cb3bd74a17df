#include "sim/units/block_commands.h"

#include "sim/units/common_commands.h"

#include <cstring>
#include <vector>

namespace sim::units {

namespace {

// Returns the LBA of a 6-byte command block (21 bits).
uint32_t Lba6(const uint8_t* cdb) {
    return (static_cast<uint32_t>(cdb[1] & 0x1F) << 16) | ReadBig16(&cdb[2]);
}

// Returns the block count of a 6-byte READ or WRITE, where 0 means 256.
uint32_t Count6(const uint8_t* cdb) { return cdb[4] == 0 ? 256u : cdb[4]; }

// Returns true when the range is on the medium; otherwise ends the command
// with the medium or range error and returns false.
bool CheckRange(EmulatedUnit& unit, ScsiOutcome& outcome, uint64_t lba, uint64_t count) {
    if (!RequireMedium(unit, outcome)) return false;
    if (BlockRangeValid(unit, lba, count)) return true;
    CheckCondition(unit.pendingSense, outcome, SenseLbaOutOfRange);
    return false;
}

// Returns nothing: reads `count` blocks from `lba` into the data-in buffer.
void ReadBlocks(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                uint64_t lba, uint32_t count) {
    if (!CheckRange(unit, outcome, lba, count)) return;
    uint64_t transfer = static_cast<uint64_t>(count) * unit.blockSize;
    uint32_t capacity = DataInCapacity(command);
    uint32_t moved = transfer < capacity ? static_cast<uint32_t>(transfer) : capacity;
    if (moved > 0 && !unit.storage->Read(lba * unit.blockSize, command.data, moved)) {
        CheckCondition(unit.pendingSense, outcome, SenseUnrecoveredReadError);
        return;
    }
    outcome.status = StatusGood;
    outcome.bytesMoved = moved;
}

// Returns nothing: writes `count` blocks at `lba` from the data-out buffer.
void WriteBlocks(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                 uint64_t lba, uint32_t count) {
    if (!CheckRange(unit, outcome, lba, count)) return;
    if (count == 0) {
        outcome.status = StatusGood;
        return;
    }
    if (unit.storage->ReadOnly()) {
        CheckCondition(unit.pendingSense, outcome, SenseWriteError);
        return;
    }
    uint32_t whole = DataOutAvailable(command) / unit.blockSize;
    if (whole > count) whole = count;
    uint32_t bytes = whole * unit.blockSize;  // at most the buffer's length
    if (bytes > 0 && !unit.storage->Write(lba * unit.blockSize, command.data, bytes)) {
        CheckCondition(unit.pendingSense, outcome, SenseWriteError);
        return;
    }
    outcome.bytesMoved = bytes;
    if (whole < count) {
        CheckCondition(unit.pendingSense, outcome, SenseDataPhaseError);
        return;
    }
    outcome.status = StatusGood;
}

// Returns true when the command's protection field (RDPROTECT, WRPROTECT or
// VRPROTECT) is 0; otherwise ends it with INVALID FIELD IN CDB.
bool ProtectionFieldClear(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if ((command.cdb[1] & 0xE0) == 0) return true;
    CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
    return false;
}

// Returns nothing: flushes what was written to the `count` blocks from
// `lba`, where a count of 0 means every block from the LBA to the end.
void SynchronizeBlocks(EmulatedUnit& unit, ScsiOutcome& outcome, uint64_t lba, uint64_t count) {
    if (!CheckRange(unit, outcome, lba, count)) return;
    if (!unit.storage->Flush()) {
        CheckCondition(unit.pendingSense, outcome, SenseWriteError);
        return;
    }
    outcome.status = StatusGood;
}

void VerifyBlocks(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                  uint64_t lba, uint32_t count);

}  // namespace

bool BlockRangeValid(const EmulatedUnit& unit, uint64_t lba, uint64_t count) {
    if (lba >= unit.blocks) return false;
    return count <= unit.blocks - lba;
}

void HandleReadCapacity10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    // Without PMI the LBA field must be 0.
    if ((command.cdb[8] & 0x01) == 0 && ReadBig32(&command.cdb[2]) != 0) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    if (!RequireMedium(unit, outcome)) return;
    uint8_t reply[8];
    WriteBig32(&reply[0], unit.blocks - 1);
    WriteBig32(&reply[4], unit.blockSize);
    ReplyDataIn(command, outcome, reply, sizeof reply, sizeof reply);
}

void HandleRead6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    ReadBlocks(unit, command, outcome, Lba6(command.cdb), Count6(command.cdb));
}

void HandleRead10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    ReadBlocks(unit, command, outcome, ReadBig32(&command.cdb[2]), ReadBig16(&command.cdb[7]));
}

void HandleWrite6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    WriteBlocks(unit, command, outcome, Lba6(command.cdb), Count6(command.cdb));
}

void HandleWrite10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    WriteBlocks(unit, command, outcome, ReadBig32(&command.cdb[2]), ReadBig16(&command.cdb[7]));
}

void HandleVerify10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    VerifyBlocks(unit, command, outcome, ReadBig32(&command.cdb[2]), ReadBig16(&command.cdb[7]));
}

void HandleVerify12(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!ProtectionFieldClear(unit, command, outcome)) return;
    VerifyBlocks(unit, command, outcome, ReadBig32(&command.cdb[2]), ReadBig32(&command.cdb[6]));
}

void HandleVerify16(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!ProtectionFieldClear(unit, command, outcome)) return;
    VerifyBlocks(unit, command, outcome, ReadBig64(&command.cdb[2]), ReadBig32(&command.cdb[10]));
}

namespace {

void VerifyBlocks(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                  uint64_t lba, uint32_t count) {
    if (!CheckRange(unit, outcome, lba, count)) return;
    bool byteCheck = (command.cdb[1] & 0x02) != 0;
    if (!byteCheck || count == 0) {
        outcome.status = StatusGood;
        return;
    }
    // With BYTCHK the caller's blocks are compared with the medium's.
    std::vector<uint8_t> block(unit.blockSize);
    uint32_t whole = DataOutAvailable(command) / unit.blockSize;
    if (whole > count) whole = count;
    for (uint32_t i = 0; i < whole; ++i) {
        uint64_t offset = (lba + i) * unit.blockSize;
        if (!unit.storage->Read(offset, block.data(), block.size())) {
            CheckCondition(unit.pendingSense, outcome, SenseUnrecoveredReadError);
            return;
        }
        outcome.bytesMoved += unit.blockSize;
        if (std::memcmp(block.data(), command.data + static_cast<size_t>(i) * unit.blockSize,
                        block.size()) != 0) {
            CheckCondition(unit.pendingSense, outcome, SenseMiscompareDuringVerify);
            return;
        }
    }
    if (whole < count) {
        CheckCondition(unit.pendingSense, outcome, SenseDataPhaseError);
        return;
    }
    outcome.status = StatusGood;
}

}  // namespace

void HandleSynchronizeCache10(EmulatedUnit& unit, const ScsiCommand& command,
                              ScsiOutcome& outcome) {
    SynchronizeBlocks(unit, outcome, ReadBig32(&command.cdb[2]), ReadBig16(&command.cdb[7]));
}

void HandleSynchronizeCache16(EmulatedUnit& unit, const ScsiCommand& command,
                              ScsiOutcome& outcome) {
    SynchronizeBlocks(unit, outcome, ReadBig64(&command.cdb[2]), ReadBig32(&command.cdb[10]));
}

void HandleRead12(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!ProtectionFieldClear(unit, command, outcome)) return;
    ReadBlocks(unit, command, outcome, ReadBig32(&command.cdb[2]), ReadBig32(&command.cdb[6]));
}

void HandleRead16(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!ProtectionFieldClear(unit, command, outcome)) return;
    ReadBlocks(unit, command, outcome, ReadBig64(&command.cdb[2]), ReadBig32(&command.cdb[10]));
}

void HandleWrite12(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!ProtectionFieldClear(unit, command, outcome)) return;
    WriteBlocks(unit, command, outcome, ReadBig32(&command.cdb[2]), ReadBig32(&command.cdb[6]));
}

void HandleWrite16(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!ProtectionFieldClear(unit, command, outcome)) return;
    WriteBlocks(unit, command, outcome, ReadBig64(&command.cdb[2]), ReadBig32(&command.cdb[10]));
}

void HandleServiceActionIn16(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if ((command.cdb[1] & 0x1F) != ServiceActionReadCapacity16) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    const bool partialMediumIndicator = (command.cdb[14] & 0x01) != 0;
    if (!partialMediumIndicator && ReadBig64(&command.cdb[2]) != 0) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    if (!RequireMedium(unit, outcome)) return;
    uint8_t reply[32] = {};
    WriteBig64(&reply[0], static_cast<uint64_t>(unit.blocks) - 1);
    WriteBig32(&reply[8], unit.blockSize);
    ReplyDataIn(command, outcome, reply, sizeof reply, ReadBig32(&command.cdb[10]));
}

}  // namespace sim::units
