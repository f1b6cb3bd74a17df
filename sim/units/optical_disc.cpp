#include "sim/units/optical_disc.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim::units {

namespace {

// Returns the folder part of `path`, with its slash, or "".
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Returns false unless `text` is mm:ss:ff; the frame count in `frames`.
bool ParseMsf(const std::string& text, uint64_t& frames) {
    unsigned minutes = 0, seconds = 0, frame = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u:%u:%u%c", &minutes, &seconds, &frame, &tail) != 3) {
        return false;
    }
    if (seconds >= 60 || frame >= 75 || minutes > 99) return false;
    frames = (static_cast<uint64_t>(minutes) * 60 + seconds) * 75 + frame;
    return true;
}

// Returns the upper-case form of `word`.
std::string Upper(std::string word) {
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word;
}

struct CueTrack {
    OpticalTrack track;
    uint64_t indexFrame = 0;  // INDEX 01, in sectors of the file
    bool hasIndex = false;
};

}  // namespace

std::unique_ptr<OpticalDisc> OpenDataDisc(const std::string& image, uint32_t blocks,
                                          std::string& error) {
    auto disc = std::make_unique<OpticalDisc>();
    OpticalTrack track;
    if (image.empty()) {
        if (blocks == 0) {
            error = "cdrom: blocks must not be 0";
            return nullptr;
        }
        track.length = blocks;
        disc->file = std::make_unique<MemoryStorage>();
    } else {
        std::string why;
        std::unique_ptr<FileStorage> file = FileStorage::Open(image, true, why);
        if (!file) {
            error = "cdrom image: " + why;
            return nullptr;
        }
        // A last partial block reads as if padded with zeros.
        const uint64_t count = (file->SizeAtOpen() + OpticalBlockSize - 1) / OpticalBlockSize;
        if (count == 0 || count > 0xFFFFFFFFull) {
            error = "cdrom image '" + image + "': " +
                    (count == 0 ? "the file is empty" : "the file is too large");
            return nullptr;
        }
        track.length = static_cast<uint32_t>(count);
        disc->file = std::move(file);
    }
    disc->tracks.push_back(track);
    return disc;
}

std::unique_ptr<OpticalDisc> OpenCueDisc(const std::string& cuePath, std::string& error) {
    std::ifstream in(cuePath);
    if (!in) {
        error = "cdrom cue sheet: cannot open '" + cuePath + "'";
        return nullptr;
    }
    std::string fileName;
    std::vector<CueTrack> tracks;
    std::string line;
    int lineNumber = 0;
    auto fail = [&](const std::string& why) {
        error = "cdrom cue sheet '" + cuePath + "' line " + std::to_string(lineNumber) + ": " + why;
        return nullptr;
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string keyword;
        if (!(words >> keyword)) continue;
        keyword = Upper(keyword);
        if (keyword == "FILE") {
            if (!fileName.empty()) return fail("only one FILE is supported");
            const size_t open = line.find('"');
            const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
            std::string type;
            if (open != std::string::npos && close != std::string::npos) {
                fileName = line.substr(open + 1, close - open - 1);
                std::istringstream rest(line.substr(close + 1));
                rest >> type;
            } else {
                std::string ignored;
                words >> fileName >> type;
            }
            if (fileName.empty()) return fail("FILE names no file");
            if (Upper(type) != "BINARY") return fail("the FILE type must be BINARY");
        } else if (keyword == "TRACK") {
            if (fileName.empty()) return fail("TRACK before FILE");
            unsigned number = 0;
            std::string mode;
            if (!(words >> number >> mode) || number < 1 || number > 99) {
                return fail("expected TRACK nn MODE");
            }
            if (!tracks.empty() && number != tracks.back().track.number + 1u) {
                return fail("tracks must be numbered in order");
            }
            CueTrack entry;
            entry.track.number = static_cast<uint8_t>(number);
            mode = Upper(mode);
            if (mode == "AUDIO") {
                entry.track.audio = true;
                entry.track.sectorSize = RawSectorSize;
            } else if (mode == "MODE1/2048") {
                entry.track.sectorSize = OpticalBlockSize;
            } else if (mode == "MODE1/2352") {
                entry.track.sectorSize = RawSectorSize;
            } else {
                return fail("unsupported track mode '" + mode + "'");
            }
            tracks.push_back(entry);
        } else if (keyword == "INDEX") {
            unsigned index = 0;
            std::string position;
            if (tracks.empty()) return fail("INDEX before TRACK");
            if (!(words >> index >> position)) return fail("expected INDEX nn mm:ss:ff");
            uint64_t frames = 0;
            if (!ParseMsf(position, frames)) return fail("bad position '" + position + "'");
            if (index == 1) {
                tracks.back().indexFrame = frames;
                tracks.back().hasIndex = true;
            }
        } else if (keyword == "REM" || keyword == "TITLE" || keyword == "PERFORMER" ||
                   keyword == "CATALOG" || keyword == "ISRC" || keyword == "FLAGS" ||
                   keyword == "PREGAP" || keyword == "POSTGAP" || keyword == "SONGWRITER") {
            continue;
        } else {
            return fail("unknown command '" + keyword + "'");
        }
    }
    if (tracks.empty()) {
        lineNumber = 0;
        return fail("no tracks");
    }
    std::string why;
    const std::string rawPath = fileName[0] == '/' ? fileName : FolderOf(cuePath) + fileName;
    std::unique_ptr<FileStorage> raw = FileStorage::Open(rawPath, true, why);
    if (!raw) {
        error = "cdrom cue sheet '" + cuePath + "': " + why;
        return nullptr;
    }
    auto disc = std::make_unique<OpticalDisc>();
    // Positions count sectors of the file; each track's sectors have its
    // own size, so the byte offsets add up track by track.
    uint64_t offset = 0;
    for (size_t i = 0; i < tracks.size(); ++i) {
        lineNumber = 0;
        if (!tracks[i].hasIndex) return fail("track " + std::to_string(i + 1) + " has no INDEX 01");
        if (i > 0 && tracks[i].indexFrame <= tracks[i - 1].indexFrame) {
            return fail("INDEX 01 positions must ascend");
        }
        OpticalTrack& track = tracks[i].track;
        if (i == 0 && tracks[i].indexFrame != 0) return fail("track 1 must start at 00:00:00");
        track.start = static_cast<uint32_t>(tracks[i].indexFrame);
        track.fileOffset = offset;
        uint64_t length = 0;
        if (i + 1 < tracks.size()) {
            length = tracks[i + 1].indexFrame - tracks[i].indexFrame;
        } else {
            if (raw->SizeAtOpen() <= offset) return fail("the file ends before the last track");
            length = (raw->SizeAtOpen() - offset) / track.sectorSize;
            if (length == 0) return fail("the last track holds no whole sector");
        }
        if (length > 0xFFFFFFF) return fail("the disc is too large");
        track.length = static_cast<uint32_t>(length);
        offset += length * track.sectorSize;
        disc->tracks.push_back(track);
    }
    if (offset > raw->SizeAtOpen()) {
        lineNumber = 0;
        return fail("the tracks run past the end of '" + rawPath + "'");
    }
    disc->file = std::move(raw);
    return disc;
}

