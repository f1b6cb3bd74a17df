// The host adapter scan: port devices in number order until the first one
// that fails (a port number that no device has is passed over while the
// device map lists a higher port), what each port driver and the
// registry's SCSI device map say about the port, and the numbering of the
// host adapters.
#include "discovery/host_adapters.h"

#include "discovery/discovery_open.h"

namespace {

constexpr DWORD KeyPathLength = 128;
constexpr DWORD ValueLength = 256;
constexpr DWORD SubkeyNameLength = 128;
constexpr DWORD SubkeyClassLength = 128;
constexpr DWORD MaxSubkeysRead = 32;
constexpr BYTE NarrowMaxTargets = 8;
constexpr BYTE WideMaxTargets = 16;
constexpr BYTE NoInitiatorId = 255;

constexpr char PortKeyFormat[] = "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %d";
constexpr char ServiceKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr char ServiceKeyFormat[] = "SYSTEM\\CurrentControlSet\\Services\\%s";
constexpr char BusKeyFormat[] = "Scsi Bus %d";
constexpr char DriverValueName[] = "Driver";
constexpr char ImagePathValueName[] = "ImagePath";
constexpr char UnknownDriverName[] = "UNKNOWN";
constexpr char InitiatorIdPrefix[] = "Initiator Id";
constexpr char TargetIdPrefix[] = "Target Id";
constexpr char AtapiPrefix[] = "atapi";

constexpr size_t InitiatorIdPrefixLength = sizeof(InitiatorIdPrefix) - 1;
constexpr size_t TargetIdPrefixLength = sizeof(TargetIdPrefix) - 1;
constexpr size_t AtapiPrefixLength = sizeof(AtapiPrefix) - 1;
// The longest "Driver" text whose service key path still fits its buffer.
constexpr size_t MaxServiceNameLength = KeyPathLength - 1 - (sizeof(ServiceKeyPrefix) - 1);

// Returns true when the value was read into buffer (ValueLength bytes).
// The registry hands back text without its NUL when it was stored so, and
// a value may fill the whole buffer: the text is cut to ValueLength - 1
// characters so that it always ends within the buffer.
bool QueryValueText(HKEY key, const char* valueName, char* buffer) {
    DWORD size = ValueLength;
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                         &size) != ERROR_SUCCESS) {
        return false;
    }
    buffer[size < ValueLength ? size : ValueLength - 1] = '\0';
    return true;
}

// Returns true with the port's driver name in name (IdentifierLength
// bytes), read through the port key's "Driver" value and the service key's
// "ImagePath"; false when any step fails.
bool ReadDriverName(HKEY portKey, char* name) {
    char value[ValueLength];
    if (!QueryValueText(portKey, DriverValueName, value)) return false;
    // wsprintfA takes no buffer size: a name that would not fit is refused
    // before formatting.
    if (strlen(value) > MaxServiceNameLength) return false;
    char keyPath[KeyPathLength];
    wsprintfA(keyPath, ServiceKeyFormat, value);
    HKEY serviceKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &serviceKey) != ERROR_SUCCESS) {
        return false;
    }
    const bool found = QueryValueText(serviceKey, ImagePathValueName, value);
    RegCloseKey(serviceKey);
    if (!found) return false;
    DriverNameFromImagePath(value, name, IdentifierLength);
    return true;
}

// Returns nothing: stores name, upper-cased, as a bus's identifier.
void SetIdentifier(char* identifier, const char* name) {
    size_t i = 0;
    for (; i + 1 < IdentifierLength && name[i] != '\0'; ++i) {
        identifier[i] = static_cast<char>(toupper(static_cast<unsigned char>(name[i])));
    }
    identifier[i] = '\0';
}

// Returns nothing: reads the ids that the bus key's subkeys name into the
// port record, widening MaxTargets when an id needs more than 8 targets.
void ReadBusIds(HKEY busKey, PortInfo& port, int bus) {
    for (DWORD index = 0; index < MaxSubkeysRead; ++index) {
        char name[SubkeyNameLength];
        char subkeyClass[SubkeyClassLength];
        DWORD nameLength = SubkeyNameLength;
        DWORD classLength = SubkeyClassLength;
        FILETIME written;
        if (RegEnumKeyExA(busKey, index, name, &nameLength, nullptr, subkeyClass, &classLength,
                          &written) != ERROR_SUCCESS) {
            return;
        }
        name[nameLength < SubkeyNameLength ? nameLength : SubkeyNameLength - 1] = '\0';
        const size_t length = strlen(name);
        if (_strnicmp(name, InitiatorIdPrefix, InitiatorIdPrefixLength) == 0) {
            const BYTE id = IdAfterPrefix(name, length, InitiatorIdPrefixLength);
            port.InitiatorId[bus] = id;
            if (id >= port.MaxTargets) port.MaxTargets = WideMaxTargets;
        }
        if (_strnicmp(name, TargetIdPrefix, TargetIdPrefixLength) == 0) {
            if (IdAfterPrefix(name, length, TargetIdPrefixLength) >= port.MaxTargets) {
                port.MaxTargets = WideMaxTargets;
            }
        }
    }
}

