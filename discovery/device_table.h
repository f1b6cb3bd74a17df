// The device table: one DeviceEntry per logical unit that the port drivers
// report, with the path through which the executor reaches it. Filled once
// at load; afterwards only looked up (from any thread) and, for the access
// and share mode, written by the worker.
#ifndef PTASPI_DISCOVERY_DEVICE_TABLE_H
#define PTASPI_DISCOVERY_DEVICE_TABLE_H

#include "platform/platform.h"

constexpr int MaxDeviceEntries = 100;
constexpr int DevicePathLength = 32;  // at most 31 characters and the NUL
constexpr DWORD ScanDesiredAccess = 0xC0000000UL;  // GENERIC_READ | GENERIC_WRITE
constexpr DWORD ScanShareMode = 3;                 // FILE_SHARE_READ | FILE_SHARE_WRITE

struct DeviceEntry {
    BYTE PortNumber;
    BYTE PathId;
    BYTE TargetId;
    BYTE Lun;
    char DevicePath[DevicePathLength];
    BYTE DeviceType;
    DWORD DeviceClaimed;
    DWORD DesiredAccess;
    DWORD ShareMode;
};

// The one-entry cache of FindDevice. Key and entry travel together in one
// 32-bit word, read and written atomically: it holds the entry's index + 1,
// 0 meaning empty, and the key is the entry's own address, which never
// changes after the scan. A lookup therefore never pairs one unit's key
// with another unit's entry.
struct DeviceLookupCache {
    DWORD Word;
};

struct DeviceTableState {
    DeviceEntry Entries[MaxDeviceEntries];
    LONG Count;
    DeviceLookupCache LookupCache;
};

extern DeviceTableState DeviceTable;

// Returns nothing: lists the units of every port in DeviceTable.
void ScanDevices();
// Returns the first entry with this address (low 8 bits of each argument),
// or null.
DeviceEntry* FindDevice(int port, int pathId, int targetId, int lun);
// Returns the entry of host adapter ha (low 8 bits), or null when ha is not
// below AdapterCount or the unit is absent.
DeviceEntry* FindDeviceForHa(int ha, int targetId, int lun);
// Returns nothing: stores path in the claimed entry with this address. A
// path longer than DevicePathLength - 1 characters is not stored.
void SetDevicePath(int port, int pathId, int targetId, int lun, const char* path);

#endif
