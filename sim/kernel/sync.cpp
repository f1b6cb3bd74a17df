// Events, mutexes and the waits on them (and on threads), with Win32's
// rules: recursive mutexes owned by a thread, abandonment, auto-reset
// events that a satisfied wait resets, and wait-all waits that take every
// object at one moment when all are signalled.
#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/kernel_objects.h"
#include "sim/kernel/pause_points.h"
#include "sim/kernel/threads.h"

#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {
namespace {

const DWORD ErrorAlreadyExists = 183;

// Named events and mutexes; names compare with case, as the object
// manager's do. Guarded by StateLock().
// Returns the table of named objects.
std::map<std::string, std::weak_ptr<KernelObject>>& NamedObjects() {
    static auto* objects = new std::map<std::string, std::weak_ptr<KernelObject>>;
    return *objects;
}

}  // namespace

// For a named object the last error tells the caller whether it was
// opened (183, as documented for CreateEvent and CreateMutex) or created
// (0: undocumented, but Windows clears it, and the common test for 183
// after creating a named object depends on that). An unnamed creation
// leaves the last error alone.
HANDLE CreateNamedObject(const char* name, ObjectKind kind,
                         const std::function<std::shared_ptr<KernelObject>()>& make) {
    std::shared_ptr<KernelObject> object;
    bool existed = false;
    {
        StateHold lock(StateLock());
        // A terminated thread makes nothing: a mutex made owned by it after
        // its end would never be abandoned.
        ExitIfTerminatedLocked(lock);
        if (name != nullptr) {
            auto entry = NamedObjects().find(name);
            if (entry != NamedObjects().end()) object = entry->second.lock();
            existed = object != nullptr;
        }
        if (!object) {
            object = make();
            if (name != nullptr) NamedObjects()[name] = object;
        }
    }
    if (object->Kind != kind) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HANDLE handle = InsertHandle(std::move(object));
    if (name != nullptr) SetLastErrorCode(existed ? ErrorAlreadyExists : ERROR_SUCCESS);
    return handle;
}

std::shared_ptr<KernelObject> FindNamedObject(const char* name) {
    StateGuard guard(StateLock());
    auto entry = NamedObjects().find(name);
    return entry == NamedObjects().end() ? nullptr : entry->second.lock();
}

namespace {

// The process pseudo-handle is waitable on Windows and signalled only when
// the process has ended, which the waiter never sees.
// Returns true for that pseudo-handle.
bool IsProcessPseudoHandle(HANDLE handle) { return handle == reinterpret_cast<HANDLE>(-1); }

// Returns the object behind a handle that can be waited on here: an event,
// a mutex, a semaphore, a thread, or the process (returned as null with
// *process true). Device and standard handles are not waitable in this
// simulator, nor are registry keys on NT (a wait on one fails with 6).
// Returns false for an invalid handle.
bool ResolveWaitable(HANDLE handle, std::shared_ptr<KernelObject>* object, bool* process) {
    *process = IsProcessPseudoHandle(handle);
    if (*process) return true;
    *object = LookupHandle(handle);
    return *object && (*object)->Kind != ObjectKind::File && (*object)->Kind != ObjectKind::Key &&
           (*object)->Kind != ObjectKind::Stream && (*object)->Kind != ObjectKind::Token;
}

// Returns FALSE after setting the last error.
BOOL FailWith(DWORD error) {
    SetLastErrorCode(error);
    return FALSE;
}

// Returns WAIT_FAILED after setting the last error.
DWORD WaitFailed(DWORD error) {
    SetLastErrorCode(error);
    return WAIT_FAILED;
}

// Returns TRUE after setting the event behind `handle` to `signalled`; a
// set event releases the waits it completes at once.
BOOL ChangeEvent(HANDLE handle, Call call, bool signalled) {
    ExitIfTerminated();
    DWORD error = 0;
    if (TakeFault(call, nullptr, &error)) return FailWith(error);
    auto event = LookupHandleOf<EventObject>(handle, ObjectKind::Event);
    if (!event) return FailWith(ERROR_INVALID_HANDLE);
    {
        StateHold lock(StateLock());
        ExitIfTerminatedLocked(lock);
        event->Signalled = signalled;
        if (signalled) SignalQueueLocked(event->Waiters);
    }
    HoldIfAsked(call);
    return TRUE;
}

}  // namespace

bool AcquireMutexLocked(MutexObject& mutex, ThreadRecord& owner) {
    if (mutex.Recursion != 0 && mutex.OwnerKey == owner.Key) {
        ++mutex.Recursion;
        return false;
    }
    const bool abandoned = mutex.Abandoned;
    mutex.Abandoned = false;
    mutex.OwnerKey = owner.Key;
    mutex.Recursion = 1;
    owner.OwnedMutexes.push_back(std::static_pointer_cast<MutexObject>(mutex.shared_from_this()));
    return abandoned;
}

