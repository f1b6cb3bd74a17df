// How discovery opens port and class devices: for reading first, and, when
// that is refused, asking for no access at all. Under UAC a standard user
// (or an administrator's program without elevation) may not open most
// storage devices for reading, yet a handle that asks for no access still
// serves every control discovery sends: the inquiry data, capabilities,
// address and storage property controls are defined with FILE_ANY_ACCESS.
#ifndef PTASPI_DISCOVERY_DISCOVERY_OPEN_H
#define PTASPI_DISCOVERY_DISCOVERY_OPEN_H

#include "platform/platform.h"

// Returns the handle of the device at path, opened with GENERIC_READ and
// FILE_SHARE_READ, or, when that open fails with ERROR_ACCESS_DENIED,
// opened again with no access; INVALID_HANDLE_VALUE when neither opens,
// with the last error that of the last open tried.
HANDLE OpenForDiscovery(const char* path);

#endif
