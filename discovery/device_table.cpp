// The device table and its lookups, with the one-entry cache that spares
// the linear search when consecutive lookups ask for the same unit.
#include "discovery/device_table.h"

#include "discovery/host_adapters.h"

DeviceTableState DeviceTable;

namespace {

// Returns true when the entry has exactly this address.
bool HasAddress(const DeviceEntry& entry, BYTE port, BYTE pathId, BYTE targetId, BYTE lun) {
    return entry.PortNumber == port && entry.PathId == pathId && entry.TargetId == targetId &&
           entry.Lun == lun;
}

}  // namespace

DeviceEntry* FindDevice(int port, int pathId, int targetId, int lun) {
    const BYTE p = static_cast<BYTE>(port);
    const BYTE b = static_cast<BYTE>(pathId);
    const BYTE t = static_cast<BYTE>(targetId);
    const BYTE l = static_cast<BYTE>(lun);
    const LONG count = DeviceTable.Count;
    // One atomic read gives the cached entry; its own address is the key,
    // so a hit can only be the unit asked for. 0 (empty) never matches.
    const DWORD cached = __atomic_load_n(&DeviceTable.LookupCache.Word, __ATOMIC_ACQUIRE);
    if (cached != 0 && cached <= static_cast<DWORD>(MaxDeviceEntries) &&
        static_cast<LONG>(cached) <= count) {
        DeviceEntry& entry = DeviceTable.Entries[cached - 1];
        if (HasAddress(entry, p, b, t, l)) return &entry;
    }
    for (LONG index = 0; index < count && index < MaxDeviceEntries; ++index) {
        DeviceEntry& entry = DeviceTable.Entries[index];
        if (!HasAddress(entry, p, b, t, l)) continue;
        __atomic_store_n(&DeviceTable.LookupCache.Word, static_cast<DWORD>(index + 1),
                         __ATOMIC_RELEASE);
        return &entry;
    }
    return nullptr;
}

DeviceEntry* FindDeviceForHa(int ha, int targetId, int lun) {
    const LONG adapter = static_cast<BYTE>(ha);
    if (adapter >= AdapterCount || adapter >= MaxAdapters) return nullptr;
    const AdapterMapEntry& mapped = AdapterMap[adapter];
    return FindDevice(mapped.PortNumber, mapped.PathId, targetId, lun);
}

void SetDevicePath(int port, int pathId, int targetId, int lun, const char* path) {
    DeviceEntry* entry = FindDevice(port, pathId, targetId, lun);
    if (entry == nullptr || entry->DeviceClaimed == 0) return;
    const size_t length = strlen(path);
    if (length >= static_cast<size_t>(DevicePathLength)) return;
    memcpy(entry->DevicePath, path, length + 1);
}
