// KERNEL32 functions for programs that nobody here wrote: the system's
// description, system messages, local memory, the environment and the
// lstr* length and copy calls (lstrcmp's locale word sort is not modelled). Declared with their real types and stdcall.
#ifndef PTASPI_SIM_KERNEL_SYSTEM_INFO_H
#define PTASPI_SIM_KERNEL_SYSTEM_INFO_H

#include <windows.h>

#include <cstdarg>
#include <cstddef>

struct _SYSTEM_INFO;

extern "C" {
void WINAPI GetSystemInfo(_SYSTEM_INFO* lpSystemInfo);
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                            DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize, va_list* Arguments);
HANDLE WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
HANDLE WINAPI LocalFree(HANDLE hMem);
DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);
BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);
int WINAPI lstrlenA(LPCSTR lpString);
LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2);
LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2);
}

#endif
