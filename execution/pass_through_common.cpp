#include "execution/execute_srb.h"
#include "execution/request_queue.h"
#include "execution/status_mapping.h"
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

namespace {

// The statuses of the SCSI architecture model that the mask alone would
// turn into another one. SRB_TargStat has room only for the SCSI-2 codes
// (bits 1-4), so each is given the code that tells the application what
// became of its command: COMMAND TERMINATED ends it with sense, like CHECK
// CONDITION; TASK SET FULL, ACA ACTIVE and TASK ABORTED leave it unexecuted,
// to be sent again, like BUSY. Masked, ACA ACTIVE would read as the linked
// command's INTERMEDIATE and TASK ABORTED as GOOD, which completes a command
// that never ran.
constexpr struct {
    UCHAR scsiStatus;
    BYTE targetStatus;
} UnmaskedStatuses[] = {
    {0x22, ScsiStatusCheckCondition},  // COMMAND TERMINATED
    {0x28, ScsiStatusBusy},            // TASK SET FULL
    {0x30, ScsiStatusBusy},            // ACA ACTIVE
    {0x40, ScsiStatusBusy},            // TASK ABORTED
};

}  // namespace

BYTE MaskTargetStatus(UCHAR scsiStatus) {
    for (const auto& status : UnmaskedStatuses) {
        if (status.scsiStatus == scsiStatus) return status.targetStatus;
    }
    // Bits 0 and 5-7 are vendor-unique in SCSI-1 status bytes: dropped.
    return static_cast<BYTE>(scsiStatus & TargetStatusMask);
}

void HoldDevice(HANDLE device) {
    __atomic_store_n(&RequestQueue.HeldDevice, device, __ATOMIC_RELEASE);
}

void HoldBuffer(void* buffer) {
    __atomic_store_n(&RequestQueue.HeldBuffer, buffer, __ATOMIC_RELEASE);
}
