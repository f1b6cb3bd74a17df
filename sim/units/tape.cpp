// The emulated sequential-access (tape) unit: a cartridge of records and
// filemarks (TapeMedium), read and written in fixed or variable blocks,
// spaced, located and rewound, with the sense SSC-3 gives at filemarks,
// end of data, early warning and blocks of another length.
#include "sim/units/block_commands.h"
#include "sim/units/common_commands.h"
#include "sim/units/device_types.h"
#include "sim/units/emulated_unit.h"
#include "sim/units/mode_parameters.h"
#include "sim/units/tape_medium.h"

#include <algorithm>
#include <cstring>

namespace sim::units {

namespace {

constexpr uint8_t OpRewind = 0x01;
constexpr uint8_t OpReadBlockLimits = 0x05;
constexpr uint8_t OpTapeRead6 = 0x08;
constexpr uint8_t OpTapeWrite6 = 0x0A;
constexpr uint8_t OpWriteFilemarks6 = 0x10;
constexpr uint8_t OpSpace6 = 0x11;
constexpr uint8_t OpErase6 = 0x19;
constexpr uint8_t OpLoadUnload = 0x1B;
constexpr uint8_t OpLocate10 = 0x2B;
constexpr uint8_t OpReadPosition = 0x34;
constexpr uint8_t OpLocate16 = 0x92;

constexpr uint32_t MaximumBlockLength = 0x00FFFFFF;  // what a 24-bit length can ask for
constexpr uint32_t MinimumBlockLength = 1;
// Early warning: this many bytes before the end of the cartridge, writes
// still succeed but report the end of the medium.
constexpr uint64_t EarlyWarningBytes = 64 * 1024;

TapeMedium& Tape(EmulatedUnit& unit) { return *unit.tape; }

// Returns the 24-bit transfer length or count of a 6-byte command.
uint32_t Length24(const uint8_t* cdb) {
    return static_cast<uint32_t>(cdb[2]) << 16 | static_cast<uint32_t>(cdb[3]) << 8 | cdb[4];
}

// Returns true when a cartridge is loaded; otherwise ends the command with
// NOT READY and returns false.
bool RequireTape(EmulatedUnit& unit, ScsiOutcome& outcome) {
    if (!RequireMedium(unit, outcome)) return false;
    if (Tape(unit).loaded) return true;
    CheckCondition(unit.pendingSense, outcome, SenseNotReadyLoadRequired);
    return false;
}

// Returns nothing: CHECK CONDITION with the bits and the residue in the
// information field (negative residues in two's complement, as SSC-3 has
// them for overlength blocks).
void TapeCondition(EmulatedUnit& unit, ScsiOutcome& outcome, SenseCode code, uint8_t flags,
                   int64_t residue) {
    SenseDetail detail;
    detail.flags = flags;
    detail.informationValid = true;
    detail.information = static_cast<uint32_t>(residue);
    CheckCondition(unit.pendingSense, outcome, code, detail);
}

// Returns nothing: READ(6). Variable blocks read one record; fixed blocks
// read `count` records of the block size. A filemark, the end of data or a
// record of another length ends the transfer with its sense.
void HandleTapeRead(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const bool fixed = (command.cdb[1] & 0x01) != 0;
    const bool suppressIncorrectLength = (command.cdb[1] & 0x02) != 0;
    const uint32_t length = Length24(command.cdb);
    if (!RequireTape(unit, outcome)) return;
    TapeMedium& tape = Tape(unit);
    if ((fixed && (suppressIncorrectLength || tape.blockSize == 0)) || (command.cdb[1] & 0xFC) != 0) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    if (length == 0) {
        outcome.status = StatusGood;
        return;
    }
    const uint32_t records = fixed ? length : 1;
    const uint32_t want = fixed ? tape.blockSize : length;
    const uint32_t capacity = DataInCapacity(command);
    for (uint32_t done = 0; done < records; ++done) {
        const int64_t residue = static_cast<int64_t>(records) - done;
        if (tape.position >= tape.objects.size()) {
            TapeCondition(unit, outcome, SenseEndOfData, 0, fixed ? residue : length);
            return;
        }
        const TapeObject& object = tape.objects[tape.position++];
        if (object.filemark) {
            TapeCondition(unit, outcome, SenseFilemarkDetected, SenseFilemarkBit, fixed ? residue : length);
            return;
        }
        // Bytes go where this block belongs in the buffer, never past it.
        const uint64_t at = static_cast<uint64_t>(done) * want;
        const size_t size = object.data.size();
        const size_t room = at < capacity ? static_cast<size_t>(std::min<uint64_t>(capacity - at, want)) : 0;
        const size_t copied = std::min(size, room);
        if (copied > 0) std::memcpy(command.data + at, object.data.data(), copied);
        outcome.bytesMoved = static_cast<uint32_t>(at + copied);
        if (size != want && !(suppressIncorrectLength && !fixed)) {
            // Fixed blocks: the blocks not read, the wrong one among them;
            // variable: the requested length less the record's.
            TapeCondition(unit, outcome, SenseNone, SenseIncorrectLengthBit,
                          fixed ? residue : static_cast<int64_t>(want) - static_cast<int64_t>(size));
            return;
        }
    }
    outcome.status = StatusGood;
}

// Returns nothing: WRITE(6): one record of the length (variable) or
// `count` blocks of the block size (fixed), cutting off what followed.
void HandleTapeWrite(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const bool fixed = (command.cdb[1] & 0x01) != 0;
    const uint32_t length = Length24(command.cdb);
    if (!RequireTape(unit, outcome)) return;
    TapeMedium& tape = Tape(unit);
    if ((fixed && tape.blockSize == 0) || (command.cdb[1] & 0xFE) != 0) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    if (length == 0) {
        outcome.status = StatusGood;
        return;
    }
    const uint32_t records = fixed ? length : 1;
    const uint32_t size = fixed ? tape.blockSize : length;
    const uint32_t available = DataOutAvailable(command);
    for (uint32_t done = 0; done < records; ++done) {
        const uint64_t at = static_cast<uint64_t>(done) * size;
        const int64_t residue = fixed ? static_cast<int64_t>(records - done) : length;
        if (at + size > available) {
            CheckCondition(unit.pendingSense, outcome, SenseDataPhaseError);
            return;
        }
        // The tape is cut at the position first, so the room is what the
        // objects before it leave.
        uint64_t before = 0;
        for (size_t i = 0; i < tape.position && i < tape.objects.size(); ++i) before += tape.objects[i].data.size();
        if (before + size > tape.capacityBytes) {
            TapeCondition(unit, outcome, SenseVolumeOverflow, SenseEndOfMediumBit, residue);
            return;
        }
        if (!tape.AppendRecord(command.data + at, size)) {
            CheckCondition(unit.pendingSense, outcome, SenseWriteError);
            return;
        }
        outcome.bytesMoved = static_cast<uint32_t>(at + size);
    }
    if (tape.usedBytes + EarlyWarningBytes > tape.capacityBytes) {
        TapeCondition(unit, outcome, SenseEndOfPartition, SenseEndOfMediumBit, 0);
        return;
    }
    outcome.status = StatusGood;
}

void HandleWriteFilemarks(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!RequireTape(unit, outcome)) return;
    // WSMK (setmarks) is not supported; IMMED changes nothing here.
    if ((command.cdb[1] & 0xFE) != 0) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    TapeMedium& tape = Tape(unit);
    for (uint32_t count = Length24(command.cdb); count > 0; --count) {
        if (!tape.AppendFilemark()) {
            CheckCondition(unit.pendingSense, outcome, SenseWriteError);
            return;
        }
    }
    if (tape.usedBytes + EarlyWarningBytes > tape.capacityBytes) {
        TapeCondition(unit, outcome, SenseEndOfPartition, SenseEndOfMediumBit, 0);
        return;
    }
    outcome.status = StatusGood;
}

// Returns nothing: SPACE(6) over blocks or filemarks, forward or (with a
// negative count) back, or to the end of data.
void HandleSpace(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!RequireTape(unit, outcome)) return;
    TapeMedium& tape = Tape(unit);
    const uint8_t code = command.cdb[1] & 0x0F;
    int32_t count = static_cast<int32_t>(Length24(command.cdb) << 8) >> 8;
    if ((code != 0 && code != 1 && code != 3) || (command.cdb[1] & 0xF0) != 0) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    if (code == 3) {
        tape.position = tape.objects.size();
        outcome.status = StatusGood;
        return;
    }
    const bool blocks = code == 0;
    const int64_t requested = count < 0 ? -static_cast<int64_t>(count) : count;
    int64_t spaced = 0;
    if (count > 0) {
        while (spaced < requested) {
            if (tape.position >= tape.objects.size()) {
                TapeCondition(unit, outcome, SenseEndOfData, 0, requested - spaced);
                return;
            }
            const bool filemark = tape.objects[tape.position++].filemark;
            if (blocks && filemark) {
                TapeCondition(unit, outcome, SenseFilemarkDetected, SenseFilemarkBit, requested - spaced);
                return;
            }
            if (!blocks && !filemark) continue;
            ++spaced;
        }
    } else {
        while (spaced < requested) {
            if (tape.position == 0) {
                TapeCondition(unit, outcome, SenseBeginningOfPartition, SenseEndOfMediumBit,
                              requested - spaced);
                return;
            }
            const bool filemark = tape.objects[tape.position - 1].filemark;
            if (blocks && filemark) {
                // Stops before the filemark, on its beginning side.
                TapeCondition(unit, outcome, SenseFilemarkDetected, SenseFilemarkBit, requested - spaced);
                return;
            }
            --tape.position;
            if (!blocks && !filemark) continue;
            ++spaced;
        }
    }
    outcome.status = StatusGood;
}

