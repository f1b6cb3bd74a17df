// The emulated CD-ROM drive: one data track of 2048-byte blocks from an ISO
// image (read-only) or zero-filled, with or without a disc loaded.
#include "sim/units/block_commands.h"
#include "sim/units/common_commands.h"
#include "sim/units/device_types.h"
#include "sim/units/emulated_unit.h"
#include "sim/units/mode_sense.h"

#include <vector>

namespace sim::units {

namespace {

constexpr uint32_t CdBlockSize = 2048;
constexpr uint8_t LeadOutTrack = 0xAA;
// Control nibble 4 (data track), ADR 1 (current position).
constexpr uint8_t DataTrackAdrControl = 0x14;

// Returns nothing: MODE SENSE with the header and block descriptor only.
void HandleCdRomModeSense6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    AnswerModeSense6(unit, command, outcome, nullptr, 0);
}

// Returns nothing: START STOP UNIT. With LOEJ, START=0 ejects the disc
// (refused while removal is prevented) and START=1 loads it back; a drive
// that had no disc stays empty. Without LOEJ the spindle has no state to
// keep, so the command is accepted.
void HandleCdRomStartStop(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const bool loadEject = (command.cdb[4] & 0x02) != 0;
    const bool start = (command.cdb[4] & 0x01) != 0;
    if (loadEject && !start) {
        if (unit.removalPrevented) {
            CheckCondition(unit.pendingSense, outcome, SenseMediumRemovalPrevented);
            return;
        }
        unit.ejected = unit.ejected || unit.medium;
        unit.medium = false;
    } else if (loadEject) {
        unit.medium = unit.medium || unit.ejected;
        unit.ejected = false;
    }
    outcome.status = StatusGood;
}

// Returns nothing: PREVENT ALLOW MEDIUM REMOVAL, whose PREVENT bit holds
// the disc in the drive until it is cleared.
void HandlePreventAllowRemoval(EmulatedUnit& unit, const ScsiCommand& command,
                               ScsiOutcome& outcome) {
    unit.removalPrevented = (command.cdb[4] & 0x01) != 0;
    outcome.status = StatusGood;
}

// Returns nothing: writes `lba` as a TOC address, in MSF form (the 150
// frames of the first track's pre-gap added) or as a big-endian LBA.
void PutTocAddress(uint8_t* out, uint32_t lba, bool msf) {
    if (!msf) {
        WriteBig32(out, lba);
        return;
    }
    uint64_t frames = static_cast<uint64_t>(lba) + 150;
    uint64_t minutes = frames / (75 * 60);
    out[0] = 0;
    out[1] = minutes > 0xFF ? 0xFF : static_cast<uint8_t>(minutes);
    out[2] = static_cast<uint8_t>((frames / 75) % 60);
    out[3] = static_cast<uint8_t>(frames % 75);
}

// Returns nothing: appends one 8-byte track descriptor.
void AppendTrack(std::vector<uint8_t>& reply, uint8_t track, uint32_t lba, bool msf) {
    uint8_t descriptor[8] = {0, DataTrackAdrControl, track, 0};
    PutTocAddress(&descriptor[4], lba, msf);
    reply.insert(reply.end(), descriptor, descriptor + sizeof descriptor);
}

// Returns nothing: answers READ TOC formats 0 (the table of contents) and 1
// (session information) for a disc of one session holding one data track.
void HandleReadToc(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!RequireMedium(unit, outcome)) return;
    bool msf = (command.cdb[1] & 0x02) != 0;
    uint8_t format = static_cast<uint8_t>(command.cdb[2] & 0x0F);
    // Older drives took the format from the top bits of the control byte.
    if (format == 0) format = static_cast<uint8_t>(command.cdb[9] >> 6);
    uint8_t startTrack = command.cdb[6];
    std::vector<uint8_t> reply(4, 0);
    reply[2] = 1;  // first track, or first session
    reply[3] = 1;  // last track, or last session
    if (format == 0) {
        if (startTrack > 1 && startTrack != LeadOutTrack) {
            CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
            return;
        }
        if (startTrack <= 1) AppendTrack(reply, 1, 0, msf);
        AppendTrack(reply, LeadOutTrack, unit.blocks, msf);
    } else if (format == 1) {
        AppendTrack(reply, 1, 0, msf);
    } else {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    // The TOC data length counts the bytes after itself.
    WriteBig16(&reply[0], static_cast<uint16_t>(reply.size() - 2));
    ReplyDataIn(command, outcome, reply.data(), reply.size(), ReadBig16(&command.cdb[7]));
}

// No WRITE: the medium is read-only, so writes get the unsupported-opcode
// reply.
const CommandEntry CdRomCommands[] = {
    {OpTestUnitReady, HandleTestUnitReady},
    {OpRequestSense, HandleRequestSense},
    {OpInquiry, HandleInquiry},
    {OpModeSense6, HandleCdRomModeSense6},
    {OpStartStopUnit, HandleCdRomStartStop},
    {OpPreventAllowRemoval, HandlePreventAllowRemoval},
    {OpReadCapacity10, HandleReadCapacity10},
    {OpRead10, HandleRead10},
    {OpReadToc, HandleReadToc},
    {OpReportLuns, HandleReportLuns},
};

}  // namespace

std::unique_ptr<UnitBackend> CreateCdRomBackend(const UnitConfig& config, std::string& error) {
    const BackendConfig& backend = config.backend;
    auto unit = NewEmulatedUnit(config);
    unit->blockSize = CdBlockSize;
    unit->medium = backend.medium;
    if (backend.image.empty()) {
        if (backend.blocks == 0) {
            error = "cdrom: blocks must not be 0";
            return nullptr;
        }
        unit->blocks = backend.blocks;
        unit->storage = std::make_unique<MemoryStorage>();
    } else {
        std::string why;
        std::unique_ptr<FileStorage> image = FileStorage::Open(backend.image, true, why);
        if (!image) {
            error = "cdrom image: " + why;
            return nullptr;
        }
        // A last partial block reads as if padded with zeros.
        uint64_t blocks = (image->SizeAtOpen() + CdBlockSize - 1) / CdBlockSize;
        if (blocks == 0 || blocks > 0xFFFFFFFFull) {
            error = "cdrom image '" + backend.image + "': " +
                    (blocks == 0 ? "the file is empty" : "the file is too large");
            return nullptr;
        }
        unit->blocks = static_cast<uint32_t>(blocks);
        unit->storage = std::move(image);
    }
    CommandTable table{CdRomCommands, sizeof CdRomCommands / sizeof CdRomCommands[0]};
    return std::make_unique<EmulatedBackend>(std::move(unit), table);
}

}  // namespace sim::units
