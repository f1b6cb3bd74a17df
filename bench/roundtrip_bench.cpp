// One execute request through SendASPI32Command, completed by event, by
// post routine and by polling, against the same command sent straight to
// the unit on an already open handle; and, in the same run, the parts of
// the library's round trip that its design makes unavoidable, each alone:
// the hand-off to the worker and back, the unit's open and close, the
// request buffer's allocation and release, and the queue's locking. The
// whole of that floor, made by two threads of the benchmark's own, is in
// floor_bench.cpp.
#include "bench_support.h"

#include "sim/kernel/teb.h"
#include "sim/kernel/threads.h"
#include "sim/sim.h"

#include <benchmark/benchmark.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using bench::Completion;

bench::Library library;
unsigned spinBefore = 0;

// Returns nothing: installs a machine with one disk (the setup of a run).
void InstallOneDisk(const benchmark::State&) {
    bench::InstallMachineText(bench::DiskMachine(1, 1, 1));
}

// Returns nothing: one disk, the library loaded, a completion event.
void LoadOnOneDisk(const benchmark::State& state) {
    InstallOneDisk(state);
    if (!bench::LoadPtaspi(library)) std::abort();
    bench::CompletionEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

// Returns nothing: undoes LoadOnOneDisk.
void Unload(const benchmark::State&) {
    CloseHandle(bench::CompletionEvent);
    bench::UnloadPtaspi(library);
    sim::UninstallMachine();
}

// Returns nothing: LoadOnOneDisk, with the simulator's waits watching
// their word (bench::WatchUs) before they sleep, instead of sleeping at once.
void LoadWithWatch(const benchmark::State& state) {
    spinBefore = sim::SetWaitSpin(bench::WatchUs);
    LoadOnOneDisk(state);
}

// Returns nothing: undoes LoadWithWatch.
void UnloadWithWatch(const benchmark::State& state) {
    Unload(state);
    sim::SetWaitSpin(spinBefore);
}

// Returns nothing: undoes InstallOneDisk.
void Uninstall(const benchmark::State&) { sim::UninstallMachine(); }

// Returns nothing: times one request through SendASPI32Command to its
// completion.
void LibraryRoundTrip(benchmark::State& state, Completion completion, bench::Command command) {
    std::vector<BYTE> storage;
    BYTE* buffer = bench::PageAlignedBuffer(storage, command.Bytes);
    const BYTE flags = bench::CompletionFlags(completion);
    void* post = bench::CompletionTarget(completion);
    bench::ExecRequest request;
    for (auto _ : state) {
        bench::PrepareExec(request, 0, 0, command, buffer, flags, post);
        library.Send(&request.Srb);
        bench::AwaitCompletion(completion, request.Srb);
        if (request.Srb.SRB_Status != SS_COMP) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * command.Bytes);
}

// Returns nothing: times one direct pass-through on a handle opened once.
void DirectRoundTrip(benchmark::State& state, bench::Command command) {
    std::vector<BYTE> storage;
    BYTE* buffer = bench::PageAlignedBuffer(storage, command.Bytes);
    const HANDLE device = bench::OpenDisk(0);
    bench::DirectRequest request;
    for (auto _ : state) {
        if (!bench::SendDirect(device, request, 0, 0, command, buffer)) {
            state.SkipWithError("pass-through failed");
            break;
        }
    }
    CloseHandle(device);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * command.Bytes);
}

// A second thread that wakes as the worker does, when a mutex is free and
// a manual-reset event is set at once, resets the event as the worker
// does on finding the ring empty, and answers: by an event (as the worker
// sets an application's event or runs its post routine), or by storing a
// flag that the first thread polls.
struct Partner {
    HANDLE Mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE Ping = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE Pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> Flag{0};
    std::atomic<bool> Stop{false};
    std::thread Thread;

    explicit Partner(Completion completion)
        : Thread([this, completion] {
              sim::CurrentThreadEnvironment();
              const HANDLE both[2] = {Mutex, Ping};
              for (;;) {
                  WaitForMultipleObjects(2, both, TRUE, INFINITE);
                  ResetEvent(Ping);
                  ReleaseMutex(Mutex);
                  if (Stop.load()) return;
                  if (completion == Completion::Poll) {
                      Flag.store(1, std::memory_order_release);
                  } else {
                      SetEvent(Pong);
                  }
              }
          }) {}
    ~Partner() {
        Stop.store(true);
        SetEvent(Ping);
        Thread.join();
        CloseHandle(Mutex);
        CloseHandle(Ping);
        CloseHandle(Pong);
    }
};

