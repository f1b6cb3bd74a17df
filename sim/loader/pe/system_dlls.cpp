// The export tables of the simulated system DLLs, fixed lists of the
// functions the simulator implements. The system DLLs of real Windows
// number their exports differently from one release to the next, so the
// ordinals here are only this simulator's.
#include "sim/loader/pe/system_dlls.h"

#include "sim/kernel/system_info.h"
#include "sim/kernel/win32_families.h"

#include <windows.h>

#include <strings.h>

#include <cstring>
#include <string>

namespace sim {
namespace {

#define EXPORT(function) {#function, reinterpret_cast<const void*>(&function)}

const NamedExport kernel32[] = {
    EXPORT(CloseHandle),
    EXPORT(CreateEventA),
    EXPORT(CreateFileA),
    EXPORT(CreateMutexA),
    EXPORT(DeleteCriticalSection),
    EXPORT(DeviceIoControl),
    EXPORT(DuplicateHandle),
    EXPORT(EnterCriticalSection),
    EXPORT(ExitProcess),
    EXPORT(FreeLibrary),
    EXPORT(GetCommandLineA),
    EXPORT(GetCurrentProcess),
    EXPORT(GetCurrentThreadId),
    EXPORT(GetDriveTypeA),
    EXPORT(GetLastError),
    EXPORT(GetLogicalDriveStringsA),
    EXPORT(GetModuleHandleA),
    EXPORT(GetProcAddress),
    EXPORT(InitializeCriticalSection),
    EXPORT(LeaveCriticalSection),
    EXPORT(LoadLibraryA),
    EXPORT(ReleaseMutex),
    EXPORT(ResetEvent),
    EXPORT(SetEvent),
    EXPORT(SetLastError),
    EXPORT(Sleep),
    EXPORT(TerminateThread),
    EXPORT(TlsAlloc),
    EXPORT(TlsFree),
    EXPORT(TlsGetValue),
    EXPORT(TlsSetValue),
    EXPORT(VirtualAlloc),
    EXPORT(VirtualFree),
    EXPORT(VirtualLock),
    EXPORT(VirtualProtect),
    EXPORT(VirtualQuery),
    EXPORT(VirtualUnlock),
    EXPORT(WaitForMultipleObjects),
    EXPORT(WaitForSingleObject),
    // Added after the first release of the table: appended, so that the
    // ordinals above keep their numbers.
    EXPORT(CreateSemaphoreA),
    EXPORT(CreateSemaphoreW),
    EXPORT(GetACP),
    EXPORT(GetCurrentProcessId),
    EXPORT(GetFileType),
    EXPORT(GetModuleFileNameA),
    EXPORT(GetModuleHandleW),
    EXPORT(GetOEMCP),
    EXPORT(GetStartupInfoA),
    EXPORT(GetStdHandle),
    EXPORT(GetSystemTimeAsFileTime),
    EXPORT(GetTimeZoneInformation),
    EXPORT(IsDBCSLeadByteEx),
    EXPORT(LoadLibraryW),
    EXPORT(MultiByteToWideChar),
    EXPORT(ReadFile),
    EXPORT(ReleaseSemaphore),
    EXPORT(SetFilePointer),
    EXPORT(SetUnhandledExceptionFilter),
    EXPORT(WideCharToMultiByte),
    EXPORT(WriteFile),
    // Frame-based exception handling.
    EXPORT(RaiseException),
    EXPORT(RtlUnwind),
    EXPORT(UnhandledExceptionFilter),
    // The console's control events.
    EXPORT(SetConsoleCtrlHandler),
    // For programs that nobody here wrote (sg3_utils' Windows tools):
    // system information, messages, local memory, the environment, lstr*.
    EXPORT(FormatMessageA),
    EXPORT(GetEnvironmentVariableA),
    EXPORT(GetEnvironmentVariableW),
    EXPORT(GetSystemInfo),
    EXPORT(LocalAlloc),
    EXPORT(LocalFree),
    EXPORT(SetEnvironmentVariableA),
    EXPORT(lstrcatA),
    EXPORT(lstrcpyA),
    EXPORT(lstrlenA),
    // The release's version and WOW64.
    EXPORT(GetVersion),
    EXPORT(GetVersionExA),
    EXPORT(GetVersionExW),
    EXPORT(IsWow64Process),
    // Processes and threads, whole:
    EXPORT(CheckRemoteDebuggerPresent),
    EXPORT(CreateThread),
    EXPORT(DebugActiveProcess),
    EXPORT(DebugBreak),
    EXPORT(ExitThread),
    EXPORT(GetCurrentThread),
    EXPORT(GetExitCodeProcess),
    EXPORT(GetExitCodeThread),
    EXPORT(GetHandleInformation),
    EXPORT(GetPriorityClass),
    EXPORT(GetProcessAffinityMask),
    EXPORT(GetProcessId),
    EXPORT(GetProcessTimes),
    EXPORT(GetThreadContext),
    EXPORT(GetThreadId),
    EXPORT(GetThreadPriority),
    EXPORT(GetThreadPriorityBoost),
    EXPORT(GetThreadTimes),
    EXPORT(IsDebuggerPresent),
    EXPORT(OpenProcess),
    EXPORT(OpenThread),
    EXPORT(OutputDebugStringA),
    EXPORT(OutputDebugStringW),
    EXPORT(ResumeThread),
    EXPORT(SetHandleInformation),
    EXPORT(SetPriorityClass),
    EXPORT(SetProcessAffinityMask),
    EXPORT(SetThreadAffinityMask),
    EXPORT(SetThreadContext),
    EXPORT(SetThreadIdealProcessor),
    EXPORT(SetThreadPriority),
    EXPORT(SetThreadPriorityBoost),
    EXPORT(SleepEx),
    EXPORT(SuspendThread),
    EXPORT(SwitchToThread),
    EXPORT(TerminateProcess),
    // Synchronization, whole:
    EXPORT(AddVectoredContinueHandler),
    EXPORT(AddVectoredExceptionHandler),
    EXPORT(CreateEventExA),
    EXPORT(CreateEventExW),
    EXPORT(CreateEventW),
    EXPORT(CreateMutexExA),
    EXPORT(CreateMutexExW),
    EXPORT(CreateMutexW),
    EXPORT(CreateSemaphoreExA),
    EXPORT(CreateSemaphoreExW),
    EXPORT(InitializeCriticalSectionAndSpinCount),
    EXPORT(InitializeCriticalSectionEx),
    EXPORT(InterlockedCompareExchange),
    EXPORT(InterlockedCompareExchange64),
    EXPORT(InterlockedDecrement),
    EXPORT(InterlockedExchange),
    EXPORT(InterlockedExchangeAdd),
    EXPORT(InterlockedIncrement),
    EXPORT(OpenEventA),
    EXPORT(OpenEventW),
    EXPORT(OpenMutexA),
    EXPORT(OpenMutexW),
    EXPORT(OpenSemaphoreA),
    EXPORT(OpenSemaphoreW),
    EXPORT(PulseEvent),
    EXPORT(RemoveVectoredContinueHandler),
    EXPORT(RemoveVectoredExceptionHandler),
    EXPORT(SetCriticalSectionSpinCount),
    EXPORT(SignalObjectAndWait),
    EXPORT(TryEnterCriticalSection),
    EXPORT(WaitForMultipleObjectsEx),
    EXPORT(WaitForSingleObjectEx),
    // Time:
    EXPORT(CompareFileTime),
    EXPORT(DosDateTimeToFileTime),
    EXPORT(FileTimeToDosDateTime),
    EXPORT(FileTimeToLocalFileTime),
    EXPORT(FileTimeToSystemTime),
    EXPORT(GetLocalTime),
    EXPORT(GetSystemTime),
    EXPORT(GetSystemTimeAdjustment),
    EXPORT(GetTickCount),
    EXPORT(GetTickCount64),
    EXPORT(LocalFileTimeToFileTime),
    EXPORT(QueryPerformanceCounter),
    EXPORT(QueryPerformanceFrequency),
    EXPORT(SetLocalTime),
    EXPORT(SetSystemTime),
    EXPORT(SystemTimeToFileTime),
    EXPORT(SystemTimeToTzSpecificLocalTime),
    EXPORT(TzSpecificLocalTimeToSystemTime),
    // Heaps:
    EXPORT(GetProcessHeap),
    EXPORT(GetProcessHeaps),
    EXPORT(HeapAlloc),
    EXPORT(HeapCompact),
    EXPORT(HeapCreate),
    EXPORT(HeapDestroy),
    EXPORT(HeapFree),
    EXPORT(HeapLock),
    EXPORT(HeapReAlloc),
    EXPORT(HeapSize),
    EXPORT(HeapUnlock),
    EXPORT(HeapValidate),
    // Child processes and pipes:
    EXPORT(CreatePipe),
    EXPORT(CreateProcessA),
    EXPORT(CreateProcessW),
    // The console:
    EXPORT(GetConsoleCP),
    EXPORT(GetConsoleMode),
    EXPORT(GetConsoleOutputCP),
    EXPORT(SetConsoleCP),
    EXPORT(SetConsoleMode),
    EXPORT(SetConsoleOutputCP),
    EXPORT(WriteConsoleA),
    EXPORT(WriteConsoleW),
    // Files and folders by path:
    EXPORT(CopyFileA),
    EXPORT(CopyFileW),
    EXPORT(CreateDirectoryA),
    EXPORT(CreateDirectoryW),
    EXPORT(CreateFileW),
    EXPORT(DeleteFileA),
    EXPORT(DeleteFileW),
    EXPORT(FindClose),
    EXPORT(FindFirstFileA),
    EXPORT(FindFirstFileW),
    EXPORT(FindNextFileA),
    EXPORT(FindNextFileW),
    EXPORT(GetCurrentDirectoryA),
    EXPORT(GetCurrentDirectoryW),
    EXPORT(GetFileAttributesA),
    EXPORT(GetFileAttributesW),
    EXPORT(GetFullPathNameA),
    EXPORT(GetFullPathNameW),
    EXPORT(GetTempFileNameA),
    EXPORT(GetTempPathA),
    EXPORT(GetTempPathW),
    EXPORT(MoveFileA),
    EXPORT(MoveFileExA),
    EXPORT(MoveFileExW),
    EXPORT(MoveFileW),
    EXPORT(RemoveDirectoryA),
    EXPORT(RemoveDirectoryW),
    EXPORT(SetCurrentDirectoryA),
    EXPORT(SetCurrentDirectoryW),
    EXPORT(SetFileAttributesA),
    EXPORT(SetFileAttributesW),
    // The process's wide-character start-up state:
    EXPORT(GetCommandLineW),
    EXPORT(GetStartupInfoW),
};

const NamedExport advapi32[] = {
    EXPORT(RegCloseKey),
    EXPORT(RegEnumKeyExA),
    EXPORT(RegOpenKeyExA),
    EXPORT(RegQueryValueExA),
    // The process token's elevation.
    EXPORT(GetTokenInformation),
    EXPORT(OpenProcessToken),
};

const NamedExport user32[] = {
    EXPORT(wsprintfA),
};

#undef EXPORT

}  // namespace
// The COM runtime's entry points (kernel/com_entry_points.cpp).
extern const NamedExport comExports[];
extern const size_t comExportCount;
namespace {

// Where each family of a DLL's table begins: the family's first export
// and its name; every export belongs to the last family begun at or before
// it.
struct FamilyStart {
    const char* Dll;
    const char* FirstExport;
    const char* Family;
};
const FamilyStart familyStarts[] = {
    {"kernel32", "CloseHandle", "Handles, events, mutexes, threads, virtual memory, devices, modules"},
    {"kernel32", "CreateSemaphoreA", "Semaphores, start-up, code pages, standard handles, time zone"},
    {"kernel32", "RaiseException", "Frame-based exception handling"},
    {"kernel32", "SetConsoleCtrlHandler", "Console control events"},
    {"kernel32", "FormatMessageA", "Messages, local memory, environment, system information, lstr*"},
    {"kernel32", "GetVersion", "The release's version and WOW64"},
    {"kernel32", "CheckRemoteDebuggerPresent", "Processes and threads"},
    {"kernel32", "AddVectoredContinueHandler", "Synchronization and vectored exception handlers"},
    {"kernel32", "CompareFileTime", "Time"},
    {"kernel32", "GetProcessHeap", "Heaps"},
    {"kernel32", "CreatePipe", "Child processes and pipes"},
    {"kernel32", "GetConsoleCP", "Console"},
    {"kernel32", "CopyFileA", "Files and folders by path"},
    {"kernel32", "GetCommandLineW", "Wide-character start-up"},
    {"advapi32", "RegCloseKey", "Registry"},
    {"advapi32", "GetTokenInformation", "The process token's elevation"},
    {"user32", "wsprintfA", "Text formatting"},
    {"msvcrt", "__getmainargs", "Start-up, exit, streams, memory, strings (the library's own)"},
    {"msvcrt", "__fpecode", "Structured exception handling, floating-point control"},
    {"msvcrt", "__isascii", "Character classification"},
    {"msvcrt", "_strdup", "Strings"},
    {"msvcrt", "_atoi64", "Number conversions, sorting, searching"},
    {"msvcrt", "__p___argc", "Environment and arguments"},
    {"msvcrt", "fgetc", "Character reads, error messages"},
    {"msvcrt", "_creat", "Low-level files"},
    {"msvcrt", "_beginthreadex", "Threads"},
    {"msvcrt", "__p__daylight", "Time"},
    {"msvcrt", "_i64toa", "Wide characters and strings, multibyte conversions, integers as text"},
    {"msvcrt", "_assert", "Assertions"},
    {"msvcrt", "_setjmp", "setjmp and longjmp"},
    {"msvcrt", "__p__wcmdln", "Wide start-up"},
    {"msvcrt", "_filelength", "File status, length, removal, renaming, OS handles"},
    {"msvcrt", "_fdopen", "Streams, wide streams, printing into memory"},
    {"msvcrt", "__winitenv", "Variables of the families above"},
    {"ole32", "CoCreateGuid", "COM entry points (no class registered)"},
};

// The functions whose purpose cannot be met on the simulated machine: they
// fail as their documentation says for that case (no debugger, no other
// process, no privilege to set the clock, no registered COM class, no way
// to stop another thread where it runs).
const char* const limitedExports[] = {
    "kernel32!DebugActiveProcess", "kernel32!GetThreadContext", "kernel32!SetThreadContext",
    "kernel32!SuspendThread",      "kernel32!OpenProcess",      "kernel32!OpenThread",
    "kernel32!SetSystemTime",      "kernel32!SetLocalTime",     "ole32!CoCreateInstance",
    "ole32!CoGetClassObject",
};

// Returns true when `name` names the DLL `dll` (given without extension),
// with or without ".dll", in any case.
bool NamesDll(const char* name, const char* dll) {
    const size_t length = std::strlen(dll);
    if (strncasecmp(name, dll, length) != 0) return false;
    return name[length] == '\0' || strcasecmp(name + length, ".dll") == 0;
}

// The system DLLs by file name; a handle is the address of its entry, so
// it is non-null, unique and no image's.
struct SystemDll {
    const char* FileName;
    const char* Name;
};
const SystemDll systemDlls[] = {
    {"KERNEL32.dll", "kernel32"},
    {"ADVAPI32.dll", "advapi32"},
    {"USER32.dll", "user32"},
    {"msvcrt.dll", "msvcrt"},
    {"ole32.dll", "ole32"},
};

}  // namespace

HMODULE SystemDllHandle(const char* name) {
    if (std::strchr(name, '\\') != nullptr || std::strchr(name, '/') != nullptr) return nullptr;
    for (const SystemDll& dll : systemDlls) {
        if (NamesDll(name, dll.Name)) {
            return reinterpret_cast<HMODULE>(const_cast<SystemDll*>(&dll));
        }
    }
    return nullptr;
}

const NamedExport* SystemDllOfHandle(HMODULE module, size_t* count, const char** name) {
    for (const SystemDll& dll : systemDlls) {
        if (reinterpret_cast<const void*>(module) != &dll) continue;
        *name = dll.FileName;
        return SystemDllExports(dll.Name, count);
    }
    return nullptr;
}

const void* FindSystemExport(const NamedExport* exports, size_t count, const char* procName) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(procName);
    if (value < 0x10000) return value >= 1 && value <= count ? exports[value - 1].Address : nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(exports[i].Name, procName) == 0) return exports[i].Address;
    }
    return nullptr;
}

