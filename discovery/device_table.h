// The device table: one DeviceEntry per logical unit that the port drivers
// report, with the path through which the executor reaches it. Filled once
// at load; afterwards only looked up (from any thread) and, for the access
// and share mode, written by the worker.
#ifndef PTASPI_DISCOVERY_DEVICE_TABLE_H
#define PTASPI_DISCOVERY_DEVICE_TABLE_H

#include "platform/platform.h"

constexpr int MaxDeviceEntries = 100;
constexpr int DevicePathLength = 32;  // at most 31 characters and the NUL

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
// 32-bit word (port, path, target, lun would need all 32 bits, so the word
// holds the entry's index + 1 and the key is checked against the entry
// itself); 0 means empty.
struct DeviceLookupCache {
    volatile DWORD Word;
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
// Returns nothing: stores path in the claimed entry with this address.
void SetDevicePath(int port, int pathId, int targetId, int lun, const char* path);

#endif
