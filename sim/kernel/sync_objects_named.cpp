// The rest of the synchronization objects' creators and openers: the
// UTF-16 forms, the Ex forms with their flags, OpenEvent, OpenMutex and
// OpenSemaphore in both forms, PulseEvent, the alertable waits and
// SignalObjectAndWait. Events, mutexes and semaphores share one namespace
// of names, as the object manager's.
#include "sim/kernel/code_pages.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/kernel_objects.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/win32_families.h"

#include <windows.h>

#include <string>

namespace sim {

// sync.cpp: returns the named object of that name, or null.
std::shared_ptr<KernelObject> FindNamedObject(const char* name);

namespace {

const DWORD CreateEventManualReset = 0x1;
const DWORD CreateEventInitialSet = 0x2;
const DWORD CreateMutexInitialOwner = 0x1;

// The UTF-8 form of a wide name, kept with whether there was one.
struct NarrowName {
    explicit NarrowName(LPCWSTR name) : Present(name != nullptr), Text(Utf8FromWide(name)) {}
    const char* Get() const { return Present ? Text.c_str() : nullptr; }
    bool Present;
    std::string Text;
};

// Returns a new handle to the named object of `kind`; NULL with 2 when no
// object has the name, with 6 when it is another kind of object, 87 for no
// name (OpenEvent, OpenMutex, OpenSemaphore).
HANDLE OpenNamed(const char* name, ObjectKind kind) {
    ExitIfTerminated();
    if (name == nullptr) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<KernelObject> object = FindNamedObject(name);
    if (!object) {
        SetLastErrorCode(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (object->Kind != kind) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return InsertHandle(std::move(object));
}

}  // namespace
}  // namespace sim

// Returns what CreateEventA returns, with a UTF-16 name.
extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCWSTR lpName) {
    const sim::NarrowName name(lpName);
    return CreateEventA(lpEventAttributes, bManualReset, bInitialState, name.Get());
}

// Returns what CreateEventA returns, its kind and state from the flags;
// NULL with 87 for an unknown flag.
extern "C" HANDLE WINAPI CreateEventExA(LPSECURITY_ATTRIBUTES lpEventAttributes, LPCSTR lpName,
                                        DWORD dwFlags, DWORD dwDesiredAccess) {
    (void)dwDesiredAccess;  // every handle here has full access
    if ((dwFlags & ~(sim::CreateEventManualReset | sim::CreateEventInitialSet)) != 0) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateEventA(lpEventAttributes, (dwFlags & sim::CreateEventManualReset) != 0,
                        (dwFlags & sim::CreateEventInitialSet) != 0, lpName);
}

// As CreateEventExA, with a UTF-16 name.
extern "C" HANDLE WINAPI CreateEventExW(LPSECURITY_ATTRIBUTES lpEventAttributes, LPCWSTR lpName,
                                        DWORD dwFlags, DWORD dwDesiredAccess) {
    const sim::NarrowName name(lpName);
    return CreateEventExA(lpEventAttributes, name.Get(), dwFlags, dwDesiredAccess);
}

// Returns a new handle to the existing event of that name.
extern "C" HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    return sim::OpenNamed(lpName, sim::ObjectKind::Event);
}

// As OpenEventA, with a UTF-16 name.
extern "C" HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
    const sim::NarrowName name(lpName);
    return OpenEventA(dwDesiredAccess, bInheritHandle, name.Get());
}

// Returns TRUE once the event has released the waits it can satisfy now (all
// of them for a manual-reset event, one for an auto-reset one) and is
// reset, as if set and reset at one moment.
extern "C" BOOL WINAPI PulseEvent(HANDLE hEvent) {
    sim::ExitIfTerminated();
    auto event = sim::LookupHandleOf<sim::EventObject>(hEvent, sim::ObjectKind::Event);
    if (!event) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    sim::StateHold hold(sim::StateLock());
    sim::ExitIfTerminatedLocked(hold);
    event->Signalled = true;
    sim::SignalQueueLocked(event->Waiters);
    event->Signalled = false;
    return TRUE;
}

// Returns what CreateMutexA returns, with a UTF-16 name.
extern "C" HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                      LPCWSTR lpName) {
    const sim::NarrowName name(lpName);
    return CreateMutexA(lpMutexAttributes, bInitialOwner, name.Get());
}

