// aspitool start, stop and eject ADDR: START STOP UNIT, which spins a unit
// up or down, or with LOEJ ejects its medium.
#include "commands.h"

#include "../output.h"

namespace aspitool {
namespace {

// Byte 4 of START STOP UNIT: bit 0 START, bit 1 LOEJ.
const uint8_t StartBit = 0x01;
const uint8_t LoadEjectBit = 0x02;

// Returns the exit code of START STOP UNIT with `power` as byte 4, for the
// command `name`.
int RunStartStop(Session& session, const char* name, uint8_t power) {
    Json document = Json::Object();
    std::string error;
    const std::string form = std::string(name) + " ADDR [--immed]";
    if (!ExpectOperands(session, 1, form.c_str(), error)) {
        return Fail(session, document, ExitUsage, error);
    }
    Unit unit;
    const int opened = OpenUnit(session, session.options.operands[0], true, unit, error);
    if (opened != ExitOk) return Fail(session, document, opened, error);

    // IMMED: the unit reports completion at once rather than when the
    // spindle or tray has finished moving.
    const uint8_t cdb[6] = {0x1B, static_cast<uint8_t>(session.options.immed ? 0x01 : 0x00), 0, 0,
                            power, 0};
    ExecResult result;
    if (!SendCdb(session, unit, cdb, sizeof cdb, DataDirection::None, nullptr, 0, result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    document = OutcomeDocument(unit, result);
    document.Set("command", Json::Text(name));
    document.Set("cdb", Json::Text(HexCompact(cdb, sizeof cdb)));
    if (!CompletedGood(unit, name, result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    Show(session, document,
         "unit:         " + FormatAddress(unit.address) + "\ncommand:      " + name + " (" +
             HexSpaced(cdb, sizeof cdb) + ")\n" + ExecResultText(result, 0));
    return ExitOk;
}

}  // namespace

int RunStart(Session& session) {
    return RunStartStop(session, "start", StartBit);
}

int RunStop(Session& session) {
    return RunStartStop(session, "stop", 0);
}

int RunEject(Session& session) {
    return RunStartStop(session, "eject", LoadEjectBit);
}

}  // namespace aspitool
