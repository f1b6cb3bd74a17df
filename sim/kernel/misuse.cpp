#include "sim/kernel/misuse.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

std::atomic<MisuseReport> misuseReport{nullptr};

}  // namespace

void SetMisuseReport(MisuseReport report) { misuseReport.store(report); }

void ReportMisuse(const char* text, const void* caller) {
    if (MisuseReport report = misuseReport.load()) report(text, caller);
    std::fprintf(stderr, "simulator: %s (called from %p)\n", text, caller);
    std::abort();
}

}  // namespace sim
