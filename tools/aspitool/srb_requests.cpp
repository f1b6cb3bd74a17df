#include "srb_requests.h"

#include "output.h"
#include "sense.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace aspitool {
namespace {

// An execute block with room for the largest sense area, and the event that
// the post routine signals. The block comes first, so that the address the
// library hands to the post routine is the address of the whole record.
struct PendingRequest {
    alignas(8) BYTE block[SRB_EXEC_HEADER_LEN + 255];
    HANDLE done;
};

SRB_ExecSCSICmd* Block(PendingRequest& pending) {
    return reinterpret_cast<SRB_ExecSCSICmd*>(pending.block);
}

// Returns the status byte as the library last stored it: it writes the byte
// on its worker thread while this thread reads it.
BYTE ReadStatus(PendingRequest& pending) {
    return *static_cast<volatile BYTE*>(&pending.block[offsetof(SRB_ExecSCSICmd, SRB_Status)]);
}

// Returns nothing; signals the waiting thread. Runs on the library's worker
// thread; cdecl, so the library removes the argument.
void __cdecl PostRoutine(void* srb) {
    SetEvent(static_cast<PendingRequest*>(srb)->done);
}

// Returns nothing. Ends the process when a request cannot be brought to an
// end: the library still holds the block and the data buffer and may write
// into them at any time, so neither may be freed or reused.
[[noreturn]] void AbandonProcess(DWORD timeoutMs) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "aspitool: no completion within %lu ms, and the request could not be aborted; "
                 "it is still in the library's hands, so the tool stops here\n",
                 static_cast<unsigned long>(timeoutMs));
    std::fflush(stderr);
    std::_Exit(1);
}

// Returns true when the status of `pending` became final within the
// timeout, polling it with a short sleep.
bool PollUntilFinal(PendingRequest& pending, DWORD timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ReadStatus(pending) == SS_PENDING) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(1);
    }
    return true;
}

// Returns nothing; asks the library to take a request that is still queued
// out of its queue.
void TryAbort(const AspiLibrary& library, PendingRequest& pending, BYTE ha) {
    SRB_Abort abort;
    std::memset(&abort, 0, sizeof abort);
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = ha;
    abort.SRB_ToAbort = pending.block;
    library.sendCommand(&abort);
}

// Returns true when the notification of `pending` arrived within the timeout
// (or after a successful abort, which posts as well); `timedOut` says
// whether the abort was needed.
bool AwaitNotification(const AspiLibrary& library, PendingRequest& pending, BYTE ha,
                       DWORD timeoutMs, bool& timedOut) {
    DWORD wait = WaitForSingleObject(pending.done, timeoutMs);
    if (wait == WAIT_OBJECT_0) return true;
    timedOut = wait == WAIT_TIMEOUT;
    if (timedOut) {
        TryAbort(library, pending, ha);
        wait = WaitForSingleObject(pending.done, 1000);
        if (wait == WAIT_OBJECT_0) return true;
    }
    return false;
}

}  // namespace

bool AlignedBuffer::Allocate(size_t size, uint16_t alignmentMask) {
    // A mask is one less than a power of two; anything else is rounded up
    // to the next such mask, which honours it too.
    size_t mask = alignmentMask;
    while ((mask & (mask + 1)) != 0) mask |= mask >> 1;
    storage_.clear();
    data_ = nullptr;
    size_ = 0;
    if (size > static_cast<size_t>(-1) - mask - 1) return false;
    storage_.resize(size + mask + 1);
    const uintptr_t start = reinterpret_cast<uintptr_t>(storage_.data());
    const uintptr_t aligned = (start + mask) & ~static_cast<uintptr_t>(mask);
    data_ = storage_.data() + (aligned - start);
    size_ = size;
    return true;
}

uint8_t InquireHostAdapter(const AspiLibrary& library, uint8_t ha, HostAdapterInfo& info) {
    SRB_HAInquiry srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_HA_INQUIRY;
    srb.SRB_HaId = ha;
    const BYTE status = static_cast<BYTE>(library.sendCommand(&srb));
    if (status != SS_COMP) return status;
    info.count = srb.HA_Count;
    info.scsiId = srb.HA_SCSI_ID;
    info.manager.assign(reinterpret_cast<const char*>(srb.HA_ManagerId),
                        strnlen(reinterpret_cast<const char*>(srb.HA_ManagerId), 16));
    info.identifier.assign(reinterpret_cast<const char*>(srb.HA_Identifier),
                           strnlen(reinterpret_cast<const char*>(srb.HA_Identifier), 16));
    info.alignmentMask = static_cast<uint16_t>(srb.HA_Unique[0] | (srb.HA_Unique[1] << 8));
    // Bit 1 of the residual support byte: the adapter reports how much of a
    // transfer did not move, when a request asks for it.
    info.countsResiduals = (srb.HA_Unique[2] & 0x02) != 0;
    info.maxTargets = srb.HA_Unique[3];
    info.maxTransfer = static_cast<uint32_t>(srb.HA_Unique[4]) |
                       (static_cast<uint32_t>(srb.HA_Unique[5]) << 8) |
                       (static_cast<uint32_t>(srb.HA_Unique[6]) << 16) |
                       (static_cast<uint32_t>(srb.HA_Unique[7]) << 24);
    return status;
}

