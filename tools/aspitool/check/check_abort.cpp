// An abort of a queued request: several INQUIRY requests sent at once, the
// last one aborted. It must end aborted or completed, once, never both.
#include "check.h"

#include "check_requests.h"

#include <cstring>

namespace aspitool {
namespace {

const int Queued = 8;

}  // namespace

void CheckAbort(CheckRun& run, const UnitUnderTest& tested) {
    const Session& session = *run.session;
    const Unit unit = tested.unit;
    PerformCheck(run, UnitSubject(unit.address), "abort of a queued request",
                 [&session, unit](const Deadline& deadline, CheckOutcome& outcome) {
        const uint32_t length = InquiryLength(unit);
        RequestBuffer data(outcome, length * Queued, unit.adapter.alignmentMask);
        if (data.data() == nullptr) {
            FailCheck(outcome, "data buffers", "out of memory");
            return;
        }
        // Data that no INQUIRY answer begins with, so that a request that
        // reads SS_COMP without having run shows.
        std::memset(data.data(), 0xEE, length * Queued);
        CheckRequest* requests[Queued] = {};
        std::string error;
        int sent = 0;
        for (; sent < Queued; ++sent) {
            requests[sent] = SubmitRequest(
                session.library, unit.address,
                Cdb6(0x12, static_cast<uint8_t>(length), data.data() + sent * length), Way::Post,
                error);
            if (requests[sent] == nullptr) break;
        }
        if (sent == Queued) {
            CheckRequest& last = *requests[Queued - 1];
            SRB_Abort abort;
            std::memset(&abort, 0, sizeof abort);
            abort.SRB_Cmd = SC_ABORT_SRB;
            abort.SRB_HaId = unit.address.ha;
            abort.SRB_ToAbort = last.block;
            const BYTE returned = static_cast<BYTE>(session.library.sendCommand(&abort));
            const BYTE statusAfter = RequestStatus(last);
            const int postsAfter = last.posts.load();
            if (returned != SS_COMP || abort.SRB_Status != SS_COMP) {
                FailCheck(outcome, "the abort request returned and stored SS_COMP (0x01)",
                          "returned " + StatusText(returned) + ", stored " +
                              StatusText(abort.SRB_Status));
            } else if (statusAfter == SS_ABORTED && postsAfter != 1) {
                FailCheck(outcome, "an aborted request posted before the abort returned",
                          "posted " + std::to_string(postsAfter) + " times by then");
            }
        } else {
            FailCheck(outcome, "to send " + std::to_string(Queued) + " requests", error);
        }
        // Every request must complete, once, whatever became of the abort.
        for (int i = 0; i < sent; ++i) {
            CheckRequest& request = *requests[i];
            const std::string which = i == Queued - 1 ? "the aborted request"
                                                      : "request " + std::to_string(i + 1);
            if (!AwaitRequest(request, deadline)) {
                FailCheck(outcome, which + " completed by its post routine",
                          "no completion within the time limit (status " +
                              StatusText(RequestStatus(request)) + ")");
                continue;
            }
            const std::string twice = ConfirmSingleCompletion(request);
            if (!twice.empty()) FailCheck(outcome, which + " completed once", twice);
        }
        if (sent == Queued && requests[Queued - 1]->completed) {
            const CheckRequest& last = *requests[Queued - 1];
            const SRB_ExecSCSICmd* srb = reinterpret_cast<const SRB_ExecSCSICmd*>(last.block);
            const BYTE status = RequestStatus(last);
            if (status == SS_ABORTED) {
                if (srb->SRB_HaStat != 0 || srb->SRB_TargStat != 0) {
                    FailCheck(outcome, "an aborted request with host adapter and target status 0",
                              std::to_string(srb->SRB_HaStat) + " and " +
                                  std::to_string(srb->SRB_TargStat));
                }
                outcome.note = "aborted while queued";
            } else if (status != SS_COMP) {
                FailCheck(outcome, "SS_ABORTED (0x02), or SS_COMP (0x01) when it ran first",
                          StatusText(status));
            } else if (data.data()[(Queued - 1) * length] != unit.deviceType) {
                FailCheck(outcome, "a completed request with its INQUIRY data",
                          "SS_COMP with no data in the buffer");
            } else {
                outcome.note = "it had run before the abort came; completed";
            }
        }
        for (int i = 0; i < sent; ++i) ReleaseRequest(requests[i], outcome);
    });
}

}  // namespace aspitool
