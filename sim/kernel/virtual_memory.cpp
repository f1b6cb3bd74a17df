// Virtual memory of the simulated machine: VirtualAlloc hands out zeroed,
// page-aligned regions from mmap; every page is tracked as committed or
// reserved and as locked or not, so that the argument checks, the commit
// accounting and the lock state follow Windows and tests can see them.
#include "sim/kernel/virtual_memory.h"

#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/sim.h"
#include "sim/kernel/threads.h"

#include <windows.h>

#include <sys/mman.h>

#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>

namespace sim {
namespace {

const uintptr_t PageSize = 4096;  // the i386 page, on Windows as on Linux
const DWORD ErrorNotLocked = 158;
const DWORD ErrorInvalidAddress = 487;

struct Allocation {
    size_t Pages = 0;
    DWORD Protect = 0;
    std::vector<bool> Committed;
    std::vector<bool> Locked;
};

struct VirtualMemory {
    std::mutex Lock;
    std::map<uintptr_t, Allocation> Allocations;  // by base address
    size_t CommittedPages = 0;
    size_t LockedPages = 0;
};

// Returns the machine's virtual memory state, created once, never destroyed.
VirtualMemory& Memory() {
    static VirtualMemory* memory = new VirtualMemory;
    return *memory;
}

// Returns the mmap protection for a Win32 page protection, or -1 when the
// value is not one this machine offers.
int ProtectionOf(DWORD protect) {
    switch (protect) {
        case PAGE_NOACCESS: return PROT_NONE;
        case PAGE_READONLY: return PROT_READ;
        case PAGE_READWRITE: return PROT_READ | PROT_WRITE;
        default: return -1;
    }
}

// A range of whole pages inside one allocation.
struct PageRange {
    uintptr_t Base = 0;  // the allocation's base
    Allocation* Region = nullptr;
    size_t First = 0;    // first page index within the allocation
    size_t Count = 0;
};

// Returns true and fills `range` when the pages that hold the bytes
// [address, address + size) all lie in one allocation. The lock of
// Memory() is held. Overflow-safe for any address and size.
bool FindPages(LPVOID address, SIZE_T size, PageRange* range) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (size == 0 || size - 1 > UINTPTR_MAX - start) return false;
    const uintptr_t last = start + (size - 1);
    auto& allocations = Memory().Allocations;
    auto after = allocations.upper_bound(start);
    if (after == allocations.begin()) return false;
    auto found = std::prev(after);
    const uintptr_t base = found->first;
    const size_t pages = found->second.Pages;
    if ((start - base) / PageSize >= pages || (last - base) / PageSize >= pages) return false;
    range->Base = base;
    range->Region = &found->second;
    range->First = (start - base) / PageSize;
    range->Count = (last - base) / PageSize - range->First + 1;
    return true;
}

// Returns the address of the range's first page.
void* PageAddress(const PageRange& range) {
    return reinterpret_cast<void*>(range.Base + range.First * PageSize);
}

// Returns FALSE after setting the last error.
BOOL FailWith(DWORD error) {
    SetLastErrorCode(error);
    return FALSE;
}

// Returns the address of the committed pages. Commits pages of an existing
// allocation; pages committed already stay as they are.
LPVOID CommitInPlace(LPVOID address, SIZE_T size, DWORD protect) {
    VirtualMemory& memory = Memory();
    std::lock_guard<std::mutex> guard(memory.Lock);
    PageRange range;
    if (!FindPages(address, size, &range)) {
        SetLastErrorCode(ErrorInvalidAddress);
        return nullptr;
    }
    if (mprotect(PageAddress(range), range.Count * PageSize, ProtectionOf(protect)) != 0) {
        SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    for (size_t page = range.First; page < range.First + range.Count; ++page) {
        if (!range.Region->Committed[page]) ++memory.CommittedPages;
        range.Region->Committed[page] = true;
    }
    range.Region->Protect = protect;
    return PageAddress(range);
}

// Returns the base of a new allocation, or null with the last error set.
LPVOID AllocateNew(SIZE_T size, DWORD type, DWORD protect) {
    if (size > SIZE_MAX - (PageSize - 1)) {
        SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const size_t pages = (size + (PageSize - 1)) / PageSize;
    const bool commit = (type & MEM_COMMIT) != 0;
    // Reserved-only pages are inaccessible until committed, as on Windows.
    void* base = mmap(nullptr, pages * PageSize, commit ? ProtectionOf(protect) : PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    VirtualMemory& memory = Memory();
    std::lock_guard<std::mutex> guard(memory.Lock);
    Allocation& region = memory.Allocations[reinterpret_cast<uintptr_t>(base)];
    region.Pages = pages;
    region.Protect = protect;
    region.Committed.assign(pages, commit);
    region.Locked.assign(pages, false);
    if (commit) memory.CommittedPages += pages;
    return base;
}

// Returns nothing; forgets the commit and lock state of the range's pages.
// The lock of Memory() is held.
void DropPages(const PageRange& range) {
    VirtualMemory& memory = Memory();
    for (size_t page = range.First; page < range.First + range.Count; ++page) {
        if (range.Region->Committed[page]) --memory.CommittedPages;
        if (range.Region->Locked[page]) --memory.LockedPages;
        range.Region->Committed[page] = false;
        range.Region->Locked[page] = false;
    }
}

}  // namespace

size_t CommittedVirtualMemory() {
    std::lock_guard<std::mutex> guard(Memory().Lock);
    return Memory().CommittedPages * PageSize;
}

size_t LockedVirtualMemory() {
    std::lock_guard<std::mutex> guard(Memory().Lock);
    return Memory().LockedPages * PageSize;
}

bool IsVirtualLocked(const void* address, size_t size) {
    std::lock_guard<std::mutex> guard(Memory().Lock);
    PageRange range;
    if (!FindPages(const_cast<void*>(address), size, &range)) return false;
    for (size_t page = range.First; page < range.First + range.Count; ++page) {
        if (!range.Region->Locked[page]) return false;
    }
    return true;
}

bool QueryAllocation(const void* address, MEMORY_BASIC_INFORMATION* info) {
    std::lock_guard<std::mutex> guard(Memory().Lock);
    PageRange range;
    if (!FindPages(const_cast<void*>(address), 1, &range)) return false;
    const bool committed = range.Region->Committed[range.First];
    size_t last = range.First;
    while (last + 1 < range.Region->Pages && range.Region->Committed[last + 1] == committed) ++last;
    info->BaseAddress = PageAddress(range);
    info->AllocationBase = reinterpret_cast<PVOID>(range.Base);
    info->AllocationProtect = range.Region->Protect;
    info->RegionSize = (last - range.First + 1) * PageSize;
    info->State = committed ? MEM_COMMIT : MEM_RESERVE;
    info->Protect = committed ? range.Region->Protect : 0;
    info->Type = MEM_PRIVATE;
    return true;
}

int ProtectAllocation(void* address, size_t size, DWORD protect, DWORD* old) {
    std::lock_guard<std::mutex> guard(Memory().Lock);
    PageRange range;
    if (!FindPages(address, size, &range)) return 0;
    for (size_t page = range.First; page < range.First + range.Count; ++page) {
        if (!range.Region->Committed[page]) {
            *old = ErrorInvalidAddress;
            return -1;
        }
    }
    if (ProtectionOf(protect) < 0) {
        *old = ERROR_INVALID_PARAMETER;
        return -1;
    }
    // The simulator keeps one protection per allocation: the last set.
    *old = range.Region->Protect;
    mprotect(PageAddress(range), range.Count * PageSize, ProtectionOf(protect));
    range.Region->Protect = protect;
    return 1;
}

size_t VirtualAllocationCount() {
    std::lock_guard<std::mutex> guard(Memory().Lock);
    return Memory().Allocations.size();
}

}  // namespace sim

// Returns the base of the new or committed pages, or NULL with the last
// error set.
extern "C" LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType,
                                      DWORD flProtect) {
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::VirtualAlloc, nullptr, &error)) {
        sim::SetLastErrorCode(error);
        return nullptr;
    }
    const DWORD known = MEM_COMMIT | MEM_RESERVE;
    if (dwSize == 0 || (flAllocationType & known) == 0 || (flAllocationType & ~known) != 0 ||
        sim::ProtectionOf(flProtect) < 0) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (lpAddress == nullptr) return sim::AllocateNew(dwSize, flAllocationType, flProtect);
    // A chosen address can only commit pages of an existing reservation:
    // this machine does not place new regions where the caller asks.
    if ((flAllocationType & MEM_RESERVE) != 0) {
        sim::SetLastErrorCode(sim::ErrorInvalidAddress);
        return nullptr;
    }
    return sim::CommitInPlace(lpAddress, dwSize, flProtect);
}

