#include "execution/execute_srb.h"

#include "execution/request_queue.h"
#include "execution/status_mapping.h"
#include "interface/srb.h"

namespace {

// Returns nothing: stores the final status and posts it, unless a stop has
// given up on the worker meanwhile: the caller may have been told that the
// request never finishes, and may have freed the block already.
void FinishRequest(SRB_ExecSCSICmd* srb, BYTE status) {
    if (!ClaimCompletion()) {
        return;
    }
    PostCompletion(srb, status);
    ReleaseCompletion();
}

// Returns the unit's open device handle, or INVALID_HANDLE_VALUE. A unit
// whose stored access is refused is opened read-only, and stays so for
// every later request, so that the refused open is not paid again.
HANDLE OpenUnit(DeviceEntry* entry) {
    HANDLE device = CreateFileA(entry->DevicePath, entry->DesiredAccess, entry->ShareMode, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device != INVALID_HANDLE_VALUE) {
        return device;
    }
    entry->DesiredAccess = GENERIC_READ;
    entry->ShareMode = FILE_SHARE_READ;
    return CreateFileA(entry->DevicePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// Returns the final status of a command that reached the target, after
// fixing SRB_TargStat and fetching sense data the target did not volunteer.
BYTE SettleTargetStatus(HANDLE device, SRB_ExecSCSICmd* srb, const DeviceEntry* entry) {
    const BYTE senseLength = srb->SRB_SenseLen;
    // The sense area exists only when the caller asked for sense bytes.
    const BYTE firstSenseByte = senseLength != 0 ? srb->SenseArea[0] : 0;
    const TargetStatusMapping mapping =
        MapTargetStatus(srb->SRB_TargStat, senseLength, firstSenseByte);
    srb->SRB_TargStat = mapping.TargetStatus;
    if (mapping.RequestSense) {
        IssueRequestSense(device, srb, entry);
    }
    return mapping.Status;
}

// Returns true when a direct attempt that failed with this code may be
// repeated through the bounce buffer: only a command that the port driver
// refused before it ran, and whose data the bounce buffer holds whole.
bool BufferedRetryAllowed(DWORD errorCode, DWORD bufferLength) {
    // The bounce buffer would carry only the first 64 KiB while the command
    // block asks for all of it: part of the data would move and the request
    // could still read as complete.
    if (bufferLength > BufferedTransferLimit) {
        return false;
    }
    return !CommandReachedUnit(errorCode);
}

// Returns the final status of a request whose unit is open: the direct
// method first, the buffered one only when the direct one was refused.
BYTE RunOnDevice(HANDLE device, SRB_ExecSCSICmd* srb, const DeviceEntry* entry) {
    DWORD errorCode = 0;
    PassThroughOutcome outcome = PassThroughDirect(device, srb, entry, &errorCode);
    if (outcome == PassThroughFailed && BufferedRetryAllowed(errorCode, srb->SRB_BufLen)) {
        outcome = PassThroughBuffered(device, srb, entry, &errorCode);
    }

    switch (outcome) {
        case PassThroughNoBuffer:
            return SS_BUFFER_TO_BIG;
        case PassThroughDone:
            return SettleTargetStatus(device, srb, entry);
        case PassThroughFailed:
        default:
            return MapPlatformError(errorCode, srb->SRB_BufLen);
    }
}

}  // namespace

void ExecuteSrb(void** srbAddress) {
    SRB_ExecSCSICmd* srb = static_cast<SRB_ExecSCSICmd*>(*srbAddress);
    // The caller may be polling the status byte: one untorn store.
    __atomic_store_n(&srb->SRB_Status, static_cast<BYTE>(SS_PENDING), __ATOMIC_RELAXED);
    srb->SRB_HaStat = HASTAT_OK;
    srb->SRB_TargStat = 0;

    DeviceEntry* entry = FindDeviceForHa(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
    if (entry == nullptr) {
        srb->SRB_HaStat = HASTAT_SEL_TO;
        FinishRequest(srb, SS_NO_DEVICE);
        return;
    }

    HANDLE device = OpenUnit(entry);
    if (device == INVALID_HANDLE_VALUE) {
        FinishRequest(srb, SS_NO_DEVICE);
        return;
    }

    HoldDevice(device);
    const BYTE status = RunOnDevice(device, srb, entry);
    // Forgotten first: a worker terminated in between leaves the handle
    // open rather than have it closed twice.
    HoldDevice(nullptr);
    CloseHandle(device);
    FinishRequest(srb, status);
}