uint8_t GetDeviceType(const AspiLibrary& library, const UnitAddress& unit, uint8_t& type) {
    SRB_GDEVBlock srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_GET_DEV_TYPE;
    srb.SRB_HaId = unit.ha;
    srb.SRB_Target = unit.target;
    srb.SRB_Lun = unit.lun;
    const BYTE status = static_cast<BYTE>(library.sendCommand(&srb));
    if (status == SS_COMP) type = srb.SRB_DeviceType;
    return status;
}

bool ExecuteScsi(const AspiLibrary& library, const ExecRequest& request, ExecResult& result,
                 std::string& error) {
    if (request.cdbLength == 0 || request.cdbLength > 16) {
        error = "a command block has 1 to 16 bytes";
        return false;
    }
    PendingRequest* pending = new (std::nothrow) PendingRequest();
    if (pending == nullptr) {
        error = "out of memory";
        return false;
    }
    std::memset(pending->block, 0, sizeof pending->block);
    pending->done = nullptr;
    SRB_ExecSCSICmd* srb = Block(*pending);
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb->SRB_HaId = request.unit.ha;
    srb->SRB_Target = request.unit.target;
    srb->SRB_Lun = request.unit.lun;
    srb->SRB_BufLen = request.length;
    srb->SRB_BufPointer = request.buffer;
    srb->SRB_SenseLen = request.senseLength;
    srb->SRB_CDBLen = request.cdbLength;
    std::memcpy(srb->CDBByte, request.cdb, sizeof srb->CDBByte);
    if (request.direction == DataDirection::In) srb->SRB_Flags = SRB_DIR_IN;
    if (request.direction == DataDirection::Out) srb->SRB_Flags = SRB_DIR_OUT;
    if (request.residual) srb->SRB_Flags |= SRB_ENABLE_RESIDUAL_COUNT;

    const bool notified = request.notify != NotifyMethod::Poll;
    if (notified) {
        pending->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (pending->done == nullptr) {
            error = "cannot create an event (error " + std::to_string(GetLastError()) + ")";
            delete pending;
            return false;
        }
        if (request.notify == NotifyMethod::Event) {
            srb->SRB_Flags |= SRB_EVENT_NOTIFY;
            srb->SRB_PostProc = pending->done;
        } else {
            srb->SRB_Flags |= SRB_POSTING;
            srb->SRB_PostProc = reinterpret_cast<LPVOID>(&PostRoutine);
        }
    }

    const BYTE sent = static_cast<BYTE>(library.sendCommand(srb));
    bool finished = true;
    bool timedOut = false;
    if (!notified) {
        if (sent == SS_PENDING && !PollUntilFinal(*pending, request.timeoutMs)) {
            timedOut = true;
            TryAbort(library, *pending, request.unit.ha);
            if (!PollUntilFinal(*pending, 1000)) AbandonProcess(request.timeoutMs);
        }
    } else if (sent == SS_PENDING || IsPostedStatus(sent)) {
        // A final status returned at once may still be posted after the
        // call returned, so the notification is awaited all the same: the
        // record must outlive the library's last use of it.
        finished = AwaitNotification(library, *pending, request.unit.ha, request.timeoutMs, timedOut);
        if (!finished && ReadStatus(*pending) == SS_PENDING) AbandonProcess(request.timeoutMs);
    } else {
        // Rejected at once (bad host adapter, bad block): nothing is posted
        // for such a request, but a library that posts anyway is waited for
        // briefly.
        WaitForSingleObject(pending->done, 200);
    }

    result.status = ReadStatus(*pending);
    result.haStat = srb->SRB_HaStat;
    result.targStat = srb->SRB_TargStat;
    result.hasResidual = request.residual;
    result.residual = request.residual ? srb->SRB_BufLen : 0;
    const uint8_t* senseArea = pending->block + SRB_EXEC_HEADER_LEN;
    result.sense.assign(senseArea, senseArea + ValidSenseLength(senseArea, request.senseLength));
    if (!finished) {
        // The notification never came though the status is final: the
        // library may still signal or call back, so the record stays.
        error = "the completion of the request was not notified";
        return false;
    }
    if (pending->done != nullptr) CloseHandle(pending->done);
    delete pending;
    if (timedOut) {
        // Still waiting in the library's queue (behind a slow request, or
        // on a loaded machine) and taken back by the abort.
        error = "no completion within " + std::to_string(request.timeoutMs) +
                " ms; the request was still queued, and the tool aborted it (" +
                NamedValue(AspiStatusName(result.status), result.status) + ")";
        return false;
    }
    return true;
}

// Returns true when `status` is one that only a completed request carries,
// which the library therefore posts.
bool IsPostedStatus(BYTE status) {
    switch (status) {
    case SS_COMP:
    case SS_ABORTED:
    case SS_ERR:
    case SS_NO_DEVICE:
    case SS_ILLEGAL_MODE:
    case SS_BUFFER_TO_BIG:
        return true;
    default:
        return false;
    }
}

}  // namespace aspitool
