#include "execution/execute_srb.h"
#include "platform/scsi_port.h"

void IssueRequestSense(HANDLE device, SRB_ExecSCSICmd* srb, const DeviceEntry* entry) {
    SCSI_PASS_THROUGH_DIRECT header;
    memset(&header, 0, sizeof(header));
    header.Length = ScsiPassThroughHeaderLength;
    header.ScsiStatus = 0;
    header.PathId = entry->PathId;
    header.TargetId = entry->TargetId;
    header.Lun = entry->Lun;
    header.CdbLength = RequestSenseCdbLength;
    header.SenseInfoLength = 0;
    header.DataIn = SCSI_IOCTL_DATA_IN;
    header.DataTransferLength = srb->SRB_SenseLen;
    header.TimeOutValue = PassThroughTimeoutSeconds;
    header.DataBuffer = srb->SenseArea;
    header.SenseInfoOffset = 0;
    header.Cdb[0] = RequestSenseOpcode;
    header.Cdb[1] = static_cast<UCHAR>(entry->Lun << 5);
    header.Cdb[4] = srb->SRB_SenseLen;

    // Whatever this returns, the request already ends with CHECK CONDITION;
    // the sense area simply holds what the target could give.
    DWORD bytesReturned = 0;
    DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &header, ScsiPassThroughHeaderLength,
                    &header, ScsiPassThroughHeaderLength, &bytesReturned, nullptr);
}
