// The floor of a library round trip: what one execute request costs when
// an application thread and a worker thread make exactly the platform
// calls of the library's design, in its order and with its waits, and run
// no library code at all. The library's round trip over this floor is what
// its own code costs; this floor over a direct pass-through is what the
// design costs.
//
// application  WaitForSingleObject(queue mutex), SetEvent(work event),
//              ReleaseMutex(queue mutex): the submission; then a wait for
//              its event, or reading the status until it is no longer
//              pending.
// worker       WaitForMultipleObjects(queue mutex and work event, all),
//              takes the request, ReleaseMutex; CreateFileA, VirtualAlloc,
//              DeviceIoControl (direct pass-through), GetLastError,
//              VirtualFree, CloseHandle; the status, then SetEvent of the
//              application's event, or its post routine (which sets it),
//              or nothing (polling). Then WaitForMultipleObjects again,
//              which returns at once since the work event is still set,
//              finds nothing to take, ResetEvent, ReleaseMutex; and the
//              third wait sleeps until the next submission.
//
// The work event is reset only by a wait that finds nothing to take, never
// as the last request is taken (that reset could lose a submission made
// between the take and the next wait), so each request costs the worker
// that second wait and its release, as it costs the library's worker.
#include "bench_support.h"

#include "sim/kernel/teb.h"
#include "sim/kernel/threads.h"
#include "sim/sim.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Completion;

unsigned spinBefore = 0;

// The bytes after the sense area in the library's direct request buffer.
constexpr DWORD RequestBufferSlack = 4;

// Returns nothing: runs one request as the library's worker does, with
// the platform calls only: the unit opened and closed, one request buffer,
// one direct pass-through; then stores the status and posts completion.
void RunRequest(bench::ExecRequest& request, const std::string& path) {
    SRB_ExecSCSICmd& srb = request.Srb;
    const HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
    const DWORD size = sizeof(SCSI_PASS_THROUGH_DIRECT) + srb.SRB_SenseLen + RequestBufferSlack;
    BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    BYTE status = SS_ERR;
    if (buffer != nullptr) {
        std::memset(buffer, 0, size);
        auto* header = reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(buffer);
        header->Length = sizeof *header;
        header->CdbLength = srb.SRB_CDBLen;
        header->SenseInfoLength = srb.SRB_SenseLen;
        header->DataIn = SCSI_IOCTL_DATA_IN;
        header->DataTransferLength = srb.SRB_BufLen;
        header->TimeOutValue = 300;
        header->DataBuffer = srb.SRB_BufPointer;
        header->SenseInfoOffset = sizeof *header;
        std::memcpy(header->Cdb, srb.CDBByte, sizeof header->Cdb);
        DWORD returned = 0;
        const BOOL done = DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer,
                                          sizeof *header, buffer, size, &returned, nullptr);
        DWORD error = GetLastError();
        benchmark::DoNotOptimize(error);  // the library keeps it for the status mapping
        std::memcpy(request.Sense, buffer + sizeof *header, sizeof request.Sense);
        srb.SRB_TargStat = header->ScsiStatus;
        status = done && header->ScsiStatus == 0 ? SS_COMP : SS_ERR;
        VirtualFree(buffer, 0, MEM_RELEASE);
    }
    CloseHandle(device);
    __atomic_store_n(&srb.SRB_Status, status, __ATOMIC_RELEASE);
    if ((srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0) {
        SetEvent(static_cast<HANDLE>(srb.SRB_PostProc));
    } else if ((srb.SRB_Flags & SRB_POSTING) != 0) {
        reinterpret_cast<void(__cdecl*)(void*)>(srb.SRB_PostProc)(&srb);
    }
}

// The queue and its worker: one request at a time, so one slot; the
// worker's loop is the library's, down to its waits.
class Floor {
public:
    explicit Floor(std::string path) : path_(std::move(path)), worker_([this] { Work(); }) {}
    Floor(const Floor&) = delete;
    Floor& operator=(const Floor&) = delete;
    ~Floor() {
        WaitForSingleObject(mutex_, INFINITE);
        stop_ = true;
        SetEvent(work_);
        ReleaseMutex(mutex_);
        worker_.join();
        CloseHandle(work_);
        CloseHandle(mutex_);
    }

