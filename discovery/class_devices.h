// Class device path mapping: claimed units are reached through their class
// driver's device, which reports the unit's address when asked. Runs once
// at load, after the device scan.
#ifndef PTASPI_DISCOVERY_CLASS_DEVICES_H
#define PTASPI_DISCOVERY_CLASS_DEVICES_H

#include "platform/platform.h"

// The class device name prefixes probed with the numbers 0, 1, 2, ...,
// in probing order, ended by a null entry.
extern const char* const ClassDevicePrefixes[];

// How many numbers in a row of one prefix may name no device (open error
// ERROR_FILE_NOT_FOUND) before the numbering of that prefix ends.
constexpr LONG MaxMissingClassNumbers = 8;

// Returns nothing: unless "\\.\aspidrv0" opens, probes every class device
// and every CD-ROM drive root and stores each one's path in the claimed
// device entry whose address it reports.
void MapClassDevices();

// Returns 0 when "\\.\" followed by name opened (whether or not it then
// reported an address), else the error of the failed open; a name too long
// for the path buffer gives ERROR_INVALID_PARAMETER.
DWORD ProbeClassDevice(const char* name);

#endif
