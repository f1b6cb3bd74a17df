// aspitool burn ADDR -i FILE: an ISO image onto the blank disc of a CD/DVD
// writer, as a burning program does it: the disc checked blank, the write
// parameters page set to track-at-once, the data written at the next
// writable address, the cache synchronised, the track and the session
// closed, and every block read back and compared.
#include "commands.h"

#include "../output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace aspitool {
namespace {

constexpr uint32_t DiscBlock = 2048;
constexpr uint8_t CdRomDeviceType = 5;

uint32_t Big32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

void PutBig32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

// Returns true when the command completed GOOD; otherwise false with
// `error` naming it.
bool Send(const Session& session, const Unit& unit, const char* name,
          std::initializer_list<uint8_t> bytes, DataDirection direction, uint8_t* buffer,
          uint32_t length, std::string& error) {
    std::vector<uint8_t> cdb(bytes);
    ExecResult result;
    if (!SendCdb(session, unit, cdb.data(), static_cast<uint8_t>(cdb.size()), direction, buffer,
                 length, result, error)) {
        return false;
    }
    return CompletedGood(unit, name, result, error);
}

// Returns true when `profile` is recordable media a burner writes.
bool RecordableProfile(uint16_t profile) {
    switch (profile) {
    case 0x0009: case 0x000A: case 0x0011: case 0x0014: case 0x001A: case 0x001B:
        return true;
    default:
        return false;
    }
}

// Returns the empty text when the disc was burned and reads back as
// `image`, else what went wrong; `written` counts the blocks written.
std::string Burn(const Session& session, const Unit& unit, const std::vector<uint8_t>& image,
                 uint64_t& written) {
    std::string error;
    const uint32_t count = static_cast<uint32_t>(image.size() / DiscBlock);
    AlignedBuffer small;
    if (!small.Allocate(256, unit.adapter.alignmentMask)) return "out of memory";
    uint8_t* reply = small.data();

    std::memset(reply, 0, 256);
    if (!Send(session, unit, "GET CONFIGURATION", {0x46, 0x01, 0, 0, 0, 0, 0, 0, 8, 0},
              DataDirection::In, reply, 8, error)) {
        return error;
    }
    const uint16_t profile = static_cast<uint16_t>((reply[6] << 8) | reply[7]);
    if (!RecordableProfile(profile)) {
        char text[80];
        std::snprintf(text, sizeof text, "no recordable disc in %s (current profile 0x%04X)",
                      FormatAddress(unit.address).c_str(), profile);
        return text;
    }
    if (!Send(session, unit, "READ DISC INFORMATION", {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0},
              DataDirection::In, reply, 34, error)) {
        return error;
    }
    if ((reply[2] & 0x03) != 0) return "the disc in " + FormatAddress(unit.address) + " is not blank";

    // Track-at-once, one mode 1 data track, no next session.
    std::memset(reply, 0, 256);
    if (!Send(session, unit, "MODE SENSE(10)", {0x5A, 0x08, 0x05, 0, 0, 0, 0, 0, 60, 0},
              DataDirection::In, reply, 60, error)) {
        return error;
    }
    reply[0] = reply[1] = 0;
    reply[8 + 2] = 0x01;
    reply[8 + 3] = 0x04;
    reply[8 + 4] = 0x08;
    if (!Send(session, unit, "MODE SELECT(10)", {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0},
              DataDirection::Out, reply, 60, error)) {
        return error;
    }
    if (!Send(session, unit, "READ TRACK INFORMATION", {0x52, 0x01, 0, 0, 0, 0xFF, 0, 0, 48, 0},
              DataDirection::In, reply, 48, error)) {
        return error;
    }
    if ((reply[7] & 0x01) == 0) return "the writer reports no next writable address";
    const uint8_t track = reply[2];
    const uint32_t start = Big32(&reply[12]);
    const uint32_t free = Big32(&reply[16]);
    if (count > free) {
        return "the image needs " + Plural(count, "block") + " but the disc has " +
               Plural(free, "free block");
    }

    uint32_t perTransfer = 0;
    AlignedBuffer buffer;
    if (!BlocksPerTransfer(unit, DiscBlock, perTransfer, error)) return error;
    if (!buffer.Allocate(static_cast<size_t>(perTransfer) * DiscBlock, unit.adapter.alignmentMask)) {
        return "out of memory";
    }
    for (uint32_t done = 0; done < count;) {
        const uint32_t now = count - done < perTransfer ? count - done : perTransfer;
        std::memcpy(buffer.data(), image.data() + static_cast<size_t>(done) * DiscBlock,
                    static_cast<size_t>(now) * DiscBlock);
        uint8_t cdb[10] = {0x2A, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(now >> 8),
                           static_cast<uint8_t>(now), 0};
        PutBig32(&cdb[2], start + done);
        if (!Send(session, unit, "WRITE(10)",
                  {cdb[0], cdb[1], cdb[2], cdb[3], cdb[4], cdb[5], cdb[6], cdb[7], cdb[8], cdb[9]},
                  DataDirection::Out, buffer.data(), now * DiscBlock, error)) {
            return error + " at LBA " + std::to_string(start + done);
        }
        done += now;
        written = done;
    }
    if (!Send(session, unit, "SYNCHRONIZE CACHE", {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0},
              DataDirection::None, nullptr, 0, error) ||
        !Send(session, unit, "CLOSE TRACK", {0x5B, 0, 0x01, 0, 0, track, 0, 0, 0, 0},
              DataDirection::None, nullptr, 0, error) ||
        !Send(session, unit, "CLOSE SESSION", {0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0},
              DataDirection::None, nullptr, 0, error)) {
        return error;
    }
    if (!Send(session, unit, "READ DISC INFORMATION", {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0},
              DataDirection::In, reply, 34, error)) {
        return error;
    }
    if ((reply[2] & 0x03) != 2) return "the disc is not closed after CLOSE SESSION";

    for (uint32_t done = 0; done < count;) {
        const uint32_t now = count - done < perTransfer ? count - done : perTransfer;
        uint8_t cdb[10] = {0x28, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(now >> 8),
                           static_cast<uint8_t>(now), 0};
        PutBig32(&cdb[2], start + done);
        if (!Send(session, unit, "READ(10)",
                  {cdb[0], cdb[1], cdb[2], cdb[3], cdb[4], cdb[5], cdb[6], cdb[7], cdb[8], cdb[9]},
                  DataDirection::In, buffer.data(), now * DiscBlock, error)) {
            return error + " at LBA " + std::to_string(start + done);
        }
        if (std::memcmp(buffer.data(), image.data() + static_cast<size_t>(done) * DiscBlock,
                        static_cast<size_t>(now) * DiscBlock) != 0) {
            return "the disc differs from the image within blocks " + std::to_string(start + done) +
                   " to " + std::to_string(start + done + now - 1);
        }
        done += now;
    }
    return "";
}

}  // namespace