// Returns nothing: times a hand-off to the partner thread and back.
void HandOff(benchmark::State& state, Completion completion) {
    Partner partner(completion);
    for (auto _ : state) {
        SetEvent(partner.Ping);
        if (completion == Completion::Poll) {
            while (partner.Flag.load(std::memory_order_acquire) == 0) Sleep(0);
            partner.Flag.store(0, std::memory_order_relaxed);
        } else {
            WaitForSingleObject(partner.Pong, INFINITE);
        }
    }
}

// Returns nothing: sets `word` and wakes the thread sleeping on it.
void PostFutex(std::atomic<uint32_t>& word) {
    word.store(1, std::memory_order_release);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

// Returns nothing once `word` has been set, clearing it; sleeps until then.
void TakeFutex(std::atomic<uint32_t>& word) {
    while (word.exchange(0, std::memory_order_acquire) == 0) {
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, 0, nullptr,
                nullptr, 0);
    }
}

// Returns nothing: times a hand-off to a second thread and back on the
// host's own futexes, without the simulator: the least that a hand-off
// between two threads can cost on this machine, which the simulator's
// hand-off above is weighed against.
void HostFutexHandOff(benchmark::State& state) {
    std::atomic<uint32_t> ping{0};
    std::atomic<uint32_t> pong{0};
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            TakeFutex(ping);
            if (stop.load()) return;
            PostFutex(pong);
        }
    });
    for (auto _ : state) {
        PostFutex(ping);
        TakeFutex(pong);
    }
    stop.store(true);
    PostFutex(ping);
    partner.join();
}

// Returns nothing: times the open and close of the unit's device path.
void OpenClose(benchmark::State& state) {
    const std::string path = bench::DiskPath(0);
    for (auto _ : state) {
        HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        CloseHandle(device);
    }
}

// Returns nothing: times the allocation and release of the direct
// method's request buffer: header, sense area and slack.
void AllocateRequestBuffer(benchmark::State& state) {
    for (auto _ : state) {
        void* buffer = VirtualAlloc(nullptr, 44 + 18 + 4, MEM_COMMIT, PAGE_READWRITE);
        benchmark::DoNotOptimize(buffer);
        VirtualFree(buffer, 0, MEM_RELEASE);
    }
}

// Returns nothing: times the rest of the queue's locking for one request,
// on one thread: the
// submission's hold of the lock, and the worker's wait that finds the
// event still set after the command and its release (the wait that
// blocks, the reset and its release belong to the hand-off).
void QueueLocking(benchmark::State& state) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE work = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const HANDLE both[2] = {mutex, work};
    for (auto _ : state) {
        WaitForSingleObject(mutex, INFINITE);
        ReleaseMutex(mutex);
        WaitForMultipleObjects(2, both, TRUE, INFINITE);
        ReleaseMutex(mutex);
    }
    CloseHandle(work);
    CloseHandle(mutex);
}

const struct {
    const char* Name;
    Completion Mode;
} completions[] = {
    {"Event", Completion::Event},
    {"Post", Completion::Post},
    {"Poll", Completion::Poll},
};

// Returns 0: registers every round trip and its unavoidable parts.
int RegisterRoundTrips() {
    for (const auto& command : bench::RoundTripCommands) {
#ifdef PTASPI_LIBRARY_PATH
        for (const auto& completion : completions) {
            const std::string tail = std::string("/Library-") + completion.Name + "/" + command.Name;
            benchmark::RegisterBenchmark(("RoundTrip" + tail).c_str(), LibraryRoundTrip,
                                         completion.Mode, command.Block)
                ->Setup(LoadOnOneDisk)
                ->Teardown(Unload)
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime();
            benchmark::RegisterBenchmark(("Watch" + tail).c_str(), LibraryRoundTrip,
                                         completion.Mode, command.Block)
                ->Setup(LoadWithWatch)
                ->Teardown(UnloadWithWatch)
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime();
        }
#endif
        benchmark::RegisterBenchmark((std::string("RoundTrip/Direct/") + command.Name).c_str(),
                                     DirectRoundTrip, command.Block)
            ->Setup(InstallOneDisk)
            ->Teardown(Uninstall)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
    benchmark::RegisterBenchmark("Unavoidable/HandOff-Event/Request/0", HandOff, Completion::Event)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("Unavoidable/HandOff-Poll/Request/0", HandOff, Completion::Poll)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("Unavoidable/HostFutex-HandOff/Request/0", HostFutexHandOff)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("Unavoidable/OpenClose/Request/0", OpenClose)
        ->Setup(InstallOneDisk)
        ->Teardown(Uninstall)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("Unavoidable/Alloc/Request/0", AllocateRequestBuffer)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("Unavoidable/Queue/Request/0", QueueLocking)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    return 0;
}

[[maybe_unused]] const int registered = RegisterRoundTrips();

}  // namespace
