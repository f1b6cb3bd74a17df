// FindDevice answered from its one-entry cache against lookups that must
// search the table, side by side: the ratio of the two is what the cache
// saves a caller that asks for one unit repeatedly.
#include "discovery/device_table.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

void FillTable() {
    std::memset(&DeviceTable, 0, sizeof DeviceTable);
    for (int i = 0; i < MaxDeviceEntries; ++i) {
        DeviceEntry& entry = DeviceTable.Entries[i];
        entry.PortNumber = static_cast<BYTE>(i / 32);
        entry.PathId = static_cast<BYTE>((i / 16) % 2);
        entry.TargetId = static_cast<BYTE>(i % 16);
        entry.DeviceClaimed = 0;
    }
    DeviceTable.Count = MaxDeviceEntries;
}

void BM_FindDeviceCacheHit(benchmark::State& state) {
    FillTable();
    const DeviceEntry& last = DeviceTable.Entries[MaxDeviceEntries - 1];
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindDevice(last.PortNumber, last.PathId, last.TargetId, 0));
    }
}
BENCHMARK(BM_FindDeviceCacheHit)->Name("Lookup/CacheHit/FindDevice/0");

void BM_FindDeviceAlternatingSearch(benchmark::State& state) {
    FillTable();
    const DeviceEntry& first = DeviceTable.Entries[0];
    const DeviceEntry& last = DeviceTable.Entries[MaxDeviceEntries - 1];
    bool toggle = false;
    for (auto _ : state) {
        const DeviceEntry& wanted = toggle ? first : last;
        toggle = !toggle;
        benchmark::DoNotOptimize(
            FindDevice(wanted.PortNumber, wanted.PathId, wanted.TargetId, 0));
    }
}
BENCHMARK(BM_FindDeviceAlternatingSearch)->Name("Lookup/Search/FindDevice/0");

}  // namespace
