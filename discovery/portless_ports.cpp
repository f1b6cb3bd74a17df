// Ports without a port device: each is recognised by its missing device and
// device map key, described by the adapter descriptor that its class
// devices answer (IOCTL_STORAGE_QUERY_PROPERTY, which needs no access), and
// named by its bus type.
#include "discovery/portless_ports.h"

#include "discovery/device_table.h"
#include "discovery/discovery_open.h"
#include "discovery/host_adapters.h"
#include "platform/storage_property.h"

namespace {

constexpr DWORD PathLength = 128;
constexpr char PortKeyFormat[] = "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %d";
constexpr BYTE NoInitiatorId = 255;
constexpr BYTE NarrowMaxTargets = 8;
constexpr BYTE WideMaxTargets = 16;
// What a port whose devices answer no adapter descriptor is taken to move:
// a cautious guess, 64 KiB at a time from buffers aligned on 4 bytes.
constexpr ULONG DefaultMaximumTransferLength = 65536;
constexpr ULONG DefaultAlignmentMask = 3;

// STORAGE_BUS_TYPE names, by value, as host adapter identifiers.
const char* const BusTypeNames[] = {
    "UNKNOWN", "SCSI", "ATAPI", "ATA",  "1394",    "SSA",     "FIBRE",  "USB",  "RAID", "ISCSI",
    "SAS",     "SATA", "SD",    "MMC",  "VIRTUAL", "VIRTUAL", "SPACES", "NVME", "SCM",  "UFS"};
constexpr DWORD BusTypeNameCount = sizeof(BusTypeNames) / sizeof(BusTypeNames[0]);

// Returns true when port `port` has no port device (its open fails with
// ERROR_FILE_NOT_FOUND) and no device map key.
bool PortHasNoDevice(int port) {
    char path[PathLength];
    wsprintfA(path, PortDevicePathFormat, port);
    HANDLE device = OpenForDiscovery(path);
    if (device != INVALID_HANDLE_VALUE) {
        CloseHandle(device);
        return false;
    }
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    wsprintfA(path, PortKeyFormat, port);
    HKEY portKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &portKey) == ERROR_SUCCESS) {
        RegCloseKey(portKey);
        return false;
    }
    return true;
}

// Returns true when `device` answered the standard query of `propertyId`
// with at least `needed` bytes into `answer` (`size` bytes).
bool QueryProperty(HANDLE device, DWORD propertyId, void* answer, DWORD size, DWORD needed) {
    STORAGE_PROPERTY_QUERY query;
    memset(&query, 0, sizeof query);
    query.PropertyId = propertyId;
    query.QueryType = PropertyStandardQuery;
    memset(answer, 0, size);
    DWORD returned = 0;
    return DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, answer,
                           size, &returned, nullptr) &&
           returned >= needed;
}

// Returns the record of port `port`, made when it is new and there is room;
// null otherwise.
PortlessPort* PortlessRecord(int port) {
    for (LONG i = 0; i < PortlessPortCount; ++i) {
        if (PortlessPorts[i].PortNumber == port) return &PortlessPorts[i];
    }
    if (PortlessPortCount >= MaxPortlessPorts || !PortHasNoDevice(port)) return nullptr;
    PortlessPort& record = PortlessPorts[PortlessPortCount++];
    memset(&record, 0, sizeof record);
    record.PortNumber = static_cast<BYTE>(port);
    record.Info.MaxTargets = NarrowMaxTargets;
    record.Info.Capabilities.Length = ScsiCapabilitiesLength;
    record.Info.Capabilities.MaximumTransferLength = DefaultMaximumTransferLength;
    record.Info.Capabilities.MaximumPhysicalPages = DefaultMaximumTransferLength / 4096 + 1;
    record.Info.Capabilities.AlignmentMask = DefaultAlignmentMask;
    return &record;
}

// Returns nothing: stores the bus type's name as the identifier of `bus`.
void SetBusTypeIdentifier(PortInfo& info, int bus, DWORD busType) {
    const char* name = BusTypeNames[busType < BusTypeNameCount ? busType : 0];
    size_t length = 0;
    for (; length + 1 < IdentifierLength && name[length] != '\0'; ++length) {
        info.Identifier[bus][length] = name[length];
    }
    info.Identifier[bus][length] = '\0';
}

