// TEST UNIT READY and INQUIRY completed by each of the three ways: the
// status read by polling, an event, a post routine.
#include "check.h"

#include "../output.h"
#include "check_requests.h"

#include <memory>

namespace aspitool {

bool IsPlatformRefusal(const ExecResult& result) {
    return result.status == SS_ERR && result.targStat == 0 && result.haStat == 0 &&
           result.sense.empty();
}

bool CheckCompletionWays(CheckRun& run, const UnitUnderTest& tested) {
    const Session& session = *run.session;
    const Unit unit = tested.unit;
    const std::string subject = UnitSubject(unit.address);
    for (const Way way : {Way::Poll, Way::Event, Way::Post}) {
        PerformCheck(run, subject, std::string("TEST UNIT READY by ") + WayName(way),
                     [&session, unit, way](const Deadline& deadline, CheckOutcome& outcome) {
            ExecResult result;
            if (!RunRequest(session, unit.address, Cdb6(0x00, 0, nullptr), way, deadline,
                            "TEST UNIT READY", outcome, result)) {
                return;
            }
            // Not ready is an answer too: the way of completion is checked here.
            outcome.note = ResultText(result);
        });
    }
    auto answered = std::make_shared<bool>(false);
    for (const Way way : {Way::Poll, Way::Event, Way::Post}) {
        PerformCheck(run, subject, std::string("INQUIRY by ") + WayName(way),
                     [&session, unit, way, answered](const Deadline& deadline, CheckOutcome& outcome) {
            const uint32_t length = InquiryLength(unit);
            RequestBuffer data(outcome, length, unit.adapter.alignmentMask);
            if (data.data() == nullptr) {
                FailCheck(outcome, "a data buffer", "out of memory");
                return;
            }
            ExecResult result;
            if (!RunRequest(session, unit.address,
                            Cdb6(0x12, static_cast<uint8_t>(length), data.data()), way, deadline,
                            "INQUIRY", outcome, result)) {
                return;
            }
            if (IsPlatformRefusal(result)) {
                // No target answered: the system refused the pass-through
                // (a limited user's access, say). That is no broken promise.
                SkipCheck(outcome, "the system refused the request: " + ResultText(result));
                return;
            }
            if (result.status != SS_COMP) {
                FailCheck(outcome, StatusText(SS_COMP), ResultText(result));
                return;
            }
            *answered = true;
            if (data.data()[0] != unit.deviceType) {
                FailCheck(outcome,
                          "peripheral byte " + std::to_string(unit.deviceType) +
                              " as the device-type request gave",
                          "peripheral byte " + std::to_string(data.data()[0]));
                return;
            }
            outcome.note = DeviceTypeName(unit.deviceType);
        });
    }
    return *answered;
}

}  // namespace aspitool
