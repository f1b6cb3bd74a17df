// What the reliability campaigns share: the machine they run on, the
// library reached only through its two exports, execute requests of every
// notification kind with an exact account of their completions, and the
// simulator's counts of everything the library can take and must give back.
#ifndef PTASPI_TESTS_RELIABILITY_SUPPORT_H
#define PTASPI_TESTS_RELIABILITY_SUPPORT_H

#include "ptaspi32.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/teb.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/virtual_memory.h"
#include "sim/loader/loader.h"
#include "sim/sim.h"

#include <atomic>
#include <cstring>
#include <string>

namespace reliability {

// Port 0, bus 0: a claimed disk at target 0 (PhysicalDrive0), a
// unit at target 1 whose first TEST UNIT READY hangs until released, and a
// scripted unit at target 2: GOOD for TEST UNIT READY, CHECK CONDITION
// without sense for MODE SENSE (so the library asks with REQUEST SENSE),
// a direct pass-through that fails with 87 for READ(10) (so the buffered
// one runs) and GOOD for the rest. Port 1 is an atapi port, left out of
// the host adapters; its CD-ROM's drive letter and drive C: make the class
// device scan walk the drives.
constexpr char Machine[] = R"({
  "ports": [
    {"driver": "hba", "buses": [{"initiator_id": 7, "units": [
      {"target": 0, "lun": 0, "class_device": "PhysicalDrive0",
       "backend": {"type": "disk", "blocks": 64}},
      {"target": 1, "lun": 0, "claimed": false, "inquiry": {"peripheral": 3},
       "backend": {"type": "scripted", "responses": [
         {"opcode": "0x00", "hang": true, "times": 1}, {"status": 0}]}},
      {"target": 2, "lun": 0, "claimed": false, "inquiry": {"peripheral": 3},
       "backend": {"type": "scripted", "responses": [
         {"opcode": "0x1A", "status": 2},
         {"opcode": "0x28", "direct_error": 87, "data": "01 02 03 04"},
         {"status": 0}]}}
    ]}]},
    {"driver": "atapi", "buses": [{"units": [
      {"target": 0, "lun": 0, "class_device": "CdRom0", "drive": "F",
       "backend": {"type": "cdrom"}}]}]}
  ],
  "drives": [{"letter": "C"}]
})";

// Returns true once the machine is installed.
inline bool InstallMachine() {
    sim::Machine machine;
    std::string error;
    return sim::ParseMachine(Machine, machine, error) && sim::InstallMachine(machine, error);
}

// Returns the path of the library's shared object in the build.
inline std::string LibraryPath() { return std::string(PTASPI_BINARY_DIR) + "/libptaspi32.so"; }

// The library as an application holds it.
struct Library {
    HMODULE Module = nullptr;
    GETASPI32SUPPORTINFO SupportInfo = nullptr;
    SENDASPI32COMMAND Send = nullptr;
};

// Returns true with the library loaded and both exports found; false,
// with nothing loaded, when the load fails.
inline bool Load(Library& library) {
    sim::CurrentThreadEnvironment();
    library.Module = LoadLibraryA(LibraryPath().c_str());
    if (library.Module == nullptr) return false;
    library.SupportInfo = reinterpret_cast<GETASPI32SUPPORTINFO>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(library.Module, "GetASPI32SupportInfo")));
    library.Send = reinterpret_cast<SENDASPI32COMMAND>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(library.Module, "SendASPI32Command")));
    return library.SupportInfo != nullptr && library.Send != nullptr;
}

// Returns nothing; unloads the library if it is loaded.
inline void Unload(Library& library) {
    if (library.Module != nullptr) FreeLibrary(library.Module);
    library = Library();
}

// What the library can take from the machine and must give back.
struct Resources {
    size_t Handles, Keys, Allocations, Committed, Locked, Threads, Modules;
    // Returns true when every count is the same.
    bool operator==(const Resources& other) const {
        return std::memcmp(this, &other, sizeof other) == 0;
    }
};

// Returns the simulator's counts now.
inline Resources CountResources() {
    return Resources{sim::OpenHandleCount(),       sim::OpenRegistryKeyCount(),
                     sim::VirtualAllocationCount(), sim::CommittedVirtualMemory(),
                     sim::LockedVirtualMemory(),    sim::LiveThreadCount(),
                     sim::LoadedModuleCount()};
}

// Returns the counts as text, for messages.
inline std::string Describe(const Resources& r) {
    return "handles " + std::to_string(r.Handles) + ", keys " + std::to_string(r.Keys) +
           ", allocations " + std::to_string(r.Allocations) + ", committed " +
           std::to_string(r.Committed) + ", locked " + std::to_string(r.Locked) + ", threads " +
           std::to_string(r.Threads) + ", modules " + std::to_string(r.Modules);
}

// How an execute request asks to be told of its completion.
enum class Notify { Event, Post, Poll, EventAndPost };

// An execute request with its sense area and an account of its posts. A
// block's address is all its post routine gets, so the account is kept
// beside the block, at a fixed distance.
struct Request {
    SRB_ExecSCSICmd Srb;
    BYTE Sense[32];
    BYTE Data[512];
    std::atomic<int> Posts;
    HANDLE Event;
    Notify Kind;
};

// Returns nothing: counts one post of the request whose block this is.
inline void __cdecl CountPost(void* srb) {
    reinterpret_cast<Request*>(srb)->Posts.fetch_add(1, std::memory_order_acq_rel);
}

// Returns nothing: fills the request for the unit, with the command and
// the notification asked for; `event` is used by the event kinds.
inline void Prepare(Request& request, BYTE target, const BYTE* cdb, BYTE cdbLength, bool dataIn,
                    Notify kind, HANDLE event) {
    std::memset(&request.Srb, 0, sizeof request.Srb + sizeof request.Sense);
    request.Posts.store(0);
    request.Event = event;
    request.Kind = kind;
    request.Srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    request.Srb.SRB_Target = target;
    request.Srb.SRB_Flags = dataIn ? SRB_DIR_IN : 0;
    request.Srb.SRB_BufLen = sizeof request.Data;
    request.Srb.SRB_BufPointer = request.Data;
    request.Srb.SRB_SenseLen = sizeof request.Sense;
    request.Srb.SRB_CDBLen = cdbLength;
    std::memcpy(request.Srb.CDBByte, cdb, cdbLength);
    switch (kind) {
    case Notify::Event:
        request.Srb.SRB_Flags |= SRB_EVENT_NOTIFY;
        request.Srb.SRB_PostProc = event;
        break;
    case Notify::Post:
        request.Srb.SRB_Flags |= SRB_POSTING;
        request.Srb.SRB_PostProc = reinterpret_cast<void*>(&CountPost);
        break;
    case Notify::Poll:
        break;
    case Notify::EventAndPost:
        request.Srb.SRB_Flags |= SRB_EVENT_NOTIFY | SRB_POSTING;
        request.Srb.SRB_PostProc = event;
        break;
    }
}

// Returns the request's status once it is final, or SS_PENDING after
// timeoutMs; reads it as the application must, one untorn byte at a time.
inline BYTE AwaitStatus(const Request& request, DWORD timeoutMs) {
    for (DWORD waited = 0;; ++waited) {
        const BYTE status = __atomic_load_n(&request.Srb.SRB_Status, __ATOMIC_ACQUIRE);
        if (status != SS_PENDING || waited >= timeoutMs) return status;
        Sleep(1);
    }
}

}  // namespace reliability

#endif