enum PortScanResult { PortScanned, PortDeviceMissing, PortFailed };

// Returns PortScanned when port P was scanned completely; PortDeviceMissing
// when no device has its number; PortFailed when its device does not open
// otherwise, or its capabilities or its device map key are missing.
PortScanResult ScanPort(int p) {
    char path[KeyPathLength];
    wsprintfA(path, PortDevicePathFormat, p);
    HANDLE device = OpenForDiscovery(path);
    if (device == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? PortDeviceMissing : PortFailed;
    }
    PortInfo& port = PortTable[p];
    port.Capabilities.Length = ScsiCapabilitiesLength;
    DWORD returned = 0;
    const BOOL answered = DeviceIoControl(device, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0,
                                          &port.Capabilities, ScsiCapabilitiesLength, &returned,
                                          nullptr);
    CloseHandle(device);
    if (!answered) return PortFailed;

    wsprintfA(path, PortKeyFormat, p);
    HKEY portKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &portKey) != ERROR_SUCCESS) {
        return PortFailed;
    }
    char driverName[IdentifierLength];
    if (!ReadDriverName(portKey, driverName)) {
        memcpy(driverName, UnknownDriverName, sizeof(UnknownDriverName));
    }

    port.MaxTargets = NarrowMaxTargets;
    port.BusCount = 0;
    while (port.BusCount < MaxBusesPerPort) {
        const int bus = port.BusCount;
        wsprintfA(path, BusKeyFormat, bus);
        HKEY busKey = nullptr;
        if (RegOpenKeyExA(portKey, path, 0, KEY_READ, &busKey) != ERROR_SUCCESS) break;
        port.InitiatorId[bus] = NoInitiatorId;
        SetIdentifier(port.Identifier[bus], driverName);
        AdapterMap[AdapterCount].PortNumber = static_cast<BYTE>(p);
        AdapterMap[AdapterCount].PathId = static_cast<BYTE>(bus);
        ++AdapterCount;
        ReadBusIds(busKey, port, bus);
        RegCloseKey(busKey);
        ++port.BusCount;
    }
    RegCloseKey(portKey);
    return PortScanned;
}

// Returns true when the device map has a key for a port numbered above p
// (and below MaxPorts): a removed adapter or an ended session leaves its
// number unused while the ports after it stay.
bool HigherPortListed(int p) {
    for (int higher = p + 1; higher < MaxPorts; ++higher) {
        char path[KeyPathLength];
        wsprintfA(path, PortKeyFormat, higher);
        HKEY portKey = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &portKey) == ERROR_SUCCESS) {
            RegCloseKey(portKey);
            return true;
        }
    }
    return false;
}

// Returns nothing: drops the host adapters of atapi ports from the map,
// keeping the order of the others.
void RemoveAtapiAdapters() {
    LONG index = 0;
    while (index < AdapterCount) {
        const AdapterMapEntry entry = AdapterMap[index];
        const char* identifier = PortTable[entry.PortNumber].Identifier[entry.PathId];
        if (_strnicmp(identifier, AtapiPrefix, AtapiPrefixLength) != 0) {
            ++index;
            continue;
        }
        for (LONG later = index + 1; later < AdapterCount; ++later) {
            AdapterMap[later - 1] = AdapterMap[later];
        }
        --AdapterCount;
    }
}

}  // namespace

void DriverNameFromImagePath(const char* imagePath, char* name, size_t nameSize) {
    const char* start = strrchr(imagePath, '\\');
    start = start != nullptr ? start + 1 : imagePath;
    size_t length = 0;
    while (length + 1 < nameSize && start[length] != '\0' && start[length] != '.') {
        name[length] = start[length];
        ++length;
    }
    name[length] = '\0';
}

BYTE IdAfterPrefix(const char* name, size_t nameLength, size_t prefixLength) {
    // The number starts one separator after the prefix; a name that ends
    // at the prefix has nothing there to read, not even its NUL.
    if (nameLength <= prefixLength) return 0;
    return static_cast<BYTE>(static_cast<unsigned>(atoi(name + prefixLength + 1)));
}

void ScanHostAdapters() {
    PortCount = 0;
    AdapterCount = 0;
    for (int p = 0; p < MaxPorts; ++p) {
        const PortScanResult result = ScanPort(p);
        if (result == PortScanned) {
            PortCount = p + 1;
            continue;
        }
        // The numbers of missing ports stay unused: their records keep no
        // bus and get no host adapter, and the next port gets the next
        // host adapter number.
        if (result == PortDeviceMissing && HigherPortListed(p)) continue;
        break;
    }
    RemoveAtapiAdapters();
}