void HandleRewind(EmulatedUnit& unit, const ScsiCommand&, ScsiOutcome& outcome) {
    if (!RequireTape(unit, outcome)) return;
    Tape(unit).position = 0;
    outcome.status = StatusGood;
}

void HandleErase(EmulatedUnit& unit, const ScsiCommand&, ScsiOutcome& outcome) {
    if (!RequireTape(unit, outcome)) return;
    if (!Tape(unit).EraseFromPosition()) {
        CheckCondition(unit.pendingSense, outcome, SenseWriteError);
        return;
    }
    outcome.status = StatusGood;
}

void HandleReadBlockLimits(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!RequireMedium(unit, outcome)) return;
    uint8_t reply[6] = {};
    reply[1] = static_cast<uint8_t>(MaximumBlockLength >> 16);
    reply[2] = static_cast<uint8_t>(MaximumBlockLength >> 8);
    reply[3] = static_cast<uint8_t>(MaximumBlockLength);
    WriteBig16(&reply[4], MinimumBlockLength);
    ReplyDataIn(command, outcome, reply, sizeof reply, sizeof reply);
}

// Returns nothing: READ POSITION in the short form (service actions 0 and
// 1) or the long form (6). The block address is the count of records and
// filemarks before the head; nothing is ever held in a buffer.
void HandleReadPosition(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!RequireTape(unit, outcome)) return;
    const TapeMedium& tape = Tape(unit);
    const uint8_t action = command.cdb[1] & 0x1F;
    const uint8_t beginning = tape.position == 0 ? 0x80 : 0x00;
    if (action == 0 || action == 1) {
        uint8_t reply[20] = {};
        reply[0] = beginning;
        WriteBig32(&reply[4], static_cast<uint32_t>(tape.position));
        WriteBig32(&reply[8], static_cast<uint32_t>(tape.position));
        ReplyDataIn(command, outcome, reply, sizeof reply, sizeof reply);
        return;
    }
    if (action == 6) {
        uint8_t reply[32] = {};
        reply[0] = beginning;
        WriteBig64(&reply[8], tape.position);
        uint64_t files = 0;
        for (size_t i = 0; i < tape.position; ++i) files += tape.objects[i].filemark ? 1 : 0;
        WriteBig64(&reply[16], files);
        ReplyDataIn(command, outcome, reply, sizeof reply, sizeof reply);
        return;
    }
    CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
}

