// Critical sections. The simulator keeps each section's state itself,
// keyed by the structure's address, with the threads waiting for it, and
// waits for one through the dispatcher, so that a thread terminated while
// it waits stops there.
// As on NT, a section is not abandoned when its owner ends or is
// terminated: it stays owned for good. Calls NT leaves undefined (entering
// a section never initialised, leaving one the caller does not own) stop
// the process with a report rather than corrupt anything quietly.
#include "sim/kernel/handles.h"
#include "sim/kernel/misuse.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/win32_families.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

static_assert(sizeof(CRITICAL_SECTION) == 24, "CRITICAL_SECTION as on 32-bit Windows");

namespace sim {
namespace {

struct SectionState {
    unsigned long OwnerKey = 0;  // 0: free
    unsigned long Recursion = 0;
    WaitQueue Waiters;  // woken to try again when the section is freed
    // The threads inside EnterCriticalSection's wait for the section: those
    // in Waiters, and those a leave has readied that have not yet looked
    // again, whose blocks are out of the queue but who will read the state.
    std::vector<const ThreadRecord*> Entering;
};

// Returns whether a thread is waiting to enter the section, other than a
// terminated one, which stops in its wait and never reads it again.
bool HasEnteringThreads(const SectionState& state) {
    return std::any_of(state.Entering.begin(), state.Entering.end(),
                       [](const ThreadRecord* thread) { return !StopsAtItsNextCheck(*thread); });
}

// Returns the state of every initialised section, guarded by StateLock().
std::map<const CRITICAL_SECTION*, SectionState>& Sections() {
    static auto* sections = new std::map<const CRITICAL_SECTION*, SectionState>;
    return *sections;
}

// Never returns: reports a use of a critical section that NT leaves
// undefined, a call made from `caller`.
[[noreturn]] void Misuse(const char* call, const CRITICAL_SECTION* section, const char* what,
                         const void* caller) {
    char text[160];
    std::snprintf(text, sizeof text, "%s(%p): %s", call, static_cast<const void*>(section), what);
    ReportMisuse(text, caller);
}

// Returns nothing; mirrors the state into the structure's public fields.
void Mirror(CRITICAL_SECTION* section, const SectionState& state) {
    section->RecursionCount = static_cast<LONG>(state.Recursion);
    section->LockCount = state.OwnerKey == 0 ? -1 : 0;
    section->OwningThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(state.OwnerKey));
}

}  // namespace
}  // namespace sim

// Returns nothing; the section is free and ready for use.
extern "C" void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    sim::ExitIfTerminated();
    sim::StateHold lock(sim::StateLock());
    sim::ExitIfTerminatedLocked(lock);
    sim::SectionState& state = sim::Sections()[lpCriticalSection];
    state.OwnerKey = 0;
    state.Recursion = 0;
    lpCriticalSection->DebugInfo = nullptr;
    lpCriticalSection->LockSemaphore = nullptr;
    lpCriticalSection->SpinCount = 0;
    sim::Mirror(lpCriticalSection, state);
}

// Returns once the calling thread owns the section (once more, if it did).
extern "C" void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    sim::ExitIfTerminated();
    const unsigned long self = sim::CurrentThreadKey();
    sim::StateHold lock(sim::StateLock());
    auto found = sim::Sections().find(lpCriticalSection);
    if (found == sim::Sections().end()) {
        lock.unlock();
        sim::Misuse("EnterCriticalSection", lpCriticalSection, "a section never initialised",
                    __builtin_return_address(0));
    }
    sim::SectionState& state = found->second;
    const auto free = [&] { return state.OwnerKey == 0 || state.OwnerKey == self; };
    if (!free()) {
        const sim::ThreadRecord* const thread = &sim::CurrentThreadRecord();
        state.Entering.push_back(thread);
        sim::WaitUntil(lock, &state.Waiters, free, INFINITE);
        state.Entering.erase(std::find(state.Entering.begin(), state.Entering.end(), thread));
    }
    sim::ExitIfTerminatedLocked(lock);
    state.OwnerKey = self;
    ++state.Recursion;
    sim::Mirror(lpCriticalSection, state);
}

