// aspitool check [ADDRESS]: the library-wide checks, then the checks of
// every unit found (or of the one named), and the report.
#include "check.h"

#include "../output.h"
#include "check_address.h"
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
    UnitAddress writeAddress;
    const bool writeAsked = !session.options.writeAddress.empty();
    if (writeAsked && !ParseAddress(session.options.writeAddress, writeAddress, addressError)) {
        return Fail(session, document, ExitUsage, "--write: " + addressError);
    }
    InstallFaultTrap();
    if (one && CheckAddressNamesUnit(session, session.options.operands[0],
                                     session.options.timeoutSeconds * 1000, addressError) ==
                   ExitUsage) {
        return Fail(session, document, ExitUsage, addressError);
    }
    CheckRun run;
    run.session = &session;
    run.limitMs = session.options.timeoutSeconds * 1000;
    const auto start = Clock::now();

    std::vector<UnitUnderTest> units;
    CheckLibrary(run, one ? &address : nullptr, units);
    size_t unitsTried = 0;
    bool writeDone = false;
    for (const UnitUnderTest& unit : units) {
        UnitReport report;
        report.address = unit.unit.address;
        report.peripheral = unit.unit.deviceType;
        const std::string subject = UnitSubject(unit.unit.address);
        if (!unit.known) {
            CheckOutcome outcome;
            SkipCheck(outcome, "device type " + DeviceTypeName(unit.unit.deviceType) +
                                   " is not one this check knows; nothing was sent to it");
            AddRecord(run, subject, "unit.checks", "unit checks", outcome);
            run.units.push_back(report);
            continue;
        }
        ++unitsTried;
        const bool answered = CheckCompletionWays(run, unit, report);
        run.units.push_back(report);
        if (!answered) {
            if (!run.stopReason.empty()) continue;
            CheckOutcome outcome;
            SkipCheck(outcome, "the unit answered no INQUIRY, so nothing more is sent to it");
            AddRecord(run, subject, "unit.checks", "unit checks", outcome);
            continue;
        }
        Capacity capacity;
        bool readable = false;
        const bool hasCapacity = unit.blockDevice && CheckReads(run, unit, capacity, readable);
        const UnitAddress& at = unit.unit.address;
        const bool write = writeAsked && at.ha == writeAddress.ha && at.target == writeAddress.target &&
                           at.lun == writeAddress.lun;
        if (unit.blockDevice) CheckDataOut(run, unit, readable ? &capacity : nullptr, write);
        writeDone = writeDone || (write && unit.blockDevice);
        CheckCheckCondition(run, unit, hasCapacity ? &capacity : nullptr);
        CheckAbort(run, unit);
        CheckTiming(run, unit, readable ? &capacity : nullptr);
    }
    if (writeAsked && !writeDone && run.stopReason.empty()) {
        CheckOutcome outcome;
        SkipCheck(outcome, "no disk or disc that answered at " + FormatAddress(writeAddress) + ": nothing was written");
        AddRecord(run, UnitSubject(writeAddress), "unit.write_read_back", "write back the last block (--write)",
                  outcome);
    }
    CheckRunAsAWhole(run, unitsTried);
    const uint32_t totalMs = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    // The file the loader found, which the report reads the version from.
    char loaded[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(session.library.module, loaded, sizeof loaded);
    const std::string library =
        length > 0 && length < sizeof loaded ? std::string(loaded, length)
        : session.options.libraryPath.empty() ? DefaultLibraryPath() : session.options.libraryPath;
    // The loader's name for the file may be one only the simulated machine
    // knows (drive Z:); the name given is read then.
    run.libraryVersion = FileVersion(library);
    if (run.libraryVersion.empty()) run.libraryVersion = FileVersion(session.options.libraryPath);
    const int code = ReportCheckRun(run, session.options.json, library, totalMs);
    if (run.libraryStuck) {
        // A thread is stuck in the library or parked after a fault, and a
        // request may still be in its hands: unloading it could hang or
        // crash, so the process ends here with the report written. On
        // Windows this is ExitProcess: the library's threads are ended
        // first, then its DLL_PROCESS_DETACH runs.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(ExitFailure);
    }
    return code;
}

}  // namespace aspitool
