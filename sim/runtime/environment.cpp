// The process environment as the Windows runtime and KERNEL32 give it:
// names found without case, "=C:"-style entries hidden from getenv; and
// the runtime's __argc and __argv.
#include "sim/runtime/family_entries.h"
#include "sim/runtime/errno_values.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

extern char** environ;

namespace {

constexpr DWORD ErrorEnvironmentVariableNotFound = 203;

std::mutex environmentLock;

// Returns the value of the variable `name` (found without ASCII case), or
// null. Needs environmentLock.
char* FindVariableLocked(const char* name) {
    const size_t length = std::strlen(name);
    if (length == 0 || std::strchr(name, '=') != nullptr) return nullptr;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (_strnicmp(*entry, name, length) == 0 && (*entry)[length] == '=') {
            return *entry + length + 1;
        }
    }
    return nullptr;
}

// Returns the host's name for a variable: the spelling it already has, so
// that "Path" and "PATH" are one variable, as on Windows. Needs the lock.
std::string StoredName(const std::string& name) {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (_strnicmp(*entry, name.c_str(), name.size()) == 0 && (*entry)[name.size()] == '=') {
            return std::string(*entry, name.size());
        }
    }
    return name;
}

int argumentCount = 0;
char** argumentVector = nullptr;
std::once_flag argumentsMade;

// Returns nothing once __argc and __argv hold the program's arguments.
void MakeArguments() {
    std::call_once(argumentsMade, [] {
        char** environment = nullptr;
        rt_getmainargs(&argumentCount, &argumentVector, &environment, 0, nullptr);
    });
}

}  // namespace

// Returns the value of the variable `name`, or null. The pointer stays
// valid until the variable changes.
RUNTIME_ENTRY char* rt_getenv(const char* name) {
    if (name == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(environmentLock);
    return FindVariableLocked(name);
}

// Returns 0 once "NAME=value" is set ("NAME=" removes it), -1 with errno
// EINVAL for text without a name and '='.
RUNTIME_ENTRY int rt_putenv(const char* assignment) {
    const char* equals = assignment != nullptr ? std::strchr(assignment, '=') : nullptr;
    if (equals == nullptr || equals == assignment) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    std::lock_guard<std::mutex> hold(environmentLock);
    const std::string name = StoredName(std::string(assignment, equals));
    const int result = equals[1] == '\0' ? unsetenv(name.c_str()) : setenv(name.c_str(), equals + 1, 1);
    if (result != 0) {
        sim::SetProgramErrno(sim::WindowsENOMEM);
        return -1;
    }
    return 0;
}

// Returns the address of __argc.
RUNTIME_ENTRY int* rt_p___argc(void) {
    MakeArguments();
    return &argumentCount;
}
// Returns the address of __argv.
RUNTIME_ENTRY char*** rt_p___argv(void) {
    MakeArguments();
    return &argumentVector;
}

// Returns the length of the value copied with its NUL into `buffer`; when
// it does not fit, the size needed including the NUL, nothing copied; 0
// with error 203 when there is no such variable.
extern "C" DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    std::string value;
    {
        std::lock_guard<std::mutex> hold(environmentLock);
        const char* found = lpName != nullptr ? FindVariableLocked(lpName) : nullptr;
        if (found == nullptr) {
            SetLastError(ErrorEnvironmentVariableNotFound);
            return 0;
        }
        value = found;
    }
    if (lpBuffer == nullptr || nSize <= value.size()) return static_cast<DWORD>(value.size() + 1);
    std::memcpy(lpBuffer, value.c_str(), value.size() + 1);
    return static_cast<DWORD>(value.size());
}

// Returns what GetEnvironmentVariableA returns, counted in 16-bit
// characters; names and values pass through the ANSI code page.
extern "C" DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
    if (lpName == nullptr) {
        SetLastError(ErrorEnvironmentVariableNotFound);
        return 0;
    }
    char name[1024];
    if (WideCharToMultiByte(CP_ACP, 0, lpName, -1, name, sizeof name, nullptr, nullptr) == 0) {
        SetLastError(ErrorEnvironmentVariableNotFound);
        return 0;
    }
    std::string value;
    {
        std::lock_guard<std::mutex> hold(environmentLock);
        const char* found = FindVariableLocked(name);
        if (found == nullptr) {
            SetLastError(ErrorEnvironmentVariableNotFound);
            return 0;
        }
        value = found;
    }
    const int wide = MultiByteToWideChar(CP_ACP, 0, value.c_str(), -1, nullptr, 0);
    if (lpBuffer == nullptr || nSize < static_cast<DWORD>(wide)) return static_cast<DWORD>(wide);
    MultiByteToWideChar(CP_ACP, 0, value.c_str(), -1, lpBuffer, wide);
    return static_cast<DWORD>(wide - 1);
}

// Returns TRUE once the variable is set to `lpValue` (removed for null).
extern "C" BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
    if (lpName == nullptr || *lpName == '\0' || std::strchr(lpName, '=') != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(environmentLock);
    const std::string name = StoredName(lpName);
    if (lpValue == nullptr) {
        if (FindVariableLocked(lpName) == nullptr) {
            SetLastError(ErrorEnvironmentVariableNotFound);
            return FALSE;
        }
        unsetenv(name.c_str());
        return TRUE;
    }
    if (setenv(name.c_str(), lpValue, 1) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}