const OpticalTrack* TrackAt(const OpticalDisc& disc, uint64_t lba) {
    for (const OpticalTrack& track : disc.tracks) {
        const uint32_t recorded = track.open ? track.written : track.length;
        if (lba >= track.start && lba - track.start < recorded) return &track;
    }
    return nullptr;
}

OpticalTrack* TrackNumbered(OpticalDisc& disc, uint32_t number) {
    for (OpticalTrack& track : disc.tracks) {
        if (track.number == number) return &track;
    }
    return nullptr;
}

OpticalTrack* OpenTrack(OpticalDisc& disc) {
    for (OpticalTrack& track : disc.tracks) {
        if (track.open && (!track.reserved || track.written < track.length)) return &track;
    }
    return nullptr;
}

uint32_t LeadOutLba(const OpticalDisc& disc) {
    uint32_t end = 0;
    for (const OpticalTrack& track : disc.tracks) {
        const uint32_t recorded = track.open && !track.reserved ? track.written : track.length;
        if (recorded > 0 || !track.open) end = track.start + recorded;
    }
    return end;
}

uint8_t LastSession(const OpticalDisc& disc) {
    return disc.tracks.empty() ? 1 : disc.tracks.back().session;
}

uint8_t CompleteSessions(const OpticalDisc& disc) {
    const uint8_t last = LastSession(disc);
    return disc.lastSession == DiscStatus::Complete ? last : static_cast<uint8_t>(last - 1);
}

bool ReadSector(OpticalDisc& disc, const OpticalTrack& track, uint32_t lba, bool raw,
                uint8_t* out) {
    uint64_t offset = track.fileOffset + static_cast<uint64_t>(lba - track.start) * track.sectorSize;
    if (track.audio || raw) {
        if (track.sectorSize == RawSectorSize) return disc.file->Read(offset, out, RawSectorSize);
        return false;
    }
    // A mode 1 sector stored whole keeps its user data after the 16 bytes
    // of sync and header.
    if (track.sectorSize == RawSectorSize) offset += 16;
    return disc.file->Read(offset, out, OpticalBlockSize);
}

void LbaToMsf(uint32_t lba, uint8_t* out) {
    const uint64_t frames = static_cast<uint64_t>(lba) + 150;
    const uint64_t minutes = frames / (75 * 60);
    out[0] = minutes > 0xFF ? 0xFF : static_cast<uint8_t>(minutes);
    out[1] = static_cast<uint8_t>((frames / 75) % 60);
    out[2] = static_cast<uint8_t>(frames % 75);
}

}  // namespace sim::units
