// Counting the IDE/ATAPI ports of the SCSI device map, so that a scan that
// finds no host adapter can say where the drives went.
#include "registry_calls.h"

#include <cstdio>
#include <cstring>

namespace aspitool {
namespace {

// The library numbers at most this many ports.
const unsigned PortsLooked = 10;

}  // namespace

unsigned CountAtapiPorts() {
    RegistryCalls calls;
    if (!LoadRegistryCalls(calls)) return 0;
    unsigned count = 0;
    for (unsigned port = 0; port < PortsLooked; ++port) {
        char path[64];
        std::snprintf(path, sizeof path, "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %u", port);
        HKEY key = nullptr;
        if (calls.openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        char driver[64] = {};
        DWORD size = sizeof driver - 1;
        if (calls.queryValue(key, "Driver", nullptr, nullptr, reinterpret_cast<BYTE*>(driver), &size) ==
                ERROR_SUCCESS &&
            _strnicmp(driver, "atapi", 5) == 0) {
            ++count;
        }
        calls.closeKey(key);
    }
    return count;
}

}  // namespace aspitool
