// A CHECK CONDITION on purpose, and the REQUEST SENSE after it. Where a
// disk's capacity is known the request is a READ past the last block;
// otherwise an operation code that the command set standards reserve, which
// no unit acts on. Discs get the reserved code too: past the recorded area
// a drive may retry for long, and a multimedia unit may not leave it
// unchanged (tgt's CD-ROM reports one block more after each such READ).
#include "check.h"

#include "../sense.h"
#include "check_requests.h"

namespace aspitool {
namespace {

const uint8_t ReservedOpcode = 0x60;

// Returns true when sense key `key` reports a command that was not done:
// most units answer ILLEGAL REQUEST here, but a unit may also report its
// medium, its hardware or a pending UNIT ATTENTION first. NO SENSE and
// RECOVERED ERROR report success, and the rest belong to other commands.
bool IsRefusalKey(uint8_t key) {
    switch (key) {
    case 0x02: case 0x03: case 0x04: case 0x05: case 0x06: case 0x07: case 0x08: case 0x0B:
        return true;
    default:
        return false;
    }
}

}  // namespace

void CheckCheckCondition(CheckRun& run, const UnitUnderTest& tested, const Capacity* capacity) {
    const Session& session = *run.session;
    const Unit unit = tested.unit;
    const std::string subject = UnitSubject(unit.address);
    const bool pastEnd = capacity != nullptr && capacity->lastLba < 0xFFFFFFFFu &&
                         (unit.deviceType & 0x1F) == 0x00;
    const Capacity known = pastEnd ? *capacity : Capacity();
    const std::string name = pastEnd ? "CHECK CONDITION (READ past the last block)"
                                     : "CHECK CONDITION (reserved operation code)";
    PerformCheck(run, subject, name,
                 [&session, unit, pastEnd, known](const Deadline& deadline, CheckOutcome& outcome) {
        RequestBuffer data(outcome, pastEnd ? known.blockSize : 0, unit.adapter.alignmentMask);
        CommandBlock command = Cdb6(ReservedOpcode, 0, nullptr);
        if (pastEnd) command = Read10(known.lastLba + 1, 1, data.data(), known.blockSize);
        ExecResult result;
        if (!RunRequest(session, unit.address, command, Way::Event, deadline, pastEnd ? "READ past the last block" : "a reserved operation code",
                        outcome, result)) {
            return;
        }
        const DecodedSense sense = DecodeSense(result.sense.data(), result.sense.size());
        const std::string expected = "SS_ERR (0x04), target status 2, sense data in the block "
                                     "with a key that refuses the command";
        if (result.status != SS_ERR || result.targStat != 2 || !sense.valid ||
            !IsRefusalKey(sense.key)) {
            FailCheck(outcome, expected, ResultText(result));
            return;
        }
        outcome.note = ResultText(result);
    });
    PerformCheck(run, subject, "REQUEST SENSE",
                 [&session, unit](const Deadline& deadline, CheckOutcome& outcome) {
        const uint8_t length = 18;
        RequestBuffer data(outcome, length, unit.adapter.alignmentMask);
        if (data.data() == nullptr) {
            FailCheck(outcome, "a data buffer", "out of memory");
            return;
        }
        ExecResult result;
        if (!RunRequest(session, unit.address, Cdb6(0x03, length, data.data()), Way::Event,
                        deadline, "REQUEST SENSE", outcome, result)) {
            return;
        }
        const uint8_t response = data.data()[0] & 0x7F;
        if (result.status != SS_COMP || response < 0x70 || response > 0x73) {
            FailCheck(outcome, "SS_COMP (0x01) with sense data (response code 0x70-0x73)",
                      ResultText(result) + ", response code " + std::to_string(response));
            return;
        }
        const DecodedSense sense = DecodeSense(data.data(), length);
        outcome.note = DescribeSense(sense);
    });
}

}  // namespace aspitool
