#include "sim/units/mmc_commands.h"

#include "sim/units/common_commands.h"

#include <cstring>
#include <vector>

namespace sim::units {

namespace {

constexpr uint8_t LeadOutTrack = 0xAA;
constexpr uint8_t DataControl = 0x04;   // control nibble of a data track
constexpr uint8_t AudioControl = 0x00;  // two-channel audio, no pre-emphasis

constexpr uint8_t PageWriteParameters = 0x05;
constexpr uint8_t PageCapabilities = 0x2A;
constexpr uint8_t AllPages = 0x3F;
constexpr size_t WriteParametersLength = 52;

// Returns true when the unit's disc is loaded; otherwise ends the command
// with NOT READY, MEDIUM NOT PRESENT.
bool DiscReady(EmulatedUnit& unit, ScsiOutcome& outcome) { return RequireMedium(unit, outcome); }

void Fail(EmulatedUnit& unit, ScsiOutcome& outcome, SenseCode code) {
    CheckCondition(unit.pendingSense, outcome, code);
}

uint32_t ReadBig24(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 16) | (static_cast<uint32_t>(bytes[1]) << 8) |
           bytes[2];
}

bool IsCdProfile(uint16_t profile) { return profile >= ProfileCdRom && profile <= ProfileCdRw; }

// Returns nothing: writes a TOC address (4 bytes), in MSF form or as an LBA.
void PutAddress(uint8_t* out, uint32_t lba, bool msf) {
    if (!msf) {
        WriteBig32(out, lba);
        return;
    }
    out[0] = 0;
    LbaToMsf(lba, &out[1]);
}

uint8_t ControlOf(const OpticalTrack& track) { return track.audio ? AudioControl : DataControl; }

// Returns the tracks whose session is complete or that are closed: the ones
// a table of contents lists.
std::vector<const OpticalTrack*> RecordedTracks(const OpticalDisc& disc) {
    std::vector<const OpticalTrack*> tracks;
    for (const OpticalTrack& track : disc.tracks) {
        if (!track.open) tracks.push_back(&track);
    }
    return tracks;
}

// Returns nothing: reads `count` blocks of 2048 user bytes from `lba`; an
// audio sector or a block not recorded ends the command with its sense
// after the blocks before it.
void ReadUserBlocks(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                    uint64_t lba, uint32_t count) {
    if (!DiscReady(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    const uint32_t capacity = DataInCapacity(command);
    uint32_t moved = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const OpticalTrack* track = TrackAt(disc, lba + i);
        if (track == nullptr) {
            outcome.bytesMoved = moved;
            return Fail(unit, outcome, SenseLbaOutOfRange);
        }
        if (track->audio) {
            outcome.bytesMoved = moved;
            return Fail(unit, outcome, SenseIllegalModeForTrack);
        }
        if (moved + OpticalBlockSize > capacity) {
            // The buffer holds less than asked: move what fits, as a port
            // driver reports an underrun.
            std::vector<uint8_t> block(OpticalBlockSize);
            if (moved < capacity &&
                ReadSector(disc, *track, static_cast<uint32_t>(lba + i), false, block.data())) {
                std::memcpy(command.data + moved, block.data(), capacity - moved);
                moved = capacity;
            }
            break;
        }
        if (!ReadSector(disc, *track, static_cast<uint32_t>(lba + i), false, command.data + moved)) {
            outcome.bytesMoved = moved;
            return Fail(unit, outcome, SenseUnrecoveredReadError);
        }
        moved += OpticalBlockSize;
    }
    outcome.status = StatusGood;
    outcome.bytesMoved = moved;
}

// Returns nothing: the 12 bytes of sync and the 4 of header of the data
// sector at `lba`.
void PutSyncAndHeader(uint8_t* out, uint32_t lba, bool sync, bool header) {
    size_t at = 0;
    if (sync) {
        out[0] = 0;
        std::memset(out + 1, 0xFF, 10);
        out[11] = 0;
        at = 12;
    }
    if (header) {
        LbaToMsf(lba, out + at);
        out[at + 3] = 1;  // mode 1
    }
}

// Returns nothing: READ CD and READ CD MSF once their start and length are
// known. Audio sectors are 2352 bytes whatever fields are asked for; data
// sectors give the sync, header and user data fields asked for (EDC and
// ECC only where the disc keeps whole sectors).
void ReadCdSectors(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                   uint64_t lba, uint32_t count) {
    const uint8_t expected = static_cast<uint8_t>((command.cdb[1] >> 2) & 0x07);
    const uint8_t fields = command.cdb[9];
    const uint8_t subChannel = static_cast<uint8_t>(command.cdb[10] & 0x07);
    const bool sync = (fields & 0x80) != 0;
    const uint8_t headerCodes = static_cast<uint8_t>((fields >> 5) & 0x03);
    const bool userData = (fields & 0x10) != 0;
    const bool edcEcc = (fields & 0x08) != 0;
    const uint8_t c2 = static_cast<uint8_t>((fields >> 1) & 0x03);
    if (expected > 5 || subChannel != 0 || c2 != 0 || headerCodes == 2 || headerCodes == 1) {
        // Sub-headers are mode 2 fields; sub-channels and C2 pointers are
        // not kept for the emulated discs.
        return Fail(unit, outcome, SenseInvalidFieldInCdb);
    }
    if (!DiscReady(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    if (count == 0) {
        outcome.status = StatusGood;
        return;
    }
    if (lba >= LeadOutLba(disc) || count > LeadOutLba(disc) - lba) {
        return Fail(unit, outcome, SenseLbaOutOfRange);
    }
    const uint32_t capacity = DataInCapacity(command);
    uint32_t moved = 0;
    std::vector<uint8_t> sector(RawSectorSize);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t at = static_cast<uint32_t>(lba + i);
        const OpticalTrack* track = TrackAt(disc, at);
        if (track == nullptr) {
            outcome.bytesMoved = moved;
            return Fail(unit, outcome, SenseLbaOutOfRange);
        }
        const bool typeMatches = expected == 0 || (expected == 1 && track->audio) ||
                                 (expected == 2 && !track->audio);
        if (!typeMatches) {
            outcome.bytesMoved = moved;
            return Fail(unit, outcome, SenseIllegalModeForTrack);
        }
        size_t length = 0;
        if (track->audio) {
            if (fields == 0) continue;
            if (!ReadSector(disc, *track, at, true, sector.data())) {
                outcome.bytesMoved = moved;
                return Fail(unit, outcome, SenseUnrecoveredReadError);
            }
            length = RawSectorSize;
        } else if (edcEcc) {
            // EDC and ECC exist only in a disc kept as whole sectors; every
            // field must then be asked for.
            if (track->sectorSize != RawSectorSize || fields != 0xF8) {
                outcome.bytesMoved = moved;
                return Fail(unit, outcome, SenseInvalidFieldInCdb);
            }
            if (!ReadSector(disc, *track, at, true, sector.data())) {
                outcome.bytesMoved = moved;
                return Fail(unit, outcome, SenseUnrecoveredReadError);
            }
            length = RawSectorSize;
        } else {
            if (sync && headerCodes == 0) {
                // Sync without the header is no field combination MMC allows.
                outcome.bytesMoved = moved;
                return Fail(unit, outcome, SenseInvalidFieldInCdb);
            }
            PutSyncAndHeader(sector.data(), at, sync, headerCodes == 3 || headerCodes == 1);
            length = (sync ? 12 : 0) + (headerCodes != 0 ? 4 : 0);
            if (userData) {
                if (!ReadSector(disc, *track, at, false, sector.data() + length)) {
                    outcome.bytesMoved = moved;
                    return Fail(unit, outcome, SenseUnrecoveredReadError);
                }
                length += OpticalBlockSize;
            }
        }
        const size_t room = capacity - moved;
        const size_t copied = length < room ? length : room;
        if (copied > 0) std::memcpy(command.data + moved, sector.data(), copied);
        moved += static_cast<uint32_t>(copied);
        if (copied < length) break;
    }
    outcome.status = StatusGood;
    outcome.bytesMoved = moved;
}

// --- Mode pages -------------------------------------------------------

// Returns the capabilities page (2A) of the drive as it stands.
std::vector<uint8_t> CapabilitiesPage(const EmulatedUnit& unit) {
    const OpticalDisc& disc = *unit.optical;
    std::vector<uint8_t> page(32, 0);
    page[0] = PageCapabilities;
    page[1] = static_cast<uint8_t>(page.size() - 2);
    page[2] = 0x1F;                          // reads CD-R, CD-RW, method 2, DVD-ROM, DVD-R
    page[3] = disc.writer ? 0x17 : 0x00;     // writes CD-R, CD-RW, DVD-R; test write
    page[4] = disc.writer ? 0xF1 : 0x71;     // buffer underrun free, multi-session, mode 2, audio
    page[5] = 0x03;                          // CD-DA commands, stream accurate
    page[6] = static_cast<uint8_t>(0x29 | (unit.removalPrevented ? 0x02 : 0x00));  // tray, eject, lock
    WriteBig16(&page[8], 7056);              // 40x CD, in kB/s
    WriteBig16(&page[10], 256);              // volume levels
    WriteBig16(&page[12], disc.writer ? 2048 : 512);  // buffer, KiB
    WriteBig16(&page[14], disc.readSpeedKbs == 0xFFFF ? 7056 : disc.readSpeedKbs);
    if (disc.writer) {
        WriteBig16(&page[18], 7056);
        WriteBig16(&page[20], disc.writeSpeedKbs == 0xFFFF ? 7056 : disc.writeSpeedKbs);
        WriteBig16(&page[28], disc.writeSpeedKbs == 0xFFFF ? 7056 : disc.writeSpeedKbs);
    }
    WriteBig16(&page[22], 1);                // copy management revision
    return page;
}

// Returns the bits of the write parameters page that MODE SELECT may change.
std::vector<uint8_t> WriteParametersChangeable() {
    std::vector<uint8_t> mask(WriteParametersLength, 0xFF);
    mask[0] = 0;
    mask[1] = 0;
    mask[2] = 0x5F;   // BUFE, test write, write type
    mask[4] = 0x0F;   // data block type
    mask[6] = 0;
    mask[7] = 0x3F;
    mask[9] = 0;
    return mask;
}

// Returns the page with `code` as the page control asks for it, or empty
// when the unit has no such page.
std::vector<uint8_t> ModePageFor(const EmulatedUnit& unit, uint8_t code, uint8_t pageControl) {
    const OpticalDisc& disc = *unit.optical;
    std::vector<uint8_t> page;
    if (code == PageWriteParameters && disc.writer) {
        if (pageControl == 1) return WriteParametersChangeable();
        if (pageControl == 2) {
            OpticalDisc defaults;
            SetDefaultWriteParameters(defaults);
            return defaults.writeParameters;
        }
        return disc.writeParameters;
    }
    if (code == PageCapabilities) {
        page = CapabilitiesPage(unit);
        if (pageControl == 1) std::fill(page.begin() + 2, page.end(), 0);
        return page;
    }
    return page;
}

// Returns nothing: MODE SENSE(6) (`ten` false) or (10).
void AnswerOpticalModeSense(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                            bool ten) {
    const bool disableBlockDescriptors = (command.cdb[1] & 0x08) != 0;
    const uint8_t pageControl = static_cast<uint8_t>(command.cdb[2] >> 6);
    const uint8_t pageCode = static_cast<uint8_t>(command.cdb[2] & 0x3F);
    const uint8_t subpage = command.cdb[3];
    if (pageControl == 3) return Fail(unit, outcome, SenseSavingNotSupported);
    if (subpage != 0 && subpage != 0xFF) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    std::vector<uint8_t> pages;
    if (pageCode == AllPages) {
        for (uint8_t code : {PageWriteParameters, PageCapabilities}) {
            std::vector<uint8_t> page = ModePageFor(unit, code, pageControl);
            pages.insert(pages.end(), page.begin(), page.end());
        }
    } else if (pageCode != 0) {
        pages = ModePageFor(unit, pageCode, pageControl);
        if (pages.empty()) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    }
    const size_t headerLength = ten ? 8 : 4;
    std::vector<uint8_t> reply(headerLength, 0);
    const OpticalDisc& disc = *unit.optical;
    const bool writeProtected = !disc.writer && disc.file && disc.file->ReadOnly();
    reply[ten ? 3 : 2] = writeProtected ? 0x80 : 0x00;
    if (!disableBlockDescriptors) {
        uint8_t descriptor[8] = {};
        const uint32_t blocks = unit.medium ? LeadOutLba(disc) : 0;
        const uint32_t shown = blocks > 0xFFFFFF ? 0xFFFFFF : blocks;
        descriptor[1] = static_cast<uint8_t>(shown >> 16);
        descriptor[2] = static_cast<uint8_t>(shown >> 8);
        descriptor[3] = static_cast<uint8_t>(shown);
        descriptor[6] = static_cast<uint8_t>(OpticalBlockSize >> 8);
        if (ten) {
            reply[7] = 8;
        } else {
            reply[3] = 8;
        }
        reply.insert(reply.end(), descriptor, descriptor + sizeof descriptor);
    }
    reply.insert(reply.end(), pages.begin(), pages.end());
    uint32_t allocation = 0;
    if (ten) {
        WriteBig16(&reply[0], static_cast<uint16_t>(reply.size() - 2));
        allocation = ReadBig16(&command.cdb[7]);
    } else {
        reply[0] = static_cast<uint8_t>(reply.size() - 1);
        allocation = command.cdb[4];
    }
    ReplyDataIn(command, outcome, reply.data(), reply.size(), allocation);
}

// Returns nothing: MODE SELECT(6) or (10). The write parameters page of a
// writer takes new values in its changeable bits; a page that changes any
// other bit, or asks for a write type or block type the unit does not
// write, is refused whole.
void AnswerOpticalModeSelect(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                             bool ten) {
    const bool pageFormat = (command.cdb[1] & 0x10) != 0;
    const bool savePages = (command.cdb[1] & 0x01) != 0;
    if (!pageFormat || savePages) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    const uint32_t listLength = ten ? ReadBig16(&command.cdb[7]) : command.cdb[4];
    if (listLength == 0) {
        outcome.status = StatusGood;
        return;
    }
    if (DataOutAvailable(command) < listLength) {
        outcome.bytesMoved = DataOutAvailable(command);
        return Fail(unit, outcome, SenseDataPhaseError);
    }
    outcome.bytesMoved = listLength;
    const uint8_t* list = command.data;
    const size_t headerLength = ten ? 8 : 4;
    if (listLength < headerLength) return Fail(unit, outcome, SenseParameterListLengthError);
    const size_t descriptors = ten ? ReadBig16(&list[6]) : list[3];
    size_t at = headerLength + descriptors;
    if (at > listLength) return Fail(unit, outcome, SenseParameterListLengthError);
    OpticalDisc& disc = DiscOf(unit);
    std::vector<uint8_t> parameters = disc.writeParameters;
    while (at < listLength) {
        if (listLength - at < 2) return Fail(unit, outcome, SenseParameterListLengthError);
        const uint8_t code = static_cast<uint8_t>(list[at] & 0x3F);
        const size_t length = static_cast<size_t>(list[at + 1]) + 2;
        if (length > listLength - at) return Fail(unit, outcome, SenseParameterListLengthError);
        const uint8_t* page = list + at;
        if (code == PageWriteParameters && disc.writer) {
            if (length != WriteParametersLength) {
                return Fail(unit, outcome, SenseInvalidFieldInParameterList);
            }
            const std::vector<uint8_t> mask = WriteParametersChangeable();
            for (size_t i = 2; i < length; ++i) {
                if (((page[i] ^ parameters[i]) & ~mask[i]) != 0) {
                    return Fail(unit, outcome, SenseInvalidFieldInParameterList);
                }
            }
            const uint8_t writeType = static_cast<uint8_t>(page[2] & 0x0F);
            const uint8_t blockType = static_cast<uint8_t>(page[4] & 0x0F);
            if ((writeType != 1 && writeType != 2) || (blockType != 8 && blockType != 10)) {
                return Fail(unit, outcome, SenseInvalidFieldInParameterList);
            }
            parameters.assign(page, page + length);
            parameters[0] = PageWriteParameters;  // the PS bit is not kept
        } else if (code == PageCapabilities) {
            const std::vector<uint8_t> current = CapabilitiesPage(unit);
            if (length != current.size() || std::memcmp(page + 2, current.data() + 2, length - 2) != 0) {
                return Fail(unit, outcome, SenseInvalidFieldInParameterList);
            }
        } else {
            return Fail(unit, outcome, SenseInvalidFieldInParameterList);
        }
        at += length;
    }
    disc.writeParameters = parameters;
    outcome.status = StatusGood;
}

// --- GET CONFIGURATION ------------------------------------------------

struct Feature {
    uint16_t code;
    bool current;
    std::vector<uint8_t> body;  // after the 4-byte feature header
    uint8_t version;
};

// Returns the drive's features in ascending order, each marked current as
// the loaded disc makes it.
std::vector<Feature> FeaturesOf(const EmulatedUnit& unit) {
    const OpticalDisc& disc = *unit.optical;
    const bool present = unit.medium;
    const uint16_t profile = present ? disc.profile : ProfileNone;
    const bool cd = present && IsCdProfile(profile);
    const bool dvd = present && !IsCdProfile(profile) && profile != ProfileNone;
    std::vector<uint16_t> profiles = {ProfileDvdRom, ProfileCdRom};
    if (disc.writer) {
        profiles = {ProfileDvdPlusR, ProfileDvdPlusRw, ProfileDvdMinusRwSequential,
                    ProfileDvdMinusR, ProfileDvdRom, ProfileCdRw, ProfileCdR, ProfileCdRom};
    }
    std::vector<Feature> features;
    Feature list{0x0000, true, {}, 0};
    for (uint16_t number : profiles) {
        list.body.push_back(static_cast<uint8_t>(number >> 8));
        list.body.push_back(static_cast<uint8_t>(number));
        list.body.push_back(number == profile ? 1 : 0);
        list.body.push_back(0);
    }
    features.push_back(list);
    features.push_back({0x0001, true, {0, 0, 0, 1, 0, 0, 0, 0}, 2});   // core: SCSI interface
    features.push_back({0x0002, true, {0x02, 0, 0, 0}, 1});              // morphing: OC events
    features.push_back({0x0003, true, {0x29, 0, 0, 0}, 0});              // tray, eject, lock
    features.push_back({0x0010, present, {0, 0, 0x08, 0x00, 0, static_cast<uint8_t>(dvd ? 16 : 1), 0, 0}, 0});
    features.push_back({0x001D, cd, {}, 0});                             // multi-read
    features.push_back({0x001E, cd, {0, 0, 0, 0}, 2});                   // CD read
    features.push_back({0x001F, dvd, {0, 0, 0, 0}, 1});                  // DVD read
    if (disc.writer) {
        const bool cdWrite = profile == ProfileCdR || profile == ProfileCdRw;
        const bool minusWrite = profile == ProfileDvdMinusR || profile == ProfileDvdMinusRwSequential;
        // Incremental streaming: data block types 8 and 10, one link size.
        features.push_back({0x0021, cdWrite || minusWrite, {0x05, 0x00, 0x00, 1, 7, 0, 0, 0}, 1});
        features.push_back({0x002A, profile == ProfileDvdPlusRw, {0x01, 0, 0, 0}, 0});
        features.push_back({0x002B, profile == ProfileDvdPlusR, {0x01, 0, 0, 0}, 0});
        features.push_back({0x002D, cdWrite, {0x06, 0, 0x05, 0x00}, 2});  // TAO: test write, CD-RW
        features.push_back({0x002E, cdWrite, {0x26, 0x00, 0x0E, 0x00}, 0});  // SAO, cue sheet size
        features.push_back({0x002F, minusWrite, {0x06, 0, 0, 0}, 1});     // DVD-R/-RW write
    }
    features.push_back({0x0100, true, {}, 0});                           // power management
    features.push_back({0x0107, true, {0, 0, 0, 0}, 0});                 // real-time streaming
    return features;
}

// --- GET EVENT STATUS NOTIFICATION --------------------------------------

constexpr uint8_t MediaClassBit = 0x10;
constexpr uint8_t MediaClass = 4;

}  // namespace

void SetDefaultWriteParameters(OpticalDisc& disc) {
    disc.writeParameters.assign(WriteParametersLength, 0);
    disc.writeParameters[0] = PageWriteParameters;
    disc.writeParameters[1] = static_cast<uint8_t>(WriteParametersLength - 2);
    disc.writeParameters[2] = 0x01;  // track-at-once
    disc.writeParameters[3] = DataControl;
    disc.writeParameters[4] = 0x08;  // mode 1, 2048 bytes
    WriteBig16(&disc.writeParameters[14], 150);  // audio pause
}

void LoadOpticalMedium(EmulatedUnit& unit) {
    if (unit.medium || !unit.ejected) return;
    unit.medium = true;
    unit.ejected = false;
    unit.mediumChanged = true;
    DiscOf(unit).event = MediaEvent::NewMedia;
}

void EjectOpticalMedium(EmulatedUnit& unit) {
    if (unit.medium) {
        unit.ejected = true;
        DiscOf(unit).event = MediaEvent::MediaRemoval;
    }
    unit.medium = false;
}

void HandleOpticalTestUnitReady(EmulatedUnit& unit, const ScsiCommand&, ScsiOutcome& outcome) {
    if (!DiscReady(unit, outcome)) return;
    outcome.status = StatusGood;
}

void HandleOpticalStartStop(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const bool loadEject = (command.cdb[4] & 0x02) != 0;
    const bool start = (command.cdb[4] & 0x01) != 0;
    if (loadEject && !start) {
        if (unit.removalPrevented) return Fail(unit, outcome, SenseMediumRemovalPrevented);
        EjectOpticalMedium(unit);
    } else if (loadEject) {
        LoadOpticalMedium(unit);
        // The load itself reports GOOD; the next command sees the change.
    }
    outcome.status = StatusGood;
}

void HandleOpticalPreventAllow(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    unit.removalPrevented = (command.cdb[4] & 0x01) != 0;
    outcome.status = StatusGood;
}

void HandleOpticalReadCapacity(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if (!DiscReady(unit, outcome)) return;
    const uint32_t end = LeadOutLba(DiscOf(unit));
    uint8_t reply[8];
    // A disc with nothing recorded reports LBA 0.
    WriteBig32(&reply[0], end == 0 ? 0 : end - 1);
    WriteBig32(&reply[4], OpticalBlockSize);
    ReplyDataIn(command, outcome, reply, sizeof reply, sizeof reply);
}

void HandleOpticalRead10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    ReadUserBlocks(unit, command, outcome, ReadBig32(&command.cdb[2]), ReadBig16(&command.cdb[7]));
}

void HandleOpticalRead12(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    ReadUserBlocks(unit, command, outcome, ReadBig32(&command.cdb[2]), ReadBig32(&command.cdb[6]));
}

void HandleReadCd(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    ReadCdSectors(unit, command, outcome, ReadBig32(&command.cdb[2]), ReadBig24(&command.cdb[6]));
}

void HandleReadCdMsf(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const uint32_t start = (command.cdb[3] * 60u + command.cdb[4]) * 75u + command.cdb[5];
    const uint32_t end = (command.cdb[6] * 60u + command.cdb[7]) * 75u + command.cdb[8];
    if (start < 150 || end < start || command.cdb[4] >= 60 || command.cdb[5] >= 75 ||
        command.cdb[7] >= 60 || command.cdb[8] >= 75) {
        return Fail(unit, outcome, SenseInvalidFieldInCdb);
    }
    ReadCdSectors(unit, command, outcome, start - 150, end - start);
}

void HandleOpticalReadToc(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const bool msf = (command.cdb[1] & 0x02) != 0;
    uint8_t format = static_cast<uint8_t>(command.cdb[2] & 0x0F);
    // Older drives took the format from the top bits of the control byte.
    if (format == 0) format = static_cast<uint8_t>(command.cdb[9] >> 6);
    const uint8_t startTrack = command.cdb[6];
    if (format > 5) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    if (!DiscReady(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    const std::vector<const OpticalTrack*> tracks = RecordedTracks(disc);
    std::vector<uint8_t> reply(4, 0);
    if (format == 4) {
        // ATIP exists only on recordable CDs.
        if (disc.profile != ProfileCdR && disc.profile != ProfileCdRw) {
            return Fail(unit, outcome, SenseInvalidFieldInCdb);
        }
        uint8_t atip[24] = {};
        atip[0] = 0x80 | 0x04;                          // writing power, reference speed
        atip[2] = disc.profile == ProfileCdRw ? 0x40 : 0x00;  // disc type: rewritable
        atip[4] = 97; atip[5] = 26; atip[6] = 66;       // lead-in start 97:26:66
        LbaToMsf(disc.capacity, &atip[8]);              // last possible lead-out
        reply.insert(reply.end(), atip, atip + sizeof atip);
        WriteBig16(&reply[0], static_cast<uint16_t>(reply.size() - 2));
        ReplyDataIn(command, outcome, reply.data(), reply.size(), ReadBig16(&command.cdb[7]));
        return;
    }
    // A disc with no track recorded has no table of contents.
    if (tracks.empty() || format == 3 || format == 5) {
        return Fail(unit, outcome, SenseInvalidFieldInCdb);
    }
    const uint8_t first = tracks.front()->number;
    const uint8_t last = tracks.back()->number;
    const uint32_t leadOut = LeadOutLba(disc);
    if (format == 0) {
        if (startTrack > last && startTrack != LeadOutTrack) {
            return Fail(unit, outcome, SenseInvalidFieldInCdb);
        }
        reply[2] = first;
        reply[3] = last;
        for (const OpticalTrack* track : tracks) {
            if (track->number < startTrack) continue;
            uint8_t descriptor[8] = {0, static_cast<uint8_t>(0x10 | ControlOf(*track)), track->number, 0};
            PutAddress(&descriptor[4], track->start, msf);
            reply.insert(reply.end(), descriptor, descriptor + 8);
        }
        uint8_t leadOutDescriptor[8] = {0, static_cast<uint8_t>(0x10 | ControlOf(*tracks.back())),
                                        LeadOutTrack, 0};
        PutAddress(&leadOutDescriptor[4], leadOut, msf);
        reply.insert(reply.end(), leadOutDescriptor, leadOutDescriptor + 8);
    } else if (format == 1) {
        // The first track of the last complete session.
        const uint8_t lastSession = tracks.back()->session;
        const OpticalTrack* firstOfLast = tracks.back();
        for (const OpticalTrack* track : tracks) {
            if (track->session == lastSession) {
                firstOfLast = track;
                break;
            }
        }
        reply[2] = 1;
        reply[3] = lastSession;
        uint8_t descriptor[8] = {0, static_cast<uint8_t>(0x10 | ControlOf(*firstOfLast)),
                                 firstOfLast->number, 0};
        PutAddress(&descriptor[4], firstOfLast->start, msf);
        reply.insert(reply.end(), descriptor, descriptor + 8);
    } else if (format == 2) {
        // The full TOC holds the Q sub-channel of each session's lead-in:
        // points A0 (first track), A1 (last track), A2 (lead-out), then
        // one per track, always in MSF.
        if (!IsCdProfile(disc.profile)) return Fail(unit, outcome, SenseInvalidFieldInCdb);
        const uint8_t sessions = tracks.back()->session;
        reply[2] = 1;
        reply[3] = sessions;
        for (uint8_t session = 1; session <= sessions; ++session) {
            std::vector<const OpticalTrack*> in;
            for (const OpticalTrack* track : tracks) {
                if (track->session == session) in.push_back(track);
            }
            if (in.empty()) continue;
            const OpticalTrack* next = nullptr;
            for (const OpticalTrack* track : tracks) {
                if (track->session > session) {
                    next = track;
                    break;
                }
            }
            const uint32_t sessionEnd =
                next != nullptr ? in.back()->start + in.back()->length : leadOut;
            auto point = [&](uint8_t pointNumber, uint8_t control, const uint8_t p[3]) {
                uint8_t descriptor[11] = {session, static_cast<uint8_t>(0x10 | control), 0,
                                          pointNumber, 0, 0, 0, 0, p[0], p[1], p[2]};
                reply.insert(reply.end(), descriptor, descriptor + 11);
            };
            const uint8_t a0[3] = {in.front()->number, 0x00, 0};
            const uint8_t a1[3] = {in.back()->number, 0, 0};
            uint8_t a2[3];
            LbaToMsf(sessionEnd, a2);
            point(0xA0, ControlOf(*in.front()), a0);
            point(0xA1, ControlOf(*in.back()), a1);
            point(0xA2, ControlOf(*in.back()), a2);
            for (const OpticalTrack* track : in) {
                uint8_t p[3];
                LbaToMsf(track->start, p);
                point(track->number, ControlOf(*track), p);
            }
        }
    }
    // The TOC data length counts the bytes after itself.
    WriteBig16(&reply[0], static_cast<uint16_t>(reply.size() - 2));
    ReplyDataIn(command, outcome, reply.data(), reply.size(), ReadBig16(&command.cdb[7]));
}

void HandleReadSubChannel(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const bool msf = (command.cdb[1] & 0x02) != 0;
    const bool subQ = (command.cdb[2] & 0x40) != 0;
    const uint8_t format = command.cdb[3];
    if (subQ && (format < 1 || format > 3)) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    if (!DiscReady(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    std::vector<uint8_t> reply(4, 0);
    reply[1] = 0x15;  // no current audio status: nothing is playing
    if (subQ) {
        std::vector<uint8_t> data(format == 1 ? 12 : 20, 0);
        data[0] = format;
        const std::vector<const OpticalTrack*> tracks = RecordedTracks(disc);
        if (format == 1) {
            // The head rests at the start of the first track.
            const OpticalTrack* track = tracks.empty() ? nullptr : tracks.front();
            data[1] = static_cast<uint8_t>(0x10 | (track != nullptr ? ControlOf(*track) : DataControl));
            data[2] = track != nullptr ? track->number : 1;
            data[3] = 1;
            PutAddress(&data[4], track != nullptr ? track->start : 0, msf);
            PutAddress(&data[8], 0, msf);
            if (msf) data[10] = 0;  // relative MSF counts no pre-gap
        } else if (format == 3) {
            const uint8_t trackNumber = command.cdb[6];
            const OpticalTrack* track = TrackNumbered(disc, trackNumber);
            if (track == nullptr) return Fail(unit, outcome, SenseInvalidFieldInCdb);
            data[1] = static_cast<uint8_t>(0x10 | ControlOf(*track));
            data[2] = trackNumber;
        }
        // Formats 2 and 3: no media catalogue number or ISRC recorded.
        reply.insert(reply.end(), data.begin(), data.end());
    }
    WriteBig16(&reply[2], static_cast<uint16_t>(reply.size() - 4));
    ReplyDataIn(command, outcome, reply.data(), reply.size(), ReadBig16(&command.cdb[7]));
}

void HandleGetConfiguration(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const uint8_t requestType = static_cast<uint8_t>(command.cdb[1] & 0x03);
    const uint16_t startingFeature = ReadBig16(&command.cdb[2]);
    if (requestType == 3) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    const OpticalDisc& disc = DiscOf(unit);
    std::vector<uint8_t> reply(8, 0);
    WriteBig16(&reply[6], unit.medium ? disc.profile : ProfileNone);
    for (const Feature& feature : FeaturesOf(unit)) {
        const bool wanted = requestType == 2 ? feature.code == startingFeature
                                             : feature.code >= startingFeature &&
                                                   (requestType == 0 || feature.current);
        if (!wanted) continue;
        const bool persistent = feature.code <= 0x0003 || feature.code == 0x0100;
        reply.push_back(static_cast<uint8_t>(feature.code >> 8));
        reply.push_back(static_cast<uint8_t>(feature.code));
        reply.push_back(static_cast<uint8_t>((feature.version << 2) | (persistent ? 0x02 : 0) |
                                             (feature.current ? 0x01 : 0)));
        reply.push_back(static_cast<uint8_t>(feature.body.size()));
        reply.insert(reply.end(), feature.body.begin(), feature.body.end());
    }
    WriteBig32(&reply[0], static_cast<uint32_t>(reply.size() - 4));
    ReplyDataIn(command, outcome, reply.data(), reply.size(), ReadBig16(&command.cdb[7]));
}

void HandleGetEventStatus(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const bool polled = (command.cdb[1] & 0x01) != 0;
    // Only polled operation: the drive keeps no queue of asynchronous events.
    if (!polled) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    const uint8_t classes = command.cdb[4];
    OpticalDisc& disc = DiscOf(unit);
    std::vector<uint8_t> reply(4, 0);
    reply[3] = MediaClassBit;
    if ((classes & MediaClassBit) == 0) {
        reply[2] = 0x80;  // no event available of the classes asked for
    } else {
        reply[2] = MediaClass;
        uint8_t descriptor[4] = {static_cast<uint8_t>(disc.event),
                                 static_cast<uint8_t>(unit.medium ? 0x02 : 0x00), 0, 0};
        reply.insert(reply.end(), descriptor, descriptor + 4);
        // A reported event is gone unless the allocation length was zero.
        if (ReadBig16(&command.cdb[7]) > 0) disc.event = MediaEvent::None;
    }
    WriteBig16(&reply[0], static_cast<uint16_t>(reply.size() - 2));
    ReplyDataIn(command, outcome, reply.data(), reply.size(), ReadBig16(&command.cdb[7]));
}

void HandleReadDiscInformation(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if ((command.cdb[1] & 0x07) != 0) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    if (!DiscReady(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    const bool cd = IsCdProfile(disc.profile);
    std::vector<uint8_t> reply(34, 0);
    WriteBig16(&reply[0], 32);
    const uint8_t sessionState = disc.lastSession == DiscStatus::Complete ? 3
                                 : disc.lastSession == DiscStatus::Incomplete ? 1 : 0;
    reply[2] = static_cast<uint8_t>((disc.rewritable ? 0x10 : 0) | (sessionState << 2) |
                                    static_cast<uint8_t>(disc.status));
    const uint8_t lastSession = LastSession(disc);
    uint8_t firstInLast = 1;
    uint8_t lastInLast = 1;
    for (const OpticalTrack& track : disc.tracks) {
        if (track.session == lastSession) {
            if (lastInLast < track.number || firstInLast == 1) lastInLast = track.number;
        }
    }
    for (const OpticalTrack& track : disc.tracks) {
        if (track.session == lastSession) {
            firstInLast = track.number;
            break;
        }
    }
    reply[3] = 1;
    reply[4] = lastSession;
    reply[5] = firstInLast;
    reply[6] = lastInLast;
    reply[7] = disc.writer ? 0x20 : 0x00;  // unrestricted use
    reply[8] = 0x00;                       // CD-DA or CD-ROM
    if (disc.status == DiscStatus::Complete) {
        std::memset(&reply[16], 0xFF, 8);
    } else {
        const OpticalTrack* open = nullptr;
        for (const OpticalTrack& track : disc.tracks) {
            if (track.open) open = &track;
        }
        const uint32_t sessionStart = open != nullptr ? open->start : LeadOutLba(disc);
        PutAddress(&reply[16], sessionStart, cd);
        PutAddress(&reply[20], disc.capacity, cd);
    }
    ReplyDataIn(command, outcome, reply.data(), reply.size(), ReadBig16(&command.cdb[7]));
}

void HandleReadTrackInformation(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const uint8_t addressType = static_cast<uint8_t>(command.cdb[1] & 0x03);
    const uint32_t address = ReadBig32(&command.cdb[2]);
    if (addressType == 3) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    if (!DiscReady(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    const OpticalTrack* found = nullptr;
    if (addressType == 0) {
        for (const OpticalTrack& track : disc.tracks) {
            const uint32_t size = track.open && !track.reserved ? disc.capacity - track.start
                                                                : track.length;
            if (address >= track.start && address - track.start < size) found = &track;
        }
    } else if (addressType == 1) {
        if (address == 0xFF) {
            // The invisible or incomplete track.
            for (const OpticalTrack& track : disc.tracks) {
                if (track.open) found = &track;
            }
        } else {
            found = TrackNumbered(disc, address);
        }
    } else {
        for (const OpticalTrack& track : disc.tracks) {
            if (track.session == address) {
                found = &track;
                break;
            }
        }
    }
    if (found == nullptr) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    const OpticalTrack& track = *found;
    std::vector<uint8_t> reply(48, 0);
    WriteBig16(&reply[0], static_cast<uint16_t>(reply.size() - 2));
    reply[2] = track.number;
    reply[3] = track.session;
    reply[5] = ControlOf(track);
    const bool blank = track.open && track.written == 0;
    reply[6] = static_cast<uint8_t>((track.reserved ? 0x80 : 0) | (blank ? 0x40 : 0) |
                                    (track.audio ? 0x00 : 0x01));
    const uint32_t recorded = track.open ? track.written : track.length;
    const uint32_t size = track.open && !track.reserved ? disc.capacity - track.start : track.length;
    const bool writable = track.open && track.written < size;
    reply[7] = static_cast<uint8_t>((recorded > 0 && disc.writer ? 0x02 : 0) | (writable ? 0x01 : 0));
    WriteBig32(&reply[8], track.start);
    WriteBig32(&reply[12], writable ? track.start + track.written : 0);
    WriteBig32(&reply[16], writable ? size - track.written : 0);
    WriteBig32(&reply[20], disc.dvd ? 16 : 0);
    WriteBig32(&reply[24], size);
    WriteBig32(&reply[28], recorded > 0 && disc.writer ? track.start + recorded - 1 : 0);
    ReplyDataIn(command, outcome, reply.data(), reply.size(), ReadBig16(&command.cdb[7]));
}

void HandleOpticalModeSense6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    AnswerOpticalModeSense(unit, command, outcome, false);
}

void HandleOpticalModeSense10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    AnswerOpticalModeSense(unit, command, outcome, true);
}

void HandleOpticalModeSelect6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    AnswerOpticalModeSelect(unit, command, outcome, false);
}

void HandleOpticalModeSelect10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    AnswerOpticalModeSelect(unit, command, outcome, true);
}

void HandleMechanismStatus(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    uint8_t reply[8] = {};
    // No changer, mechanism idle; the door bit tells an open tray.
    reply[1] = unit.ejected ? 0x10 : 0x00;
    ReplyDataIn(command, outcome, reply, sizeof reply, ReadBig16(&command.cdb[8]));
}

void HandleSetCdSpeed(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    OpticalDisc& disc = DiscOf(unit);
    // A speed above the drive's fastest (and 0xFFFF, "the fastest") sets
    // the fastest; page 2A reports the speed chosen.
    auto chosen = [](uint16_t asked) -> uint16_t { return asked > 7056 ? 0xFFFF : asked; };
    disc.readSpeedKbs = chosen(ReadBig16(&command.cdb[2]));
    if (disc.writer) disc.writeSpeedKbs = chosen(ReadBig16(&command.cdb[4]));
    outcome.status = StatusGood;
}

}  // namespace sim::units
