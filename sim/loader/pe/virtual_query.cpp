// VirtualQuery and VirtualProtect over what the simulated process has:
// mapped images and VirtualAlloc's allocations. Every other address reads
// as free, since nothing else of the process belongs to the machine.
#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/virtual_memory.h"
#include "sim/loader/pe/pe_image.h"

#include <windows.h>

#include <cstring>

static_assert(sizeof(MEMORY_BASIC_INFORMATION) == 28, "as on 32-bit Windows");

namespace {

const DWORD ErrorBadLength = 24;
const uintptr_t PageMask = 4095;

}  // namespace

// Returns the number of bytes written to *lpBuffer, 0 with the last error
// set when the buffer is too small.
extern "C" SIZE_T WINAPI VirtualQuery(LPCVOID lpAddress, PMEMORY_BASIC_INFORMATION lpBuffer,
                                      SIZE_T dwLength) {
    sim::ExitIfTerminated();
    if (dwLength < sizeof(MEMORY_BASIC_INFORMATION)) {
        sim::SetLastErrorCode(ErrorBadLength);
        return 0;
    }
    MEMORY_BASIC_INFORMATION info;
    if (!sim::QueryImageMemory(lpAddress, &info) && !sim::QueryAllocation(lpAddress, &info)) {
        std::memset(&info, 0, sizeof info);
        info.BaseAddress =
            reinterpret_cast<PVOID>(reinterpret_cast<uintptr_t>(lpAddress) & ~PageMask);
        info.RegionSize = PageMask + 1;
        info.State = MEM_FREE;
        info.Protect = PAGE_NOACCESS;
    }
    *lpBuffer = info;
    return sizeof info;
}

// Returns TRUE once the pages have the new protection, the first page's
// old one in *lpflOldProtect; FALSE with the last error set.
extern "C" BOOL WINAPI VirtualProtect(LPVOID lpAddress, SIZE_T dwSize, DWORD flNewProtect,
                                      PDWORD lpflOldProtect) {
    sim::ExitIfTerminated();
    if (lpflOldProtect == nullptr) {
        sim::SetLastErrorCode(ERROR_NOACCESS);
        return FALSE;
    }
    DWORD old = 0;
    int done = sim::ProtectImageMemory(lpAddress, dwSize, flNewProtect, &old);
    if (done < 0) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (done == 0) done = sim::ProtectAllocation(lpAddress, dwSize, flNewProtect, &old);
    if (done <= 0) {
        sim::SetLastErrorCode(done == 0 ? ERROR_INVALID_ADDRESS : old);
        return FALSE;
    }
    *lpflOldProtect = old;
    return TRUE;
}
