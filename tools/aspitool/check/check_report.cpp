// The report of a check run: one line per check for people, or one JSON
// document for programs, with the same verdicts and words.
#include "check.h"

#include "../output.h"
#include "check_release.h"

#include <cstdio>
#include <vector>

namespace aspitool {
namespace {

// The version of the JSON document's shape; raised when a member changes
// meaning or goes away, not when one is added.
const int ReportSchemaVersion = 1;

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

std::string FileVersion(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return std::string();
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 && bytes.size() < 64u * 1024 * 1024) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    std::fclose(file);
    const unsigned char signature[] = {0xBD, 0x04, 0xEF, 0xFE};
    for (size_t i = 0; i + 16 <= bytes.size(); i += 4) {
        if (std::equal(signature, signature + 4, bytes.begin() + static_cast<long>(i))) {
            auto word = [&](size_t at) { return bytes[at] | (bytes[at + 1] << 8); };
            char text[48];
            std::snprintf(text, sizeof text, "%u.%u.%u.%u", word(i + 10), word(i + 8), word(i + 14),
                          word(i + 12));
            return text;
        }
    }
    return std::string();
}

namespace {

// Returns the last part of `path`.
std::string FileName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Returns the line about a unit's pending condition, without its newline.
std::string PendingLine(const UnitReport& unit) {
    return "pending: unit " + FormatAddress(unit.address) + " had " + unit.pendingCondition +
           " waiting, which this check took (it may have been meant for another program)";
}

}  // namespace

int ReportCheckRun(const CheckRun& run, bool json, const std::string& libraryPath,
                   uint32_t totalMs) {
    int counts[3] = {0, 0, 0};
    for (const CheckRecord& record : run.records) ++counts[static_cast<int>(record.outcome.verdict)];
    const int passed = counts[0], failed = counts[1], skipped = counts[2];
    const int code = failed > 0 ? ExitFailure : run.nothingChecked ? ExitNothingChecked : ExitOk;
    const std::string& version = run.libraryVersion;
    const std::string machine = run.session->machine.name;
    if (json) {
        Json checks = Json::Array();
        for (const CheckRecord& record : run.records) {
            const CheckOutcome& outcome = record.outcome;
            Json entry = Json::Object();
            entry.Set("id", Json::Text(record.id))
                .Set("subject", Json::Text(record.subject))
                .Set("check", Json::Text(record.name))
                .Set("verdict", Json::Text(VerdictName(outcome.verdict)));
            if (outcome.verdict == Verdict::Fail) {
                entry.Set("expected", Json::Text(outcome.expected)).Set("observed", Json::Text(outcome.got));
            }
            if (!outcome.note.empty()) {
                entry.Set(outcome.verdict == Verdict::Skip ? "reason" : "detail", Json::Text(outcome.note));
            }
            for (const auto& figure : outcome.figures) entry.Set(figure.first, Json::Number(figure.second));
            entry.Set("ms", Json::Number(record.elapsedMs));
            checks.Push(entry);
        }
        Json units = Json::Array();
        for (const UnitReport& unit : run.units) {
            Json entry = Json::Object();
            entry.Set("address", Json::Text(FormatAddress(unit.address)))
                .Set("peripheral", Json::Number(unit.peripheral))
                .Set("vendor", Json::Text(unit.vendor))
                .Set("product", Json::Text(unit.product))
                .Set("revision", Json::Text(unit.revision))
                .Set("pending_condition",
                     unit.pendingCondition.empty() ? Json::Null() : Json::Text(unit.pendingCondition));
            units.Push(entry);
        }
        Json summary = Json::Object();
        summary.Set("checks", Json::Number(static_cast<int64_t>(run.records.size())))
            .Set("passed", Json::Number(passed))
            .Set("failed", Json::Number(failed))
            .Set("skipped", Json::Number(skipped))
            .Set("exit_code", Json::Number(code))
            .Set("ms", Json::Number(totalMs));
        if (!run.stopReason.empty()) summary.Set("stopped", Json::Text(run.stopReason));
        Json library = Json::Object();
        library.Set("path", Json::Text(libraryPath))
            .Set("file", Json::Text(FileName(libraryPath)))
            .Set("version", version.empty() ? Json::Null() : Json::Text(version));
        Json document = Json::Object();
        document.Set("schema_version", Json::Number(ReportSchemaVersion))
            .Set("library", library)
            .Set("machine", machine.empty() ? Json::Null() : Json::Text(machine))
            .Set("time_limit_s", Json::Number(run.limitMs / 1000))
            .Set("units", units)
            .Set("checks", checks)
            .Set("summary", summary);
        AddReleaseJson(run, document);
        PrintJson(document);
    } else {
        std::printf("aspitool check of %s%s%s\n", libraryPath.c_str(),
                    version.empty() ? "" : (" (version " + version + ")").c_str(),
                    machine.empty() ? "" : (" on \"" + machine + "\"").c_str());
        std::fputs(ReleaseLines().c_str(), stdout);
        for (const UnitReport& unit : run.units) {
            if (unit.vendor.empty() && unit.product.empty()) continue;
            std::printf("unit %s: %s %s %s\n", FormatAddress(unit.address).c_str(), unit.vendor.c_str(),
                        unit.product.c_str(), unit.revision.c_str());
        }
        for (const CheckRecord& record : run.records) std::printf("%s\n", RecordLine(record).c_str());
        for (const UnitReport& unit : run.units) {
            if (!unit.pendingCondition.empty()) std::printf("%s\n", PendingLine(unit).c_str());
        }
        std::fputs(UnreachedLine(run).c_str(), stdout);
        if (!run.stopReason.empty()) std::printf("stopped: %s\n", run.stopReason.c_str());
        std::printf("summary: %zu checks, %d passed, %d failed, %d skipped, %.1f s\n",
                    run.records.size(), passed, failed, skipped, totalMs / 1000.0);
        if (run.nothingChecked) std::printf("nothing checked: no unit could be reached\n");
    }
    return code;
}

}  // namespace aspitool