// Returns what CreateMutexA returns, owned at once with
// CREATE_MUTEX_INITIAL_OWNER; NULL with 87 for an unknown flag.
extern "C" HANDLE WINAPI CreateMutexExA(LPSECURITY_ATTRIBUTES lpMutexAttributes, LPCSTR lpName,
                                        DWORD dwFlags, DWORD dwDesiredAccess) {
    (void)dwDesiredAccess;
    if ((dwFlags & ~sim::CreateMutexInitialOwner) != 0) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateMutexA(lpMutexAttributes, (dwFlags & sim::CreateMutexInitialOwner) != 0, lpName);
}

// As CreateMutexExA, with a UTF-16 name.
extern "C" HANDLE WINAPI CreateMutexExW(LPSECURITY_ATTRIBUTES lpMutexAttributes, LPCWSTR lpName,
                                        DWORD dwFlags, DWORD dwDesiredAccess) {
    const sim::NarrowName name(lpName);
    return CreateMutexExA(lpMutexAttributes, name.Get(), dwFlags, dwDesiredAccess);
}

// Returns a new handle to the existing mutex of that name.
extern "C" HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    return sim::OpenNamed(lpName, sim::ObjectKind::Mutex);
}

// As OpenMutexA, with a UTF-16 name.
extern "C" HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
    const sim::NarrowName name(lpName);
    return OpenMutexA(dwDesiredAccess, bInheritHandle, name.Get());
}

// Returns what CreateSemaphoreA returns; NULL with 87 for any flag (they
// are reserved).
extern "C" HANDLE WINAPI CreateSemaphoreExA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes,
                                            LONG lInitialCount, LONG lMaximumCount, LPCSTR lpName,
                                            DWORD dwFlags, DWORD dwDesiredAccess) {
    (void)dwDesiredAccess;
    if (dwFlags != 0) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateSemaphoreA(lpSemaphoreAttributes, lInitialCount, lMaximumCount, lpName);
}

// As CreateSemaphoreExA, with a UTF-16 name.
extern "C" HANDLE WINAPI CreateSemaphoreExW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes,
                                            LONG lInitialCount, LONG lMaximumCount,
                                            LPCWSTR lpName, DWORD dwFlags,
                                            DWORD dwDesiredAccess) {
    const sim::NarrowName name(lpName);
    return CreateSemaphoreExA(lpSemaphoreAttributes, lInitialCount, lMaximumCount, name.Get(),
                              dwFlags, dwDesiredAccess);
}

// Returns a new handle to the existing semaphore of that name.
extern "C" HANDLE WINAPI OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle,
                                        LPCSTR lpName) {
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    return sim::OpenNamed(lpName, sim::ObjectKind::Semaphore);
}

// As OpenSemaphoreA, with a UTF-16 name.
extern "C" HANDLE WINAPI OpenSemaphoreW(DWORD dwDesiredAccess, BOOL bInheritHandle,
                                        LPCWSTR lpName) {
    const sim::NarrowName name(lpName);
    return OpenSemaphoreA(dwDesiredAccess, bInheritHandle, name.Get());
}

// Returns what WaitForSingleObject returns: no asynchronous procedure call
// is ever queued to a thread here, so an alertable wait never ends with
// WAIT_IO_COMPLETION.
extern "C" DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds,
                                              BOOL bAlertable) {
    (void)bAlertable;
    return WaitForSingleObject(hHandle, dwMilliseconds);
}

// As WaitForSingleObjectEx, for several objects.
extern "C" DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles,
                                                 BOOL bWaitAll, DWORD dwMilliseconds,
                                                 BOOL bAlertable) {
    (void)bAlertable;
    return WaitForMultipleObjects(nCount, lpHandles, bWaitAll, dwMilliseconds);
}

// Returns what the wait on hObjectToWaitOn returns once hObjectToSignal (an
// event, a mutex or a semaphore) is signalled; WAIT_FAILED with 6 for any
// other object, which is not signalled.
extern "C" DWORD WINAPI SignalObjectAndWait(HANDLE hObjectToSignal, HANDLE hObjectToWaitOn,
                                            DWORD dwMilliseconds, BOOL bAlertable) {
    (void)bAlertable;
    std::shared_ptr<sim::KernelObject> object = sim::LookupHandle(hObjectToSignal);
    BOOL signalled = FALSE;
    if (object && object->Kind == sim::ObjectKind::Event) {
        signalled = SetEvent(hObjectToSignal);
    } else if (object && object->Kind == sim::ObjectKind::Mutex) {
        signalled = ReleaseMutex(hObjectToSignal);
    } else if (object && object->Kind == sim::ObjectKind::Semaphore) {
        signalled = ReleaseSemaphore(hObjectToSignal, 1, nullptr);
    } else {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
    }
    return signalled ? WaitForSingleObject(hObjectToWaitOn, dwMilliseconds) : WAIT_FAILED;
}
