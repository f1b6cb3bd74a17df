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

// The most data bytes that the buffered method's bounce buffer carries.
constexpr DWORD BufferedTransferLimit = 0x10000;
// Above this length an ERROR_INVALID_PARAMETER is read as a transfer that
// the adapter cannot take.
constexpr DWORD BufferTooBigThreshold = 0xF000;
constexpr ULONG PassThroughTimeoutSeconds = 300;
// Bytes after the header and sense area that every request buffer keeps.
constexpr DWORD RequestBufferSlack = 4;
// Bounds of the alignment given to the buffered method's data area: the
// port driver checks it against the adapter's AlignmentMask as it checks
// a direct data buffer, and a request buffer starts on a page.
constexpr DWORD MinimumDataAlignment = 4;
constexpr DWORD MaximumDataAlignment = 4096;
// The alignment that the system's pool gives a block smaller than a page;
// a block of a page or more starts on a page.
constexpr DWORD PoolSmallBlockAlignment = 8;
constexpr BYTE RequestSenseOpcode = 0x03;
constexpr BYTE RequestSenseCdbLength = 6;

// Returns nothing; runs the SRB whose address *srb holds and posts its
// completion exactly once, whatever happens.
void ExecuteSrb(void** srb);

// Returns the outcome of IOCTL_SCSI_PASS_THROUGH_DIRECT: done when the
// control succeeded, failed when it did not (or could not be issued), no
// buffer when its request buffer could not be allocated (SRB_HaStat is 0
// then; the caller completes the SRB with SS_BUFFER_TO_BIG). *errorCode
// receives the platform's error code whenever the control was issued.
PassThroughOutcome PassThroughDirect(HANDLE device, SRB_ExecSCSICmd* srb, const DeviceEntry* entry,
                                     DWORD* errorCode);

// Returns the outcome of IOCTL_SCSI_PASS_THROUGH through a bounce buffer
// of at most BufferedTransferLimit data bytes, with the same meanings as
// PassThroughDirect. The data follow the sense area at the next offset
// that BufferedDataAlignment allows; when that is more than 8 bytes, the
// request buffer is at least a page.
PassThroughOutcome PassThroughBuffered(HANDLE device, SRB_ExecSCSICmd* srb,
                                       const DeviceEntry* entry, DWORD* errorCode);

// Returns the alignment of the buffered method's data area for the
// entry's unit: AlignmentMask + 1 of its port's capabilities (a mask with
// gaps counts as its highest bit and every one below), at least
// MinimumDataAlignment and at most MaximumDataAlignment.
DWORD BufferedDataAlignment(const DeviceEntry* entry);

// Returns nothing: sends REQUEST SENSE for SRB_SenseLen bytes into the
// SRB's own sense area on the open device; its outcome is not reported.
void IssueRequestSense(HANDLE device, SRB_ExecSCSICmd* srb, const DeviceEntry* entry);

// Returns nothing: zeroes the SRB's sense area and copies into it the
// sense bytes that a method's request buffer holds (reportedLength of
// them, never more than SRB_SenseLen). Touches nothing when SRB_SenseLen
// is 0.
void StoreSenseData(SRB_ExecSCSICmd* srb, const BYTE* senseBytes, UCHAR reportedLength);

// Returns true when a method may issue anything for this request: a device
// to send it to, a unit to address, and a block that still reads as an
// execute request.
bool CanIssuePassThrough(HANDLE device, const SRB_ExecSCSICmd* srb, const DeviceEntry* entry);

// Returns the SCSI status byte as SRB_TargStat holds it: bits 1-4 only,
// except that a status of the architecture model which the mask would turn
// into another (TASK ABORTED into GOOD) gets its SCSI-2 equivalent.
BYTE MaskTargetStatus(UCHAR scsiStatus);

// Returns nothing: records the device handle (or, with null, that none
// is held any more) that the worker holds for the request it runs.
void HoldDevice(HANDLE device);
// Returns nothing: records the request buffer (or none) the same way.
void HoldBuffer(void* buffer);

#endif
