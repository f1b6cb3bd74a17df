#include "execution/execute_srb.h"
#include "platform/scsi_port.h"

PassThroughOutcome PassThroughBuffered(HANDLE device, SRB_ExecSCSICmd* srb,
                                       const DeviceEntry* entry, DWORD* errorCode) {
    if (!CanIssuePassThrough(device, srb, entry)) {
        return PassThroughFailed;
    }

    const DWORD senseLength = srb->SRB_SenseLen;
    const DWORD dataLength =
        srb->SRB_BufLen <= BufferedTransferLimit ? srb->SRB_BufLen : BufferedTransferLimit;
    const DWORD dataOffset = ScsiPassThroughHeaderLength + senseLength;
    // At most 65,536 + 255 + 48 bytes: no overflow.
    const DWORD size = dataOffset + dataLength + RequestBufferSlack;
    BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    if (buffer == nullptr) {
        srb->SRB_HaStat = HASTAT_OK;
        return PassThroughNoBuffer;
    }
    // The port driver may touch the bounce buffer at any moment of the
    // transfer; a lock that fails only costs speed.
    VirtualLock(buffer, size);
    memset(buffer, 0, size);

    SCSI_PASS_THROUGH* header = reinterpret_cast<SCSI_PASS_THROUGH*>(buffer);
    header->Length = ScsiPassThroughHeaderLength;
    header->ScsiStatus = 0;
    header->PathId = entry->PathId;
    header->TargetId = entry->TargetId;
    header->Lun = entry->Lun;
    header->CdbLength = srb->SRB_CDBLen;
    header->SenseInfoLength = static_cast<UCHAR>(senseLength);
    header->DataIn = (srb->SRB_Flags & SRB_DIR_IN) ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
    header->DataTransferLength = dataLength;
    header->TimeOutValue = PassThroughTimeoutSeconds;
    header->DataBufferOffset = dataOffset;
    header->SenseInfoOffset = ScsiPassThroughHeaderLength;
    memcpy(header->Cdb, srb->CDBByte, sizeof(header->Cdb));

    BYTE* const callerData = srb->SRB_BufPointer;
    // Copied in both directions: data-out bytes must reach the driver, and
    // for data-in the caller keeps its own bytes wherever nothing arrives.
    if (callerData != nullptr && dataLength != 0) {
        memcpy(buffer + dataOffset, callerData, dataLength);
    }

    DWORD bytesReturned = 0;
    const BOOL succeeded = DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH, buffer, size, buffer,
                                           size, &bytesReturned, nullptr);
    *errorCode = GetLastError();

    srb->SRB_TargStat = MaskTargetStatus(header->ScsiStatus);
    // The offset is the one this code chose, not what the header reads
    // now, so a driver that rewrites the header cannot move the copy.
    if (callerData != nullptr && dataLength != 0) {
        memcpy(callerData, buffer + dataOffset, dataLength);
    }
    StoreSenseData(srb, buffer + ScsiPassThroughHeaderLength, header->SenseInfoLength);

    VirtualUnlock(buffer, size);
    VirtualFree(buffer, 0, MEM_RELEASE);
    return succeeded ? PassThroughDone : PassThroughFailed;
}
