// The emulated CD/DVD reader: a data disc of 2048-byte blocks from an ISO
// image (read-only) or zero-filled, or an audio or mixed disc from a cue
// sheet and its raw file; with or without a disc loaded.
#include "sim/units/common_commands.h"
#include "sim/units/device_types.h"
#include "sim/units/emulated_unit.h"
#include "sim/units/mmc_commands.h"

#include <vector>

namespace sim::units {

namespace {

// The commands a reader answers. No WRITE: the medium is read-only, so
// writes get the unsupported-opcode reply.
const CommandEntry CdRomCommands[] = {
    {OpTestUnitReady, HandleOpticalTestUnitReady},
    {OpRequestSense, HandleRequestSense},
    {OpInquiry, HandleInquiry},
    {OpModeSelect6, HandleOpticalModeSelect6},
    {0x1A, HandleOpticalModeSense6},
    {OpMmcStartStopUnit, HandleOpticalStartStop},
    {OpMmcPreventAllowRemoval, HandleOpticalPreventAllow},
    {OpMmcReadCapacity, HandleOpticalReadCapacity},
    {OpMmcRead10, HandleOpticalRead10},
    {OpReadSubChannel, HandleReadSubChannel},
    {OpMmcReadToc, HandleOpticalReadToc},
    {OpGetConfiguration, HandleGetConfiguration},
    {OpGetEventStatus, HandleGetEventStatus},
    {OpReadDiscInformation, HandleReadDiscInformation},
    {OpReadTrackInformation, HandleReadTrackInformation},
    {OpModeSelect10, HandleOpticalModeSelect10},
    {OpModeSense10, HandleOpticalModeSense10},
    {OpReportLuns, HandleReportLuns},
    {OpMmcRead12, HandleOpticalRead12},
    {OpReadCdMsf, HandleReadCdMsf},
    {OpSetCdSpeed, HandleSetCdSpeed},
    {OpMechanismStatus, HandleMechanismStatus},
    {OpReadCd, HandleReadCd},
};

}  // namespace

std::unique_ptr<UnitBackend> CreateCdRomBackend(const UnitConfig& config, std::string& error) {
    const BackendConfig& backend = config.backend;
    std::unique_ptr<OpticalDisc> disc = backend.cue.empty()
                                            ? OpenDataDisc(backend.image, backend.blocks, error)
                                            : OpenCueDisc(backend.cue, error);
    if (!disc) return nullptr;
    const uint32_t end = LeadOutLba(*disc);
    bool audio = false;
    for (const OpticalTrack& track : disc->tracks) audio = audio || track.audio;
    // A data disc larger than any CD is a DVD.
    disc->profile = !audio && end > 359846 ? ProfileDvdRom : ProfileCdRom;
    disc->dvd = disc->profile == ProfileDvdRom;
    disc->capacity = end;
    auto unit = NewEmulatedUnit(config);
    unit->blockSize = OpticalBlockSize;
    unit->blocks = end;
    unit->medium = backend.medium;
    unit->optical = std::shared_ptr<OpticalDisc>(disc.release());
    CommandTable table{CdRomCommands, sizeof CdRomCommands / sizeof CdRomCommands[0]};
    return std::make_unique<EmulatedBackend>(std::move(unit), table);
}

}  // namespace sim::units
