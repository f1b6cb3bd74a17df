// The pass-through header of a caller's command, shared by both methods:
// the direct and the buffered header differ only in how they name the
// data (an address or an offset), which each method sets itself.
#ifndef PTASPI_EXECUTION_PASS_THROUGH_HEADER_H
#define PTASPI_EXECUTION_PASS_THROUGH_HEADER_H

#include "discovery/device_table.h"
#include "execution/execute_srb.h"
#include "platform/scsi_port.h"

// Returns nothing: fills every field but the data's address or offset of a
// zero-filled header for the SRB's command to the entry's unit.
template <class Header>
void FillCommandHeader(Header* header, const SRB_ExecSCSICmd* srb, const DeviceEntry* entry,
                       DWORD transferLength) {
    header->Length = ScsiPassThroughHeaderLength;
    header->ScsiStatus = 0;
    header->PathId = entry->PathId;
    header->TargetId = entry->TargetId;
    header->Lun = entry->Lun;
    header->CdbLength = srb->SRB_CDBLen;
    header->SenseInfoLength = srb->SRB_SenseLen;
    // A request without SRB_DIR_IN goes out as data-out, whatever else its
    // flags say.
    header->DataIn = (srb->SRB_Flags & SRB_DIR_IN) ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
    header->DataTransferLength = transferLength;
    header->TimeOutValue = PassThroughTimeoutSeconds;
    header->SenseInfoOffset = ScsiPassThroughHeaderLength;
    memcpy(header->Cdb, srb->CDBByte, sizeof(header->Cdb));
}

#endif
