#include "discovery/host_adapters.h"
#include "execution/execute_srb.h"
#include "execution/pass_through_header.h"
#include "platform/scsi_port.h"

DWORD BufferedDataAlignment(const DeviceEntry* entry) {
    const PortInfo* port = FindPortInfo(entry->PortNumber);
    if (port == nullptr) {
        return MinimumDataAlignment;
    }
    DWORD mask = port->Capabilities.AlignmentMask;
    if (mask >= MaximumDataAlignment - 1) {
        return MaximumDataAlignment;
    }
    // Below 4096 the mask has at most 12 bits: these shifts fill every one
    // under its highest, so that the power of two above clears all of them.
    mask |= mask >> 1;
    mask |= mask >> 2;
    mask |= mask >> 4;
    mask |= mask >> 8;
    const DWORD alignment = mask + 1;
    return alignment < MinimumDataAlignment ? MinimumDataAlignment : alignment;
}

PassThroughOutcome PassThroughBuffered(HANDLE device, SRB_ExecSCSICmd* srb,
                                       const DeviceEntry* entry, DWORD* errorCode) {
    if (!CanIssuePassThrough(device, srb, entry)) {
        return PassThroughFailed;
    }

    const DWORD senseLength = srb->SRB_SenseLen;
    const DWORD dataLength =
        srb->SRB_BufLen <= BufferedTransferLimit ? srb->SRB_BufLen : BufferedTransferLimit;
    // The sense area stays right after the header; the data follow at an
    // offset that the adapter's alignment allows.
    const DWORD alignment = BufferedDataAlignment(entry);
    const DWORD dataOffset =
        (ScsiPassThroughHeaderLength + senseLength + alignment - 1) / alignment * alignment;
    // At most 4096 + 65,536 + 4 bytes: no overflow.
    DWORD size = dataOffset + dataLength + RequestBufferSlack;
    // The port driver sees the data in the I/O manager's copy of this
    // buffer, which the pool aligns only to 8 bytes below a page and to a
    // page from a page up: a finer alignment holds only in a whole page.
    if (alignment > PoolSmallBlockAlignment && size < MaximumDataAlignment) {
        size = MaximumDataAlignment;
    }
    BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    if (buffer == nullptr) {
        srb->SRB_HaStat = HASTAT_OK;
        return PassThroughNoBuffer;
    }
    HoldBuffer(buffer);
    // The port driver may touch the bounce buffer at any moment of the
    // transfer; a lock that fails only costs speed.
    VirtualLock(buffer, size);
    memset(buffer, 0, size);

    SCSI_PASS_THROUGH* header = reinterpret_cast<SCSI_PASS_THROUGH*>(buffer);
    FillCommandHeader(header, srb, entry, dataLength);
    header->DataBufferOffset = dataOffset;

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
    HoldBuffer(nullptr);
    VirtualFree(buffer, 0, MEM_RELEASE);
    return succeeded ? PassThroughDone : PassThroughFailed;
}
