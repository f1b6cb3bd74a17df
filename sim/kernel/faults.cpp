#include "sim/kernel/faults.h"

#include <strings.h>

#include <array>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {
namespace {

struct FaultRule {
    Call Target;
    unsigned Skip;    // matching calls still to let through
    unsigned Times;   // matching calls still to fail after that
    DWORD Error;
    std::string Subject;
};

struct HoldRule {
    Call Target;
    unsigned Skip;  // calls still to let through
    DWORD HoldMs;
};

struct FaultState {
    std::mutex Lock;
    std::vector<FaultRule> Rules;
    std::vector<HoldRule> Holds;
    std::array<unsigned, static_cast<size_t>(Call::Count)> Counts{};
};

FaultState& State() {
    static FaultState* state = new FaultState;
    return *state;
}

const char* const callNames[] = {
    "CreateFileA", "CloseHandle", "DeviceIoControl", "RegOpenKeyExA", "RegQueryValueExA",
    "RegEnumKeyExA", "GetLogicalDriveStringsA", "GetDriveTypeA", "CreateEventA",
    "CreateMutexA", "WaitForSingleObject", "WaitForMultipleObjects", "ReleaseMutex",
    "SetEvent", "ResetEvent", "_beginthread", "TerminateThread", "VirtualAlloc",
    "VirtualLock", "VirtualUnlock", "VirtualFree", "LoadLibraryA", "DuplicateHandle",
    "_endthread",
};
static_assert(sizeof(callNames) / sizeof(callNames[0]) == static_cast<size_t>(Call::Count),
              "one name per call");

}  // namespace

const char* CallName(Call call) { return callNames[static_cast<size_t>(call)]; }

void FailCall(Call call, unsigned nth, DWORD error, unsigned times, const std::string& subject) {
    FaultState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Rules.push_back(FaultRule{call, nth == 0 ? 0 : nth - 1, times, error, subject});
}

void ClearFaults() {
    FaultState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Rules.clear();
    state.Holds.clear();
}

void HoldCaller(Call call, unsigned nth, DWORD holdMs) {
    FaultState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Holds.push_back(HoldRule{call, nth == 0 ? 0 : nth - 1, holdMs});
}

void HoldIfAsked(Call call) {
    DWORD holdMs = 0;
    {
        FaultState& state = State();
        std::lock_guard<std::mutex> guard(state.Lock);
        for (auto rule = state.Holds.begin(); rule != state.Holds.end(); ++rule) {
            if (rule->Target != call) continue;
            if (rule->Skip > 0) {
                --rule->Skip;
                continue;
            }
            holdMs = rule->HoldMs;
            state.Holds.erase(rule);
            break;
        }
    }
    // A plain sleep, not a wait of the machine's: a thread that has lost
    // the processor is not inside any call that a termination could end.
    if (holdMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
}

bool TakeFault(Call call, const char* subject, DWORD* error) {
    FaultState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    ++state.Counts[static_cast<size_t>(call)];
    for (auto rule = state.Rules.begin(); rule != state.Rules.end(); ++rule) {
        if (rule->Target != call) continue;
        if (!rule->Subject.empty() &&
            (subject == nullptr || strcasecmp(rule->Subject.c_str(), subject) != 0)) {
            continue;
        }
        if (rule->Skip > 0) {
            --rule->Skip;
            continue;
        }
        *error = rule->Error;
        if (--rule->Times == 0) state.Rules.erase(rule);
        return true;
    }
    return false;
}

unsigned CallCount(Call call) {
    FaultState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.Counts[static_cast<size_t>(call)];
}

void ResetCallCounts() {
    FaultState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Counts.fill(0);
}

}  // namespace sim
