// aspitool modesense ADDR [PAGE]: the unit's current mode parameters, by
// MODE SENSE(10), or MODE SENSE(6) for a unit that lacks the 10-byte form.
#include "commands.h"

#include "../mode_data.h"
#include "../output.h"
#include "../sense.h"

namespace aspitool {
namespace {

const uint8_t AllPages = 0x3F;
// Allocation lengths: the 16-bit field of MODE SENSE(10), kept a multiple of
// four, and the 8-bit one of MODE SENSE(6).
const uint32_t TenByteAllocation = 0xFFFC;
const uint32_t SixByteAllocation = 0xFF;

// Returns true when `result` is a refusal of the opcode itself: ILLEGAL
// REQUEST, INVALID COMMAND OPERATION CODE.
bool OpcodeRefused(const ExecResult& result) {
    const DecodedSense sense = DecodeSense(result.sense.data(), result.sense.size());
    return result.status != SS_COMP && sense.valid && sense.key == 0x05 && sense.asc == 0x20 &&
           sense.ascq == 0x00;
}

// Returns true when MODE SENSE for current values of `page` was sent in the
// 10- or 6-byte form, with at most `length` bytes of data.
bool SendModeSense(const Session& session, const Unit& unit, bool tenByte, uint8_t page,
                   uint32_t length, AlignedBuffer& data, ExecResult& result, std::string& error) {
    uint8_t cdb[10] = {};
    if (tenByte) {
        cdb[0] = 0x5A;
        cdb[7] = static_cast<uint8_t>(length >> 8);
        cdb[8] = static_cast<uint8_t>(length);
    } else {
        cdb[0] = 0x1A;
        cdb[4] = static_cast<uint8_t>(length);
    }
    cdb[2] = page;
    return SendDataIn(session, unit, cdb, tenByte ? 10 : 6, length, data, result, error);
}

}  // namespace

int RunModeSense(Session& session) {
    Json document = Json::Object();
    std::string error;
    const std::vector<std::string>& operands = session.options.operands;
    if (operands.empty() || operands.size() > 2) {
        return Fail(session, document, ExitUsage,
                    std::string(operands.empty() ? "missing operands" : "too many operands") +
                        "; usage: aspitool modesense ADDR [PAGE]");
    }
    uint8_t page = AllPages;
    if (operands.size() == 2 && !ParseByteNumber(operands[1], AllPages, page)) {
        return Fail(session, document, ExitUsage,
                    "a mode page is a number from 0 to 0x3F (63), not '" + operands[1] + "'");
    }
    Unit unit;
    const int opened = OpenUnit(session, operands[0], true, unit, error);
    if (opened != ExitOk) return Fail(session, document, opened, error);
    const uint32_t maximum = unit.adapter.maxTransfer;
    if (maximum < 8) {
        return Fail(session, document, ExitFailure,
                    "host adapter " + std::to_string(unit.address.ha) +
                        " moves too few bytes at a time for mode data");
    }

    bool tenByte = true;
    uint32_t length = maximum < TenByteAllocation ? maximum : TenByteAllocation;
    AlignedBuffer data;
    ExecResult result;
    if (!SendModeSense(session, unit, true, page, length, data, result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    if (OpcodeRefused(result)) {
        tenByte = false;
        length = maximum < SixByteAllocation ? maximum : SixByteAllocation;
        if (!SendModeSense(session, unit, false, page, length, data, result, error)) {
            return Fail(session, document, ExitFailure, error);
        }
    }
    const char* command = tenByte ? "MODE SENSE(10)" : "MODE SENSE(6)";
    document = OutcomeDocument(unit, result);
    document.Set("command", Json::Text(command));
    if (!CompletedGood(unit, command, result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    std::string text = "unit:            " + FormatAddress(unit.address) + "\n";
    text += std::string("command:         ") + command +
            (tenByte ? "" : " (the unit refused MODE SENSE(10))") + "\n";
    DecodeModeData(data.data(), length, tenByte, unit.deviceType & 0x1F, text, document);
    text += ExecResultText(result, 0);
    Show(session, document, text);
    return ExitOk;
}

}  // namespace aspitool
