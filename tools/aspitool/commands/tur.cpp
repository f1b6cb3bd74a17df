// aspitool tur ADDR: TEST UNIT READY, which tells whether a unit can take
// media access commands now.
#include "commands.h"

#include "../output.h"

namespace aspitool {

int RunTestUnitReady(Session& session) {
    Json document = Json::Object();
    std::string error;
    if (!ExpectOperands(session, 1, "tur ADDR", error)) {
        return Fail(session, document, ExitUsage, error);
    }
    Unit unit;
    const int opened = OpenUnit(session, session.options.operands[0], true, unit, error);
    if (opened != ExitOk) return Fail(session, document, opened, error);

    const uint8_t cdb[6] = {0x00, 0, 0, 0, 0, 0};
    ExecResult result;
    if (!SendCdb(session, unit, cdb, sizeof cdb, DataDirection::None, nullptr, 0, result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    document = OutcomeDocument(unit, result);
    const bool ready = result.status == SS_COMP;
    document.Set("ready", Json::Boolean(ready));
    if (!ready) {
        return Fail(session, document, ExitFailure,
                    FormatAddress(unit.address) + " is not ready: " + ExecFailureText(result));
    }
    Show(session, document,
         "unit:         " + FormatAddress(unit.address) + "\nready:        yes\n" +
             ExecResultText(result, 0));
    return ExitOk;
}

}  // namespace aspitool
