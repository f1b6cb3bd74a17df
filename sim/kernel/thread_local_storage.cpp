// Thread local storage slots (TlsAlloc and its kin). The values live in
// the calling thread's environment block, the first 64 at 0xE10 and the
// 1024 expansion slots where the block's field at 0xF94 points, so code
// built for Windows may also read them through %fs; slot allocation is
// process-wide. As on NT, TlsGetValue and TlsSetValue check only that an
// index lies below the limit, not that it is allocated.
#include "sim/kernel/handles.h"
#include "sim/kernel/teb.h"
#include "sim/kernel/threads.h"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace sim {
namespace {

const DWORD SlotLimit = TebTlsSlotCount + TebTlsExpansionSlotCount;

// Returns the lock that guards slot allocation.
std::mutex& SlotLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

// Returns which slots are allocated, guarded by SlotLock().
std::vector<bool>& SlotsInUse() {
    static auto* slots = new std::vector<bool>(SlotLimit, false);
    return *slots;
}

// Returns the offset in every environment block of the value of slot
// `index` (below SlotLimit).
size_t SlotOffset(DWORD index) {
    return index < TebTlsSlotCount
               ? TebTlsSlots + index * sizeof(uint32_t)
               : TebTlsExpansionArea + (index - TebTlsSlotCount) * sizeof(uint32_t);
}

// Returns the address of the calling thread's value for `index`, or null
// when the index is not below the limit or the thread has no block.
unsigned char* SlotAddress(DWORD index) {
    if (index >= SlotLimit) return nullptr;
    unsigned char* block = CurrentThreadEnvironment();
    return block == nullptr ? nullptr : block + SlotOffset(index);
}

}  // namespace
}  // namespace sim

// Returns a free slot's index, its value null in every thread (zeroed when
// it was last freed; blocks start zeroed), or
// TLS_OUT_OF_INDEXES with the last error set.
extern "C" DWORD WINAPI TlsAlloc(void) {
    sim::ExitIfTerminated();
    std::lock_guard<std::mutex> guard(sim::SlotLock());
    std::vector<bool>& slots = sim::SlotsInUse();
    for (DWORD index = 0; index < sim::SlotLimit; ++index) {
        if (slots[index]) continue;
        slots[index] = true;
        return index;
    }
    sim::SetLastErrorCode(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
}

// Returns the calling thread's value of the slot with the last error set
// to 0, or null with 87 for an index not below the limit.
extern "C" LPVOID WINAPI TlsGetValue(DWORD dwTlsIndex) {
    sim::ExitIfTerminated();
    unsigned char* slot = sim::SlotAddress(dwTlsIndex);
    if (slot == nullptr) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uint32_t value;
    std::memcpy(&value, slot, sizeof value);
    sim::SetLastErrorCode(ERROR_SUCCESS);
    return reinterpret_cast<LPVOID>(static_cast<uintptr_t>(value));
}

// Returns TRUE once the calling thread's value of the slot is set, FALSE
// with 87 for an index not below the limit.
extern "C" BOOL WINAPI TlsSetValue(DWORD dwTlsIndex, LPVOID lpTlsValue) {
    sim::ExitIfTerminated();
    unsigned char* slot = sim::SlotAddress(dwTlsIndex);
    if (slot == nullptr) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(lpTlsValue));
    std::memcpy(slot, &value, sizeof value);
    return TRUE;
}

// Returns TRUE once the slot is free again, FALSE with 87 for a slot not
// allocated.
extern "C" BOOL WINAPI TlsFree(DWORD dwTlsIndex) {
    sim::ExitIfTerminated();
    std::lock_guard<std::mutex> guard(sim::SlotLock());
    if (dwTlsIndex >= sim::SlotLimit || !sim::SlotsInUse()[dwTlsIndex]) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::SlotsInUse()[dwTlsIndex] = false;
    // As NT does, the freed slot is zeroed in every thread, so that the
    // next TlsAlloc hands it out reading null everywhere.
    sim::ClearInEveryThread(sim::SlotOffset(dwTlsIndex));
    return TRUE;
}
