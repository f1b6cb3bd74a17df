// The fault sweep: one scenario (load, discovery, execute requests of every
// notification kind in both directions, aborts, a host adapter and a device
// type inquiry, a reset, unload) is run once clean to count the platform
// calls it makes, then once for every call, every N up to its count and
// every realistic error of that call, with the Nth call failing. Every run
// must end (a watchdog bounds it), account for every request, and give back
// everything the library took.
#include "reliability_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace reliability {
namespace {

// NT's codes that the simulated windows.h does not name.
constexpr DWORD ErrorNotLocked = 158;
constexpr DWORD ErrorNoSystemResources = 1450;
constexpr DWORD ErrorWorkingSetQuota = 1453;

// The errors each call fails with, as NT's functions report them.
// ReleaseMutex is not among them: NT fails it only for a thread that does
// not own the mutex, and the library releases only what it holds. Made to
// fail anyway, the holder keeps the queue's lock for good and every later
// submission waits for ever.
struct CallFaults {
    sim::Call Call;
    std::vector<DWORD> Errors;
};
const CallFaults faultTable[] = {
    {sim::Call::CreateFileA, {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_SHARING_VIOLATION}},
    {sim::Call::CloseHandle, {ERROR_INVALID_HANDLE}},
    {sim::Call::DeviceIoControl, {ERROR_IO_DEVICE, ERROR_SEM_TIMEOUT, ERROR_DEVICE_NOT_CONNECTED}},
    {sim::Call::RegOpenKeyExA, {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
    {sim::Call::RegQueryValueExA, {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
    {sim::Call::RegEnumKeyExA, {ERROR_NO_MORE_ITEMS, ERROR_ACCESS_DENIED}},
    {sim::Call::GetLogicalDriveStringsA, {ERROR_NOT_ENOUGH_MEMORY}},
    {sim::Call::GetDriveTypeA, {ERROR_PATH_NOT_FOUND}},
    {sim::Call::CreateEventA, {ErrorNoSystemResources, ERROR_NOT_ENOUGH_MEMORY}},
    {sim::Call::CreateMutexA, {ErrorNoSystemResources, ERROR_NOT_ENOUGH_MEMORY}},
    {sim::Call::WaitForSingleObject, {ERROR_INVALID_HANDLE}},
    {sim::Call::WaitForMultipleObjects, {ERROR_INVALID_HANDLE}},
    {sim::Call::SetEvent, {ERROR_INVALID_HANDLE}},
    {sim::Call::ResetEvent, {ERROR_INVALID_HANDLE}},
    {sim::Call::BeginThread, {ERROR_NOT_ENOUGH_MEMORY}},
    {sim::Call::TerminateThread, {ERROR_ACCESS_DENIED}},
    {sim::Call::VirtualAlloc, {ERROR_NOT_ENOUGH_MEMORY}},
    {sim::Call::VirtualLock, {ErrorWorkingSetQuota}},
    {sim::Call::VirtualUnlock, {ErrorNotLocked}},
    {sim::Call::VirtualFree, {ERROR_INVALID_ADDRESS}},
    {sim::Call::LoadLibraryA, {ERROR_MOD_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY}},
    {sim::Call::DuplicateHandle, {ERROR_NOT_ENOUGH_MEMORY}},
};

// How long a run's requests may take to complete, all of them together.
constexpr long RunBudgetMs = 5000;
std::chrono::steady_clock::time_point runDeadline;

// Returns the milliseconds left of the run's budget.
DWORD Remaining() {
    const long left = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
        runDeadline - std::chrono::steady_clock::now()).count());
    return left > 0 ? static_cast<DWORD>(left) : 0;
}
constexpr int RequestCount = 11;
Request requests[RequestCount];
HANDLE events[RequestCount];
std::atomic<int> resetPosts{0};

// Returns nothing: counts a post of the reset request.
void __cdecl CountResetPost(void*) { resetPosts.fetch_add(1); }

// Returns true when the status is one that a finished execute request may hold.
bool Final(BYTE status, bool abortable) {
    switch (status) {
    case SS_COMP: case SS_ERR: case SS_NO_DEVICE: case SS_ILLEGAL_MODE: case SS_BUFFER_TO_BIG:
        return true;
    case SS_ABORTED:
        return abortable;
    default:
        return false;
    }
}

// Returns what went wrong in the scenario's requests ("" when nothing),
// with the library loaded.
std::string RunRequests(const Library& library) {
    std::string problems;
    runDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(RunBudgetMs);
    const DWORD info = library.SupportInfo();
    const BYTE adapters = static_cast<BYTE>(info);
    if ((info & 0xFFFFFF00u) != 0x100u) problems += "support info;";
    const DWORD refused = adapters == 0 ? DWORD(SS_INVALID_HA) : 0;

    SRB_HAInquiry inquiry = {};
    inquiry.SRB_Cmd = SC_HA_INQUIRY;
    if (library.Send(&inquiry) != (refused ? refused : DWORD(SS_COMP))) problems += "inquiry;";
    SRB_GDEVBlock deviceType = {};
    deviceType.SRB_Cmd = SC_GET_DEV_TYPE;
    const DWORD typed = library.Send(&deviceType);
    if (refused ? typed != refused : typed != SS_COMP && typed != SS_NO_DEVICE) problems += "type;";
    SRB_BusDeviceReset reset = {};
    reset.SRB_Cmd = SC_RESET_DEV;
    reset.SRB_Flags = SRB_POSTING;
    reset.SRB_PostProc = reinterpret_cast<void*>(&CountResetPost);
    resetPosts = 0;
    if (library.Send(&reset) != (refused ? refused : DWORD(SS_COMP)) ||
        resetPosts != (refused ? 0 : 1)) {
        problems += "reset;";
    }

    const BYTE read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    const BYTE write10[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    const BYTE testUnitReady[6] = {};
    const BYTE modeSense[6] = {0x1A, 0, 0x3F, 0, 32, 0};
    struct Plan {
        BYTE Target;
        const BYTE* Cdb;
        BYTE CdbLength;
        bool DataIn;
        Notify Kind;
    };
    const Plan plans[RequestCount] = {
        // One at a time: each completes before the next is sent.
        {0, read10, 10, true, Notify::Event},    {0, write10, 10, false, Notify::Post},
        {2, testUnitReady, 6, false, Notify::Poll}, {2, modeSense, 6, true, Notify::Post},
        {2, read10, 10, true, Notify::Event},    {5, testUnitReady, 6, false, Notify::Poll},
        {0, testUnitReady, 6, false, Notify::EventAndPost},
        // Behind a command that hangs: queued, two of them aborted.
        {1, testUnitReady, 6, false, Notify::Poll}, {2, testUnitReady, 6, false, Notify::Post},
        {2, testUnitReady, 6, false, Notify::Event}, {2, read10, 10, true, Notify::Poll},
    };
    DWORD returned[RequestCount];
    for (int i = 0; i < RequestCount; ++i) {
        Request& request = requests[i];
        Prepare(request, plans[i].Target, plans[i].Cdb, plans[i].CdbLength, plans[i].DataIn,
                plans[i].Kind, events[i]);
        returned[i] = library.Send(&request.Srb);
        if (i < 7) AwaitStatus(request, Remaining());
        if (i == 7) {
            while (Remaining() > 0 && sim::HangingCommandCount() == 0 &&
                   AwaitStatus(request, 0) == SS_PENDING) {
                Sleep(1);
            }
        }
    }
    for (int aborted : {8, 9}) {
        SRB_Abort abort = {};
        abort.SRB_Cmd = SC_ABORT_SRB;
        abort.SRB_ToAbort = &requests[aborted].Srb;
        const DWORD result = library.Send(&abort);
        if (result != (refused ? refused : DWORD(SS_COMP)) && result != SS_INVALID_SRB) {
            problems += "abort " + std::to_string(aborted) + " returned " +
                        std::to_string(result) + ";";
        }
    }
    sim::ReleaseHangs();

    for (int i = 0; i < RequestCount; ++i) {
        const Request& request = requests[i];
        const std::string name = "request " + std::to_string(i) + " ";
        const BYTE status = AwaitStatus(request, Remaining());
        if (refused) {
            if (returned[i] != refused || status != refused) problems += name + "not refused;";
            continue;
        }
        if (returned[i] != SS_PENDING && returned[i] != status) problems += name + "returned;";
        if (status == SS_PENDING) {
            problems += name + "never completed;";
        } else if (!Final(status, i == 8 || i == 9)) {
            problems += name + "status " + std::to_string(status) + ";";
        }
    }
    return problems;
}

// Returns what went wrong in the posts and events, read once the library
// is gone and no fault is pending any more ("" when nothing). An event
// whose SetEvent was the call made to fail may be missing.
std::string CheckNotifications(bool refused, bool setEventFailed) {
    std::string problems;
    for (int i = 0; i < RequestCount; ++i) {
        const Request& request = requests[i];
        const std::string name = "request " + std::to_string(i) + " ";
        const int posts = request.Posts.load();
        const bool posted = !refused && request.Kind == Notify::Post;
        if (posts != (posted ? 1 : 0)) problems += name + std::to_string(posts) + " posts;";
        const bool signalled = WaitForSingleObject(events[i], 0) == WAIT_OBJECT_0;
        const bool eventKind = request.Kind == Notify::Event || request.Kind == Notify::EventAndPost;
        if (signalled != (eventKind && !refused) && !(setEventFailed && eventKind && !signalled)) {
            problems += name + (signalled ? "event set;" : "event not set;");
        }
        ResetEvent(events[i]);
    }
    return problems;
}

// Returns what went wrong in one run of the whole scenario, with the given
// fault armed ("" when nothing).
std::string RunScenario(sim::Call call, unsigned nth, DWORD error, bool armed) {
    // Counted afresh for each run, so that one run's finding is not charged
    // to every run after it.
    const Resources before = CountResources();
    sim::ResetCallCounts();
    if (armed) sim::FailCall(call, nth, error);
    Library library;
    std::string problems;
    const bool loaded = Load(library);
    bool refused = false;
    if (loaded) {
        refused = static_cast<BYTE>(library.SupportInfo()) == 0;
        problems += RunRequests(library);
    } else {
        for (Request& request : requests) request.Kind = Notify::Poll;
    }
    Unload(library);
    if (!sim::WaitForThreadsToEnd(5000)) problems += "a thread runs on after unload;";
    const bool taken = armed && sim::CallCount(call) >= nth;
    sim::ClearFaults();
    if (loaded) problems += CheckNotifications(refused, taken && call == sim::Call::SetEvent);

    // A release call that fails leaves its one object behind, and only that.
    Resources after = CountResources();
    if (taken && call == sim::Call::CloseHandle && after.Handles == before.Handles + 1) {
        after.Handles = before.Handles;
    }
    if (taken && call == sim::Call::VirtualFree && after.Allocations == before.Allocations + 1) {
        after.Allocations = before.Allocations;
        after.Committed = before.Committed;
        after.Locked = before.Locked;
    }
    if (!(after == before)) {
        problems += "left behind: " + Describe(CountResources()) + " (before: " +
                    Describe(before) + ");";
    }
    return problems;
}

// Returns nothing; aborts the process, naming the run, when a run takes
// longer than a minute: a hang is a finding, and must not stall the suite.
std::atomic<long> watchdogDeadline{0};
std::string watchdogRun;
void Watchdog() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long deadline = watchdogDeadline.load();
        const long now = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now().time_since_epoch()).count());
        if (deadline != 0 && now > deadline) {
            fprintf(stderr, "fault sweep: run hangs: %s\n", watchdogRun.c_str());
            abort();
        }
    }
}

