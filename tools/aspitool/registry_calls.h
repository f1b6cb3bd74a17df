// The registry functions aspitool reads the SCSI device map with. The tool
// imports nothing but KERNEL32 and the C runtime on Windows, so there they
// come from ADVAPI32 loaded at run time.
#ifndef ASPITOOL_REGISTRY_CALLS_H
#define ASPITOOL_REGISTRY_CALLS_H

#include <windows.h>

namespace aspitool {

struct RegistryCalls {
    LONG(WINAPI* openKey)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) = nullptr;
    LONG(WINAPI* queryValue)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) = nullptr;
    LONG(WINAPI* closeKey)(HKEY) = nullptr;
};

// Returns true with every member of `calls` set; false when the registry
// cannot be read.
bool LoadRegistryCalls(RegistryCalls& calls);

// Returns how many ports of the SCSI device map belong to an IDE/ATAPI
// driver (its "Driver" value starts with "atapi"): the library gives their
// buses no host adapter number. 0 when the registry cannot be read.
unsigned CountAtapiPorts();

}  // namespace aspitool

#endif
