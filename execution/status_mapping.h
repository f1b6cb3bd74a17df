// How the outcome of a pass-through becomes the SRB's ASPI status: by the
// target's status byte when the port driver carried the command, by the
// platform's error code when neither transfer method could.
#ifndef PTASPI_EXECUTION_STATUS_MAPPING_H
#define PTASPI_EXECUTION_STATUS_MAPPING_H

#include "platform/platform.h"

constexpr BYTE ScsiStatusGood = 0x00;
constexpr BYTE ScsiStatusCheckCondition = 0x02;
constexpr BYTE ScsiStatusConditionMet = 0x04;
constexpr BYTE ScsiStatusBusy = 0x08;

// What a completed command turns into: the ASPI status, the value that
// SRB_TargStat must hold at the end, and whether the library must fetch
// the sense data itself with a REQUEST SENSE.
struct TargetStatusMapping {
    BYTE Status;
    BYTE TargetStatus;
    bool RequestSense;
};

// Returns the mapping of a command that the port driver carried.
// targetStatus is SRB_TargStat as the method left it (already masked);
// firstSenseByte is SenseArea[0], and is only meaningful (and must only be
// read by the caller) when senseLength is not 0.
TargetStatusMapping MapTargetStatus(BYTE targetStatus, BYTE senseLength, BYTE firstSenseByte);

// Returns the ASPI status of a request that no transfer method carried,
// from the last attempt's platform error code and the requested length.
BYTE MapPlatformError(DWORD errorCode, DWORD bufferLength);

// Returns true when a pass-through that failed with this platform error
// code had already reached the unit (a time-out, a device error, a unit
// that went away or is not ready), so that sending the command again
// could repeat what it did.
bool CommandReachedUnit(DWORD errorCode);

#endif
