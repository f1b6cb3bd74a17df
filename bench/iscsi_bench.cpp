// READ(10) and WRITE(10) of 4 KiB and 64 KiB on a real iSCSI disk, through
// the whole stack (SendASPI32Command with event notification, the
// simulated port, the iscsi backend, libiscsi, tgtd) and through
// libiscsi's own synchronous calls from this same process, side by side:
// the ratio of each pair is what the stack costs over the bare initiator.
// The target is the one scripts/iscsi-target.sh starts; its machine file
// is named by PTASPI_ISCSI_MACHINE (bench/iscsi.sh sets it).
#include "platform/scsi_port.h"
#include "ptaspi32.h"
#include "sim/kernel/teb.h"
#include "sim/kernel/threads.h"
#include "sim/sim.h"

#include <benchmark/benchmark.h>
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
#include <nlohmann/json.hpp>

#include <windows.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#if defined(PTASPI_LIBRARY_PATH)

namespace {

const uint32_t firstBlock = 60000;  // clear of the blocks the tests write
const uint32_t blockSize = 512;
const char noMachine[] =
    "PTASPI_ISCSI_MACHINE is not set: run bench/iscsi.sh, or export the machine file "
    "that scripts/iscsi-target.sh start prints";

// Each benchmark's bytes and seconds over all its runs (repetitions
// included), so that a ratio spans the whole run and not its last moment.
std::map<std::string, std::pair<double, double>> totals;

// Returns the machine file's text, or "" when it is not named or unreadable.
std::string MachineText() {
    const char* path = std::getenv("PTASPI_ISCSI_MACHINE");
    if (path == nullptr || *path == '\0') return "";
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Returns nothing: counts the bytes the benchmark moved, for its rate and
// for the ratio table.
void Record(benchmark::State& state, const std::string& name, uint32_t bytes,
            std::chrono::steady_clock::time_point start) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
    totals[name].first += double(state.iterations()) * bytes;
    totals[name].second += seconds;
}

// Returns the READ(10) or WRITE(10) block of `bytes` from firstBlock.
std::array<BYTE, 10> ReadWrite10(bool write, uint32_t bytes) {
    const uint16_t blocks = static_cast<uint16_t>(bytes / blockSize);
    return {BYTE(write ? 0x2A : 0x28), 0, BYTE(firstBlock >> 24), BYTE(firstBlock >> 16),
            BYTE(firstBlock >> 8), BYTE(firstBlock), 0, BYTE(blocks >> 8), BYTE(blocks), 0};
}

// Returns true with the target's machine installed; false with the
// benchmark skipped and the reason given.
bool InstallTargetMachine(benchmark::State& state) {
    const std::string text = MachineText();
    sim::Machine machine;
    std::string error;
    if (text.empty()) {
        state.SkipWithError(noMachine);
        return false;
    }
    if (!sim::ParseMachine(text, machine, error) || !sim::InstallMachine(machine, error)) {
        state.SkipWithError(("machine: " + error).c_str());
        return false;
    }
    return true;
}

// Returns nothing: times READ(10) or WRITE(10) of `bytes` through the whole
// stack, SendASPI32Command on the loaded library down to the target.
void ThroughLibrary(benchmark::State& state, std::string name, bool write, uint32_t bytes) {
    if (!InstallTargetMachine(state)) return;
    sim::CurrentThreadEnvironment();
    HMODULE module = LoadLibraryA(PTASPI_LIBRARY_PATH);
    FARPROC address = module != nullptr ? GetProcAddress(module, "SendASPI32Command") : nullptr;
    if (address == nullptr) {
        state.SkipWithError("the library does not load");
        sim::UninstallMachine();
        return;
    }
    auto send = reinterpret_cast<SENDASPI32COMMAND>(reinterpret_cast<void (*)(void)>(address));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<BYTE> data(bytes, 0x5A);
    struct {
        SRB_ExecSCSICmd Srb;
        BYTE Sense[18];
    } request;
    const std::array<BYTE, 10> cdb = ReadWrite10(write, bytes);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::memset(&request, 0, sizeof request);
        request.Srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        request.Srb.SRB_Flags = BYTE((write ? SRB_DIR_OUT : SRB_DIR_IN) | SRB_EVENT_NOTIFY);
        request.Srb.SRB_BufLen = bytes;
        request.Srb.SRB_BufPointer = data.data();
        request.Srb.SRB_SenseLen = sizeof request.Sense;
        request.Srb.SRB_CDBLen = BYTE(cdb.size());
        request.Srb.SRB_PostProc = event;
        std::memcpy(request.Srb.CDBByte, cdb.data(), cdb.size());
        ResetEvent(event);
        if (send(&request.Srb) == SS_PENDING) WaitForSingleObject(event, INFINITE);
        if (request.Srb.SRB_Status != SS_COMP) {
            state.SkipWithError("the command failed");
            break;
        }
    }
    Record(state, name, bytes, start);
    CloseHandle(event);
    FreeLibrary(module);
    sim::WaitForThreadsToEnd(5000);
    sim::UninstallMachine();
}