int RunBurn(Session& session) {
    const Options& options = session.options;
    Json document = Json::Object();
    std::string error;
    if (!ExpectOperands(session, 1, "burn ADDR -i FILE", error)) {
        return Fail(session, document, ExitUsage, error);
    }
    if (options.inputFile.empty()) {
        return Fail(session, document, ExitUsage, "burn needs -i FILE, the ISO image to burn");
    }
    Unit unit;
    const int opened = OpenUnit(session, options.operands[0], true, unit, error);
    if (opened != ExitOk) return Fail(session, document, opened, error);
    document.Set("unit", Json::Text(FormatAddress(unit.address)));
    if (unit.deviceType != CdRomDeviceType) {
        return Fail(session, document, ExitFailure,
                    "burn is for CD/DVD writers; " + FormatAddress(unit.address) +
                        " is not one (use write for block devices)");
    }
    std::FILE* file = std::fopen(options.inputFile.c_str(), "rb");
    if (file == nullptr) {
        return Fail(session, document, ExitFailure,
                    "cannot read '" + options.inputFile + "': " + std::strerror(errno));
    }
    std::vector<uint8_t> image;
    uint8_t chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) image.insert(image.end(), chunk, chunk + got);
    const bool readError = std::ferror(file) != 0;
    std::fclose(file);
    if (readError) return Fail(session, document, ExitFailure, "cannot read '" + options.inputFile + "'");
    if (image.empty() || image.size() % DiscBlock != 0) {
        return Fail(session, document, ExitFailure,
                    "'" + options.inputFile + "' holds " + std::to_string(image.size()) +
                        " bytes, not a whole number of 2048-byte blocks");
    }
    uint64_t written = 0;
    const std::string failure = Burn(session, unit, image, written);
    const uint64_t count = image.size() / DiscBlock;
    document.Set("blocks", Json::Number(static_cast<int64_t>(count)));
    document.Set("blocks_written", Json::Number(static_cast<int64_t>(written)));
    document.Set("verified", Json::Boolean(failure.empty()));
    document.Set("file", Json::Text(options.inputFile));
    if (!failure.empty()) return Fail(session, document, ExitFailure, failure);
    Show(session, document,
         "burned " + Plural(count, "block") + " of " + options.inputFile + " to " +
             FormatAddress(unit.address) + "; the disc is closed and reads back identical\n");
    return ExitOk;
}

}  // namespace aspitool
