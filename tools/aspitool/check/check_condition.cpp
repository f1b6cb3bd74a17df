// A CHECK CONDITION on purpose, with a sense area and without one, and the
// REQUEST SENSE after it, which must find the sense that the unit kept when
// the caller took none. Where a disk's capacity is known the request is a
// READ past the last block; otherwise an operation code that the command
// set standards reserve, which no unit acts on. Discs get the reserved code
// too: past the recorded area a drive may retry for long, and a multimedia
// unit may not leave it unchanged (tgt's CD-ROM reports one block more
// after each such READ).
#include "check.h"

#include "../sense.h"
#include "check_requests.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace aspitool {
namespace {

const uint8_t ReservedOpcode = 0x60;
// What the REQUEST SENSE buffer holds before the command: a unit that
// returns no bytes leaves it so.
const uint8_t Unwritten = 0xEE;

// What the CHECK CONDITION without a sense area left at the unit, for the
// REQUEST SENSE after it.
struct KeptSense {
    bool refused = false;   // it ended SS_ERR with target status 2 and no sense
    std::string reported;   // the sense the same command gave with a sense area
};

// Returns nothing; judges the answer to the deliberate CHECK CONDITION:
// the unit's refusal must arrive as SS_ERR with target status 2 and, when
// a sense area was given, sense data in it.
void JudgeRefusal(const ExecResult& result, bool senseWanted, bool pastEnd, CheckOutcome& outcome,
                  KeptSense& kept) {
    const Answer answer = ClassifyAnswer(result);
    const std::string what = pastEnd ? "READ past the last block" : "the reserved operation code";
    if (answer.kind == AnswerKind::Done) {
        SkipCheck(outcome, "the unit accepted " + what + " (" + ResultText(result) +
                               "): no CHECK CONDITION to check");
        return;
    }
    if (answer.kind != AnswerKind::Unit || result.targStat != 2) {
        JudgeAnswer(result, what, outcome);
        return;
    }
    if (senseWanted) kept.reported = answer.state;
    kept.refused = !senseWanted && result.sense.empty();
    const DecodedSense sense = DecodeSense(result.sense.data(), result.sense.size());
    if (senseWanted && result.sense.empty()) {
        FailCheck(outcome, "SS_ERR (0x04), target status 2, the unit's sense data in the block",
                  ResultText(result) + ", no sense data");
        return;
    }
    if (senseWanted && !sense.valid) {
        outcome.note += StatusText(result.status) + ", target status 2, " + NonExtendedSense(result.sense) +
                        ", the unit's own way";
        return;
    }
    if (!senseWanted && !result.sense.empty()) {
        FailCheck(outcome, "no sense data with SRB_SenseLen 0", ResultText(result));
        return;
    }
    outcome.note += ResultText(result);
}

}  // namespace

void CheckCheckCondition(CheckRun& run, const UnitUnderTest& tested, const Capacity* capacity) {
    const Session& session = *run.session;
    const Unit unit = tested.unit;
    const std::string subject = UnitSubject(unit.address);
    const bool pastEnd = capacity != nullptr && capacity->lastLba < 0xFFFFFFFFu &&
                         (unit.deviceType & 0x1F) == 0x00;
    const Capacity known = pastEnd ? *capacity : Capacity();
    const std::string how = pastEnd ? "READ past the last block" : "reserved operation code";
    // Filled on the checks' threads, which may outlive this function.
    auto kept = std::make_shared<KeptSense>();
    for (const bool senseWanted : {true, false}) {
        PerformCheck(run, subject, senseWanted ? "unit.check_condition" : "unit.check_condition_no_sense_area",
                     "CHECK CONDITION (" + how + (senseWanted ? ")" : ", SRB_SenseLen 0)"),
                     [&session, unit, pastEnd, known, senseWanted, kept](const Deadline& deadline,
                                                                         CheckOutcome& outcome) {
            RequestBuffer data(outcome, pastEnd ? known.blockSize : 0, unit.adapter.alignmentMask);
            CommandBlock command = Cdb6(ReservedOpcode, 0, nullptr);
            if (pastEnd) command = Read10(known.lastLba + 1, 1, data.data(), known.blockSize);
            command.guard = data.guard();
            command.senseLength = senseWanted ? CheckSenseLength : 0;
            ExecResult result;
            if (!RunUnitCommand(session, unit.address, command, deadline,
                                pastEnd ? "READ past the last block" : "a reserved operation code",
                                outcome, result)) {
                return;
            }
            JudgeRefusal(result, senseWanted, pastEnd, outcome, *kept);
        });
    }
    PerformCheck(run, subject, "unit.request_sense", "REQUEST SENSE",
                 [&session, unit, kept](const Deadline& deadline, CheckOutcome& outcome) {
        const uint8_t length = 18;
        RequestBuffer data(outcome, length, unit.adapter.alignmentMask);
        if (data.data() == nullptr) {
            FailCheck(outcome, "a data buffer", "out of memory");
            return;
        }
        std::memset(data.data(), Unwritten, length);
        CommandBlock command = Cdb6(0x03, length, data.data());
        command.guard = data.guard();
        ExecResult result;
        if (!RunRequest(session, unit.address, command, Way::Event, deadline, "REQUEST SENSE", outcome,
                        result) ||
            !JudgeAnswer(result, "", outcome)) {
            return;
        }
        const std::vector<uint8_t> bytes(data.data(), data.data() + length);
        if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte == Unwritten; })) {
            outcome.note = "the unit returned no sense bytes, its own way";
            return;
        }
        const uint8_t response = bytes[0] & 0x7F;
        if (response < 0x70) {
            outcome.note = NonExtendedSense(bytes) + ", the unit's own way";
            return;
        }
        if (response > 0x73) {
            FailCheck(outcome, "SS_COMP (0x01) with sense data (response code 0x70-0x73, or non-extended)",
                      ResultText(result) + ", response code " + std::to_string(response));
            return;
        }
        const DecodedSense sense = DecodeSense(data.data(), length);
        outcome.note = DescribeSense(sense);
        // The unit keeps a CHECK CONDITION's sense for the next command when
        // the caller took none; a library that sent that command, or this
        // REQUEST SENSE, twice, leaves nothing to find here.
        if (kept->refused && sense.key == 0 && sense.asc == 0 && sense.ascq == 0) {
            FailCheck(outcome,
                      "the sense that the CHECK CONDITION just before left at the unit" +
                          (kept->reported.empty() ? std::string() : " (" + kept->reported + ")"),
                      "NO SENSE: the library sent a command more than once, or took the sense itself");
        }
    });
}

}  // namespace aspitool
