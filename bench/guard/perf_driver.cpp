// Runs exactly N requests of each kind, after a warm-up, with callgrind's
// instrumentation on only around them, so that scripts/perf-guard.sh can
// count the instructions each kind spends in the library's code: one
// callgrind dump per kind, named after it. Prints, per request, how many
// times each platform function was called (the simulator counts them),
// the application's own calls included: its wait for the event, and the
// SetEvent of its post routine.
#include "../bench_support.h"

#include "sim/kernel/faults.h"
#include "sim/sim.h"

#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

enum class Completion { Event, Post, Poll, Immediate };

HANDLE completionEvent = nullptr;

// Returns nothing: the post routine, which wakes the waiting driver.
void __cdecl SignalCompletion(void*) { SetEvent(completionEvent); }

struct Kind {
    const char* Name;
    BYTE Command;  // SC_EXEC_SCSI_CMD, SC_HA_INQUIRY or SC_GET_DEV_TYPE
    DWORD Bytes;   // 0: TEST UNIT READY, else READ(10) of as many bytes
    Completion Mode;
};

const Kind kinds[] = {
    {"tur-event", SC_EXEC_SCSI_CMD, 0, Completion::Event},
    {"tur-post", SC_EXEC_SCSI_CMD, 0, Completion::Post},
    {"tur-poll", SC_EXEC_SCSI_CMD, 0, Completion::Poll},
    {"read4k-event", SC_EXEC_SCSI_CMD, 4096, Completion::Event},
    {"read4k-post", SC_EXEC_SCSI_CMD, 4096, Completion::Post},
    {"read4k-poll", SC_EXEC_SCSI_CMD, 4096, Completion::Poll},
    {"read64k-event", SC_EXEC_SCSI_CMD, 65536, Completion::Event},
    {"read64k-post", SC_EXEC_SCSI_CMD, 65536, Completion::Post},
    {"read64k-poll", SC_EXEC_SCSI_CMD, 65536, Completion::Poll},
    {"ha-inquiry", SC_HA_INQUIRY, 0, Completion::Immediate},
    {"device-type", SC_GET_DEV_TYPE, 0, Completion::Immediate},
};

// Returns the request's final status. An execute request is waited for
// as asked, and then the worker is given time to go idle, so that every
// request finds it waiting, as the first one does.
BYTE RunOne(const bench::Library& library, const Kind& kind, BYTE* buffer) {
    if (kind.Command == SC_HA_INQUIRY) {
        SRB_HAInquiry srb = {};
        srb.SRB_Cmd = SC_HA_INQUIRY;
        return static_cast<BYTE>(library.Send(&srb));
    }
    if (kind.Command == SC_GET_DEV_TYPE) {
        SRB_GDEVBlock srb = {};
        srb.SRB_Cmd = SC_GET_DEV_TYPE;
        return static_cast<BYTE>(library.Send(&srb));
    }
    const bench::Command command = kind.Bytes == 0 ? bench::TestUnitReady() : bench::Read10(kind.Bytes);
    const BYTE flags = kind.Mode == Completion::Event  ? SRB_EVENT_NOTIFY
                       : kind.Mode == Completion::Post ? SRB_POSTING
                                                       : 0;
    void* post = kind.Mode == Completion::Event  ? static_cast<void*>(completionEvent)
                 : kind.Mode == Completion::Post ? reinterpret_cast<void*>(&SignalCompletion)
                                                 : nullptr;
    bench::ExecRequest request;
    bench::PrepareExec(request, 0, 0, command, buffer, flags, post);
    library.Send(&request.Srb);
    if (kind.Mode == Completion::Poll) {
        while (__atomic_load_n(&request.Srb.SRB_Status, __ATOMIC_ACQUIRE) == SS_PENDING) Sleep(0);
    } else {
        WaitForSingleObject(completionEvent, INFINITE);
    }
    Sleep(2);
    return request.Srb.SRB_Status;
}

}  // namespace

// Returns 0 when every request completed with SS_COMP.
int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10;
    const int warmUp = 3;
    bench::InstallMachineText(bench::DiskMachine(1, 1, 1));
    bench::Library library;
    if (count <= 0 || !bench::LoadPtaspi(library)) {
        std::fprintf(stderr, "perf driver: the library does not load\n");
        return 2;
    }
    completionEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::vector<BYTE> storage;
    BYTE* buffer = bench::PageAlignedBuffer(storage, 65536);

    int failures = 0;
    for (const Kind& kind : kinds) {
        for (int i = 0; i < warmUp; ++i) RunOne(library, kind, buffer);
        sim::ResetCallCounts();
        CALLGRIND_START_INSTRUMENTATION;
        for (int i = 0; i < count; ++i) {
            if (RunOne(library, kind, buffer) != SS_COMP) ++failures;
        }
        CALLGRIND_STOP_INSTRUMENTATION;
        CALLGRIND_DUMP_STATS_AT(kind.Name);
        for (int call = 0; call < static_cast<int>(sim::Call::Count); ++call) {
            const unsigned calls = sim::CallCount(static_cast<sim::Call>(call));
            if (calls != 0) {
                std::printf("%s %s %.2f\n", kind.Name, sim::CallName(static_cast<sim::Call>(call)),
                            static_cast<double>(calls) / count);
            }
        }
    }
    CloseHandle(completionEvent);
    bench::UnloadPtaspi(library);
    sim::UninstallMachine();
    if (failures != 0) {
        std::fprintf(stderr, "perf driver: %d requests failed\n", failures);
        return 1;
    }
    return 0;
}
