// One 32 KiB READ(10) executed through the direct pass-through, and the same
// read from a buffer that breaks the adapter's alignment, so that the port
// driver refuses the direct method and the bounce buffer carries the data:
// the ratio is what the fallback costs.
#include "discovery/class_devices.h"
#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "execution/execute_srb.h"
#include "sim/sim.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char machine[] = R"({
  "ports": [{"driver": "hba", "capabilities": {"AlignmentMask": 3},
             "buses": [{"units": [{"target": 0, "lun": 0, "claimed": false,
                                   "backend": {"type": "disk", "blocks": 1024}}]}]}]
})";

constexpr DWORD readLength = 32768;

void InstallBenchMachine() {
    sim::Machine parsed;
    std::string error;
    if (!sim::ParseMachine(machine, parsed, error) || !sim::InstallMachine(parsed, error)) {
        std::fprintf(stderr, "bench machine: %s\n", error.c_str());
        std::abort();
    }
    std::memset(PortTable, 0, sizeof PortTable);
    std::memset(&DeviceTable, 0, sizeof DeviceTable);
    ScanHostAdapters();
    ScanDevices();
    MapClassDevices();
}

void RunReads(benchmark::State& state, size_t misalignment) {
    InstallBenchMachine();
    std::vector<BYTE> storage(readLength + 8);
    BYTE* buffer = storage.data() + (4 - reinterpret_cast<uintptr_t>(storage.data()) % 4) % 4 +
                   misalignment;
    struct {
        SRB_ExecSCSICmd Srb;
        BYTE Sense[18];
    } request;
    for (auto _ : state) {
        std::memset(&request, 0, sizeof request);
        request.Srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        request.Srb.SRB_Flags = SRB_DIR_IN;
        request.Srb.SRB_BufLen = readLength;
        request.Srb.SRB_BufPointer = buffer;
        request.Srb.SRB_SenseLen = sizeof request.Sense;
        request.Srb.SRB_CDBLen = 10;
        const BYTE read10[10] = {0x28, 0, 0, 0, 0, 8, 0, 0, readLength / 512, 0};
        std::memcpy(request.Srb.CDBByte, read10, sizeof read10);
        void* address = &request.Srb;
        ExecuteSrb(&address);
        if (request.Srb.SRB_Status != SS_COMP) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * readLength);
    sim::UninstallMachine();
}

void BM_ExecuteReadDirect(benchmark::State& state) { RunReads(state, 0); }
BENCHMARK(BM_ExecuteReadDirect)->Name("Execute/Direct/Read/32768");

void BM_ExecuteReadBufferedFallback(benchmark::State& state) { RunReads(state, 1); }
BENCHMARK(BM_ExecuteReadBufferedFallback)->Name("Execute/BufferedFallback/Read/32768");

}  // namespace
