// Fuzz target of SendASPI32Command: arbitrary bytes as the request block,
// every command code, flags, lengths, host adapter numbers and sense
// lengths, on a fixed machine, with the library and the simulator linked
// in. The block ends where an inaccessible page begins, and so does its
// data buffer; once a request has completed, both pages are taken away
// and stay so while the next inputs run, so that an access by the library
// outside the block and its buffer, or after completion, is a finding.
// Every execute request must complete, and be posted exactly once when it
// asked for a post routine; a request that does not complete within ten
// seconds is a finding too.
//
// Input: bytes 0-63 the block's first 64 bytes; byte 64 how the harness
// fills in what must be valid addresses (bit 0: a null data pointer; bit
// 1: the event handle as the input gives it rather than a real event);
// then the sense area's bytes.
#include "ptaspi32.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/teb.h"
#include "sim/kernel/virtual_memory.h"
#include "sim/sim.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

namespace {

// A disk, a CD-ROM and a scripted unit with every kind of answer, on one
// port; an atapi port beside it.
constexpr char Machine[] = R"({
  "ports": [
    {"driver": "hba", "buses": [{"units": [
      {"target": 0, "lun": 0, "class_device": "PhysicalDrive0",
       "backend": {"type": "disk", "blocks": 64}},
      {"target": 2, "lun": 0, "claimed": false, "inquiry": {"peripheral": 3},
       "backend": {"type": "scripted", "responses": [
         {"opcode": "0x1A", "status": 2},
         {"opcode": "0x28", "direct_error": 87, "data": "01 02 03 04"},
         {"opcode": "0x2A", "after_error": 1117},
         {"opcode": "0x00", "status": 2, "sense": "70 00 06 00 00 00 00 0A 00 00 00 00 29 00 00 00 00 00"},
         {"opcode": "0x25", "status": "0x22"},
         {"status": 0, "data": "00 11 22 33 44 55 66 77"}]}},
      {"target": 3, "lun": 0, "class_device": "CdRom0", "drive": "E",
       "backend": {"type": "cdrom"}}
    ]}]},
    {"driver": "atapi", "buses": [{"units": []}]}
  ]
})";

constexpr size_t BufferLimit = 128 * 1024;  // the most any port here moves
constexpr int Regions = 4;                  // inputs a page stays taken away
const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));

struct Region {
    BYTE* Block;   // two pages: the block's, then a guard
    BYTE* Buffer;  // BufferLimit rounded up to pages, then a guard
};
Region regions[Regions];
int next = 0;
HANDLE event = nullptr;
std::atomic<int> posts{0};
size_t handlesAtRest = 0;      // open handles between requests
size_t allocationsAtRest = 0;  // virtual memory allocations between requests

// Returns nothing: counts a post.
void __cdecl CountPost(void*) { posts.fetch_add(1); }

// Never returns: reports what went wrong.
void Fail(const char* what) {
    fprintf(stderr, "finding: %s\n", what);
    abort();
}

// Returns the mapping: `bytes` accessible, rounded up to pages, then one
// inaccessible page.
BYTE* MapGuarded(size_t bytes) {
    const size_t usable = (bytes + page - 1) / page * page;
    void* area = mmap(nullptr, usable + page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) Fail("mmap");
    return static_cast<BYTE*>(area);
}

// Returns nothing: makes the region's pages accessible or takes them away.
void Protect(const Region& region, int protection) {
    mprotect(region.Block, page, protection);
    mprotect(region.Buffer, (BufferLimit + page - 1) / page * page, protection);
}