// Returns nothing: times the middle of the stack, the port driver's direct
// pass-through from this thread, no library and no worker, to tell the two
// halves' costs apart.
void ThroughPort(benchmark::State& state, std::string name, bool write, uint32_t bytes) {
    if (!InstallTargetMachine(state)) return;
    HANDLE device = CreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        state.SkipWithError("PhysicalDrive0 does not open");
        sim::UninstallMachine();
        return;
    }
    std::vector<BYTE> data(bytes, 0x5A);
    struct {
        SCSI_PASS_THROUGH_DIRECT Header;
        BYTE Sense[18];
    } request;
    const std::array<BYTE, 10> cdb = ReadWrite10(write, bytes);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::memset(&request, 0, sizeof request);
        request.Header.Length = sizeof request.Header;
        request.Header.CdbLength = UCHAR(cdb.size());
        request.Header.SenseInfoLength = sizeof request.Sense;
        request.Header.DataIn = write ? SCSI_IOCTL_DATA_OUT : SCSI_IOCTL_DATA_IN;
        request.Header.DataTransferLength = bytes;
        request.Header.TimeOutValue = 60;
        request.Header.DataBuffer = data.data();
        request.Header.SenseInfoOffset = sizeof request.Header;
        std::memcpy(request.Header.Cdb, cdb.data(), cdb.size());
        DWORD returned = 0;
        if (!DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request, &request,
                             sizeof request, &returned, nullptr) ||
            request.Header.ScsiStatus != 0) {
            state.SkipWithError("the command failed");
            break;
        }
    }
    Record(state, name, bytes, start);
    CloseHandle(device);
    sim::UninstallMachine();
}

// Returns nothing: times libiscsi's own synchronous READ(10) or WRITE(10)
// of the same LUN from this process, the baseline.
void ThroughLibiscsi(benchmark::State& state, std::string name, bool write, uint32_t bytes) {
    const std::string text = MachineText();
    if (text.empty()) {
        state.SkipWithError(noMachine);
        return;
    }
    const nlohmann::json machine = nlohmann::json::parse(text, nullptr, false);
    std::string url;
    if (!machine.is_discarded()) {
        for (const auto& unit : machine["ports"][0]["buses"][0]["units"]) {
            if (unit["target"] == 0) url = unit["backend"]["url"].get<std::string>();
        }
    }
    iscsi_context* context = iscsi_create_context("iqn.2026-12.org.ptaspi.test:bench");
    iscsi_url* parsed = context != nullptr ? iscsi_parse_full_url(context, url.c_str()) : nullptr;
    if (parsed == nullptr) {
        state.SkipWithError("the machine file names no iSCSI disk at target 0");
        if (context != nullptr) iscsi_destroy_context(context);
        return;
    }
    iscsi_set_targetname(context, parsed->target);
    iscsi_set_session_type(context, ISCSI_SESSION_NORMAL);
    iscsi_set_header_digest(context, ISCSI_HEADER_DIGEST_NONE_CRC32C);
    const int lun = parsed->lun;
    const bool connected = iscsi_full_connect_sync(context, parsed->portal, lun) == 0;
    iscsi_destroy_url(parsed);
    if (!connected) {
        state.SkipWithError(iscsi_get_error(context));
        iscsi_destroy_context(context);
        return;
    }
    std::vector<unsigned char> data(bytes, 0x5A);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        scsi_task* task =
            write ? iscsi_write10_sync(context, lun, firstBlock, data.data(), bytes, blockSize, 0, 0, 0, 0, 0)
                  : iscsi_read10_sync(context, lun, firstBlock, bytes, blockSize, 0, 0, 0, 0, 0);
        const bool good = task != nullptr && task->status == SCSI_STATUS_GOOD;
        if (task != nullptr) scsi_free_scsi_task(task);
        if (!good) {
            state.SkipWithError("the command failed");
            break;
        }
    }
    Record(state, name, bytes, start);
    iscsi_logout_sync(context);
    iscsi_destroy_context(context);
}

// Registers the pairs side by side, with the port driver's direct call
// between them, and at exit prints library/libiscsi for each pair, as
// bytes per second: 1.0 means the stack costs nothing.
struct Pairs {
    std::vector<std::pair<std::string, std::string>> names;

    Pairs() {
        for (const char* op : {"Read", "Write"}) {
            for (uint32_t bytes : {4096u, 65536u}) {
                const bool write = op[0] == 'W';
                const std::string tail = std::string("/") + op + "/" + std::to_string(bytes);
                const std::string library = "Iscsi/Library" + tail, reference = "Iscsi/Libiscsi" + tail;
                benchmark::RegisterBenchmark(library.c_str(), ThroughLibrary, library, write, bytes)
                    ->UseRealTime();
                const std::string port = "Iscsi/Port" + tail;
                benchmark::RegisterBenchmark(port.c_str(), ThroughPort, port, write, bytes)->UseRealTime();
                benchmark::RegisterBenchmark(reference.c_str(), ThroughLibiscsi, reference, write, bytes)
                    ->UseRealTime();
                names.emplace_back(library, reference);
            }
        }
    }

    ~Pairs() {
        for (const auto& pair : names) {
            auto library = totals.find(pair.first), reference = totals.find(pair.second);
            if (library == totals.end() || reference == totals.end()) continue;
            const double ours = library->second.first / library->second.second;
            const double theirs = reference->second.first / reference->second.second;
            std::printf("ratio %-28s / %-28s = %5.3f  (%.1f / %.1f MiB/s)\n", pair.first.c_str(),
                        pair.second.c_str(), ours / theirs, ours / 1048576, theirs / 1048576);
        }
    }
} pairs;

}  // namespace

#endif