    // Returns nothing: queues the request under the lock and wakes the
    // worker, as a submission does.
    void Submit(bench::ExecRequest& request) {
        __atomic_store_n(&request.Srb.SRB_Status, static_cast<BYTE>(SS_PENDING), __ATOMIC_RELAXED);
        WaitForSingleObject(mutex_, INFINITE);
        pending_ = &request;
        SetEvent(work_);
        ReleaseMutex(mutex_);
    }

private:
    // Returns once stopped: the worker's loop.
    void Work() {
        sim::CurrentThreadEnvironment();
        const HANDLE both[2] = {mutex_, work_};
        WaitForMultipleObjects(2, both, TRUE, INFINITE);
        while (!stop_) {
            bench::ExecRequest* taken = pending_;
            pending_ = nullptr;
            if (taken == nullptr) ResetEvent(work_);
            ReleaseMutex(mutex_);
            if (taken != nullptr) RunRequest(*taken, path_);
            WaitForMultipleObjects(2, both, TRUE, INFINITE);
        }
        ReleaseMutex(mutex_);
    }

    HANDLE mutex_ = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE work_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bench::ExecRequest* pending_ = nullptr;  // guarded by mutex_
    bool stop_ = false;                      // guarded by mutex_
    std::string path_;
    std::thread worker_;
};

// Returns nothing: one disk and a completion event.
void InstallOneDisk(const benchmark::State&) {
    bench::InstallMachineText(bench::DiskMachine(1, 1, 1));
    bench::CompletionEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

// Returns nothing: undoes InstallOneDisk.
void Uninstall(const benchmark::State&) {
    CloseHandle(bench::CompletionEvent);
    sim::UninstallMachine();
}

// Returns nothing: InstallOneDisk, with the simulator's waits watching
// their word (bench::WatchUs) before they sleep, instead of sleeping at once.
void InstallWithWatch(const benchmark::State& state) {
    spinBefore = sim::SetWaitSpin(bench::WatchUs);
    InstallOneDisk(state);
}

// Returns nothing: undoes InstallWithWatch.
void UninstallWithWatch(const benchmark::State& state) {
    Uninstall(state);
    sim::SetWaitSpin(spinBefore);
}

// Returns nothing: times one request through the floor to its completion,
// the application's side exactly as in the library's round trip.
void FloorRoundTrip(benchmark::State& state, Completion completion, bench::Command command) {
    sim::CurrentThreadEnvironment();
    std::vector<BYTE> storage;
    BYTE* buffer = bench::PageAlignedBuffer(storage, command.Bytes);
    const BYTE flags = bench::CompletionFlags(completion);
    void* post = bench::CompletionTarget(completion);
    Floor floor(bench::DiskPath(0));
    bench::ExecRequest request;
    for (auto _ : state) {
        bench::PrepareExec(request, 0, 0, command, buffer, flags, post);
        floor.Submit(request);
        bench::AwaitCompletion(completion, request.Srb);
        if (request.Srb.SRB_Status != SS_COMP) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * command.Bytes);
}

const struct {
    const char* Name;
    Completion Mode;
} completions[] = {
    {"Floor-Event", Completion::Event},
    {"Floor-Post", Completion::Post},
    {"Floor-Poll", Completion::Poll},
};

// Returns 0: registers the floor of every round trip, with the
// simulator's waits as they are and without their watch.
int RegisterFloor() {
    for (const auto& command : bench::RoundTripCommands) {
        for (const auto& completion : completions) {
            const std::string tail = std::string("/") + completion.Name + "/" + command.Name;
            benchmark::RegisterBenchmark(("RoundTrip" + tail).c_str(), FloorRoundTrip,
                                         completion.Mode, command.Block)
                ->Setup(InstallOneDisk)
                ->Teardown(Uninstall)
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime();
            benchmark::RegisterBenchmark(("Watch" + tail).c_str(), FloorRoundTrip,
                                         completion.Mode, command.Block)
                ->Setup(InstallWithWatch)
                ->Teardown(UninstallWithWatch)
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime();
        }
    }
    return 0;
}

[[maybe_unused]] const int registered = RegisterFloor();

}  // namespace