const NamedExport* SystemDllExports(const char* name, size_t* count) {
    if (NamesDll(name, "kernel32")) {
        *count = sizeof kernel32 / sizeof kernel32[0];
        return kernel32;
    }
    if (NamesDll(name, "advapi32")) {
        *count = sizeof advapi32 / sizeof advapi32[0];
        return advapi32;
    }
    if (NamesDll(name, "user32")) {
        *count = sizeof user32 / sizeof user32[0];
        return user32;
    }
    if (NamesDll(name, "msvcrt")) return RuntimeExports(count);
    if (NamesDll(name, "ole32")) {
        *count = comExportCount;
        return comExports;
    }
    return nullptr;
}

const char* SystemExportFamily(const char* dll, const char* exportName) {
    const char* family = nullptr;
    size_t count = 0;
    const NamedExport* exports = SystemDllExports(dll, &count);
    for (size_t i = 0; exports != nullptr && i < count; ++i) {
        for (const FamilyStart& start : familyStarts) {
            if (NamesDll(dll, start.Dll) && std::strcmp(start.FirstExport, exports[i].Name) == 0) {
                family = start.Family;
            }
        }
        if (std::strcmp(exports[i].Name, exportName) == 0) return family;
    }
    return nullptr;
}

bool SystemExportLimited(const char* dll, const char* exportName) {
    for (const char* limited : limitedExports) {
        const char* bang = std::strchr(limited, '!');
        const std::string limitedDll(limited, bang);
        if (NamesDll(dll, limitedDll.c_str()) && std::strcmp(bang + 1, exportName) == 0) return true;
    }
    return false;
}

}  // namespace sim