// Returns nothing; arms the watchdog for the run named.
void ArmWatchdog(const std::string& run) {
    watchdogRun = run;
    watchdogDeadline = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count()) + 60;
}

TEST(FaultSweep, EveryFailingCallIsSurvived) {
    ASSERT_TRUE(InstallMachine());
    sim::CurrentThreadEnvironment();
    for (HANDLE& event : events) event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread(Watchdog).detach();

    ArmWatchdog("clean");
    ASSERT_EQ(RunScenario(sim::Call::Count, 0, 0, false), "");
    unsigned counts[static_cast<size_t>(sim::Call::Count)];
    for (size_t c = 0; c < static_cast<size_t>(sim::Call::Count); ++c) {
        counts[c] = sim::CallCount(static_cast<sim::Call>(c));
    }
    // The whole sweep, or every stride-th run of it (from the offset), as
    // PTASPI_SWEEP_STRIDE and PTASPI_SWEEP_OFFSET say.
    const char* strideText = getenv("PTASPI_SWEEP_STRIDE");
    const char* offsetText = getenv("PTASPI_SWEEP_OFFSET");
    const unsigned stride = strideText != nullptr ? std::max(1, atoi(strideText)) : 1;
    const unsigned offset = offsetText != nullptr ? static_cast<unsigned>(atoi(offsetText)) : 0;
    // PTASPI_SWEEP_CALL names the one call to sweep, to look into a finding.
    const char* only = getenv("PTASPI_SWEEP_CALL");

    unsigned runs = 0, survived = 0, index = 0;
    std::vector<std::string> failures;
    const auto start = std::chrono::steady_clock::now();
    for (const CallFaults& faults : faultTable) {
        const unsigned made = counts[static_cast<size_t>(faults.Call)];
        if (only != nullptr && std::string(only) != sim::CallName(faults.Call)) continue;
        for (unsigned nth = 1; nth <= made; ++nth) {
            for (DWORD error : faults.Errors) {
                if (index++ % stride != offset % stride) continue;
                const std::string run = std::string(sim::CallName(faults.Call)) + " call " +
                                        std::to_string(nth) + " of " + std::to_string(made) +
                                        " fails with " + std::to_string(error);
                ArmWatchdog(run);
                const std::string problems = RunScenario(faults.Call, nth, error, true);
                ++runs;
                if (problems.empty()) {
                    ++survived;
                } else {
                    failures.push_back(run + ": " + problems);
                }
            }
        }
    }
    watchdogDeadline = 0;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("fault sweep: %u of %u runs survived (%u in the whole sweep, stride %u), %.1f s\n",
           survived, runs, index, stride, seconds);
    for (size_t c = 0; c < static_cast<size_t>(sim::Call::Count); ++c) {
        if (counts[c] != 0) printf("  %s: %u calls\n", sim::CallName(static_cast<sim::Call>(c)), counts[c]);
    }
    for (const std::string& failure : failures) ADD_FAILURE() << failure;
    for (HANDLE event : events) CloseHandle(event);
    sim::UninstallMachine();
}

}  // namespace
}  // namespace reliability
