// Heaps: the process heap and heaps made with HeapCreate, each keeping the
// blocks it gave and their sizes, so that a block freed twice, freed to
// the wrong heap or never given fails as NT's heap checks it rather than
// corrupting anything. A growable heap grows without limit; a heap made
// with a maximum size refuses what would pass it.
#include "sim/kernel/handles.h"
#include "sim/kernel/win32_families.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace sim {
namespace {

const DWORD HeapGenerateExceptions = 0x4;
const DWORD HeapZeroMemory = 0x8;
const DWORD HeapReallocInPlaceOnly = 0x10;
const DWORD StatusNoMemory = 0xC0000017;

struct Heap {
    std::recursive_mutex Lock;  // HeapLock's too, so it may allocate while held
    SIZE_T Maximum = 0;  // 0: growable
    SIZE_T InUse = 0;
    std::map<void*, SIZE_T> Blocks;
};

std::mutex heapsLock;
Heap* processHeap = new Heap;  // never destroyed, as the process heap

std::set<Heap*>& Heaps() {
    static auto* heaps = new std::set<Heap*>{processHeap};
    return *heaps;
}

// Returns the heap behind the handle, or null.
Heap* HeapOf(HANDLE handle) {
    std::lock_guard<std::mutex> guard(heapsLock);
    Heap* heap = static_cast<Heap*>(handle);
    return Heaps().count(heap) != 0 ? heap : nullptr;
}

// Returns null after the failure of an allocation: an exception of
// STATUS_NO_MEMORY when the caller asked for exceptions, else the last
// error 8.
LPVOID AllocationFailed(DWORD flags) {
    if ((flags & HeapGenerateExceptions) != 0) RaiseException(StatusNoMemory, 0, 0, nullptr);
    SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

}  // namespace
}  // namespace sim

// Returns the process heap's handle.
extern "C" HANDLE WINAPI GetProcessHeap(void) { return sim::processHeap; }

// Returns the number of heaps, their handles copied when they fit.
extern "C" DWORD WINAPI GetProcessHeaps(DWORD NumberOfHeaps, PHANDLE ProcessHeaps) {
    std::lock_guard<std::mutex> guard(sim::heapsLock);
    const DWORD count = static_cast<DWORD>(sim::Heaps().size());
    if (count <= NumberOfHeaps) {
        DWORD i = 0;
        for (sim::Heap* heap : sim::Heaps()) ProcessHeaps[i++] = heap;
    }
    return count;
}

// Returns the new heap's handle: growable for a maximum of 0, else fixed
// at that size.
extern "C" HANDLE WINAPI HeapCreate(DWORD flOptions, SIZE_T dwInitialSize, SIZE_T dwMaximumSize) {
    (void)flOptions;
    if (dwMaximumSize != 0 && dwInitialSize > dwMaximumSize) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* heap = new sim::Heap;
    heap->Maximum = dwMaximumSize;
    std::lock_guard<std::mutex> guard(sim::heapsLock);
    sim::Heaps().insert(heap);
    return heap;
}

// Returns TRUE once the heap and every block in it are gone; FALSE with 6
// for the process heap or no heap.
extern "C" BOOL WINAPI HeapDestroy(HANDLE hHeap) {
    sim::Heap* heap = sim::HeapOf(hHeap);
    if (heap == nullptr || heap == sim::processHeap) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(sim::heapsLock);
        sim::Heaps().erase(heap);
    }
    for (auto& block : heap->Blocks) std::free(block.first);
    delete heap;
    return TRUE;
}

// Returns a block of dwBytes (zeroed with HEAP_ZERO_MEMORY), or null.
extern "C" LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    sim::Heap* heap = sim::HeapOf(hHeap);
    if (heap == nullptr) return sim::AllocationFailed(dwFlags);
    std::unique_lock<std::recursive_mutex> guard(heap->Lock);
    if (heap->Maximum != 0 && dwBytes > heap->Maximum - heap->InUse) {
        guard.unlock();
        return sim::AllocationFailed(dwFlags);
    }
    void* block = std::malloc(dwBytes != 0 ? dwBytes : 1);
    if (block == nullptr) {
        guard.unlock();
        return sim::AllocationFailed(dwFlags);
    }
    if ((dwFlags & sim::HeapZeroMemory) != 0) std::memset(block, 0, dwBytes);
    heap->Blocks[block] = dwBytes;
    heap->InUse += dwBytes;
    return block;
}

