// Runs the benchmarks and reports, beside Google Benchmark's own table, the
// ratio of each pair measured side by side in this one run: on a shared
// machine only such ratios mean anything.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Prints how many times slower `contender` is than `baseline`.
    void PrintRatio(const std::string& baseline, const std::string& contender) const {
        auto base = times_.find(baseline);
        auto other = times_.find(contender);
        if (base == times_.end() || other == times_.end() || base->second <= 0) return;
        std::printf("ratio %-44s / %-36s = %6.2f\n", contender.c_str(), baseline.c_str(),
                    other->second / base->second);
    }

private:
    std::map<std::string, double> times_;
};

// The pairs compared: (baseline, contender).
const std::pair<const char*, const char*> pairs[] = {
    {"BM_FindDeviceCacheHit", "BM_FindDeviceAlternatingSearch"},
    {"BM_ExecuteReadDirect", "BM_ExecuteReadBufferedFallback"},
    {"BM_LoadEntryLibrary", "BM_LoadLibraryIdleWorker"},
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    for (const auto& pair : pairs) {
        reporter.PrintRatio(pair.first, pair.second);
    }
    benchmark::Shutdown();
    return 0;
}
