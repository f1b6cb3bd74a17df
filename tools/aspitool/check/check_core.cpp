// The frame every check runs in: its own thread, its own time limit, and a
// stop of the whole run once the library cannot be trusted any more.
#include "check.h"

#include "guarded_run.h"

#include <memory>

namespace aspitool {
namespace {

// A check's own waits end by its deadline; the guard waits this much longer
// for the thread, so that a request that never completes is reported by
// the check itself, with what it was waiting for.
const uint32_t GuardGraceMs = 2000;

}  // namespace

void FailCheck(CheckOutcome& outcome, const std::string& expected, const std::string& got) {
    if (outcome.verdict == Verdict::Fail) return;
    outcome.verdict = Verdict::Fail;
    outcome.expected = expected;
    outcome.got = got;
}

void SkipCheck(CheckOutcome& outcome, const std::string& reason) {
    if (outcome.verdict == Verdict::Fail) return;
    outcome.verdict = Verdict::Skip;
    outcome.note = reason;
}

uint32_t Deadline::LeftMs() const {
    const auto now = Clock::now();
    if (now >= end) return 0;
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count());
}

void AddRecord(CheckRun& run, const std::string& subject, const std::string& id,
               const std::string& name, const CheckOutcome& outcome) {
    CheckRecord record;
    record.subject = subject;
    record.id = id;
    record.name = name;
    record.outcome = outcome;
    run.records.push_back(record);
}

CheckOutcome PerformCheck(CheckRun& run, const std::string& subject, const std::string& id,
                          const std::string& name, CheckBody body) {
    CheckRecord record;
    record.subject = subject;
    record.id = id;
    record.name = name;
    if (!run.stopReason.empty()) {
        SkipCheck(record.outcome, run.stopReason);
        run.records.push_back(record);
        return run.records.back().outcome;
    }
    const auto start = Clock::now();
    // Shared with the thread, and never freed unless the thread finished:
    // a thread that hangs may still write its outcome.
    struct Shared {
        Deadline deadline;
        CheckOutcome outcome;
        CheckBody body;
    };
    Shared* shared = new Shared{Deadline{start + std::chrono::milliseconds(run.limitMs)},
                                CheckOutcome(), std::move(body)};
    std::string fault;
    const GuardedEnd end = RunGuarded([shared] { shared->body(shared->deadline, shared->outcome); },
                                      run.limitMs + GuardGraceMs, fault);
    record.elapsedMs = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    const std::string limit = std::to_string(run.limitMs / 1000) + " s";
    switch (end) {
    case GuardedEnd::Finished:
        record.outcome = shared->outcome;
        delete shared;
        if (record.outcome.requestLeftBehind) {
            run.stopReason = "a request of check '" + name + "' of " + subject +
                             " had no answer in time, and the library still holds it";
        }
        break;
    case GuardedEnd::TimedOut:
        FailCheck(record.outcome, "the check to end within " + limit,
                  "time-out: a call into the library did not return");
        run.libraryStuck = true;
        run.stopReason = "a call into the library of check '" + name + "' of " + subject +
                         " never returned";
        break;
    case GuardedEnd::Faulted:
        FailCheck(record.outcome, "no fault", "fault in the library: " + fault);
        run.libraryStuck = true;
        run.stopReason = "the library faulted in check '" + name + "' of " + subject;
        break;
    case GuardedEnd::NotStarted:
        delete shared;
        FailCheck(record.outcome, "a thread to run the check on", "no thread could be started");
        break;
    }
    run.records.push_back(record);
    return run.records.back().outcome;
}

}  // namespace aspitool
