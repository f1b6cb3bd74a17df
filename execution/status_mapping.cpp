#include "execution/status_mapping.h"

#include "execution/execute_srb.h"
#include "ptaspi32.h"

namespace {

// The error codes of a port driver that ran the command and then failed.
constexpr DWORD ReachedUnitErrors[] = {ERROR_NOT_READY, ERROR_SEM_TIMEOUT, ERROR_IO_DEVICE,
                                       ERROR_DEVICE_NOT_CONNECTED};

}  // namespace

TargetStatusMapping MapTargetStatus(BYTE targetStatus, BYTE senseLength, BYTE firstSenseByte) {
    TargetStatusMapping mapping;
    mapping.Status = SS_ERR;
    mapping.TargetStatus = targetStatus;
    mapping.RequestSense = false;

    const bool senseWanted = senseLength != 0;
    const bool sensePresent = senseWanted && firstSenseByte != 0;

    switch (targetStatus) {
        case ScsiStatusGood:
            // Sense bytes that came with GOOD mean the target had something
            // to report after all, so the caller must look at them.
            if (sensePresent) {
                mapping.TargetStatus = ScsiStatusCheckCondition;
                mapping.Status = SS_ERR;
            } else {
                mapping.Status = SS_COMP;
            }
            break;
        case ScsiStatusCheckCondition:
            // Without autosense the caller's sense area is still empty: the
            // sense data is fetched once, here, before the target forgets it.
            mapping.RequestSense = senseWanted && !sensePresent;
            mapping.Status = SS_ERR;
            break;
        case ScsiStatusConditionMet:
            mapping.Status = SS_COMP;
            break;
        default:
            mapping.Status = SS_ERR;
            break;
    }
    return mapping;
}

BYTE MapPlatformError(DWORD errorCode, DWORD bufferLength) {
    if (errorCode == ERROR_INVALID_PARAMETER) {
        // The port driver rejects transfers beyond what the adapter can move
        // with 87; only a long transfer makes that the likely reason.
        return bufferLength > BufferTooBigThreshold ? SS_BUFFER_TO_BIG : SS_ERR;
    }
    if (errorCode == ERROR_IO_DEVICE) {
        return SS_ILLEGAL_MODE;
    }
    return SS_ERR;
}

bool CommandReachedUnit(DWORD errorCode) {
    for (DWORD reached : ReachedUnitErrors) {
        if (errorCode == reached) {
            return true;
        }
    }
    return false;
}