// Returns the length of the layout that the command code names.
size_t LayoutLength(BYTE command, BYTE senseLength) {
    switch (command) {
    case SC_HA_INQUIRY: return sizeof(SRB_HAInquiry);
    case SC_GET_DEV_TYPE: return sizeof(SRB_GDEVBlock);
    case SC_EXEC_SCSI_CMD: return SRB_EXEC_HEADER_LEN + senseLength;
    case SC_ABORT_SRB: return sizeof(SRB_Abort);
    case SC_RESET_DEV: return sizeof(SRB_BusDeviceReset);
    default: return 8;  // the header alone: nothing else is read
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sim::Machine machine;
    std::string error;
    if (!sim::ParseMachine(Machine, machine, error) || !sim::InstallMachine(machine, error)) {
        fprintf(stderr, "machine: %s\n", error.c_str());
        abort();
    }
    sim::CurrentThreadEnvironment();
    if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)) Fail("load");
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (Region& region : regions) {
        region.Block = MapGuarded(page);
        region.Buffer = MapGuarded(BufferLimit);
    }
    handlesAtRest = sim::OpenHandleCount();
    allocationsAtRest = sim::VirtualAllocationCount();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 65) return 0;
    const Region& region = regions[next];
    next = (next + 1) % Regions;
    Protect(region, PROT_READ | PROT_WRITE);

    SRB_ExecSCSICmd header;
    memcpy(&header, data, sizeof header);
    const BYTE command = header.SRB_Cmd;
    const size_t length = LayoutLength(command, header.SRB_SenseLen);
    BYTE* block = region.Block + page - length;
    memset(block, 0, length);
    memcpy(block, data, length < 64 ? length : 64);
    if (length > 64) memcpy(block + 64, data + 65, std::min(length - 64, size - 65));

    // What must be a valid address for the request to be the caller's
    // fair use: the data buffer, and the post routine.
    const BYTE control = data[64];
    const bool executes = command == SC_EXEC_SCSI_CMD;
    const bool postable = command == SC_EXEC_SCSI_CMD || command == SC_RESET_DEV;
    BYTE flags = block[3];
    if (executes) {
        SRB_ExecSCSICmd* srb = reinterpret_cast<SRB_ExecSCSICmd*>(block);
        const size_t usable = std::min<size_t>(srb->SRB_BufLen, BufferLimit);
        srb->SRB_BufPointer = (control & 1) ? nullptr : region.Buffer +
            (BufferLimit + page - 1) / page * page - usable;
    }
    if (postable) {
        // At offset 24 of both layouts, aligned or not as the block is.
        void* postProc = nullptr;
        if (flags & SRB_EVENT_NOTIFY) {
            if (!(control & 2)) postProc = event;
        } else if (flags & SRB_POSTING) {
            postProc = reinterpret_cast<void*>(&CountPost);
        }
        if (postProc != nullptr) memcpy(block + 24, &postProc, sizeof postProc);
    }
    const bool wantsPost = postable && !(flags & SRB_EVENT_NOTIFY) && (flags & SRB_POSTING);
    ResetEvent(event);
    posts = 0;

    const DWORD returned = SendASPI32Command(block);
    if (returned > 0xFF) Fail("bits 8-31 of the result set");
    const BYTE status = block[1];
    const bool accepted = returned != SS_INVALID_HA && returned != SS_INVALID_SRB;
    if (executes && accepted) {
        // Polled as the application does; the block stays in place.
        int waited = 0;
        while (__atomic_load_n(&block[1], __ATOMIC_ACQUIRE) == SS_PENDING) {
            if (++waited > 10000) Fail("an execute request never completed");
            usleep(100);
        }
    } else if (status != returned) {
        Fail("status and result differ");
    }
    if (executes && accepted && (flags & SRB_EVENT_NOTIFY) && !(control & 2) &&
        WaitForSingleObject(event, 1000) != WAIT_OBJECT_0) {
        Fail("event not set");
    }
    if (wantsPost && accepted) {
        int waited = 0;
        while (posts.load() == 0 && ++waited < 1000) usleep(1000);
        if (posts.load() != 1) Fail("posted other than once");
    }
    if (!accepted && posts.load() != 0) Fail("a refused request was posted");
    // The device handle and request buffers go before the final status.
    if (sim::OpenHandleCount() != handlesAtRest) Fail("a handle left open");
    if (sim::VirtualAllocationCount() != allocationsAtRest) Fail("a request buffer left");
    // The simulator's log of pass-through requests would grow without end.
    sim::ClearPassThroughLog();
    // The block and buffer are gone for the next inputs.
    Protect(region, PROT_NONE);
    return 0;
}