// Returns the block resized (moved, unless HEAP_REALLOC_IN_PLACE_ONLY),
// its new bytes zeroed with HEAP_ZERO_MEMORY; null, the block unchanged,
// when it cannot be. A block the heap never gave fails with 87.
extern "C" LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes) {
    sim::Heap* heap = sim::HeapOf(hHeap);
    if (heap == nullptr) return sim::AllocationFailed(dwFlags);
    std::unique_lock<std::recursive_mutex> guard(heap->Lock);
    auto found = heap->Blocks.find(lpMem);
    if (found == heap->Blocks.end()) {
        guard.unlock();
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const SIZE_T old = found->second;
    if (dwBytes <= old && (dwFlags & sim::HeapReallocInPlaceOnly) != 0) {
        found->second = dwBytes;
        heap->InUse -= old - dwBytes;
        return lpMem;
    }
    if ((dwFlags & sim::HeapReallocInPlaceOnly) != 0 ||
        (heap->Maximum != 0 && dwBytes > old && dwBytes - old > heap->Maximum - heap->InUse)) {
        guard.unlock();
        return sim::AllocationFailed(dwFlags);
    }
    void* block = std::malloc(dwBytes != 0 ? dwBytes : 1);
    if (block == nullptr) {
        guard.unlock();
        return sim::AllocationFailed(dwFlags);
    }
    std::memcpy(block, lpMem, old < dwBytes ? old : dwBytes);
    if (dwBytes > old && (dwFlags & sim::HeapZeroMemory) != 0) {
        std::memset(static_cast<char*>(block) + old, 0, dwBytes - old);
    }
    std::free(lpMem);
    heap->Blocks.erase(found);
    heap->Blocks[block] = dwBytes;
    heap->InUse += dwBytes;
    heap->InUse -= old;
    return block;
}

// Returns TRUE once the block is free (a null block: nothing to do);
// FALSE with 87 for a block the heap does not hold.
extern "C" BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    (void)dwFlags;
    sim::Heap* heap = sim::HeapOf(hHeap);
    if (heap == nullptr) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpMem == nullptr) return TRUE;
    std::unique_lock<std::recursive_mutex> guard(heap->Lock);
    auto found = heap->Blocks.find(lpMem);
    if (found == heap->Blocks.end()) {
        guard.unlock();
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    heap->InUse -= found->second;
    heap->Blocks.erase(found);
    std::free(lpMem);
    return TRUE;
}

// Returns the size asked for the block, (SIZE_T)-1 for a block the heap
// does not hold (HeapSize sets no last error).
extern "C" SIZE_T WINAPI HeapSize(HANDLE hHeap, DWORD dwFlags, LPCVOID lpMem) {
    (void)dwFlags;
    sim::Heap* heap = sim::HeapOf(hHeap);
    if (heap == nullptr) return static_cast<SIZE_T>(-1);
    std::lock_guard<std::recursive_mutex> guard(heap->Lock);
    auto found = heap->Blocks.find(const_cast<LPVOID>(lpMem));
    return found == heap->Blocks.end() ? static_cast<SIZE_T>(-1) : found->second;
}

// Returns TRUE when the heap (or the one block) is sound: here, when the
// block is one the heap holds.
extern "C" BOOL WINAPI HeapValidate(HANDLE hHeap, DWORD dwFlags, LPCVOID lpMem) {
    (void)dwFlags;
    sim::Heap* heap = sim::HeapOf(hHeap);
    if (heap == nullptr) return FALSE;
    if (lpMem == nullptr) return TRUE;
    std::lock_guard<std::recursive_mutex> guard(heap->Lock);
    return heap->Blocks.count(const_cast<LPVOID>(lpMem)) != 0;
}

// Returns the largest block the heap could give at once: what a fixed
// heap has left, or 0x7FFF8 (the largest block NT's heap gives without
// allocating it on its own).
extern "C" SIZE_T WINAPI HeapCompact(HANDLE hHeap, DWORD dwFlags) {
    (void)dwFlags;
    sim::Heap* heap = sim::HeapOf(hHeap);
    if (heap == nullptr) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> guard(heap->Lock);
    return heap->Maximum != 0 ? heap->Maximum - heap->InUse : 0x7FFF8;
}

// Returns TRUE once the calling thread holds the heap's lock.
extern "C" BOOL WINAPI HeapLock(HANDLE hHeap) {
    sim::Heap* heap = sim::HeapOf(hHeap);
    if (heap == nullptr) return FALSE;
    heap->Lock.lock();
    return TRUE;
}

// Returns TRUE once the heap's lock is released.
extern "C" BOOL WINAPI HeapUnlock(HANDLE hHeap) {
    sim::Heap* heap = sim::HeapOf(hHeap);
    if (heap == nullptr) return FALSE;
    heap->Lock.unlock();
    return TRUE;
}
