#include "execution/execute_srb.h"
#include "execution/pass_through_header.h"
#include "platform/scsi_port.h"

PassThroughOutcome PassThroughDirect(HANDLE device, SRB_ExecSCSICmd* srb, const DeviceEntry* entry,
                                     DWORD* errorCode) {
    if (!CanIssuePassThrough(device, srb, entry)) {
        return PassThroughFailed;
    }

    const DWORD senseLength = srb->SRB_SenseLen;
    const DWORD size = ScsiPassThroughHeaderLength + senseLength + RequestBufferSlack;
    BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    if (buffer == nullptr) {
        srb->SRB_HaStat = HASTAT_OK;
        return PassThroughNoBuffer;
    }
    HoldBuffer(buffer);
    memset(buffer, 0, size);

    SCSI_PASS_THROUGH_DIRECT* header = reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(buffer);
    FillCommandHeader(header, srb, entry, srb->SRB_BufLen);
    header->DataBuffer = srb->SRB_BufPointer;

    DWORD bytesReturned = 0;
    const BOOL succeeded = DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer,
                                           ScsiPassThroughHeaderLength, buffer, size,
                                           &bytesReturned, nullptr);
    *errorCode = GetLastError();

    // A failed control leaves the header as written, so the sense area is
    // cleared and the target status reads 0 then.
    StoreSenseData(srb, buffer + ScsiPassThroughHeaderLength, header->SenseInfoLength);
    srb->SRB_TargStat = MaskTargetStatus(header->ScsiStatus);

    HoldBuffer(nullptr);
    VirtualFree(buffer, 0, MEM_RELEASE);
    return succeeded ? PassThroughDone : PassThroughFailed;
}
