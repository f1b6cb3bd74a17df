// An abort that must work: INQUIRY A is sent with a post routine that, run
// on the library's own thread, holds that thread; INQUIRY E and then B are
// sent behind it, and B is aborted while A's post routine is known to be
// still running. B cannot have started, so it must end SS_ABORTED, posted
// before the abort returned, with nothing in its buffer; E, queued before
// it, must not be the one taken, and completes as any request. A library that completes on the
// caller's thread, or runs B beside A, leaves nothing to prove: a SKIP.
#include "check.h"

#include "check_requests.h"

#include <cstring>

namespace aspitool {
namespace {

const uint8_t Unwritten = 0xEE;  // no INQUIRY answer begins with it

// Returns what `request` says of its completion, for a failure.
std::string Ending(const CheckRequest& request) {
    return StatusText(RequestStatus(request)) + ", posted " + std::to_string(request.posts.load()) +
           " times";
}

}  // namespace

void CheckAbort(CheckRun& run, const UnitUnderTest& tested) {
    const Session& session = *run.session;
    const Unit unit = tested.unit;
    PerformCheck(run, UnitSubject(unit.address), "unit.abort", "abort of a queued request",
                 [&session, unit](const Deadline& deadline, CheckOutcome& outcome) {
        const uint32_t length = InquiryLength(unit);
        RequestBuffer first(outcome, length, unit.adapter.alignmentMask);
        RequestBuffer second(outcome, length, unit.adapter.alignmentMask);
        RequestBuffer third(outcome, length, unit.adapter.alignmentMask);
        if (first.data() == nullptr || second.data() == nullptr || third.data() == nullptr) {
            FailCheck(outcome, "data buffers", "out of memory");
            return;
        }
        std::memset(second.data(), Unwritten, length);
        std::string error;
        CommandBlock inquiry = Cdb6(0x12, static_cast<uint8_t>(length), first.data());
        inquiry.guard = first.guard();
        CheckRequest* held = SubmitHeldRequest(session.library, unit.address, inquiry, deadline.LeftMs(), error);
        if (held == nullptr) {
            FailCheck(outcome, "to send INQUIRY", error);
            return;
        }
        held->label = UnitSubject(unit.address) + ", INQUIRY whose post routine holds the library";
        const DWORD entered = WaitForSingleObject(held->holdEntered, deadline.LeftMs());
        if (entered != WAIT_OBJECT_0) {
            if (AwaitRequest(*held, deadline)) {
                SkipCheck(outcome, "the library posted the first request on the calling thread: "
                                   "no request is known to be still running");
            } else {
                SkipCheck(outcome, "the first request gave no answer within the time limit");
                outcome.lateRequests.push_back(held);
            }
            ReleaseRequest(held, outcome);
            return;
        }
        inquiry = Cdb6(0x12, static_cast<uint8_t>(length), third.data());
        inquiry.guard = third.guard();
        CheckRequest* earlier = SubmitRequest(session.library, unit.address, inquiry, Way::Post, error);
        inquiry = Cdb6(0x12, static_cast<uint8_t>(length), second.data());
        inquiry.guard = second.guard();
        CheckRequest* queued =
            earlier == nullptr ? nullptr : SubmitRequest(session.library, unit.address, inquiry, Way::Post, error);
        if (queued == nullptr) {
            SetEvent(held->holdRelease);
            FailCheck(outcome, "to send two more INQUIRY requests", error);
            for (CheckRequest* request : {held, earlier}) {
                if (request == nullptr) continue;
                if (!AwaitRequest(*request, deadline)) outcome.lateRequests.push_back(request);
                ReleaseRequest(request, outcome);
            }
            return;
        }
        earlier->label = UnitSubject(unit.address) + ", INQUIRY queued before the one aborted";
        queued->label = UnitSubject(unit.address) + ", INQUIRY aborted while queued";
        const BYTE before = RequestStatus(*queued);
        const BYTE earlierBefore = RequestStatus(*earlier);
        SRB_Abort abort;
        std::memset(&abort, 0, sizeof abort);
        abort.SRB_Cmd = SC_ABORT_SRB;
        abort.SRB_HaId = unit.address.ha;
        abort.SRB_ToAbort = queued->block;
        const BYTE returned = static_cast<BYTE>(session.library.sendCommand(&abort));
        const BYTE after = RequestStatus(*queued);
        const int postsAfter = queued->posts.load();
        SetEvent(held->holdRelease);
        // Both must complete, once, whatever became of the abort.
        CheckRequest* all[] = {held, earlier, queued};
        for (CheckRequest* request : all) {
            const std::string which = request == held      ? "the request being posted"
                                      : request == earlier ? "the request queued before the aborted one"
                                                           : "the aborted request";
            if (!AwaitRequest(*request, deadline)) {
                SkipCheck(outcome, which + " gave no answer within the time limit");
                outcome.lateRequests.push_back(request);
                continue;
            }
            const std::string twice = ConfirmSingleCompletion(*request);
            if (!twice.empty()) FailCheck(outcome, which + " completed once", twice);
        }
        const SRB_ExecSCSICmd* srb = reinterpret_cast<const SRB_ExecSCSICmd*>(queued->block);
        if (returned != SS_COMP || abort.SRB_Status != SS_COMP) {
            FailCheck(outcome, "the abort request returned and stored SS_COMP (0x01)",
                      "returned " + StatusText(returned) + ", stored " + StatusText(abort.SRB_Status));
        } else if (before != SS_PENDING || earlierBefore != SS_PENDING) {
            SkipCheck(outcome, "the library ran the second request while the first one's post routine "
                               "was still running: no request is known to wait in its queue");
        } else if (RequestStatus(*earlier) == SS_ABORTED) {
            FailCheck(outcome, "only the request named in SRB_ToAbort aborted",
                      "the request queued before it was aborted instead; the one named ended " + Ending(*queued));
        } else if (after == SS_ABORTED) {
            if (postsAfter != 1) {
                FailCheck(outcome, "the aborted request posted once before the abort returned",
                          "posted " + std::to_string(postsAfter) + " times by then");
            } else if (srb->SRB_HaStat != 0 || srb->SRB_TargStat != 0) {
                FailCheck(outcome, "an aborted request with host adapter and target status 0",
                          std::to_string(srb->SRB_HaStat) + " and " + std::to_string(srb->SRB_TargStat));
            } else if (second.data()[0] != Unwritten) {
                FailCheck(outcome, "an aborted request's buffer untouched", "INQUIRY data in it");
            } else {
                outcome.note = "aborted while queued behind a request whose post routine was running";
            }
        } else if (after == SS_PENDING && queued->completed) {
            FailCheck(outcome, "SS_ABORTED (0x02) for a request queued behind one still running",
                      "the abort returned SS_COMP and left it queued; it ended " + Ending(*queued));
        } else if (queued->completed) {
            SkipCheck(outcome, "the second request ended while the first one's post routine was still "
                               "running: the library does not keep one request behind another");
        }
        if (outcome.verdict == Verdict::Pass && outcome.note.empty()) {
            FailCheck(outcome, "SS_ABORTED (0x02)", Ending(*queued));
        }
        ReleaseRequest(held, outcome);
        ReleaseRequest(earlier, outcome);
        ReleaseRequest(queued, outcome);
    });
}

}  // namespace aspitool
