// Loading with discovery, and how it grows: the host adapter scan, the
// device scan and the class device mapping that a load runs, for 1 to 100
// units on 10 ports of 4 buses, and for 1 to 10 ports of 4 buses with 10
// units each; then the whole LoadLibraryA of the library (its worker's
// start included) against that of a library whose DllMain does nothing.
#include "bench_support.h"

#include "discovery/class_devices.h"
#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "sim/kernel/threads.h"
#include "sim/sim.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>

namespace {

constexpr int Buses = 4;
constexpr int UnitsPerPort = 10;

// Returns nothing: removes the running machine.
void Uninstall(const benchmark::State&) { sim::UninstallMachine(); }

// Returns nothing: installs range(0) units on 10 ports of 4 buses.
void InstallUnits(const benchmark::State& state) {
    bench::InstallMachineText(bench::DiskMachine(10, Buses, static_cast<int>(state.range(0))));
}

// Returns nothing: installs range(0) ports of 4 buses, 10 units each.
void InstallPorts(const benchmark::State& state) {
    const int ports = static_cast<int>(state.range(0));
    bench::InstallMachineText(bench::DiskMachine(ports, Buses, ports * UnitsPerPort));
}

// Returns nothing: runs the scans of a load on tables that start all
// zero, as at every load.
void ScanAsLoaded() {
    std::memset(PortTable, 0, sizeof PortTable);
    PortCount = 0;
    std::memset(AdapterMap, 0, sizeof AdapterMap);
    AdapterCount = 0;
    std::memset(PortlessPorts, 0, sizeof PortlessPorts);
    PortlessPortCount = 0;
    std::memset(&DeviceTable, 0, sizeof DeviceTable);
    ScanHostAdapters();
    ScanDevices();
    MapClassDevices();
}

// Returns nothing: times the scans; a table without every unit fails the
// run.
void Discovery(benchmark::State& state, int expectedUnits) {
    for (auto _ : state) ScanAsLoaded();
    if (DeviceTable.Count != expectedUnits) state.SkipWithError("units missing from the table");
}

// Returns nothing: Discovery over range(0) units.
void DiscoveryByUnits(benchmark::State& state) {
    Discovery(state, static_cast<int>(state.range(0)));
}
// Returns nothing: Discovery over range(0) ports of 10 units.
void DiscoveryByPorts(benchmark::State& state) {
    Discovery(state, static_cast<int>(state.range(0)) * UnitsPerPort);
}

BENCHMARK(DiscoveryByUnits)
    ->Name("Load/Discovery/Units")
    ->Setup(InstallUnits)
    ->Teardown(Uninstall)
    ->Arg(1)->Arg(10)->Arg(25)->Arg(50)->Arg(75)->Arg(100)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(DiscoveryByPorts)
    ->Name("Load/Discovery/Ports")
    ->Setup(InstallPorts)
    ->Teardown(Uninstall)
    ->Arg(1)->Arg(2)->Arg(4)->Arg(6)->Arg(8)->Arg(10)
    ->Unit(benchmark::kMicrosecond);

#if defined(PTASPI_LIBRARY_PATH) && defined(PTASPI_ENTRY_LIBRARY_PATH)

// Returns nothing: times LoadLibraryA of `path`. Only the load is timed: an unload waits for the worker's end, which NT
// signals only after the loader's lock is free, so it costs a fixed grace
// period that says nothing of the load.
void TimeLoads(benchmark::State& state, const char* path) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        HMODULE module = LoadLibraryA(path);
        const auto end = std::chrono::steady_clock::now();
        if (module == nullptr) {
            state.SkipWithError("load failed");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        FreeLibrary(module);
    }
    sim::WaitForThreadsToEnd(5000);
}

// Returns nothing: TimeLoads of the library, and of the empty one.
void LoadLibraryWithDiscovery(benchmark::State& state) { TimeLoads(state, PTASPI_LIBRARY_PATH); }
void LoadEntryLibrary(benchmark::State& state) { TimeLoads(state, PTASPI_ENTRY_LIBRARY_PATH); }

BENCHMARK(LoadLibraryWithDiscovery)
    ->Name("Load/Library/Units")
    ->Setup(InstallUnits)
    ->Teardown(Uninstall)
    ->Arg(1)
    ->Arg(100)
    ->Iterations(30)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(LoadEntryLibrary)
    ->Name("Load/EntryLibrary/Units")
    ->Setup(InstallUnits)
    ->Teardown(Uninstall)
    ->Arg(1)
    ->Arg(100)
    ->Iterations(30)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

#endif

}  // namespace