// Returns nothing: takes the port's limits and bus type from the adapter
// descriptor that `device` answers, when it answers one and none was taken.
void TakeAdapterDescriptor(HANDLE device, PortlessPort& record, DWORD& busType) {
    STORAGE_ADAPTER_DESCRIPTOR adapter;
    const DWORD needed = offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusType) + 1;
    if (!QueryProperty(device, StorageAdapterProperty, &adapter, sizeof adapter, needed)) return;
    busType = adapter.BusType;
    if (record.HasLimits) return;
    IO_SCSI_CAPABILITIES& capabilities = record.Info.Capabilities;
    capabilities.MaximumTransferLength = adapter.MaximumTransferLength;
    capabilities.MaximumPhysicalPages = adapter.MaximumPhysicalPages;
    capabilities.AlignmentMask = adapter.AlignmentMask;
    capabilities.TaggedQueuing = adapter.CommandQueueing;
    capabilities.AdapterScansDown = adapter.AdapterScansDown;
    capabilities.AdapterUsesPio = adapter.AdapterUsesPio;
    record.HasLimits = 1;
}

}  // namespace

bool AddPortlessUnit(HANDLE device, const SCSI_ADDRESS& address, const char* path,
                     BYTE fallbackType) {
    const int bus = address.PathId;
    if (bus >= MaxBusesPerPort || DeviceTable.Count >= MaxDeviceEntries) return false;
    if (strlen(path) >= static_cast<size_t>(DevicePathLength)) return false;
    PortlessPort* record = PortlessRecord(address.PortNumber);
    if (record == nullptr) return false;

    STORAGE_DEVICE_DESCRIPTOR descriptor;
    const DWORD typeNeeded = offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType) + 1;
    const bool described =
        QueryProperty(device, StorageDeviceProperty, &descriptor, sizeof descriptor, typeNeeded);
    DWORD busType = 0;
    if (described && descriptor.Size >= offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + 4) {
        busType = descriptor.BusType;
    }
    TakeAdapterDescriptor(device, *record, busType);

    DeviceEntry& entry = DeviceTable.Entries[DeviceTable.Count++];
    memset(&entry, 0, sizeof entry);
    entry.PortNumber = address.PortNumber;
    entry.PathId = address.PathId;
    entry.TargetId = address.TargetId;
    entry.Lun = address.Lun;
    memcpy(entry.DevicePath, path, strlen(path) + 1);
    entry.DeviceType = described ? descriptor.DeviceType : fallbackType;
    entry.DeviceClaimed = 1;
    entry.DesiredAccess = ScanDesiredAccess;
    entry.ShareMode = ScanShareMode;

    PortInfo& info = record->Info;
    if ((record->BusesSeen & (1u << bus)) == 0) {
        record->BusesSeen = static_cast<BYTE>(record->BusesSeen | (1u << bus));
        info.InitiatorId[bus] = NoInitiatorId;
        SetBusTypeIdentifier(info, bus, busType);
    }
    if (bus + 1 > info.BusCount) info.BusCount = static_cast<BYTE>(bus + 1);
    if (address.TargetId >= info.MaxTargets) info.MaxTargets = WideMaxTargets;
    return true;
}

void NumberPortlessAdapters() {
    // In port order: the records are few, so a plain insertion sort.
    for (LONG i = 1; i < PortlessPortCount; ++i) {
        const PortlessPort moved = PortlessPorts[i];
        LONG j = i;
        for (; j > 0 && PortlessPorts[j - 1].PortNumber > moved.PortNumber; --j) {
            PortlessPorts[j] = PortlessPorts[j - 1];
        }
        PortlessPorts[j] = moved;
    }
    for (LONG i = 0; i < PortlessPortCount; ++i) {
        for (int bus = 0; bus < MaxBusesPerPort; ++bus) {
            if ((PortlessPorts[i].BusesSeen & (1u << bus)) == 0) continue;
            if (AdapterCount >= MaxAdapters) return;
            AdapterMap[AdapterCount].PortNumber = PortlessPorts[i].PortNumber;
            AdapterMap[AdapterCount].PathId = static_cast<BYTE>(bus);
            ++AdapterCount;
        }
    }
}
