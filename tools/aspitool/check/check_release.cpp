#include "check_release.h"

#include "../release.h"

#include <vector>

namespace aspitool {
namespace {

// Returns the units that the library reported unreachable and no command
// reached, and (in `adapters`) the host adapters they are on.
size_t UnreachedUnits(const CheckRun& run, std::vector<uint8_t>& adapters) {
    size_t count = 0;
    for (const UnitReport& unit : run.units) {
        if (!unit.noDevice || unit.reached) continue;
        ++count;
        if (adapters.empty() || adapters.back() != unit.address.ha) adapters.push_back(unit.address.ha);
    }
    return count;
}

}  // namespace

std::string ReleaseLines() {
    const ReleaseFacts& release = CurrentRelease();
    std::string lines = "windows: " + ReleaseText(release) + "\n";
    if (!ElevationText(release).empty()) lines += "elevation: " + ElevationText(release) + "\n";
    return lines;
}

std::string UnreachedLine(const CheckRun& run) {
    if (!LacksElevation(CurrentRelease())) return std::string();
    std::vector<uint8_t> adapters;
    const size_t count = UnreachedUnits(run, adapters);
    if (count == 0) return std::string();
    std::string list;
    for (size_t i = 0; i < adapters.size(); ++i) {
        if (i > 0) list += i + 1 == adapters.size() ? " and " : ", ";
        list += std::to_string(adapters[i]);
    }
    return "unreached: " + Plural(count, "unit") + " on host adapter" +
           (adapters.size() == 1 ? " " : "s ") + list + ": " + ElevationAdvice() + "\n";
}

void AddReleaseJson(const CheckRun& run, Json& document) {
    document.Set("windows", ReleaseJson(CurrentRelease()));
    std::vector<uint8_t> adapters;
    const size_t count = UnreachedUnits(run, adapters);
    Json list = Json::Array();
    for (uint8_t ha : adapters) list.Push(Json::Number(ha));
    Json unreached = Json::Object();
    unreached.Set("units", Json::Number(static_cast<int64_t>(count)))
        .Set("adapters", list)
        .Set("elevation_would_reach", Json::Boolean(count > 0 && LacksElevation(CurrentRelease())));
    document.Set("unreached", unreached);
}

std::string UnreachableReason() {
    if (!LacksElevation(CurrentRelease())) return std::string();
    return "; this process runs without elevation, which keeps it from every unit but CD and DVD "
           "drives: run it from an elevated command prompt to check this unit";
}

}  // namespace aspitool
