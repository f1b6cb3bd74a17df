// Semaphores: a count between 0 and a maximum; a wait is satisfied while
// the count is above 0 and takes one (sync.cpp), ReleaseSemaphore gives
// some back but never past the maximum.
#include "sim/kernel/code_pages.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/kernel_objects.h"
#include "sim/kernel/threads.h"

#include <windows.h>

// Returns the new (or opened named) semaphore's handle, or NULL with 87
// for counts out of order.
extern "C" HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes,
                                          LONG lInitialCount, LONG lMaximumCount,
                                          LPCSTR lpName) {
    (void)lpSemaphoreAttributes;  // no security model, no inheritance
    sim::ExitIfTerminated();
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return sim::CreateNamedObject(lpName, sim::ObjectKind::Semaphore, [&] {
        return std::make_shared<sim::SemaphoreObject>(lInitialCount, lMaximumCount);
    });
}

// As CreateSemaphoreA, with a UTF-16 name.
extern "C" HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes,
                                          LONG lInitialCount, LONG lMaximumCount,
                                          LPCWSTR lpName) {
    const std::string name = sim::Utf8FromWide(lpName);
    return CreateSemaphoreA(lpSemaphoreAttributes, lInitialCount, lMaximumCount,
                            lpName == nullptr ? nullptr : name.c_str());
}

// Returns TRUE once the count has grown by lReleaseCount, the count before
// in *lpPreviousCount; FALSE with 298 when that would pass the maximum
// (the count unchanged), 87 for a count below 1, 6 for a bad handle.
extern "C" BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount,
                                        LPLONG lpPreviousCount) {
    sim::ExitIfTerminated();
    auto semaphore =
        sim::LookupHandleOf<sim::SemaphoreObject>(hSemaphore, sim::ObjectKind::Semaphore);
    if (!semaphore) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lReleaseCount <= 0) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    {
        sim::StateHold lock(sim::StateLock());
        sim::ExitIfTerminatedLocked(lock);
        if (lReleaseCount > semaphore->Maximum - semaphore->Count) {
            sim::SetLastErrorCode(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        if (lpPreviousCount != nullptr) *lpPreviousCount = semaphore->Count;
        semaphore->Count += lReleaseCount;
        sim::SignalQueueLocked(semaphore->Waiters);
    }
    return TRUE;
}
