// 1, 2, 4 and 8 application threads submitting at once, each to its own
// unit: requests per second through the library, which runs one request at
// a time on its worker, against the same threads each sending straight to
// its unit on its own handle, as many at a time as there are threads.
#include "bench_support.h"

#include "sim/kernel/teb.h"
#include "sim/sim.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr int MaxThreads = 8;
constexpr DWORD ReadBytes = 4096;

bench::Library library;

// Returns nothing: installs one disk for each thread.
void InstallDisks(const benchmark::State&) {
    bench::InstallMachineText(bench::DiskMachine(1, 1, MaxThreads));
}

// Returns nothing: the disks, and the library loaded.
void LoadOnDisks(const benchmark::State& state) {
    InstallDisks(state);
    if (!bench::LoadPtaspi(library)) std::abort();
}

// Returns nothing: undoes LoadOnDisks.
void Unload(const benchmark::State&) {
    bench::UnloadPtaspi(library);
    sim::UninstallMachine();
}

// Returns nothing: undoes InstallDisks.
void Uninstall(const benchmark::State&) { sim::UninstallMachine(); }

// Returns nothing: one thread's requests through the library, each
// waited for before the next.
void LibraryThreads(benchmark::State& state) {
    sim::CurrentThreadEnvironment();
    const bench::DiskAddress unit = bench::DiskAt(1, 1, state.thread_index());
    std::vector<BYTE> storage;
    BYTE* buffer = bench::PageAlignedBuffer(storage, ReadBytes);
    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    bench::ExecRequest request;
    for (auto _ : state) {
        bench::PrepareExec(request, 0, unit.Target, bench::Read10(ReadBytes), buffer,
                           SRB_EVENT_NOTIFY, done);
        library.Send(&request.Srb);
        WaitForSingleObject(done, INFINITE);
        if (request.Srb.SRB_Status != SS_COMP) {
            state.SkipWithError("request failed");
            break;
        }
    }
    CloseHandle(done);
    state.SetItemsProcessed(state.iterations());
}

// Returns nothing: one thread's direct pass-through on its own handle.
void DirectThreads(benchmark::State& state) {
    sim::CurrentThreadEnvironment();
    const bench::DiskAddress unit = bench::DiskAt(1, 1, state.thread_index());
    std::vector<BYTE> storage;
    BYTE* buffer = bench::PageAlignedBuffer(storage, ReadBytes);
    const HANDLE device = bench::OpenDisk(state.thread_index());
    bench::DirectRequest request;
    for (auto _ : state) {
        if (!bench::SendDirect(device, request, unit.Bus, unit.Target, bench::Read10(ReadBytes),
                               buffer)) {
            state.SkipWithError("pass-through failed");
            break;
        }
    }
    CloseHandle(device);
    state.SetItemsProcessed(state.iterations());
}

#ifdef PTASPI_LIBRARY_PATH
BENCHMARK(LibraryThreads)
    ->Name("Threads/Library/Read/4096")
    ->Setup(LoadOnDisks)
    ->Teardown(Unload)
    ->ThreadRange(1, MaxThreads)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
#endif
BENCHMARK(DirectThreads)
    ->Name("Threads/Direct/Read/4096")
    ->Setup(InstallDisks)
    ->Teardown(Uninstall)
    ->ThreadRange(1, MaxThreads)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
