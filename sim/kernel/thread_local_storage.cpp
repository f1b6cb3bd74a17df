// Thread local storage slots (TlsAlloc and its kin). The values live in
// the calling thread's environment block at 0xE10, where code built for
// Windows may also read them through %fs; slot allocation is process-wide.
#include "sim/kernel/handles.h"
#include "sim/kernel/teb.h"
#include "sim/kernel/threads.h"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace sim {
namespace {

// Returns the lock that guards slot allocation.
std::mutex& SlotLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

// Returns which slots are allocated, guarded by SlotLock().
std::vector<bool>& SlotsInUse() {
    static auto* slots = new std::vector<bool>(TebTlsSlotCount, false);
    return *slots;
}

// Returns true when `index` names an allocated slot.
bool SlotAllocated(DWORD index) {
    std::lock_guard<std::mutex> guard(SlotLock());
    return index < TebTlsSlotCount && SlotsInUse()[index];
}

// Returns the address of the calling thread's value for `index`, or null
// when the thread has no environment block.
unsigned char* SlotAddress(DWORD index) {
    unsigned char* block = CurrentThreadEnvironment();
    return block == nullptr ? nullptr : block + TebTlsSlots + index * sizeof(uint32_t);
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
    for (DWORD index = 0; index < sim::TebTlsSlotCount; ++index) {
        if (slots[index]) continue;
        slots[index] = true;
        return index;
    }
    sim::SetLastErrorCode(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
}

// Returns the calling thread's value of the slot with the last error set
// to 0, or null with 87 for a slot not allocated.
extern "C" LPVOID WINAPI TlsGetValue(DWORD dwTlsIndex) {
    sim::ExitIfTerminated();
    unsigned char* slot = sim::SlotAllocated(dwTlsIndex) ? sim::SlotAddress(dwTlsIndex) : nullptr;
    if (slot == nullptr) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uint32_t value;
    std::memcpy(&value, slot, sizeof value);
    sim::SetLastErrorCode(ERROR_SUCCESS);
    return reinterpret_cast<LPVOID>(static_cast<uintptr_t>(value));
}

// Returns TRUE once the calling thread's value of the slot is set.
extern "C" BOOL WINAPI TlsSetValue(DWORD dwTlsIndex, LPVOID lpTlsValue) {
    sim::ExitIfTerminated();
    unsigned char* slot = sim::SlotAllocated(dwTlsIndex) ? sim::SlotAddress(dwTlsIndex) : nullptr;
    if (slot == nullptr) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(lpTlsValue));
    std::memcpy(slot, &value, sizeof value);
    return TRUE;
}

// Returns TRUE once the slot is free again.
extern "C" BOOL WINAPI TlsFree(DWORD dwTlsIndex) {
    sim::ExitIfTerminated();
    std::lock_guard<std::mutex> guard(sim::SlotLock());
    if (dwTlsIndex >= sim::TebTlsSlotCount || !sim::SlotsInUse()[dwTlsIndex]) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::SlotsInUse()[dwTlsIndex] = false;
    // As NT does, the freed slot is zeroed in every thread, so that the
    // next TlsAlloc hands it out reading null everywhere.
    sim::ClearInEveryThread(sim::TebTlsSlots + dwTlsIndex * sizeof(uint32_t));
    return TRUE;
}
