// aspitool inquiry ADDR: the unit's standard INQUIRY data, decoded (with
// --vpd, a vital product data page instead).
#include "commands.h"

#include "../output.h"

#include <cstdio>

namespace aspitool {

int RunInquiry(Session& session) {
    Json document = Json::Object();
    std::string error;
    if (!ExpectOperands(session, 1, "inquiry ADDR", error)) {
        return Fail(session, document, ExitUsage, error);
    }
    Unit unit;
    const int opened = OpenUnit(session, session.options.operands[0], true, unit, error);
    if (opened != ExitOk) return Fail(session, document, opened, error);
    if (session.options.hasVpd) return RunVpdInquiry(session, unit);

    const uint32_t length = InquiryLength(unit);
    if (length < 5) {
        return Fail(session, document, ExitFailure,
                    "host adapter " + std::to_string(unit.address.ha) +
                        " moves too few bytes at a time for INQUIRY data");
    }
    const uint8_t cdb[6] = {0x12, 0, 0, 0, static_cast<uint8_t>(length), 0};
    AlignedBuffer data;
    ExecResult result;
    if (!SendDataIn(session, unit, cdb, sizeof cdb, length, data, result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    document = OutcomeDocument(unit, result);
    if (!CompletedGood(unit, "INQUIRY", result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    const uint8_t* d = data.data();
    const std::string vendor = InquiryText(d, length, 8, 8);
    const std::string product = InquiryText(d, length, 16, 16);
    const std::string revision = InquiryText(d, length, 32, 4);
    // The interface reports no byte count; the data's additional length
    // (byte 4) says how much of the buffer the unit filled.
    const size_t stated = static_cast<size_t>(d[4]) + 5;
    const size_t valid = stated < length ? stated : length;
    document.Set("data", Json::Text(HexCompact(d, valid)));
    document.Set("peripheral", Json::Number(d[0]));
    document.Set("type", Json::Number(d[0] & 0x1F));
    document.Set("type_name", Json::Text(DeviceTypeName(d[0])));
    document.Set("removable", Json::Boolean((d[1] & 0x80) != 0));
    document.Set("version", Json::Number(d[2]));
    document.Set("response_format", Json::Number(d[3] & 0x0F));
    document.Set("vendor", Json::Text(vendor));
    document.Set("product", Json::Text(product));
    document.Set("revision", Json::Text(revision));

    char line[128];
    std::string text = "unit:            " + FormatAddress(unit.address) + "\n";
    text += "type:            " + DeviceTypeName(d[0]) + "\n";
    std::snprintf(line, sizeof line, "peripheral byte: 0x%02X\nremovable:       %s\n"
                  "version:         0x%02X\nresponse format: %u\n",
                  d[0], (d[1] & 0x80) != 0 ? "yes" : "no", d[2], d[3] & 0x0F);
    text += line;
    text += "vendor:          " + vendor + "\n";
    text += "product:         " + product + "\n";
    text += "revision:        " + revision + "\n";
    text += ExecResultText(result, 0);
    text += "data (" + std::to_string(valid) + " of the " + std::to_string(length) +
            " bytes requested, as its additional length says):\n" + HexDump(d, valid, 0);
    Show(session, document, text);
    return ExitOk;
}

}  // namespace aspitool