// Returns nothing; gives up one entry by the owner, freeing the section
// after the last.
extern "C" void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    sim::ExitIfTerminated();
    const unsigned long self = sim::CurrentThreadKey();
    sim::StateHold guard(sim::StateLock());
    sim::ExitIfTerminatedLocked(guard);
    auto found = sim::Sections().find(lpCriticalSection);
    if (found == sim::Sections().end() || found->second.OwnerKey != self) {
        guard.unlock();
        sim::Misuse("LeaveCriticalSection", lpCriticalSection, "a section the caller does not own",
                    __builtin_return_address(0));
    }
    sim::SectionState& state = found->second;
    if (--state.Recursion == 0) state.OwnerKey = 0;
    sim::Mirror(lpCriticalSection, state);
    if (state.OwnerKey == 0) sim::SignalQueueLocked(state.Waiters);
}

// Returns nothing; the section's resources are gone and it may not be used
// again until initialised.
extern "C" void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    sim::ExitIfTerminated();
    sim::StateHold guard(sim::StateLock());
    sim::ExitIfTerminatedLocked(guard);
    auto found = sim::Sections().find(lpCriticalSection);
    if (found == sim::Sections().end()) return;
    // The waiters' blocks are linked into the section's state, and a waiter
    // that a leave readied reads it when it runs: deleting it under either
    // would leave them on freed memory.
    if (sim::HasEnteringThreads(found->second)) {
        guard.unlock();
        sim::Misuse("DeleteCriticalSection", lpCriticalSection, "a section other threads wait for",
                    __builtin_return_address(0));
    }
    sim::Sections().erase(found);
}

// Returns TRUE once the calling thread owns the section (once more, if it
// did); FALSE at once when another thread owns it.
extern "C" BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    sim::ExitIfTerminated();
    const unsigned long self = sim::CurrentThreadKey();
    sim::StateHold lock(sim::StateLock());
    sim::ExitIfTerminatedLocked(lock);
    auto found = sim::Sections().find(lpCriticalSection);
    if (found == sim::Sections().end()) {
        lock.unlock();
        sim::Misuse("TryEnterCriticalSection", lpCriticalSection, "a section never initialised",
                    __builtin_return_address(0));
    }
    sim::SectionState& state = found->second;
    if (state.OwnerKey != 0 && state.OwnerKey != self) return FALSE;
    state.OwnerKey = self;
    ++state.Recursion;
    sim::Mirror(lpCriticalSection, state);
    return TRUE;
}

// Returns TRUE once the section is initialised with the spin count (its
// low 24 bits; the high bit asked NT before Vista to make its event at
// once, which never fails here).
extern "C" BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                             DWORD dwSpinCount) {
    InitializeCriticalSection(lpCriticalSection);
    lpCriticalSection->SpinCount = dwSpinCount & 0x00FFFFFF;
    return TRUE;
}

// Returns TRUE as InitializeCriticalSectionAndSpinCount; FALSE with 87 for
// a flag other than CRITICAL_SECTION_NO_DEBUG_INFO or a spin count with
// its reserved high bits set.
extern "C" BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection,
                                                   DWORD dwSpinCount, DWORD Flags) {
    if ((Flags & ~0x01000000u) != 0 || (dwSpinCount & 0xFF000000u) != 0) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return InitializeCriticalSectionAndSpinCount(lpCriticalSection, dwSpinCount);
}

// Returns the section's former spin count.
extern "C" DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                    DWORD dwSpinCount) {
    const DWORD before = static_cast<DWORD>(lpCriticalSection->SpinCount);
    lpCriticalSection->SpinCount = dwSpinCount & 0x00FFFFFF;
    return before;
}
