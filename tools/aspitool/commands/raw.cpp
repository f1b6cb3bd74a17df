// aspitool raw ADDR CDB-HEX: one command block as given, with its status,
// sense and data shown whatever they are.
#include "commands.h"

#include "../options.h"
#include "../output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace aspitool {
namespace {

// Returns the value of hex digit `c`, or -1.
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Returns true when `text` is 1 to 16 bytes in hex (spaces allowed between
// bytes), stored in `cdb` with their number in `length`.
bool ParseCdb(const std::string& text, uint8_t cdb[16], uint8_t& length) {
    std::string digits;
    for (char c : text) {
        if (c == ' ') continue;
        if (HexDigit(c) < 0) return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0 || digits.size() > 32) return false;
    length = static_cast<uint8_t>(digits.size() / 2);
    for (size_t i = 0; i < length; ++i) {
        cdb[i] = static_cast<uint8_t>(HexDigit(digits[2 * i]) * 16 + HexDigit(digits[2 * i + 1]));
    }
    return true;
}

// Returns the length a command block of operation code `opcode` has by its
// group (the top three bits), or 0 for the groups whose length the
// operation code does not fix (reserved and vendor specific).
uint8_t GroupLength(uint8_t opcode) {
    static const uint8_t lengths[8] = {6, 10, 10, 0, 16, 12, 0, 0};
    return lengths[opcode >> 5];
}

// Returns true with the whole content of `path` in `data`, at most
// MaxRawDataLength bytes.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& data, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    uint8_t chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (data.size() + got > MaxRawDataLength) {
            std::fclose(file);
            error = "'" + path + "' is larger than " + std::to_string(MaxRawDataLength) + " bytes";
            return false;
        }
        data.insert(data.end(), chunk, chunk + got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = "cannot read '" + path + "'";
        return false;
    }
    return true;
}

}  // namespace

int RunRaw(Session& session) {
    const Options& options = session.options;
    Json document = Json::Object();
    std::string error;
    if (options.operands.size() < 2) {
        return Fail(session, document, ExitUsage,
                    "usage: aspitool raw ADDR CDB-HEX [--in N [-o FILE] | --out FILE] [--sense N] "
                    "[--notify event|post|poll]");
    }
    std::string cdbText;
    for (size_t i = 1; i < options.operands.size(); ++i) cdbText += options.operands[i] + " ";
    uint8_t cdb[16] = {};
    uint8_t cdbLength = 0;
    if (!ParseCdb(cdbText, cdb, cdbLength)) {
        return Fail(session, document, ExitUsage,
                    "the command block must be 1 to 16 bytes in hex, for instance 120000002400");
    }
    const uint8_t groupLength = GroupLength(cdb[0]);
    if (cdbLength < groupLength) {
        char opcode[8];
        std::snprintf(opcode, sizeof opcode, "0x%02X", cdb[0]);
        return Fail(session, document, ExitUsage,
                    std::string("operation code ") + opcode + " has a command block of " +
                        std::to_string(groupLength) + " bytes, not " + std::to_string(cdbLength));
    }
    std::vector<uint8_t> outData;
    if (!options.dataOutFile.empty() && !ReadWholeFile(options.dataOutFile, outData, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    // The unit need not answer a device-type request: the point of a raw
    // command is to show what the library says, SS_NO_DEVICE included.
    Unit unit;
    const int opened = OpenUnit(session, options.operands[0], false, unit, error);
    if (opened != ExitOk) return Fail(session, document, opened, error);

    DataDirection direction = DataDirection::None;
    uint32_t length = 0;
    if (options.hasDataIn) {
        direction = DataDirection::In;
        length = options.dataInLength;
    } else if (!options.dataOutFile.empty()) {
        direction = DataDirection::Out;
        length = static_cast<uint32_t>(outData.size());
    }
    AlignedBuffer buffer;
    if (!buffer.Allocate(length, unit.adapter.alignmentMask)) {
        return Fail(session, document, ExitFailure, "out of memory");
    }
    if (length > 0 && direction == DataDirection::Out) {
        std::memcpy(buffer.data(), outData.data(), length);
    }
    ExecResult result;
    if (!SendCdb(session, unit, cdb, cdbLength, direction, length > 0 ? buffer.data() : nullptr,
                 length, result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    document = OutcomeDocument(unit, result);
    document.Set("cdb", Json::Text(HexCompact(cdb, cdbLength)));
    const char* directionName = direction == DataDirection::In    ? "in"
                                : direction == DataDirection::Out ? "out"
                                                                  : "none";
    document.Set("direction", Json::Text(directionName));
    document.Set("length", Json::Number(length));
    const bool showData = direction == DataDirection::In;
    // The interface reports no byte count: unless the adapter reports a
    // residual, the data shown is the whole buffer, whatever moved.
    uint32_t shown = length;
    if (showData && result.hasResidual && result.residual <= length) shown = length - result.residual;
    document.Set("data", Json::Text(showData ? HexCompact(buffer.data(), shown) : ""));
    document.Set("data_length_known", Json::Boolean(!showData || result.hasResidual));

    std::string text = "unit:         " + FormatAddress(unit.address) + "\n";
    text += "command:      " + HexSpaced(cdb, cdbLength) + "\n";
    text += "data:         " + std::string(directionName) + ", " + std::to_string(length) +
            " bytes\n";
    text += ExecResultText(result, 0);
    if (showData && length > 0) {
        text += result.hasResidual
                    ? "data in (" + std::to_string(shown) + " bytes moved):\n"
                    : "data in (the " + std::to_string(length) +
                          " bytes requested: the host adapter reports no count of those that moved):\n";
        text += HexDump(buffer.data(), shown, 0);
    }
    std::string saveError;
    if (showData && !options.outputFile.empty()) {
        std::FILE* file = std::fopen(options.outputFile.c_str(), "wb");
        if (file == nullptr || std::fwrite(buffer.data(), 1, shown, file) != shown) {
            saveError = "cannot write '" + options.outputFile + "': " + std::strerror(errno);
        }
        if (file != nullptr && std::fclose(file) != 0 && saveError.empty()) {
            saveError = "cannot write '" + options.outputFile + "': " + std::strerror(errno);
        }
        if (saveError.empty()) {
            document.Set("file", Json::Text(options.outputFile));
            text += "data in saved to " + options.outputFile + "\n";
        }
    }
    if (!saveError.empty()) return Fail(session, document, ExitFailure, saveError);

    if (result.status != SS_COMP) {
        if (!options.json) std::fwrite(text.data(), 1, text.size(), stdout);
        return Fail(session, document, ExitFailure,
                    "the command ended with " + ExecFailureText(result));
    }
    Show(session, document, text);
    return ExitOk;
}

}  // namespace aspitool
