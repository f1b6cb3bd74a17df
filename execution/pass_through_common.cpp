#include "execution/execute_srb.h"
#include "execution/request_queue.h"
#include "interface/srb.h"

bool CanIssuePassThrough(HANDLE device, const SRB_ExecSCSICmd* srb, const DeviceEntry* entry) {
    return device != INVALID_HANDLE_VALUE && entry != nullptr && srb->SRB_Cmd == SC_EXEC_SCSI_CMD;
}

void StoreSenseData(SRB_ExecSCSICmd* srb, const BYTE* senseBytes, UCHAR reportedLength) {
    const DWORD senseLength = srb->SRB_SenseLen;
    if (senseLength == 0) {
        return;
    }
    memset(srb->SenseArea, 0, senseLength);
    // The port driver's count is trusted only up to what the caller's area
    // holds.
    const DWORD count = reportedLength < senseLength ? reportedLength : senseLength;
    if (count != 0) {
        memcpy(srb->SenseArea, senseBytes, count);
    }
}

BYTE MaskTargetStatus(UCHAR scsiStatus) { return static_cast<BYTE>(scsiStatus & TargetStatusMask); }

void HoldDevice(HANDLE device) {
    __atomic_store_n(&RequestQueue.HeldDevice, device, __ATOMIC_RELEASE);
}

void HoldBuffer(void* buffer) {
    __atomic_store_n(&RequestQueue.HeldBuffer, buffer, __ATOMIC_RELEASE);
}
