// The functions aspitool learns the release and the process's elevation
// with. The tool imports nothing but KERNEL32 and the C runtime on Windows,
// and NT 4 and 2000 lack IsWow64Process, so there they are found at run
// time; a function the system lacks stays null.
#ifndef ASPITOOL_SYSTEM_CALLS_H
#define ASPITOOL_SYSTEM_CALLS_H

#include <windows.h>

namespace aspitool {

struct SystemCalls {
    BOOL(WINAPI* getVersionEx)(LPOSVERSIONINFOA) = nullptr;
    BOOL(WINAPI* isWow64Process)(HANDLE, PBOOL) = nullptr;
    BOOL(WINAPI* openProcessToken)(HANDLE, DWORD, PHANDLE) = nullptr;
    BOOL(WINAPI* getTokenInformation)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD,
                                      PDWORD) = nullptr;
};

// Returns nothing; sets the members of `calls` that the system has.
void LoadSystemCalls(SystemCalls& calls);

}  // namespace aspitool

#endif
