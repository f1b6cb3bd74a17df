#include "sense.h"

#include <cstdio>

namespace aspitool {
namespace {

const char* const SenseKeyNames[16] = {
    "NO SENSE",        "RECOVERED ERROR", "NOT READY",       "MEDIUM ERROR",
    "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION",  "DATA PROTECT",
    "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",    "ABORTED COMMAND",
    "RESERVED (0xC)",  "VOLUME OVERFLOW", "MISCOMPARE",      "COMPLETED",
};

struct AdditionalSense {
    uint8_t asc;
    uint8_t ascq;
    const char* text;
};

// The codes a person meets most often; the rest are shown as numbers.
const AdditionalSense AdditionalSenses[] = {
    {0x00, 0x00, "no additional sense information"},
    {0x04, 0x00, "logical unit not ready, cause not reportable"},
    {0x04, 0x01, "logical unit is in process of becoming ready"},
    {0x04, 0x02, "logical unit not ready, initializing command required"},
    {0x04, 0x03, "logical unit not ready, manual intervention required"},
    {0x04, 0x04, "logical unit not ready, format in progress"},
    {0x05, 0x00, "logical unit does not respond to selection"},
    {0x08, 0x00, "logical unit communication failure"},
    {0x0C, 0x00, "write error"},
    {0x11, 0x00, "unrecovered read error"},
    {0x14, 0x01, "record not found"},
    {0x1A, 0x00, "parameter list length error"},
    {0x1D, 0x00, "miscompare during verify operation"},
    {0x20, 0x00, "invalid command operation code"},
    {0x21, 0x00, "logical block address out of range"},
    {0x24, 0x00, "invalid field in cdb"},
    {0x25, 0x00, "logical unit not supported"},
    {0x26, 0x00, "invalid field in parameter list"},
    {0x27, 0x00, "write protected"},
    {0x28, 0x00, "not ready to ready change, medium may have changed"},
    {0x29, 0x00, "power on, reset, or bus device reset occurred"},
    {0x29, 0x01, "power on occurred"},
    {0x2A, 0x01, "mode parameters changed"},
    {0x30, 0x00, "incompatible medium installed"},
    {0x30, 0x02, "cannot read medium, incompatible format"},
    {0x3A, 0x00, "medium not present"},
    {0x3A, 0x01, "medium not present, tray closed"},
    {0x3A, 0x02, "medium not present, tray open"},
    {0x3F, 0x0E, "reported luns data has changed"},
    {0x44, 0x00, "internal target failure"},
    {0x47, 0x00, "scsi parity error"},
    {0x4B, 0x00, "data phase error"},
    {0x4E, 0x00, "overlapped commands attempted"},
    {0x53, 0x02, "medium removal prevented"},
    {0x5D, 0x00, "failure prediction threshold exceeded"},
    {0x64, 0x00, "illegal mode for this track"},
};

}  // namespace

size_t ValidSenseLength(const uint8_t* sense, size_t length) {
    bool any = false;
    for (size_t i = 0; i < length; ++i) any = any || sense[i] != 0;
    if (!any) return 0;
    if (length < 8) return length;
    const size_t stated = 8 + static_cast<size_t>(sense[7]);
    return stated < length ? stated : length;
}

DecodedSense DecodeSense(const uint8_t* sense, size_t length) {
    DecodedSense decoded;
    if (length == 0) return decoded;
    const uint8_t code = sense[0] & 0x7F;
    if ((code == 0x70 || code == 0x71) && length >= 3) {
        decoded.valid = true;
        decoded.deferred = code == 0x71;
        decoded.key = sense[2] & 0x0F;
        // Fixed format: the codes sit at bytes 12 and 13 when the stated
        // additional length reaches them.
        const size_t stated = length >= 8 ? 8 + static_cast<size_t>(sense[7]) : length;
        const size_t present = stated < length ? stated : length;
        if (present >= 13) decoded.asc = sense[12];
        if (present >= 14) decoded.ascq = sense[13];
    } else if ((code == 0x72 || code == 0x73) && length >= 2) {
        decoded.valid = true;
        decoded.descriptor = true;
        decoded.deferred = code == 0x73;
        decoded.key = sense[1] & 0x0F;
        if (length >= 3) decoded.asc = sense[2];
        if (length >= 4) decoded.ascq = sense[3];
    } else {
        return decoded;
    }
    decoded.keyName = SenseKeyName(decoded.key);
    const char* text = AdditionalSenseText(decoded.asc, decoded.ascq);
    if (text != nullptr) {
        decoded.description = text;
    } else {
        char buffer[48];
        std::snprintf(buffer, sizeof buffer, "ASC 0x%02X ASCQ 0x%02X", decoded.asc, decoded.ascq);
        decoded.description = buffer;
    }
    return decoded;
}

const char* SenseKeyName(uint8_t key) {
    return SenseKeyNames[key & 0x0F];
}

const char* AdditionalSenseText(uint8_t asc, uint8_t ascq) {
    for (const AdditionalSense& entry : AdditionalSenses) {
        if (entry.asc == asc && entry.ascq == ascq) return entry.text;
    }
    return nullptr;
}

std::string DescribeSense(const DecodedSense& sense) {
    if (!sense.valid) return "no sense data";
    char codes[40];
    std::snprintf(codes, sizeof codes, " (ASC 0x%02X, ASCQ 0x%02X)", sense.asc, sense.ascq);
    std::string text = sense.keyName + ": " + sense.description + codes;
    if (sense.deferred) text += ", deferred error";
    return text;
}

}  // namespace aspitool
