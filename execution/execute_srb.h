// Running one execute SRB: SCSI pass-through on the unit's device path,
// direct first and buffered as the fallback, status mapping, the library's
// own REQUEST SENSE, and completion posted exactly once.
#ifndef PTASPI_EXECUTION_EXECUTE_SRB_H
#define PTASPI_EXECUTION_EXECUTE_SRB_H

#include "discovery/device_table.h"
#include "platform/platform.h"
#include "ptaspi32.h"

enum PassThroughOutcome {
    PassThroughFailed = 0,
    PassThroughDone = 1,
    PassThroughNoBuffer = 2,
};

constexpr DWORD BufferedTransferLimit = 0x10000;
constexpr DWORD BufferTooBigThreshold = 0xF000;
constexpr ULONG PassThroughTimeoutSeconds = 300;

// Returns nothing; posts the SRB's completion exactly once.
void ExecuteSrb(void** srb);
// Returns the outcome of IOCTL_SCSI_PASS_THROUGH_DIRECT.
PassThroughOutcome PassThroughDirect(HANDLE device, SRB_ExecSCSICmd* srb, const DeviceEntry* entry,
                                     DWORD* errorCode);
// Returns the outcome of IOCTL_SCSI_PASS_THROUGH through a bounce buffer.
PassThroughOutcome PassThroughBuffered(HANDLE device, SRB_ExecSCSICmd* srb,
                                       const DeviceEntry* entry, DWORD* errorCode);

#endif
