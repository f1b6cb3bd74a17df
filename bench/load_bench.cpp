// LoadLibrary and FreeLibrary of the library, with one request between them
// so that its worker runs and then idles until the unload stops it, and the
// same for a small library whose DllMain does nothing: the ratio is what
// the library's own load and unload cost, and would show an unload that
// waits out its worker's time limit.
#include "ptaspi32.h"
#include "sim/kernel/threads.h"
#include "sim/sim.h"

#include <benchmark/benchmark.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(PTASPI_LIBRARY_PATH) && defined(PTASPI_ENTRY_LIBRARY_PATH)

namespace {

const char machine[] = R"({
  "ports": [{"driver": "hba", "buses": [{"units": [
    {"target": 0, "lun": 0, "claimed": false, "backend": {"type": "disk", "blocks": 64}}]}]}]
})";

void LoadAndFree(benchmark::State& state, const char* path) {
    sim::Machine parsed;
    std::string error;
    if (!sim::ParseMachine(machine, parsed, error) || !sim::InstallMachine(parsed, error)) {
        std::fprintf(stderr, "bench machine: %s\n", error.c_str());
        std::abort();
    }
    for (auto _ : state) {
        HMODULE module = LoadLibraryA(path);
        if (module == nullptr) {
            state.SkipWithError("load failed");
            break;
        }
        // The worker first runs once the load is done: one request to an
        // absent unit, polled to its end, has it running and then idle.
        FARPROC send = GetProcAddress(module, "SendASPI32Command");
        if (send != nullptr) {
            SRB_ExecSCSICmd srb = {};
            srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
            srb.SRB_Target = 5;
            reinterpret_cast<SENDASPI32COMMAND>(reinterpret_cast<void (*)(void)>(send))(&srb);
            while (__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE) == SS_PENDING) Sleep(0);
        }
        FreeLibrary(module);
    }
    sim::WaitForThreadsToEnd(5000);
    sim::UninstallMachine();
}

void BM_LoadEntryLibrary(benchmark::State& state) { LoadAndFree(state, PTASPI_ENTRY_LIBRARY_PATH); }
BENCHMARK(BM_LoadEntryLibrary)->Unit(benchmark::kMicrosecond);

void BM_LoadLibraryIdleWorker(benchmark::State& state) { LoadAndFree(state, PTASPI_LIBRARY_PATH); }
BENCHMARK(BM_LoadLibraryIdleWorker)->Unit(benchmark::kMicrosecond);

}  // namespace

#endif
