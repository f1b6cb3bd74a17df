// The disc in an emulated CD/DVD reader or writer: its tracks and sessions,
// where each track's sectors lie in the backing file, and the state a
// recordable disc is in. The MMC command handlers read and change it.
#ifndef PTASPI_SIM_UNITS_OPTICAL_DISC_H
#define PTASPI_SIM_UNITS_OPTICAL_DISC_H

#include "sim/units/storage.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim::units {

// MMC profile numbers (GET CONFIGURATION's current profile).
constexpr uint16_t ProfileNone = 0x0000;
constexpr uint16_t ProfileCdRom = 0x0008;
constexpr uint16_t ProfileCdR = 0x0009;
constexpr uint16_t ProfileCdRw = 0x000A;
constexpr uint16_t ProfileDvdRom = 0x0010;
constexpr uint16_t ProfileDvdMinusR = 0x0011;
constexpr uint16_t ProfileDvdMinusRwSequential = 0x0014;
constexpr uint16_t ProfileDvdPlusRw = 0x001A;
constexpr uint16_t ProfileDvdPlusR = 0x001B;

constexpr uint32_t OpticalBlockSize = 2048;
constexpr uint32_t RawSectorSize = 2352;

// READ DISC INFORMATION's disc status and state of the last session.
enum class DiscStatus : uint8_t { Empty = 0, Incomplete = 1, Complete = 2 };

struct OpticalTrack {
    uint8_t number = 1;
    uint8_t session = 1;
    uint32_t start = 0;        // first LBA
    uint32_t length = 0;       // recorded blocks (a reserved track: its reserved size)
    bool audio = false;        // CD-DA; otherwise a mode 1 data track
    uint32_t sectorSize = OpticalBlockSize;  // bytes per sector in the backing file
    uint64_t fileOffset = 0;   // where the track's first sector lies in the file
    // Recordable discs only.
    bool reserved = false;     // RESERVE TRACK fixed its size
    bool open = false;         // still being written (the invisible or a reserved track)
    uint32_t written = 0;      // blocks written so far
};

// Pending media event, as GET EVENT STATUS NOTIFICATION reports it.
enum class MediaEvent : uint8_t { None = 0, EjectRequest = 1, NewMedia = 2, MediaRemoval = 3 };

struct OpticalDisc {
    uint16_t profile = ProfileCdRom;   // the media's profile; ProfileNone: no disc
    bool writer = false;               // the drive writes (a writer backend)
    bool rewritable = false;           // BLANK is allowed
    bool dvd = false;
    DiscStatus status = DiscStatus::Complete;
    DiscStatus lastSession = DiscStatus::Complete;
    uint32_t capacity = 0;             // blocks a recordable disc holds
    std::vector<OpticalTrack> tracks;  // ascending; the open track, if any, last
    std::unique_ptr<BlockStorage> file;  // the image or raw file behind the tracks
    uint64_t fileEnd = 0;              // bytes written to a writer's image
    // MODE SELECT's write parameters page (page 05), header included.
    std::vector<uint8_t> writeParameters;
    MediaEvent event = MediaEvent::None;
    bool unitAttention = false;        // a medium came in since the last command
    uint16_t readSpeedKbs = 0xFFFF;    // SET CD SPEED; 0xFFFF: the fastest
    uint16_t writeSpeedKbs = 0xFFFF;
    bool cueSheetSent = false;         // session-at-once on CD: SEND CUE SHEET came
    int32_t preGapNext = -150;         // ... and the next pre-gap LBA the host sends
    std::string imagePath;             // a writer's image file; empty: memory
};

// Returns the disc of an ISO image (one data track of its blocks) or of
// `blocks` zero blocks when `image` is empty; null with a message.
std::unique_ptr<OpticalDisc> OpenDataDisc(const std::string& image, uint32_t blocks,
                                          std::string& error);
// Returns the disc a cue sheet describes: the tracks of its one raw file
// (AUDIO, MODE1/2048 and MODE1/2352), each running to the next one's INDEX
// 01 or the file's end; null with a message naming the line at fault.
std::unique_ptr<OpticalDisc> OpenCueDisc(const std::string& cuePath, std::string& error);

// Returns the track that holds `lba`, or null.
const OpticalTrack* TrackAt(const OpticalDisc& disc, uint64_t lba);
// Returns the track numbered `number`, or null.
OpticalTrack* TrackNumbered(OpticalDisc& disc, uint32_t number);
// Returns the open track a writer writes next (the invisible or an unfinished
// reserved track), or null when the disc takes no more data.
OpticalTrack* OpenTrack(OpticalDisc& disc);
// Returns the first LBA past the last recorded track (the lead-out).
uint32_t LeadOutLba(const OpticalDisc& disc);
// Returns the number of the last session, closed or not.
uint8_t LastSession(const OpticalDisc& disc);
// Returns the number of sessions that are complete.
uint8_t CompleteSessions(const OpticalDisc& disc);

// Returns false when the sector could not be read: the 2048 user bytes of a
// data sector (`raw` false) or the 2352 bytes of an audio sector (`raw`
// true) at `lba`, which must lie in `track`.
bool ReadSector(OpticalDisc& disc, const OpticalTrack& track, uint32_t lba, bool raw,
                uint8_t* out);

// Returns nothing: writes `lba` as minutes, seconds and frames (the 150
// frames of the first pre-gap added) into out[0..2].
void LbaToMsf(uint32_t lba, uint8_t* out);

}  // namespace sim::units

#endif
