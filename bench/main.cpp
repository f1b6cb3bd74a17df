// Runs the benchmarks and reports, after Google Benchmark's own table, what
// only comparisons made in one run can say on a shared machine: each
// contender as a ratio to its baseline, the library's round trip against
// the floor that its design lays down (floor_bench.cpp) and that floor
// against a direct pass-through, the throughput of concurrent submitters,
// and how loading grows with units. Repeated runs
// (--benchmark_repetitions) count by their median, also when only
// aggregates are displayed.
#include "sim/kernel/threads.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

struct Measured {
    std::vector<double> Seconds;  // real time per iteration
    std::vector<double> ItemsPerSecond;
};

// Returns the median of `values`, or 0 when there are none.
double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Returns the name without the suffixes that say how time was taken.
std::string PlainName(std::string name) {
    for (const char* suffix : {"/real_time", "/manual_time", "/iterations:30"}) {
        const size_t at = name.find(suffix);
        if (at != std::string::npos) name.erase(at, std::string(suffix).size());
    }
    return name;
}

// Returns true and replaces `from` at the start of `name` with `to`.
bool SwapPrefix(std::string& name, const std::string& from, const std::string& to) {
    if (name.compare(0, from.size(), from) != 0) return false;
    name = to + name.substr(from.size());
    return true;
}

// Contender prefix and baseline prefix: every benchmark named with the
// first is compared with the one that has the second in its place.
const std::pair<const char*, const char*> pairPrefixes[] = {
    {"RoundTrip/Library-Event/", "RoundTrip/Direct/"},
    {"RoundTrip/Library-Post/", "RoundTrip/Direct/"},
    {"RoundTrip/Library-Poll/", "RoundTrip/Direct/"},
    {"RoundTrip/Library-Event/", "RoundTrip/Floor-Event/"},
    {"RoundTrip/Library-Post/", "RoundTrip/Floor-Post/"},
    {"RoundTrip/Library-Poll/", "RoundTrip/Floor-Poll/"},
    {"RoundTrip/Floor-Event/", "RoundTrip/Direct/"},
    {"RoundTrip/Floor-Post/", "RoundTrip/Direct/"},
    {"RoundTrip/Floor-Poll/", "RoundTrip/Direct/"},
    {"Watch/", "RoundTrip/"},
    {"Unavoidable/HandOff-Event/", "Unavoidable/HostFutex-HandOff/"},
    {"Threads/Library/", "Threads/Direct/"},
    {"Iscsi/Library/", "Iscsi/Libiscsi/"},
    {"Load/Library/", "Load/EntryLibrary/"},
    {"Execute/BufferedFallback/", "Execute/Direct/"},
    {"Lookup/Search/", "Lookup/CacheHit/"},
    {"Startup/WindowsProgram/", "Startup/LinuxClient/"},
};

// The ways of completion that the library and its floor are measured with.
const char* const completionNames[] = {"Event", "Post", "Poll"};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal: the program's own reporter does not see
    // --benchmark_color.
    RatioReporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}

    // Returns nothing: keeps what each run measured, then prints it.
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if ((run.run_type != Run::RT_Iteration && !median) || run.error_occurred ||
                run.iterations == 0) {
                continue;
            }
            std::string name = PlainName(run.benchmark_name());
            if (median) name.erase(name.size() - std::string("_median").size());
            Measured& measured = median ? medians_[name] : runs_[name];
            measured.Seconds.push_back(run.real_accumulated_time /
                                       static_cast<double>(run.iterations));
            auto items = run.counters.find("items_per_second");
            if (items != run.counters.end()) measured.ItemsPerSecond.push_back(items->second.value);
            if (median) runs_[name];  // listed, so that the summaries find it
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Returns nothing: prints every table that the runs allow.
    void PrintSummary() const {
        PrintRatios();
        PrintRoundTrips();
        PrintThreads();
        PrintLoadGrowth("Load/Discovery/Units/", "unit");
        PrintLoadGrowth("Load/Discovery/Ports/", "port");
    }

