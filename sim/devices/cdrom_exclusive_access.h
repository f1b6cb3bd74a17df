// IOCTL_CDROM_EXCLUSIVE_ACCESS and what a CD-ROM's exclusive access does to
// everyone but its holder, as the CD-ROM class driver keeps it: the state
// query, the lock and the unlock, the opens refused while the device is
// locked, and the requests of other handles refused. The structures are
// laid out as ntddcdrm.h declares them and checked below.
#ifndef PTASPI_SIM_DEVICES_CDROM_EXCLUSIVE_ACCESS_H
#define PTASPI_SIM_DEVICES_CDROM_EXCLUSIVE_ACCESS_H

#include "sim/devices/device_files.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace sim {

// CTL_CODE(IOCTL_CDROM_BASE 0x02, 0x0017, METHOD_BUFFERED,
// FILE_READ_ACCESS | FILE_WRITE_ACCESS).
constexpr DWORD IOCTL_CDROM_EXCLUSIVE_ACCESS = (0x02UL << 16) | (3UL << 14) | (0x17UL << 2);
static_assert(IOCTL_CDROM_EXCLUSIVE_ACCESS == 0x2C05C, "IOCTL_CDROM_EXCLUSIVE_ACCESS");

// EXCLUSIVE_ACCESS_REQUEST_TYPE values.
constexpr DWORD ExclusiveAccessQueryState = 0;
constexpr DWORD ExclusiveAccessLockDevice = 1;
constexpr DWORD ExclusiveAccessUnlockDevice = 2;
constexpr size_t CDROM_EXCLUSIVE_CALLER_LENGTH = 64;

struct CDROM_EXCLUSIVE_ACCESS {
    DWORD RequestType;  // EXCLUSIVE_ACCESS_REQUEST_TYPE, an enum: four bytes
    ULONG Flags;
};
static_assert(sizeof(CDROM_EXCLUSIVE_ACCESS) == 8, "CDROM_EXCLUSIVE_ACCESS");
static_assert(offsetof(CDROM_EXCLUSIVE_ACCESS, Flags) == 4, "Flags");

struct CDROM_EXCLUSIVE_LOCK {
    CDROM_EXCLUSIVE_ACCESS Access;
    UCHAR CallerName[CDROM_EXCLUSIVE_CALLER_LENGTH];
};
static_assert(sizeof(CDROM_EXCLUSIVE_LOCK) == 72, "CDROM_EXCLUSIVE_LOCK");
static_assert(offsetof(CDROM_EXCLUSIVE_LOCK, CallerName) == 8, "CallerName");

struct CDROM_EXCLUSIVE_LOCK_STATE {
    BOOLEAN LockState;
    UCHAR CallerName[CDROM_EXCLUSIVE_CALLER_LENGTH];
};
static_assert(sizeof(CDROM_EXCLUSIVE_LOCK_STATE) == 65, "CDROM_EXCLUSIVE_LOCK_STATE");
static_assert(offsetof(CDROM_EXCLUSIVE_LOCK_STATE, CallerName) == 1, "CallerName");

// Returns 5 when the open reaches a CD-ROM that someone holds locked, else
// 0; call with MachineLock() held.
DWORD ExclusiveOpenErrorLocked(const DeviceTarget& target);

// Returns 5 when a control on `file` is refused because another holds its
// CD-ROM locked, else 0. The lock state query and the storage property
// queries that the class driver answers from its cache pass.
DWORD ExclusiveControlError(const DeviceFile& file, DWORD code, const uint8_t* system,
                            DWORD inputLength);

// Returns 0 or the error of IOCTL_CDROM_EXCLUSIVE_ACCESS on `file`.
DWORD HandleExclusiveAccess(const DeviceFile& file, uint8_t* system, DWORD inputLength,
                            DWORD outputLength, DWORD& information);

// Returns nothing: the lock `file` holds ends, as the class driver ends it
// when the holder's handle is closed; call with MachineLock() held.
void ReleaseExclusiveLockLocked(const DeviceFile& file);

}  // namespace sim

#endif