// Returns nothing: moves to `address` (a READ POSITION block address); past
// the end of data the head stops there with BLANK CHECK.
void LocateTo(EmulatedUnit& unit, ScsiOutcome& outcome, uint64_t address) {
    TapeMedium& tape = Tape(unit);
    if (address > tape.objects.size()) {
        tape.position = tape.objects.size();
        CheckCondition(unit.pendingSense, outcome, SenseEndOfData);
        return;
    }
    tape.position = static_cast<size_t>(address);
    outcome.status = StatusGood;
}

void HandleLocate10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!RequireTape(unit, outcome)) return;
    // CP (another partition) is refused: the cartridge has one partition.
    if ((command.cdb[1] & 0x02) != 0 && command.cdb[8] != 0) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    LocateTo(unit, outcome, ReadBig32(&command.cdb[3]));
}

void HandleLocate16(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!RequireTape(unit, outcome)) return;
    // Only logical object addresses (DEST_TYPE 0) in partition 0.
    if ((command.cdb[1] & 0x38) != 0 || ((command.cdb[1] & 0x02) != 0 && command.cdb[3] != 0)) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    LocateTo(unit, outcome, ReadBig64(&command.cdb[4]));
}

// Returns nothing: LOAD UNLOAD. Unloading rewinds and leaves the drive not
// ready until a load; loading rewinds too. EOT with LOAD is refused.
void HandleLoadUnload(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!RequireMedium(unit, outcome)) return;
    const bool load = (command.cdb[4] & 0x01) != 0;
    const bool endOfTape = (command.cdb[4] & 0x04) != 0;
    if (load && endOfTape) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    if (!load && unit.removalPrevented) {
        CheckCondition(unit.pendingSense, outcome, SenseMediumRemovalPrevented);
        return;
    }
    Tape(unit).position = 0;
    Tape(unit).loaded = load;
    outcome.status = StatusGood;
}