bool ReleaseMutexLocked(MutexObject& mutex) {
    ThreadRecord& self = CurrentThreadRecord();
    if (mutex.Recursion == 0 || mutex.OwnerKey != self.Key) return false;
    if (--mutex.Recursion != 0) return true;
    mutex.OwnerKey = 0;
    auto& owned = self.OwnedMutexes;
    owned.erase(std::remove_if(owned.begin(), owned.end(),
                               [&](const std::shared_ptr<MutexObject>& m) { return m.get() == &mutex; }),
                owned.end());
    SignalQueueLocked(mutex.Waiters);
    return true;
}

}  // namespace sim

// Returns the new (or opened named) event's handle, or NULL.
extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCSTR lpName) {
    (void)lpEventAttributes;  // no security model, no inheritance
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::CreateEventA, nullptr, &error)) {
        sim::SetLastErrorCode(error);
        return nullptr;
    }
    const bool manualReset = bManualReset != FALSE;
    const bool signalled = bInitialState != FALSE;
    return sim::CreateNamedObject(lpName, sim::ObjectKind::Event, [&] {
        return std::make_shared<sim::EventObject>(manualReset, signalled);
    });
}

// Returns the new (or opened named) mutex's handle, or NULL.
extern "C" HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                      LPCSTR lpName) {
    (void)lpMutexAttributes;
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::CreateMutexA, nullptr, &error)) {
        sim::SetLastErrorCode(error);
        return nullptr;
    }
    // Opening an existing named mutex never takes it, whatever bInitialOwner.
    return sim::CreateNamedObject(lpName, sim::ObjectKind::Mutex, [&] {
        auto mutex = std::make_shared<sim::MutexObject>();
        if (bInitialOwner) sim::AcquireMutexLocked(*mutex, sim::CurrentThreadRecord());
        return std::shared_ptr<sim::KernelObject>(mutex);
    });
}

// Returns WAIT_OBJECT_0 or WAIT_ABANDONED once the object is taken,
// WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::WaitForSingleObject, nullptr, &error)) {
        return sim::WaitFailed(error);
    }
    std::shared_ptr<sim::KernelObject> object;
    bool process = false;
    if (!sim::ResolveWaitable(hHandle, &object, &process)) {
        return sim::WaitFailed(ERROR_INVALID_HANDLE);
    }
    sim::KernelObject* const waited = object.get();
    return sim::WaitForObjects(&waited, 1, false, dwMilliseconds);
}

// Returns WAIT_OBJECT_0 + i or WAIT_ABANDONED_0 + i (wait-any: the lowest
// signalled index; wait-all: 0, or the lowest abandoned mutex's index),
// WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles,
                                               BOOL bWaitAll, DWORD dwMilliseconds) {
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::WaitForMultipleObjects, nullptr, &error)) {
        return sim::WaitFailed(error);
    }
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS) {
        return sim::WaitFailed(ERROR_INVALID_PARAMETER);
    }
    if (lpHandles == nullptr) return sim::WaitFailed(ERROR_NOACCESS);
    // Held for the wait, so that closing a handle meanwhile leaves the
    // object alive, as on NT.
    std::shared_ptr<sim::KernelObject> objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < nCount; ++i) {
        bool process = false;
        if (!sim::ResolveWaitable(lpHandles[i], &objects[i], &process)) {
            return sim::WaitFailed(ERROR_INVALID_HANDLE);
        }
    }
    if (bWaitAll) {
        // Windows refuses a wait-all that names one object twice.
        for (DWORD i = 0; i < nCount; ++i) {
            for (DWORD j = i + 1; j < nCount; ++j) {
                if (objects[i] == objects[j]) return sim::WaitFailed(ERROR_INVALID_PARAMETER);
            }
        }
    }
    sim::KernelObject* waited[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < nCount; ++i) waited[i] = objects[i].get();
    return sim::WaitForObjects(waited, nCount, bWaitAll != FALSE, dwMilliseconds);
}

// Returns TRUE when the calling thread owned the mutex and gave up one
// acquisition of it; FALSE with 288 for any other thread.
extern "C" BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::ReleaseMutex, nullptr, &error)) return sim::FailWith(error);
    auto mutex = sim::LookupHandleOf<sim::MutexObject>(hMutex, sim::ObjectKind::Mutex);
    if (!mutex) return sim::FailWith(ERROR_INVALID_HANDLE);
    bool released = false;
    sim::PauseIfAsked(sim::PausePoint::ReleaseMutexBeforeLock);
    {
        sim::StateHold lock(sim::StateLock());
        // Terminated since the check above: the mutex is abandoned already,
        // and the thread gets no answer.
        sim::ExitIfTerminatedLocked(lock);
        released = sim::ReleaseMutexLocked(*mutex);
    }
    if (!released) return sim::FailWith(ERROR_NOT_OWNER);
    return TRUE;
}

// Returns TRUE once the event is signalled.
extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
    return sim::ChangeEvent(hEvent, sim::Call::SetEvent, true);
}

// Returns TRUE once the event is not signalled.
extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
    return sim::ChangeEvent(hEvent, sim::Call::ResetEvent, false);
}
