// The device scan: every port that the host adapter scan recorded is asked
// for its inquiry data once, and its units are listed in the device table.
#include "discovery/device_table.h"

#include "discovery/discovery_open.h"
#include "discovery/host_adapters.h"
#include "discovery/inquiry_walk.h"
#include "platform/scsi_port.h"

namespace {

constexpr DWORD PathLength = 128;

// Returns true when the device at path opens for reading; the handle is
// closed at once. The outside driver's device carries commands, so one
// that this user may not even read (opened with no access it would be)
// counts as absent: its units are then reached through their class
// devices, which the user may be allowed to use.
bool DeviceOpens(const char* path) {
    HANDLE device = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    CloseHandle(device);
    return true;
}

// Returns nothing: lists the units of port `port`, if its device opens and
// answers the inquiry data request.
void ScanPortDevices(int port) {
    char path[PathLength];
    wsprintfA(path, PortDevicePathFormat, port);
    HANDLE device = OpenForDiscovery(path);
    if (device == INVALID_HANDLE_VALUE) return;
    wsprintfA(path, DriverDevicePathFormat, port);
    const bool driverPathOpens = DeviceOpens(path);
    BYTE answer[InquiryBufferLength];
    DWORD returned = 0;
    if (DeviceIoControl(device, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, answer,
                        InquiryBufferLength, &returned, nullptr)) {
        AppendInquiryUnits(answer, returned, port, driverPathOpens);
    }
    CloseHandle(device);
}

}  // namespace

void ScanDevices() {
    for (LONG port = 0; port < PortCount && port < MaxPorts; ++port) {
        ScanPortDevices(static_cast<int>(port));
    }
}
