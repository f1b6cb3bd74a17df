// The report of a check run: one line per check for people, or one JSON
// document for programs, and the summary.
#include "check.h"

#include "../output.h"

#include <cstdio>

namespace aspitool {
namespace {

// Returns "PASS", "FAIL" or "SKIP".
const char* VerdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Pass: return "PASS";
    case Verdict::Fail: return "FAIL";
    case Verdict::Skip: return "SKIP";
    }
    return "?";
}

// Returns the line of one check, without its newline.
std::string RecordLine(const CheckRecord& record) {
    std::string line = std::string(VerdictName(record.outcome.verdict)) + "  " + record.subject;
    line.resize(std::max<size_t>(line.size() + 1, 18), ' ');
    line += record.name;
    const CheckOutcome& outcome = record.outcome;
    if (outcome.verdict == Verdict::Fail) {
        line += ": expected " + outcome.expected + "; got " + outcome.got;
    } else if (!outcome.note.empty()) {
        line += ": " + outcome.note;
    }
    return line;
}

}  // namespace

int ReportCheckRun(const CheckRun& run, bool json, const std::string& libraryPath,
                   uint32_t totalMs) {
    int counts[3] = {0, 0, 0};
    for (const CheckRecord& record : run.records) ++counts[static_cast<int>(record.outcome.verdict)];
    const int passed = counts[0], failed = counts[1], skipped = counts[2];
    if (json) {
        Json checks = Json::Array();
        for (const CheckRecord& record : run.records) {
            const CheckOutcome& outcome = record.outcome;
            Json entry = Json::Object();
            entry.Set("subject", Json::Text(record.subject))
                .Set("check", Json::Text(record.name))
                .Set("result", Json::Text(VerdictName(outcome.verdict)));
            if (outcome.verdict == Verdict::Fail) {
                entry.Set("expected", Json::Text(outcome.expected)).Set("got", Json::Text(outcome.got));
            }
            if (!outcome.note.empty()) {
                entry.Set(outcome.verdict == Verdict::Skip ? "reason" : "detail", Json::Text(outcome.note));
            }
            for (const auto& figure : outcome.figures) entry.Set(figure.first, Json::Number(figure.second));
            entry.Set("ms", Json::Number(record.elapsedMs));
            checks.Push(entry);
        }
        Json summary = Json::Object();
        summary.Set("checks", Json::Number(static_cast<int64_t>(run.records.size())))
            .Set("passed", Json::Number(passed))
            .Set("failed", Json::Number(failed))
            .Set("skipped", Json::Number(skipped))
            .Set("ms", Json::Number(totalMs));
        if (!run.stopReason.empty()) summary.Set("stopped", Json::Text(run.stopReason));
        Json document = Json::Object();
        document.Set("library", Json::Text(libraryPath));
        if (!run.session->machine.name.empty()) {
            document.Set("machine", Json::Text(run.session->machine.name));
        }
        document.Set("time_limit_s", Json::Number(run.limitMs / 1000))
            .Set("checks", checks)
            .Set("summary", summary);
        PrintJson(document);
    } else {
        std::printf("aspitool check of %s%s\n", libraryPath.c_str(),
                    run.session->machine.name.empty()
                        ? ""
                        : (" on \"" + run.session->machine.name + "\"").c_str());
        for (const CheckRecord& record : run.records) std::printf("%s\n", RecordLine(record).c_str());
        if (!run.stopReason.empty()) std::printf("stopped: %s\n", run.stopReason.c_str());
        std::printf("summary: %zu checks, %d passed, %d failed, %d skipped, %.1f s\n",
                    run.records.size(), passed, failed, skipped, totalMs / 1000.0);
    }
    return failed == 0 ? ExitOk : ExitFailure;
}

}  // namespace aspitool
