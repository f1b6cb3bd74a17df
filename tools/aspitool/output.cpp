#include "output.h"

#include "sense.h"

#include <cstdio>
#include <cstring>

namespace aspitool {
namespace {

struct CodeName {
    uint8_t code;
    const char* name;
};

const CodeName AspiStatuses[] = {
    {SS_PENDING, "SS_PENDING"},         {SS_COMP, "SS_COMP"},
    {SS_ABORTED, "SS_ABORTED"},         {SS_ERR, "SS_ERR"},
    {SS_INVALID_HA, "SS_INVALID_HA"},   {SS_NO_DEVICE, "SS_NO_DEVICE"},
    {SS_INVALID_SRB, "SS_INVALID_SRB"}, {SS_ILLEGAL_MODE, "SS_ILLEGAL_MODE"},
    {SS_BUFFER_TO_BIG, "SS_BUFFER_TO_BIG"},
};

const CodeName HostAdapterStatuses[] = {
    {HASTAT_OK, "HASTAT_OK"},
    {HASTAT_SEL_TO, "HASTAT_SEL_TO"},
};

const CodeName TargetStatuses[] = {
    {0x00, "GOOD"},         {0x02, "CHECK CONDITION"},      {0x04, "CONDITION MET"},
    {0x08, "BUSY"},         {0x10, "INTERMEDIATE"},         {0x14, "INTERMEDIATE-CONDITION MET"},
    {0x18, "RESERVATION CONFLICT"}, {0x22, "COMMAND TERMINATED"}, {0x28, "TASK SET FULL"},
    {0x30, "ACA ACTIVE"},   {0x40, "TASK ABORTED"},
};

const char* const DeviceTypes[32] = {
    "disk",      "tape",      "printer",   "processor", "worm",      "cdrom",     "scanner",
    "optical",   "changer",   "comm",      "type 0x0A", "type 0x0B", "raid",      "enclosure",
    "rbc",       "card reader", "bridge",  "osd",       "automation", "security", "type 0x14",
    "type 0x15", "type 0x16", "type 0x17", "type 0x18", "type 0x19", "type 0x1A", "type 0x1B",
    "type 0x1C", "type 0x1D", "wlun",      "unknown",
};

template <size_t N>
const char* LookUp(const CodeName (&table)[N], uint8_t code) {
    for (const CodeName& entry : table) {
        if (entry.code == code) return entry.name;
    }
    return "UNKNOWN";
}

}  // namespace

const char* AspiStatusName(uint8_t status) {
    return LookUp(AspiStatuses, status);
}

const char* HostAdapterStatusName(uint8_t status) {
    return LookUp(HostAdapterStatuses, status);
}

const char* TargetStatusName(uint8_t status) {
    return LookUp(TargetStatuses, status);
}

std::string DeviceTypeName(uint8_t peripheral) {
    std::string name = DeviceTypes[peripheral & 0x1F];
    const uint8_t qualifier = static_cast<uint8_t>(peripheral >> 5);
    if (qualifier == 1) name += " (not connected)";
    if (qualifier == 3) name += " (no unit)";
    if (qualifier == 2 || qualifier > 3) name += " (qualifier " + std::to_string(qualifier) + ")";
    return name;
}

std::string NamedValue(const char* name, uint8_t value) {
    char text[64];
    std::snprintf(text, sizeof text, "%s (0x%02X)", name, value);
    return text;
}

Json NamedValueJson(const char* name, uint8_t value) {
    Json json = Json::Object();
    json.Set("name", Json::Text(name));
    json.Set("value", Json::Number(value));
    return json;
}

std::string HexCompact(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string HexSpaced(const uint8_t* bytes, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += byte;
    }
    return text;
}

std::string HexDump(const uint8_t* bytes, size_t length, uint64_t base) {
    std::string text;
    bool repeating = false;
    for (size_t line = 0; line < length; line += 16) {
        const size_t width = length - line < 16 ? length - line : 16;
        // A run of lines equal to the one before shows as one "*", so that
        // a zero-filled block does not fill the screen.
        if (line >= 16 && width == 16 && std::memcmp(bytes + line, bytes + line - 16, 16) == 0) {
            if (!repeating) text += "*\n";
            repeating = true;
            continue;
        }
        repeating = false;
        char offset[24];
        std::snprintf(offset, sizeof offset, "%08llX ", static_cast<unsigned long long>(base + line));
        text += offset;
        std::string printable;
        for (size_t i = line; i < line + 16; ++i) {
            if (i < line + width) {
                char byte[4];
                std::snprintf(byte, sizeof byte, " %02X", bytes[i]);
                text += byte;
                printable += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
            } else {
                text += "   ";
            }
        }
        text += "  |" + printable + "|\n";
    }
    if (repeating) {
        char end[24];
        std::snprintf(end, sizeof end, "%08llX\n", static_cast<unsigned long long>(base + length));
        text += end;
    }
    return text;
}

Json ExecResultJson(const ExecResult& result) {
    Json json = Json::Object();
    json.Set("status", NamedValueJson(AspiStatusName(result.status), result.status));
    json.Set("ha_stat", NamedValueJson(HostAdapterStatusName(result.haStat), result.haStat));
    json.Set("targ_stat", NamedValueJson(TargetStatusName(result.targStat), result.targStat));
    json.Set("sense", Json::Text(HexCompact(result.sense.data(), result.sense.size())));
    const DecodedSense sense = DecodeSense(result.sense.data(), result.sense.size());
    if (sense.valid) {
        Json decoded = Json::Object();
        decoded.Set("format", Json::Text(sense.descriptor ? "descriptor" : "fixed"));
        decoded.Set("key", NamedValueJson(sense.keyName.c_str(), sense.key));
        decoded.Set("asc", Json::Number(sense.asc));
        decoded.Set("ascq", Json::Number(sense.ascq));
        decoded.Set("description", Json::Text(sense.description));
        json.Set("sense_decoded", decoded);
    } else {
        json.Set("sense_decoded", Json::Null());
    }
    return json;
}

std::string ExecResultText(const ExecResult& result, int indent) {
    const std::string pad(static_cast<size_t>(indent), ' ');
    std::string text;
    text += pad + "status:       " + NamedValue(AspiStatusName(result.status), result.status) + "\n";
    text += pad + "host adapter: " +
            NamedValue(HostAdapterStatusName(result.haStat), result.haStat) + "\n";
    text += pad + "target:       " + NamedValue(TargetStatusName(result.targStat), result.targStat) +
            "\n";
    if (result.sense.empty()) {
        text += pad + "sense:        none\n";
    } else {
        text += pad + "sense:        " + HexSpaced(result.sense.data(), result.sense.size()) + "\n";
        text += pad + "              " +
                DescribeSense(DecodeSense(result.sense.data(), result.sense.size())) + "\n";
    }
    return text;
}

std::string ExecFailureText(const ExecResult& result) {
    std::string text = NamedValue(AspiStatusName(result.status), result.status) +
                       ", host adapter status " +
                       NamedValue(HostAdapterStatusName(result.haStat), result.haStat) +
                       ", target status " +
                       NamedValue(TargetStatusName(result.targStat), result.targStat);
    const DecodedSense sense = DecodeSense(result.sense.data(), result.sense.size());
    if (sense.valid) text += "; sense " + DescribeSense(sense);
    // The interface carries no platform error: this combination is what a
    // refused or failed pass-through leaves, and the user needs its causes.
    if (result.status == SS_ERR && result.haStat == HASTAT_OK && result.targStat == 0 && !sense.valid) {
        text += "; " + PlatformFailureText();
    }
    return text;
}

std::string PlatformFailureText() {
    return "the target reported nothing, so the port driver refused or failed the request: on "
           "Windows most often a user without administrator rights; else a time-out, or the unit "
           "is gone (--verbose shows the platform errors on the simulated machine)";
}

std::string InquiryText(const uint8_t* data, size_t available, size_t offset, size_t width) {
    if (offset >= available) return std::string();
    const size_t length = available - offset < width ? available - offset : width;
    std::string text(reinterpret_cast<const char*>(data + offset), length);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

void PrintJson(const Json& document) {
    const std::string text = document.Dump();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void PrintError(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "aspitool: %s\n", message.c_str());
}

}  // namespace aspitool
