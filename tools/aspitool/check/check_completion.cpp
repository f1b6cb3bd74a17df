// TEST UNIT READY and INQUIRY completed by each of the three ways: the
// status read by polling, an event, a post routine. The first command a
// unit gets shows a UNIT ATTENTION or deferred error that was pending.
#include "check.h"

#include "../output.h"
#include "../sense.h"
#include "check_requests.h"

#include <memory>

namespace aspitool {
namespace {

// Returns the INQUIRY text field of `length` bytes at `bytes`, without its
// padding.
std::string InquiryText(const uint8_t* bytes, size_t length) {
    std::string text(reinterpret_cast<const char*>(bytes), length);
    for (char& c : text) {
        if (c < 0x20 || c > 0x7E) c = '?';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// Returns the identifier suffix of `way`.
const char* WayId(Way way) {
    switch (way) {
    case Way::Poll: return "poll";
    case Way::Event: return "event";
    case Way::Post: return "post";
    }
    return "?";
}

}  // namespace

bool CheckCompletionWays(CheckRun& run, const UnitUnderTest& tested, UnitReport& report) {
    const Session& session = *run.session;
    const Unit unit = tested.unit;
    const std::string subject = UnitSubject(unit.address);
    // Filled on the checks' threads, which may outlive this function.
    auto found = std::make_shared<UnitReport>(report);
    for (const Way way : {Way::Poll, Way::Event, Way::Post}) {
        PerformCheck(run, subject, std::string("unit.tur_") + WayId(way),
                     std::string("TEST UNIT READY by ") + WayName(way),
                     [&session, unit, way, found](const Deadline& deadline, CheckOutcome& outcome) {
            ExecResult result;
            if (!RunRequest(session, unit.address, Cdb6(0x00, 0, nullptr), way, deadline,
                            "TEST UNIT READY", outcome, result)) {
                return;
            }
            const Answer answer = ClassifyAnswer(result);
            if (answer.kind == AnswerKind::Impossible) {
                FailCheck(outcome, "a status the unit or the system can give", answer.state);
                return;
            }
            if (answer.kind == AnswerKind::Done || answer.kind == AnswerKind::Unit) found->reached = true;
            const DecodedSense sense = DecodeSense(result.sense.data(), result.sense.size());
            if (way == Way::Poll && result.targStat == 2 && sense.valid &&
                (sense.deferred || sense.key == 0x06)) {
                found->pendingCondition = answer.state;
            }
            // Not ready is an answer too: the way of completion is checked here.
            outcome.note = answer.kind == AnswerKind::Done ? ResultText(result) : answer.state;
        });
    }
    auto answered = std::make_shared<bool>(false);
    const std::vector<ListedUnit> listed = run.listedUnits;
    for (const Way way : {Way::Poll, Way::Event, Way::Post}) {
        PerformCheck(run, subject, std::string("unit.inquiry_") + WayId(way),
                     std::string("INQUIRY by ") + WayName(way),
                     [&session, unit, way, answered, found, listed](const Deadline& deadline,
                                                                    CheckOutcome& outcome) {
            const uint32_t length = InquiryLength(unit);
            RequestBuffer data(outcome, length, unit.adapter.alignmentMask);
            if (data.data() == nullptr) {
                FailCheck(outcome, "a data buffer", "out of memory");
                return;
            }
            CommandBlock command = Cdb6(0x12, static_cast<uint8_t>(length), data.data());
            command.guard = data.guard();
            ExecResult result;
            if (!RunRequest(session, unit.address, command, way, deadline, "INQUIRY", outcome, result)) return;
            if (!JudgeAnswer(result, "", outcome)) {
                if (ClassifyAnswer(result).kind == AnswerKind::Unreachable) found->noDevice = true;
                return;
            }
            *answered = true;
            found->reached = true;
            if (length >= 36) {
                found->vendor = InquiryText(data.data() + 8, 8);
                found->product = InquiryText(data.data() + 16, 16);
                found->revision = InquiryText(data.data() + 32, 4);
            }
            if (length >= 36) {
                const std::string other = UnitOfAnotherPort(
                    listed, unit.address, std::string(reinterpret_cast<const char*>(data.data() + 8), 28));
                if (!other.empty()) {
                    FailCheck(outcome, "the answer of the unit at " + FormatAddress(unit.address),
                              "the answer of " + other + ": the library reached a unit of another port");
                    return;
                }
            }
            const uint8_t peripheral = data.data()[0];
            if (peripheral != unit.deviceType && (peripheral & 0xE0) != 0 && (unit.deviceType & 0xE0) == 0) {
                // The library tells the device type the port driver found at
                // boot; a unit that has gone since says so with its qualifier.
                outcome.note = "the unit now answers with peripheral qualifier " +
                               std::to_string(peripheral >> 5) + " (peripheral byte " + std::to_string(peripheral) +
                               "): it changed since the library was loaded, which gave " +
                               DeviceTypeName(unit.deviceType) + " as the port listed it";
                return;
            }
            if (peripheral != unit.deviceType) {
                FailCheck(outcome,
                          "peripheral byte " + std::to_string(unit.deviceType) +
                              " as the device-type request gave",
                          "peripheral byte " + std::to_string(peripheral));
                return;
            }
            outcome.note = DeviceTypeName(unit.deviceType);
        });
    }
    if (run.stopReason.empty()) report = *found;
    return *answered;
}

}  // namespace aspitool
