// The verdicts of a run as a whole: requests that had no answer by their
// check's time limit get one more time limit before they count as never
// completed; a post routine called for a block the check never sent (or
// no longer holds) is reported; and a run in which no unit answered at all
// is no success.
#include "check.h"

#include "check_requests.h"

namespace aspitool {
namespace {

// Returns nothing; waits once more for the requests that answered late, and
// fails the run for those that never do.
void SettleLateRequests(CheckRun& run) {
    const Deadline deadline{Clock::now() + std::chrono::milliseconds(run.limitMs)};
    std::string never;
    for (CheckRecord& record : run.records) {
        for (CheckRequest*& request : record.outcome.lateRequests) {
            if (request == nullptr) continue;
            if (AwaitRequest(*request, deadline)) {
                record.outcome.note += "; it ended later with " + StatusText(RequestStatus(*request));
                CheckOutcome released;
                ReleaseRequest(request, released);
                request = nullptr;
            } else {
                never += (never.empty() ? "" : "; ") + record.subject + " (" + record.name + "): " +
                         PendingState(*request);
            }
        }
    }
    if (never.empty()) return;
    run.libraryStuck = true;
    CheckOutcome outcome;
    FailCheck(outcome, "every request completed within twice the time limit",
              "no completion of the request of " + never);
    AddRecord(run, "library", "library.requests_completed", "requests completed", outcome);
}

}  // namespace

void CheckRunAsAWhole(CheckRun& run, size_t unitsTried) {
    SettleLateRequests(run);
    CheckOutcome again;
    const std::vector<std::string> seconds = SecondCompletions();
    if (!seconds.empty()) {
        std::string got = seconds.front();
        if (seconds.size() > 1) got += "; and " + std::to_string(seconds.size() - 1) + " more";
        FailCheck(again, "each request completed once, its block left alone after", got);
    } else {
        again.note = "none";
    }
    AddRecord(run, "library", "library.second_completions", "completions after the first", again);
    CheckOutcome stray;
    const int strays = StrayPosts();
    if (strays > 0) {
        FailCheck(stray, "the post routine called only for blocks sent and not yet completed",
                  std::to_string(strays) + " call" + (strays == 1 ? "" : "s") +
                      " for a block that was never sent or had already completed");
    } else {
        stray.note = "none";
    }
    AddRecord(run, "library", "library.stray_completions", "stray completions", stray);
    if (unitsTried == 0 || !run.stopReason.empty()) return;
    size_t reached = 0, noDevice = 0;
    for (const UnitReport& unit : run.units) {
        reached += unit.reached ? 1 : 0;
        noDevice += unit.noDevice ? 1 : 0;
    }
    CheckOutcome outcome;
    if (reached > 0) {
        outcome.note = std::to_string(reached) + " of " + std::to_string(unitsTried) + " answered";
    } else if (ReadSystemFacts().passThroughDenied) {
        SkipCheck(outcome, "this user may not send commands to units (the port devices refuse write "
                           "access): run as administrator; nothing was checked");
        run.nothingChecked = true;
    } else if (noDevice == unitsTried) {
        // A unit that a class driver claims may have no class device the
        // library can reach it through: its own account, not a refusal.
        SkipCheck(outcome, "the library reports every unit unreachable (SS_NO_DEVICE); nothing was checked");
        run.nothingChecked = true;
    } else {
        FailCheck(outcome, "an answer from at least one of the " + std::to_string(unitsTried) + " units",
                  "every request to every unit was refused or failed without one");
    }
    AddRecord(run, "library", "library.units_reached", "units reached", outcome);
}

}  // namespace aspitool