// Returns TRUE once the allocation is released or the pages decommitted.
extern "C" BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::VirtualFree, nullptr, &error)) return sim::FailWith(error);
    sim::VirtualMemory& memory = sim::Memory();
    std::unique_lock<std::mutex> lock(memory.Lock);
    const uintptr_t start = reinterpret_cast<uintptr_t>(lpAddress);
    auto found = memory.Allocations.find(start);
    if (dwFreeType == MEM_RELEASE) {
        // Only a whole allocation is released: its exact base and size 0.
        if (dwSize != 0 || found == memory.Allocations.end()) {
            return sim::FailWith(ERROR_INVALID_PARAMETER);
        }
        sim::PageRange whole{start, &found->second, 0, found->second.Pages};
        sim::DropPages(whole);
        munmap(lpAddress, whole.Count * sim::PageSize);
        memory.Allocations.erase(found);
        return TRUE;
    }
    if (dwFreeType != MEM_DECOMMIT) return sim::FailWith(ERROR_INVALID_PARAMETER);
    sim::PageRange range;
    if (dwSize == 0) {
        // Size 0 decommits the whole allocation and needs its base.
        if (found == memory.Allocations.end()) return sim::FailWith(ERROR_INVALID_PARAMETER);
        range = sim::PageRange{start, &found->second, 0, found->second.Pages};
    } else if (!sim::FindPages(lpAddress, dwSize, &range)) {
        return sim::FailWith(ERROR_INVALID_PARAMETER);
    }
    // Decommitted pages become inaccessible and read zero once committed
    // again, as on Windows.
    void* pages = sim::PageAddress(range);
    madvise(pages, range.Count * sim::PageSize, MADV_DONTNEED);
    mprotect(pages, range.Count * sim::PageSize, PROT_NONE);
    sim::DropPages(range);
    return TRUE;
}

