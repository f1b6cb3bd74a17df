// GetSystemInfo, LocalAlloc and LocalFree, and the lstr* string calls.
// The machine is a uniprocessor Pentium Pro class PC with 4 KiB pages and
// the 2 GiB user address space of 32-bit NT.
#include "sim/kernel/system_info.h"

#include <cstdlib>
#include <cstring>

struct _SYSTEM_INFO {
    WORD ProcessorArchitecture;
    WORD Reserved;
    DWORD PageSize;
    LPVOID MinimumApplicationAddress;
    LPVOID MaximumApplicationAddress;
    DWORD_PTR ActiveProcessorMask;
    DWORD NumberOfProcessors;
    DWORD ProcessorType;
    DWORD AllocationGranularity;
    WORD ProcessorLevel;
    WORD ProcessorRevision;
};
static_assert(sizeof(_SYSTEM_INFO) == 36, "SYSTEM_INFO");
static_assert(offsetof(_SYSTEM_INFO, PageSize) == 4, "dwPageSize");
static_assert(offsetof(_SYSTEM_INFO, MinimumApplicationAddress) == 8, "lpMinimumApplicationAddress");
static_assert(offsetof(_SYSTEM_INFO, MaximumApplicationAddress) == 12, "lpMaximumApplicationAddress");
static_assert(offsetof(_SYSTEM_INFO, ActiveProcessorMask) == 16, "dwActiveProcessorMask");
static_assert(offsetof(_SYSTEM_INFO, NumberOfProcessors) == 20, "dwNumberOfProcessors");
static_assert(offsetof(_SYSTEM_INFO, ProcessorType) == 24, "dwProcessorType");
static_assert(offsetof(_SYSTEM_INFO, AllocationGranularity) == 28, "dwAllocationGranularity");
static_assert(offsetof(_SYSTEM_INFO, ProcessorLevel) == 32, "wProcessorLevel");
static_assert(offsetof(_SYSTEM_INFO, ProcessorRevision) == 34, "wProcessorRevision");

namespace {

constexpr WORD ProcessorArchitectureIntel = 0;
constexpr DWORD ProcessorIntelPentium = 586;
constexpr UINT LocalZeroInit = 0x0040;
constexpr UINT LocalMoveable = 0x0002;

}  // namespace

// Returns nothing; fills in the machine's description.
extern "C" void WINAPI GetSystemInfo(_SYSTEM_INFO* lpSystemInfo) {
    std::memset(lpSystemInfo, 0, sizeof *lpSystemInfo);
    lpSystemInfo->ProcessorArchitecture = ProcessorArchitectureIntel;
    lpSystemInfo->PageSize = 4096;
    lpSystemInfo->MinimumApplicationAddress = reinterpret_cast<LPVOID>(0x00010000);
    lpSystemInfo->MaximumApplicationAddress = reinterpret_cast<LPVOID>(0x7FFEFFFF);
    lpSystemInfo->ActiveProcessorMask = 1;
    lpSystemInfo->NumberOfProcessors = 1;
    lpSystemInfo->ProcessorType = ProcessorIntelPentium;
    lpSystemInfo->AllocationGranularity = 65536;
    lpSystemInfo->ProcessorLevel = 6;
    lpSystemInfo->ProcessorRevision = 0x0301;
}

// Returns a fixed block of `uBytes` (zeroed with LMEM_ZEROINIT), or null
// with error 8. Moveable blocks are not kept: the flag is refused with 87.
extern "C" HANDLE WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if ((uFlags & LocalMoveable) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* block = (uFlags & LocalZeroInit) != 0 ? std::calloc(1, uBytes ? uBytes : 1)
                                                : std::malloc(uBytes ? uBytes : 1);
    if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

// Returns null once the block is freed (null frees nothing).
extern "C" HANDLE WINAPI LocalFree(HANDLE hMem) {
    std::free(hMem);
    return nullptr;
}

// Returns the length of the text, 0 for null.
extern "C" int WINAPI lstrlenA(LPCSTR lpString) {
    return lpString != nullptr ? static_cast<int>(std::strlen(lpString)) : 0;
}
// Returns the destination holding a copy of the text.
extern "C" LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
    return std::strcpy(lpString1, lpString2);
}
// Returns the destination with the text appended.
extern "C" LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
    return std::strcat(lpString1, lpString2);
}
