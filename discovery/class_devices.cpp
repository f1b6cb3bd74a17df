// Class device path mapping: each class device that opens is asked for the
// SCSI address of its unit, and the device table records the device's path
// for that unit when a class driver claims it.
#include "discovery/class_devices.h"

#include "discovery/device_table.h"
#include "discovery/discovery_open.h"
#include "discovery/host_adapters.h"
#include "discovery/portless_ports.h"
#include "platform/scsi_port.h"

const char* const ClassDevicePrefixes[] = {"PhysicalDrive", "Scanner", "Tape", nullptr};

namespace {

constexpr DWORD NameLength = 256;
constexpr DWORD PathLength = 256;
constexpr size_t NamespacePrefixLength = sizeof(DeviceNamespacePrefix) - 1;
constexpr char FirstDriverPath[] = "\\\\.\\aspidrv0";
constexpr char NumberedNameFormat[] = "%s%d";
constexpr LONG LastNumber = 0x7FFFFFFF;

// Returns the peripheral byte that a class device's name implies: its
// class driver serves only that type. Drive letters are CD-ROM drives.
BYTE TypeOfClassName(const char* name) {
    struct NamedType {
        const char* Prefix;
        BYTE Type;
    };
    static const NamedType Types[] = {{"PhysicalDrive", 0x00}, {"Scanner", 0x06}, {"Tape", 0x01}};
    for (const NamedType& named : Types) {
        if (strncmp(name, named.Prefix, strlen(named.Prefix)) == 0) return named.Type;
    }
    return 0x05;
}

// Returns nothing: probes prefix0, prefix1, ... up to the first that fails
// to open for another reason than not existing, or until
// MaxMissingClassNumbers numbers in a row do not exist. Class drivers
// number their devices in the order they find them and a removed device
// (a USB disk unplugged) leaves its number unused, so the devices after a
// gap are still probed.
void ProbeNumberedDevices(const char* prefix, char* name) {
    LONG missing = 0;
    for (LONG number = 0; number < LastNumber; ++number) {
        wsprintfA(name, NumberedNameFormat, prefix, static_cast<int>(number));
        const DWORD error = ProbeClassDevice(name);
        if (error == 0) {
            missing = 0;
            continue;
        }
        if (error != ERROR_FILE_NOT_FOUND || ++missing == MaxMissingClassNumbers) return;
    }
}

// Returns nothing: probes the CD-ROM drives among the drive roots, by
// their letter and colon. The list is left as the system wrote it.
void ProbeCdRomDrives(char* roots) {
    const DWORD written = GetLogicalDriveStringsA(NameLength, roots);
    // 0 is a failure and a larger count is the size the list would need:
    // either way the buffer holds nothing worth walking.
    if (written == 0 || written > NameLength) return;
    DWORD position = 0;
    while (position < written) {
        char* root = roots + position;
        const DWORD room = written - position;
        DWORD length = 0;
        while (length < room && root[length] != '\0') ++length;
        // An empty string ends the list; a root that runs to the written
        // length without its NUL is not one the system finished.
        if (length == 0 || length == room) return;
        if (GetDriveTypeA(root) == DRIVE_CDROM) {
            const char last = root[length - 1];
            root[length - 1] = '\0';
            ProbeClassDevice(root);
            root[length - 1] = last;
        }
        position += length + 1;
    }
}

}  // namespace

DWORD ProbeClassDevice(const char* name) {
    if (strlen(name) >= PathLength - NamespacePrefixLength) return ERROR_INVALID_PARAMETER;
    char path[PathLength];
    memcpy(path, DeviceNamespacePrefix, NamespacePrefixLength);
    memcpy(path + NamespacePrefixLength, name, strlen(name) + 1);
    HANDLE device = OpenForDiscovery(path);
    if (device == INVALID_HANDLE_VALUE) return GetLastError();
    SCSI_ADDRESS address;
    memset(&address, 0, sizeof(address));
    address.Length = ScsiAddressLength;
    DWORD returned = 0;
    if (DeviceIoControl(device, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, ScsiAddressLength,
                        &returned, nullptr)) {
        // A unit that no port listed may be one whose port has no device.
        if (FindDevice(address.PortNumber, address.PathId, address.TargetId, address.Lun) ==
            nullptr) {
            AddPortlessUnit(device, address, path, TypeOfClassName(name));
        } else {
            SetDevicePath(address.PortNumber, address.PathId, address.TargetId, address.Lun, path);
        }
    }
    CloseHandle(device);
    return 0;
}

void MapClassDevices() {
    HANDLE driver = CreateFileA(FirstDriverPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (driver != INVALID_HANDLE_VALUE) {
        CloseHandle(driver);
        return;
    }
    char name[NameLength];
    for (const char* const* prefix = ClassDevicePrefixes; *prefix != nullptr; ++prefix) {
        ProbeNumberedDevices(*prefix, name);
    }
    ProbeCdRomDrives(name);
    NumberPortlessAdapters();
}
