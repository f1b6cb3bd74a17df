// aspitool check [ADDRESS]: the library-wide checks, then the checks of
// every unit found (or of the one named), and the report.
#include "check.h"

#include "../output.h"
#include "check_requests.h"
#include "guarded_run.h"

#include <cstdio>
#include <cstdlib>

namespace aspitool {

int RunCheck(Session& session) {
    Json document = Json::Object();
    if (session.options.operands.size() > 1) {
        return Fail(session, document, ExitUsage, "check takes at most one unit address: check [ADDR]");
    }
    UnitAddress address;
    const bool one = !session.options.operands.empty();
    std::string addressError;
    if (one && !ParseAddress(session.options.operands[0], address, addressError)) {
        return Fail(session, document, ExitUsage, addressError);
    }
    InstallFaultTrap();
    CheckRun run;
    run.session = &session;
    run.limitMs = session.options.timeoutSeconds * 1000;
    const auto start = Clock::now();

    std::vector<UnitUnderTest> units;
    CheckLibrary(run, one ? &address : nullptr, units);
    for (const UnitUnderTest& unit : units) {
        if (!unit.known) {
            CheckRecord record;
            record.subject = UnitSubject(unit.unit.address);
            record.name = "unit checks";
            SkipCheck(record.outcome, "device type " + DeviceTypeName(unit.unit.deviceType) +
                                          " is not one this check knows; nothing was sent to it");
            run.records.push_back(record);
            continue;
        }
        if (!CheckCompletionWays(run, unit)) {
            if (!run.stopReason.empty()) continue;
            CheckRecord record;
            record.subject = UnitSubject(unit.unit.address);
            record.name = "unit checks";
            SkipCheck(record.outcome, "the unit answered no INQUIRY, so nothing more is sent to it");
            run.records.push_back(record);
            continue;
        }
        Capacity capacity;
        const bool hasCapacity = unit.blockDevice && CheckReads(run, unit, capacity);
        CheckCheckCondition(run, unit, hasCapacity ? &capacity : nullptr);
        CheckAbort(run, unit);
        CheckTiming(run, unit, hasCapacity ? &capacity : nullptr);
    }
    const uint32_t totalMs = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    const std::string library =
        session.options.libraryPath.empty() ? DefaultLibraryPath() : session.options.libraryPath;
    const int code = ReportCheckRun(run, session.options.json, library, totalMs);
    if (!run.stopReason.empty()) {
        // A thread is stuck in the library or parked after a fault, and a
        // request may still be in its hands: unloading it could hang or
        // crash, so the process ends here with the report written.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(ExitFailure);
    }
    return code;
}

}  // namespace aspitool