private:
    // Returns what counts for `name`: Google Benchmark's median over the
    // repetitions when it reported one, else the median of the runs seen.
    const Measured* Find(const std::string& name) const {
        auto median = medians_.find(name);
        if (median != medians_.end()) return &median->second;
        auto found = runs_.find(name);
        return found == runs_.end() ? nullptr : &found->second;
    }
    // Returns the time of `name` in seconds per iteration, or 0.
    double Time(const std::string& name) const {
        const Measured* measured = Find(name);
        return measured == nullptr ? 0 : Median(measured->Seconds);
    }
    // Returns the items per second of `name`, or 0.
    double Rate(const std::string& name) const {
        const Measured* measured = Find(name);
        return measured == nullptr ? 0 : Median(measured->ItemsPerSecond);
    }

    // Returns nothing: prints every contender against its baseline.
    void PrintRatios() const {
        std::printf("\nTime ratios, contender / baseline:\n");
        for (const auto& entry : runs_) {
            for (const auto& prefixes : pairPrefixes) {
                std::string baseline = entry.first;
                if (!SwapPrefix(baseline, prefixes.first, prefixes.second)) continue;
                const double base = Time(baseline);
                if (base <= 0) continue;
                std::printf("  %-44s / %-36s = %7.2f\n", entry.first.c_str(), baseline.c_str(),
                            Time(entry.first) / base);
            }
        }
    }

    // Returns nothing: prints each round trip of the library against its
    // floor and the floor against a direct pass-through, then the same
    // with the simulator's waits watching before they sleep (Watch).
    void PrintRoundTrips() const {
        for (const char* group : {"RoundTrip/", "Watch/"}) {
            bool header = false;
            for (const char* completion : completionNames) {
                const std::string library = std::string(group) + "Library-" + completion + "/";
                const std::string floor = std::string(group) + "Floor-" + completion + "/";
                for (const auto& entry : runs_) {
                    std::string floorName = entry.first, direct = entry.first;
                    if (!SwapPrefix(floorName, library, floor) ||
                        !SwapPrefix(direct, library, "RoundTrip/Direct/") || Time(floorName) <= 0 ||
                        Time(direct) <= 0) {
                        continue;
                    }
                    if (!header) {
                        std::printf("\n%s round trip, µs; goal library / floor <= 1.1\n"
                                    "  %-40s %9s %9s %9s %9s %9s\n",
                                    group, "request", "library", "floor", "direct", "lib/floor",
                                    "flr/dir");
                        header = true;
                    }
                    const double ours = Time(entry.first), least = Time(floorName),
                                 bare = Time(direct);
                    std::printf("  %-40s %9.2f %9.2f %9.2f %9.2f %9.2f\n", entry.first.c_str(),
                                ours * 1e6, least * 1e6, bare * 1e6, ours / least, least / bare);
                }
            }
        }
    }

    // Returns nothing: prints requests per second by submitting threads.
    void PrintThreads() const {
        bool header = false;
        for (int threads = 1; threads <= 64; threads *= 2) {
            const std::string suffix = "/threads:" + std::to_string(threads);
            for (const auto& entry : runs_) {
                std::string direct = entry.first;
                if (entry.first.size() < suffix.size() ||
                    entry.first.compare(entry.first.size() - suffix.size(), suffix.size(),
                                        suffix) != 0 ||
                    !SwapPrefix(direct, "Threads/Library/", "Threads/Direct/") ||
                    Rate(direct) <= 0) {
                    continue;
                }
                if (!header) {
                    std::printf("\nConcurrent submitters, requests per second:\n  %-40s %10s "
                                "%10s %7s\n",
                                "request", "library", "direct", "ratio");
                    header = true;
                }
                std::printf("  %-40s %10.0f %10.0f %7.2f\n", entry.first.c_str(),
                            Rate(entry.first), Rate(direct), Rate(entry.first) / Rate(direct));
            }
        }
    }

    // Returns nothing: prints the least-squares line of time against the
    // number that ends each name under `prefix`, and each point beside it.
    void PrintLoadGrowth(const std::string& prefix, const char* what) const {
        std::vector<std::pair<double, double>> points;
        for (const auto& entry : runs_) {
            if (entry.first.compare(0, prefix.size(), prefix) != 0) continue;
            points.emplace_back(std::stod(entry.first.substr(prefix.size())),
                                Time(entry.first) * 1e6);
        }
        if (points.size() < 2) return;
        std::sort(points.begin(), points.end());
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (const auto& p : points) {
            sx += p.first;
            sy += p.second;
            sxx += p.first * p.first;
            sxy += p.first * p.second;
        }
        const double n = static_cast<double>(points.size());
        const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        const double intercept = (sy - slope * sx) / n;
        std::printf("\n%s: %.2f µs per %s + %.1f µs (goal for 100 units: under 2000 µs)\n",
                    prefix.c_str(), slope, what, intercept);
        for (const auto& p : points) {
            std::printf("  %4.0f %ss %9.1f µs, line %9.1f µs\n", p.first, what, p.second,
                        intercept + slope * p.first);
        }
    }

    std::map<std::string, Measured> runs_;
    std::map<std::string, Measured> medians_;
};

}  // namespace

// Returns 0 once the benchmarks ran, 1 on an unknown argument.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // How long the simulator's waits watch for a change before they sleep,
    // in microseconds, for a run that weighs another setting.
    if (const char* spin = std::getenv("PTASPI_WAIT_SPIN_US")) {
        sim::SetWaitSpin(static_cast<unsigned>(std::strtoul(spin, nullptr, 10)));
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
