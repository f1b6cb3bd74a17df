// What the machine says apart from the library: the SCSI ports that the
// registry's device map lists, and whether this user may send commands
// through them at all. A library that finds no host adapter where these
// ports are, or reaches no unit where the user may reach them, is at fault.
#include "check.h"

#include "../registry_calls.h"

#include <cstdio>

namespace aspitool {
namespace {

// Ports are numbered from 0 without gaps; no more are looked for.
const unsigned PortsLooked = 10;

// Returns true when the port device `port` opens with `access`, or false
// with `error` set to the platform's error code.
bool PortOpens(unsigned port, DWORD access, DWORD& error) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\Scsi%u:", port);
    HANDLE handle = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    CloseHandle(handle);
    error = 0;
    return true;
}

// Returns true when the device map key of `port` names a driver that is
// not an IDE/ATAPI one and has a key for bus 0, so that the port's buses
// get host adapter numbers; `listed` is false when the port has no key.
bool PortGetsAdapters(const RegistryCalls& calls, unsigned port, bool& listed) {
    char path[64];
    std::snprintf(path, sizeof path, "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %u", port);
    HKEY key = nullptr;
    listed = calls.openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (!listed) return false;
    char driver[64] = {};
    DWORD size = sizeof driver - 1;
    const bool atapi = calls.queryValue(key, "Driver", nullptr, nullptr, reinterpret_cast<BYTE*>(driver),
                                        &size) == ERROR_SUCCESS &&
                       _strnicmp(driver, "atapi", 5) == 0;
    HKEY bus = nullptr;
    const bool hasBus = calls.openKey(key, "Scsi Bus 0", 0, KEY_READ, &bus) == ERROR_SUCCESS;
    if (hasBus) calls.closeKey(bus);
    calls.closeKey(key);
    return !atapi && hasBus;
}

}  // namespace

SystemFacts ReadSystemFacts() {
    SystemFacts facts;
    RegistryCalls calls;
    const bool registry = LoadRegistryCalls(calls);
    bool writable = false;
    unsigned denied = 0;
    for (unsigned port = 0; port < PortsLooked; ++port) {
        DWORD error = 0;
        if (!PortOpens(port, GENERIC_READ, error)) break;
        if (PortOpens(port, GENERIC_READ | GENERIC_WRITE, error)) {
            writable = true;
        } else if (error == ERROR_ACCESS_DENIED) {
            ++denied;
        }
        bool listed = false;
        if (!registry) continue;
        if (PortGetsAdapters(calls, port, listed)) ++facts.portsListed;
        if (!listed) break;
    }
    facts.passThroughDenied = denied > 0 && !writable;
    return facts;
}

}  // namespace aspitool