void HandleTapeMediumRemoval(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if ((command.cdb[4] & 0x03) > 1) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    unit.removalPrevented = (command.cdb[4] & 0x01) != 0;
    outcome.status = StatusGood;
}

void HandleTapeTestUnitReady(EmulatedUnit& unit, const ScsiCommand&, ScsiOutcome& outcome) {
    if (!RequireTape(unit, outcome)) return;
    outcome.status = StatusGood;
}

// The device configuration page: EEG and SEW (the early warning is
// reported and buffered data written there), no compression; read-write
// error recovery with no retries to set.
const uint8_t DeviceConfigurationPage[16] = {0x10, 0x0E, 0, 0, 0, 0, 0, 0, 0, 0, 0x18};
const uint8_t DeviceConfigurationChangeable[16] = {0x10, 0x0E};
const uint8_t TapeErrorRecoveryPage[12] = {0x01, 0x0A};
const uint8_t TapeErrorRecoveryChangeable[12] = {0x01, 0x0A};

const ModePageSpec TapePages[] = {
    {0x01, TapeErrorRecoveryPage, TapeErrorRecoveryChangeable, sizeof TapeErrorRecoveryPage},
    {0x10, DeviceConfigurationPage, DeviceConfigurationChangeable, sizeof DeviceConfigurationPage},
};

// Returns nothing: the block descriptor: density code 0 (the default), no
// block count, the fixed block length (0: variable).
void TapeBlockDescriptor(const EmulatedUnit& unit, uint8_t* descriptor) {
    const uint32_t length = unit.tape->blockSize;
    descriptor[5] = static_cast<uint8_t>(length >> 16);
    descriptor[6] = static_cast<uint8_t>(length >> 8);
    descriptor[7] = static_cast<uint8_t>(length);
}

// Returns the device-specific byte: buffered mode 1.
uint8_t TapeDeviceSpecific(const EmulatedUnit&) { return 0x10; }

// Returns true when the descriptor's block length is one the unit takes:
// it becomes the fixed block size (0: variable blocks).
bool TapeSelectBlockDescriptor(EmulatedUnit& unit, const uint8_t* descriptor) {
    const uint32_t length = static_cast<uint32_t>(descriptor[5]) << 16 | descriptor[6] << 8 | descriptor[7];
    if (length != 0 && length < MinimumBlockLength) return false;
    unit.tape->blockSize = length;
    return true;
}

const ModeProfile TapeModes = {TapePages, sizeof TapePages / sizeof TapePages[0], TapeBlockDescriptor,
                               TapeDeviceSpecific, TapeSelectBlockDescriptor};

void HandleTapeModeSense(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    AnswerModeSense(unit, command, outcome, TapeModes);
}

void HandleTapeModeSelect(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    AnswerModeSelect(unit, command, outcome, TapeModes);
}

// In opcode order: the order REPORT SUPPORTED OPERATION CODES lists them.
const CommandEntry TapeCommands[] = {
    {OpTestUnitReady, HandleTapeTestUnitReady},
    {OpRewind, HandleRewind},
    {OpRequestSense, HandleRequestSense},
    {OpReadBlockLimits, HandleReadBlockLimits},
    {OpTapeRead6, HandleTapeRead},
    {OpTapeWrite6, HandleTapeWrite},
    {OpWriteFilemarks6, HandleWriteFilemarks},
    {OpSpace6, HandleSpace},
    {OpInquiry, HandleInquiry},
    {OpModeSelect6, HandleTapeModeSelect},
    {OpErase6, HandleErase},
    {OpModeSense6, HandleTapeModeSense},
    {OpLoadUnload, HandleLoadUnload},
    {OpPreventAllowRemoval, HandleTapeMediumRemoval},
    {OpLocate10, HandleLocate10},
    {OpReadPosition, HandleReadPosition},
    {OpModeSelect10, HandleTapeModeSelect},
    {OpModeSense10, HandleTapeModeSense},
    {OpLocate16, HandleLocate16},
    {OpReportLuns, HandleReportLuns},
    {OpMaintenanceIn, HandleMaintenanceIn},
};

}  // namespace

std::unique_ptr<UnitBackend> CreateTapeBackend(const UnitConfig& config, std::string& error) {
    const BackendConfig& backend = config.backend;
    auto unit = NewEmulatedUnit(config);
    unit->medium = backend.medium;
    unit->tape = std::make_shared<TapeMedium>();
    unit->tape->capacityBytes = backend.capacityBytes;
    unit->tape->blockSize = backend.blockSize;
    if (!backend.image.empty() && !unit->tape->Open(backend.image, error)) return nullptr;
    CommandTable table{TapeCommands, sizeof TapeCommands / sizeof TapeCommands[0]};
    return std::make_unique<EmulatedBackend>(std::move(unit), table);
}

}  // namespace sim::units
