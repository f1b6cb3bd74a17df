// aspitool sense ADDR: REQUEST SENSE, the sense data a unit holds for its
// last command, decoded.
#include "commands.h"

#include "../output.h"
#include "../sense.h"

namespace aspitool {
namespace {

// Room for fixed sense with its whole additional length; 18 bytes are the
// least that reach the sense codes and their qualifier.
const uint32_t SenseAllocation = 252;
const uint32_t LeastSenseAllocation = 18;

}  // namespace

int RunRequestSense(Session& session) {
    Json document = Json::Object();
    std::string error;
    if (!ExpectOperands(session, 1, "sense ADDR", error)) {
        return Fail(session, document, ExitUsage, error);
    }
    Unit unit;
    const int opened = OpenUnit(session, session.options.operands[0], true, unit, error);
    if (opened != ExitOk) return Fail(session, document, opened, error);
    const uint32_t length = unit.adapter.maxTransfer < SenseAllocation ? unit.adapter.maxTransfer
                                                                        : SenseAllocation;
    if (length < LeastSenseAllocation) {
        return Fail(session, document, ExitFailure,
                    "host adapter " + std::to_string(unit.address.ha) +
                        " moves too few bytes at a time for sense data");
    }
    const uint8_t cdb[6] = {0x03, 0, 0, 0, static_cast<uint8_t>(length), 0};
    AlignedBuffer data;
    ExecResult result;
    if (!SendDataIn(session, unit, cdb, sizeof cdb, length, data, result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    document = OutcomeDocument(unit, result);
    if (!CompletedGood(unit, "REQUEST SENSE", result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    const size_t bytes = ValidSenseLength(data.data(), length);
    const DecodedSense sense = DecodeSense(data.data(), bytes);
    document.Set("data", Json::Text(HexCompact(data.data(), bytes)));
    Json decoded = Json::Null();
    if (sense.valid) {
        decoded = Json::Object();
        decoded.Set("format", Json::Text(sense.descriptor ? "descriptor" : "fixed"));
        decoded.Set("deferred", Json::Boolean(sense.deferred));
        decoded.Set("key", NamedValueJson(sense.keyName.c_str(), sense.key));
        decoded.Set("asc", Json::Number(sense.asc));
        decoded.Set("ascq", Json::Number(sense.ascq));
        decoded.Set("description", Json::Text(sense.description));
    }
    document.Set("data_decoded", decoded);

    std::string text = "unit:         " + FormatAddress(unit.address) + "\n";
    text += "sense data:   " + (bytes == 0 ? std::string("none") : HexSpaced(data.data(), bytes)) +
            "\n";
    text += "decoded:      " + DescribeSense(sense) + "\n";
    text += ExecResultText(result, 0);
    Show(session, document, text);
    return ExitOk;
}

}  // namespace aspitool
