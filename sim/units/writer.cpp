// The emulated CD/DVD writer: recordable media (CD-R, CD-RW, DVD-R, DVD+R,
// DVD-RW, DVD+RW) written sequentially in track-at-once or session-at-once,
// whose recorded blocks go to an image file in the order written, so that a
// disc written with one data track is an ISO image.
#include "sim/units/common_commands.h"
#include "sim/units/device_types.h"
#include "sim/units/emulated_unit.h"
#include "sim/units/mmc_commands.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace sim::units {

namespace {

constexpr uint8_t WriteTypeSessionAtOnce = 2;
constexpr uint8_t CloseTrack = 1;
constexpr uint8_t CloseSession = 2;
constexpr uint8_t FinalizeMinimalRadius = 5;  // DVD+R
constexpr uint8_t Finalize = 6;               // DVD+R
constexpr uint32_t BufferBytes = 2u << 20;

void Fail(EmulatedUnit& unit, ScsiOutcome& outcome, SenseCode code) {
    CheckCondition(unit.pendingSense, outcome, code);
}

bool IsCd(const OpticalDisc& disc) {
    return disc.profile == ProfileCdR || disc.profile == ProfileCdRw;
}

uint8_t WriteType(const OpticalDisc& disc) {
    return static_cast<uint8_t>(disc.writeParameters[2] & 0x0F);
}

// Returns the blocks between the end of a closed session and the first
// track of the next: a CD's lead-out, lead-in and pre-gap (11400 after the
// first session, 6900 after later ones). DVD sessions follow at once.
uint32_t SessionGap(const OpticalDisc& disc, uint8_t closedSession) {
    if (!IsCd(disc)) return 0;
    return closedSession == 1 ? 11400 : 6900;
}

// Returns nothing: appends an open, blank track after the last one, in
// `session`, starting at `start`, when the medium has room for it.
void OpenInvisibleTrack(OpticalDisc& disc, uint8_t session, uint32_t start) {
    if (start >= disc.capacity) return;
    OpticalTrack track;
    track.number = disc.tracks.empty() ? 1 : static_cast<uint8_t>(disc.tracks.back().number + 1);
    track.session = session;
    track.start = start;
    track.open = true;
    track.fileOffset = disc.fileEnd;
    disc.tracks.push_back(track);
}

// Returns false when the image could not be emptied.
bool EmptyImage(OpticalDisc& disc) {
    disc.fileEnd = 0;
    if (disc.imagePath.empty()) {
        disc.file = std::make_unique<MemoryStorage>();
        return true;
    }
    return ::truncate(disc.imagePath.c_str(), 0) == 0;
}

// Returns nothing: makes the disc blank: one invisible track over all of
// it, in an empty first session.
void MakeBlank(OpticalDisc& disc) {
    disc.tracks.clear();
    disc.status = DiscStatus::Empty;
    disc.lastSession = DiscStatus::Empty;
    disc.cueSheetSent = false;
    disc.preGapNext = -150;
    OpenInvisibleTrack(disc, 1, 0);
}

// Returns false when the padding could not be written: closes one open
// track. A reserved track is padded to its reserved size; the invisible
// track ends where its data ends.
bool CloseOpenTrack(OpticalDisc& disc, OpticalTrack& track) {
    if (track.reserved && track.written < track.length) {
        std::vector<uint8_t> zeros(OpticalBlockSize, 0);
        for (uint32_t i = track.written; i < track.length; ++i) {
            if (!disc.file->Write(track.fileOffset + static_cast<uint64_t>(i) * OpticalBlockSize,
                                  zeros.data(), zeros.size())) {
                return false;
            }
        }
        track.written = track.length;
        disc.fileEnd = track.fileOffset + static_cast<uint64_t>(track.length) * OpticalBlockSize;
    }
    track.length = track.written;
    track.open = false;
    return true;
}

// Returns nothing: ends the command with CHECK CONDITION unless it
// closes the last session: its open tracks close, an empty invisible track
// goes, and the disc is left appendable (a new empty session with its
// invisible track) or complete.
void CloseLastSession(EmulatedUnit& unit, ScsiOutcome& outcome, bool appendable) {
    OpticalDisc& disc = DiscOf(unit);
    const uint8_t session = LastSession(disc);
    bool recorded = false;
    for (const OpticalTrack& track : disc.tracks) {
        if (track.session == session && (!track.open || track.written > 0 || track.reserved)) {
            recorded = true;
        }
    }
    // A session with nothing written has nothing to close.
    if (!recorded) return Fail(unit, outcome, SenseCommandSequenceError);
    if (disc.tracks.back().open && disc.tracks.back().written == 0 && !disc.tracks.back().reserved) {
        disc.tracks.pop_back();
    }
    for (OpticalTrack& track : disc.tracks) {
        if (track.session != session || !track.open) continue;
        if (!CloseOpenTrack(disc, track)) return Fail(unit, outcome, SenseWriteError);
    }
    disc.cueSheetSent = false;
    disc.preGapNext = -150;
    if (appendable && LeadOutLba(disc) + SessionGap(disc, session) < disc.capacity) {
        disc.status = DiscStatus::Incomplete;
        disc.lastSession = DiscStatus::Empty;
        OpenInvisibleTrack(disc, static_cast<uint8_t>(session + 1),
                           LeadOutLba(disc) + SessionGap(disc, session));
    } else {
        disc.status = DiscStatus::Complete;
        disc.lastSession = DiscStatus::Complete;
    }
    if (!disc.file->Flush()) return Fail(unit, outcome, SenseWriteError);
    outcome.status = StatusGood;
}

// Returns true when the write parameters ask for a next session.
bool NextSessionAllowed(const OpticalDisc& disc) { return (disc.writeParameters[3] >> 6) == 3; }

// Returns nothing: WRITE(10) and WRITE(12). Blocks go to the next writable
// address of the open track only; a write elsewhere, past a reserved
// track, or to a closed disc is refused as MMC says.
void WriteOptical(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                  uint32_t lbaField, uint32_t count) {
    if (!RequireMedium(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    const int32_t signedLba = static_cast<int32_t>(lbaField);
    const uint8_t writeType = WriteType(disc);
    if (disc.status == DiscStatus::Complete) return Fail(unit, outcome, SenseInvalidAddressForWrite);
    if (IsCd(disc) && writeType == WriteTypeSessionAtOnce && !disc.cueSheetSent) {
        return Fail(unit, outcome, SenseCommandSequenceError);
    }
    OpticalTrack* track = OpenTrack(disc);
    if (track == nullptr) return Fail(unit, outcome, SenseInvalidAddressForWrite);
    const uint32_t available = DataOutAvailable(command) / OpticalBlockSize;
    const uint32_t whole = available < count ? available : count;
    // Session-at-once on CD: the host sends the first track's pre-gap from
    // LBA -150; it is taken and not kept.
    if (signedLba < 0 && IsCd(disc) && writeType == WriteTypeSessionAtOnce && track->written == 0) {
        if (signedLba != disc.preGapNext || static_cast<int64_t>(signedLba) + count > 0) {
            return Fail(unit, outcome, SenseInvalidAddressForWrite);
        }
        disc.preGapNext = static_cast<int32_t>(disc.preGapNext + static_cast<int32_t>(whole));
        outcome.bytesMoved = whole * OpticalBlockSize;
        if (whole < count) return Fail(unit, outcome, SenseDataPhaseError);
        outcome.status = StatusGood;
        return;
    }
    if (static_cast<uint64_t>(lbaField) != static_cast<uint64_t>(track->start) + track->written) {
        return Fail(unit, outcome, SenseInvalidAddressForWrite);
    }
    const uint64_t limit = track->reserved ? track->length : disc.capacity - track->start;
    if (count > limit - track->written) {
        return Fail(unit, outcome,
                    track->reserved ? SenseInvalidAddressForWrite : SenseLbaOutOfRange);
    }
    if (count == 0) {
        outcome.status = StatusGood;
        return;
    }
    const bool testWrite = (disc.writeParameters[2] & 0x10) != 0;
    const uint32_t bytes = whole * OpticalBlockSize;
    if (!testWrite && bytes > 0) {
        const uint64_t at = track->fileOffset + static_cast<uint64_t>(track->written) * OpticalBlockSize;
        if (!disc.file->Write(at, command.data, bytes)) return Fail(unit, outcome, SenseWriteError);
        track->written += whole;
        if (at + bytes > disc.fileEnd) disc.fileEnd = at + bytes;
        disc.status = DiscStatus::Incomplete;
        disc.lastSession = DiscStatus::Incomplete;
    }
    outcome.bytesMoved = bytes;
    if (whole < count) return Fail(unit, outcome, SenseDataPhaseError);
    outcome.status = StatusGood;
}

void HandleWriterWrite10(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    WriteOptical(unit, command, outcome, ReadBig32(&command.cdb[2]), ReadBig16(&command.cdb[7]));
}

void HandleWriterWrite12(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    WriteOptical(unit, command, outcome, ReadBig32(&command.cdb[2]), ReadBig32(&command.cdb[6]));
}

// SYNCHRONIZE CACHE: what is written is on the medium at once, so only the
// image is flushed; in session-at-once the drive then closes the session,
// as it writes the lead-out when the host's data ends.
void HandleWriterSynchronizeCache(EmulatedUnit& unit, const ScsiCommand&, ScsiOutcome& outcome) {
    if (!RequireMedium(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    if (!disc.file->Flush()) return Fail(unit, outcome, SenseWriteError);
    const OpticalTrack* open = OpenTrack(disc);
    if (WriteType(disc) == WriteTypeSessionAtOnce && open != nullptr && open->written > 0) {
        CloseLastSession(unit, outcome, NextSessionAllowed(disc));
        return;
    }
    outcome.status = StatusGood;
}

void HandleReserveTrack(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    // Reservation by size only; ARSV (by LBA) is not offered.
    if ((command.cdb[1] & 0x01) != 0) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    const uint32_t size = ReadBig32(&command.cdb[5]);
    if (!RequireMedium(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    OpticalTrack* track = disc.tracks.empty() ? nullptr : &disc.tracks.back();
    // Only the invisible track, before anything is written in it, can be
    // reserved.
    if (track == nullptr || !track->open || track->reserved || track->written != 0) {
        return Fail(unit, outcome, SenseCommandSequenceError);
    }
    if (size == 0) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    if (size > disc.capacity - track->start) return Fail(unit, outcome, SenseLbaOutOfRange);
    track->reserved = true;
    track->length = size;
    const uint8_t session = track->session;
    const uint32_t next = track->start + size;
    const uint64_t offset = track->fileOffset + static_cast<uint64_t>(size) * OpticalBlockSize;
    OpenInvisibleTrack(disc, session, next);
    if (disc.tracks.back().start == next && disc.tracks.back().open && !disc.tracks.back().reserved) {
        disc.tracks.back().fileOffset = offset;
    }
    outcome.status = StatusGood;
}

void HandleCloseTrackSession(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const uint8_t function = static_cast<uint8_t>(command.cdb[2] & 0x07);
    const uint16_t number = ReadBig16(&command.cdb[4]);
    if (!RequireMedium(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    const bool plusR = disc.profile == ProfileDvdPlusR || disc.profile == ProfileDvdPlusRw;
    if (disc.status == DiscStatus::Complete) return Fail(unit, outcome, SenseCommandSequenceError);
    if (function == CloseTrack) {
        OpticalTrack* track = TrackNumbered(disc, number);
        if (track == nullptr) return Fail(unit, outcome, SenseInvalidFieldInCdb);
        if (!track->open || (track->written == 0 && !track->reserved)) {
            outcome.status = StatusGood;  // nothing to close
            return;
        }
        const bool wasInvisible = !track->reserved;
        const uint8_t session = track->session;
        if (!CloseOpenTrack(disc, *track)) return Fail(unit, outcome, SenseWriteError);
        if (wasInvisible) OpenInvisibleTrack(disc, session, LeadOutLba(disc));
        if (!disc.file->Flush()) return Fail(unit, outcome, SenseWriteError);
        outcome.status = StatusGood;
        return;
    }
    if (function == CloseSession) {
        CloseLastSession(unit, outcome, plusR ? true : NextSessionAllowed(disc));
        return;
    }
    if ((function == FinalizeMinimalRadius || function == Finalize) && plusR) {
        CloseLastSession(unit, outcome, false);
        return;
    }
    Fail(unit, outcome, SenseInvalidFieldInCdb);
}

void HandleBlank(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const uint8_t type = static_cast<uint8_t>(command.cdb[1] & 0x07);
    // The whole disc (0) or its table of contents (1, minimal): both leave
    // a blank disc. Blanking single tracks or sessions is not offered.
    if (type > 1) return Fail(unit, outcome, SenseInvalidFieldInCdb);
    if (!RequireMedium(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    if (!disc.rewritable) return Fail(unit, outcome, SenseIncompatibleMedium);
    if (!EmptyImage(disc)) return Fail(unit, outcome, SenseWriteError);
    MakeBlank(disc);
    outcome.status = StatusGood;
}

void HandleReadBufferCapacity(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const bool block = (command.cdb[1] & 0x01) != 0;
    // Writes reach the medium at once: the buffer is always empty.
    uint8_t reply[12] = {};
    WriteBig16(&reply[0], 10);
    if (block) {
        reply[3] = 0x01;
        WriteBig32(&reply[8], BufferBytes / OpticalBlockSize);
    } else {
        WriteBig32(&reply[4], BufferBytes);
        WriteBig32(&reply[8], BufferBytes);
    }
    (void)unit;
    ReplyDataIn(command, outcome, reply, sizeof reply, ReadBig16(&command.cdb[7]));
}

// SEND CUE SHEET: session-at-once on CD. The lead-out entry (TNO AA) fixes
// where the session's data ends, which reserves the first track.
void HandleSendCueSheet(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const uint32_t length = (static_cast<uint32_t>(command.cdb[6]) << 16) |
                            (static_cast<uint32_t>(command.cdb[7]) << 8) | command.cdb[8];
    if (!RequireMedium(unit, outcome)) return;
    OpticalDisc& disc = DiscOf(unit);
    if (!IsCd(disc) || WriteType(disc) != WriteTypeSessionAtOnce) {
        return Fail(unit, outcome, SenseCommandSequenceError);
    }
    if (DataOutAvailable(command) < length) {
        outcome.bytesMoved = DataOutAvailable(command);
        return Fail(unit, outcome, SenseDataPhaseError);
    }
    outcome.bytesMoved = length;
    if (length == 0 || length % 8 != 0) return Fail(unit, outcome, SenseParameterListLengthError);
    OpticalTrack* track = disc.tracks.empty() ? nullptr : &disc.tracks.back();
    if (track == nullptr || !track->open || track->written != 0) {
        return Fail(unit, outcome, SenseCommandSequenceError);
    }
    int64_t leadOut = -1;
    for (uint32_t at = 0; at < length; at += 8) {
        const uint8_t* entry = command.data + at;
        if (entry[1] == 0xAA) {
            if (entry[5] > 99 || entry[6] >= 60 || entry[7] >= 75) {
                return Fail(unit, outcome, SenseInvalidFieldInParameterList);
            }
            leadOut = (entry[5] * 60 + entry[6]) * 75 + entry[7] - 150;
        }
    }
    if (leadOut <= static_cast<int64_t>(track->start) || leadOut > disc.capacity) {
        return Fail(unit, outcome, SenseInvalidFieldInParameterList);
    }
    track->reserved = true;
    track->length = static_cast<uint32_t>(leadOut - track->start);
    disc.cueSheetSent = true;
    disc.preGapNext = -150;
    outcome.status = StatusGood;
}

const CommandEntry WriterCommands[] = {
    {OpTestUnitReady, HandleOpticalTestUnitReady},
    {OpRequestSense, HandleRequestSense},
    {OpInquiry, HandleInquiry},
    {OpModeSelect6, HandleOpticalModeSelect6},
    {0x1A, HandleOpticalModeSense6},
    {OpMmcStartStopUnit, HandleOpticalStartStop},
    {OpMmcPreventAllowRemoval, HandleOpticalPreventAllow},
    {OpMmcReadCapacity, HandleOpticalReadCapacity},
    {OpMmcRead10, HandleOpticalRead10},
    {OpMmcWrite10, HandleWriterWrite10},
    {OpMmcSynchronizeCache, HandleWriterSynchronizeCache},
    {OpReadSubChannel, HandleReadSubChannel},
    {OpMmcReadToc, HandleOpticalReadToc},
    {OpGetConfiguration, HandleGetConfiguration},
    {OpGetEventStatus, HandleGetEventStatus},
    {OpReadDiscInformation, HandleReadDiscInformation},
    {OpReadTrackInformation, HandleReadTrackInformation},
    {OpReserveTrack, HandleReserveTrack},
    {OpModeSelect10, HandleOpticalModeSelect10},
    {OpModeSense10, HandleOpticalModeSense10},
    {OpCloseTrackSession, HandleCloseTrackSession},
    {OpReadBufferCapacity, HandleReadBufferCapacity},
    {OpSendCueSheet, HandleSendCueSheet},
    {OpReportLuns, HandleReportLuns},
    {OpBlank, HandleBlank},
    {OpMmcRead12, HandleOpticalRead12},
    {OpMmcWrite12, HandleWriterWrite12},
    {OpReadCdMsf, HandleReadCdMsf},
    {OpSetCdSpeed, HandleSetCdSpeed},
    {OpMechanismStatus, HandleMechanismStatus},
    {OpReadCd, HandleReadCd},
};

// Returns the profile of `media`.
uint16_t ProfileOf(WriterMedia media) {
    switch (media) {
    case WriterMedia::CdR: return ProfileCdR;
    case WriterMedia::CdRw: return ProfileCdRw;
    case WriterMedia::DvdMinusR: return ProfileDvdMinusR;
    case WriterMedia::DvdPlusR: return ProfileDvdPlusR;
    case WriterMedia::DvdMinusRw: return ProfileDvdMinusRwSequential;
    case WriterMedia::DvdPlusRw: return ProfileDvdPlusRw;
    case WriterMedia::None: break;
    }
    return ProfileNone;
}

}  // namespace

std::unique_ptr<UnitBackend> CreateWriterBackend(const UnitConfig& config, std::string& error) {
    const BackendConfig& backend = config.backend;
    auto disc = std::make_unique<OpticalDisc>();
    disc->writer = true;
    disc->profile = ProfileOf(backend.media);
    disc->dvd = !IsCd(*disc) && disc->profile != ProfileNone;
    disc->rewritable = backend.media == WriterMedia::CdRw || backend.media == WriterMedia::DvdMinusRw;
    disc->capacity = backend.capacityBlocks;
    if (disc->capacity == 0) {
        error = "writer: capacity_blocks must not be 0";
        return nullptr;
    }
    SetDefaultWriteParameters(*disc);
    uint64_t recorded = 0;
    if (backend.image.empty()) {
        disc->file = std::make_unique<MemoryStorage>();
    } else {
        disc->imagePath = backend.image;
        // The image is created when missing; a blank disc's image holds nothing.
        const int flags = O_RDWR | O_CREAT | O_CLOEXEC |
                          (backend.state == WriterDiscState::Blank ? O_TRUNC : 0);
        const int fd = ::open64(backend.image.c_str(), flags, 0666);
        if (fd < 0) {
            error = "writer image: cannot open '" + backend.image + "': " + std::strerror(errno);
            return nullptr;
        }
        ::close(fd);
        std::string why;
        std::unique_ptr<FileStorage> file = FileStorage::Open(backend.image, false, why);
        if (!file) {
            error = "writer image: " + why;
            return nullptr;
        }
        recorded = (file->SizeAtOpen() + OpticalBlockSize - 1) / OpticalBlockSize;
        disc->file = std::move(file);
    }
    if (backend.state == WriterDiscState::Blank) {
        MakeBlank(*disc);
    } else {
        // An appendable or closed disc holds the image as its one track.
        if (recorded == 0) {
            error = "writer: an appendable or closed disc needs an image with data";
            return nullptr;
        }
        if (recorded >= disc->capacity) {
            error = "writer image '" + backend.image + "': larger than capacity_blocks";
            return nullptr;
        }
        OpticalTrack track;
        track.length = static_cast<uint32_t>(recorded);
        track.written = track.length;
        disc->tracks.push_back(track);
        disc->fileEnd = recorded * OpticalBlockSize;
        disc->status = DiscStatus::Complete;
        disc->lastSession = DiscStatus::Complete;
        if (backend.state == WriterDiscState::Appendable) {
            disc->status = DiscStatus::Incomplete;
            disc->lastSession = DiscStatus::Empty;
            OpenInvisibleTrack(*disc, 2, track.length + SessionGap(*disc, 1));
        }
    }
    auto unit = NewEmulatedUnit(config);
    unit->blockSize = OpticalBlockSize;
    unit->medium = backend.media != WriterMedia::None;
    unit->optical = std::shared_ptr<OpticalDisc>(disc.release());
    CommandTable table{WriterCommands, sizeof WriterCommands / sizeof WriterCommands[0]};
    return std::make_unique<EmulatedBackend>(std::move(unit), table);
}

}  // namespace sim::units