namespace sim {
namespace {

// Returns what `change` returns for the pages of one allocation that the
// range covers, after the checks VirtualLock and VirtualUnlock share; FALSE
// with the last error set when a check fails.
template <class Change>
BOOL ChangePageLocks(Call call, LPVOID address, SIZE_T size, Change change) {
    ExitIfTerminated();
    DWORD error = 0;
    if (TakeFault(call, nullptr, &error)) return FailWith(error);
    VirtualMemory& memory = Memory();
    std::lock_guard<std::mutex> guard(memory.Lock);
    PageRange range;
    if (!FindPages(address, size, &range)) return FailWith(ERROR_INVALID_PARAMETER);
    return change(memory, range, range.First + range.Count);
}

}  // namespace
}  // namespace sim

// Returns TRUE once every page of the range is locked.
extern "C" BOOL WINAPI VirtualLock(LPVOID lpAddress, SIZE_T dwSize) {
    return sim::ChangePageLocks(
        sim::Call::VirtualLock, lpAddress, dwSize,
        [](sim::VirtualMemory& memory, sim::PageRange& range, size_t end) -> BOOL {
            for (size_t page = range.First; page < end; ++page) {
                if (!range.Region->Committed[page]) return sim::FailWith(sim::ErrorInvalidAddress);
            }
            // Windows refuses to lock pages that cannot be touched.
            if (range.Region->Protect == PAGE_NOACCESS) return sim::FailWith(ERROR_NOACCESS);
            // Locks do not nest: one unlock undoes any number of locks of a page.
            for (size_t page = range.First; page < end; ++page) {
                if (!range.Region->Locked[page]) ++memory.LockedPages;
                range.Region->Locked[page] = true;
            }
            return TRUE;
        });
}

// Returns TRUE once every page of the range, all of them locked, is not.
extern "C" BOOL WINAPI VirtualUnlock(LPVOID lpAddress, SIZE_T dwSize) {
    return sim::ChangePageLocks(
        sim::Call::VirtualUnlock, lpAddress, dwSize,
        [](sim::VirtualMemory& memory, sim::PageRange& range, size_t end) -> BOOL {
            for (size_t page = range.First; page < end; ++page) {
                if (!range.Region->Locked[page]) return sim::FailWith(sim::ErrorNotLocked);
            }
            for (size_t page = range.First; page < end; ++page) range.Region->Locked[page] = false;
            memory.LockedPages -= range.Count;
            return TRUE;
        });
}
