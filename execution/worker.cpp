#include "execution/execute_srb.h"
#include "execution/request_queue.h"

namespace {

// Returns nothing: closes the event and the mutex and forgets them.
void CloseQueueObjects() {
    if (RequestQueue.WorkEvent != nullptr) {
        CloseHandle(RequestQueue.WorkEvent);
    }
    RequestQueue.WorkEvent = nullptr;
    if (RequestQueue.Mutex != nullptr) {
        CloseHandle(RequestQueue.Mutex);
    }
    RequestQueue.Mutex = nullptr;
}

// Returns a non-zero code for a failure whose reported code may read 0.
DWORD NonZero(DWORD code, DWORD fallback) { return code != 0 ? code : fallback; }

// Returns nothing: gets rid of a worker that was started but cannot be
// recorded. It has run none of the queue's work (Initialized is 0) and
// cannot have ended yet (it ends only on StopFlag), so `started` is still
// valid here.
void DismissWorker(HANDLE started) {
    const BOOL terminated = TerminateThread(started, 0);
    if (terminated) {
        WaitForSingleObject(started, WorkerStopTimeoutMs);
        // A terminated thread never reaches _endthread, which would have
        // closed this handle.
        CloseHandle(started);
    }
    // A worker that could not be terminated must end by itself (its
    // _endthread then closes `started`), and one whose termination has not
    // taken hold yet must not spin on: both leave their loop on StopFlag.
    WriteQueueFlag(RequestQueue.StopFlag, 1);
    SetEvent(RequestQueue.WorkEvent);
}

// Returns 0 with the worker running and recorded in WorkerThread, or the
// reason it is not.
DWORD StartWorker() {
    if (RequestQueue.WorkerThread != nullptr) {
        return WorkerAlreadyRecorded;
    }
    const uintptr_t result = _beginthread(WorkerMain, WorkerStackSize, nullptr);
    if (result == static_cast<uintptr_t>(-1)) {
        RequestQueue.WorkerThread = nullptr;
        return NonZero(static_cast<DWORD>(errno), EAGAIN);
    }
    const HANDLE started = reinterpret_cast<HANDLE>(result);
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), started, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        const DWORD error = NonZero(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
        DismissWorker(started);
        return error;
    }
    RequestQueue.WorkerThread = duplicate;
    return 0;
}

}  // namespace

DWORD StartRequestQueue() {
    // A running queue keeps its ring, lock and worker untouched.
    if (ReadQueueFlag(RequestQueue.Initialized) != 0 || RequestQueue.WorkerThread != nullptr) {
        return WorkerAlreadyRecorded;
    }
    // Objects left by a failed or abandoned earlier start are not reused.
    CloseQueueObjects();

    RequestQueue.WorkEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Read at once: a later successful call may clear it.
    DWORD creationError = RequestQueue.WorkEvent == nullptr ? GetLastError() : 0;
    RequestQueue.Mutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (RequestQueue.Mutex == nullptr && creationError == 0) {
        creationError = GetLastError();
    }
    if (RequestQueue.WorkEvent == nullptr || RequestQueue.Mutex == nullptr) {
        CloseQueueObjects();
        return NonZero(creationError, ERROR_NOT_ENOUGH_MEMORY);
    }

    RequestQueue.Head = 0;
    RequestQueue.Tail = 0;
    WriteQueueFlag(RequestQueue.StopFlag, 0);

    const DWORD started = StartWorker();
    if (started != 0) {
        CloseQueueObjects();
        return started;
    }
    WriteQueueFlag(RequestQueue.Initialized, 1);
    return 0;
}

void StopRequestQueue() {
    if (ReadQueueFlag(RequestQueue.Initialized) == 0) {
        return;
    }
    if (RequestQueue.WorkerThread != nullptr) {
        LockQueue();
        WriteQueueFlag(RequestQueue.StopFlag, 1);
        SetEvent(RequestQueue.WorkEvent);
        UnlockQueue();

        // A worker held up in a command (or kept from ending by the loader)
        // is not waited for longer; what it was running is never posted.
        if (WaitForSingleObject(RequestQueue.WorkerThread, WorkerStopTimeoutMs) == WAIT_TIMEOUT) {
            TerminateThread(RequestQueue.WorkerThread, 0);
        }
        CloseHandle(RequestQueue.WorkerThread);
        WriteQueueFlag(RequestQueue.StopFlag, 0);
        RequestQueue.WorkerThread = nullptr;
    }
    WriteQueueFlag(RequestQueue.Initialized, 0);
    // The worker has ended or been terminated and nothing else takes the
    // lock of a stopped queue, so the objects can go: left open, every
    // load and unload of the library would leave two handles behind.
    CloseQueueObjects();
}

void __cdecl WorkerMain(void* argument) {
    (void)argument;
    void* srb = nullptr;
    for (;;) {
        // The worker may run before StartRequestQueue has marked the queue
        // as started; the wait then returns at once without the lock, and
        // nothing may be taken from the ring until a wait has taken it.
        if (WaitForWork() != 0) {
            if (ReadQueueFlag(RequestQueue.StopFlag) != 0) {
                break;  // a start that failed after the thread was created
            }
            Sleep(0);
            continue;
        }
        // StopFlag is read with the lock held, which WaitForWork took.
        if (ReadQueueFlag(RequestQueue.StopFlag) != 0) {
            UnlockQueue();
            break;
        }
        const DWORD taken = PopSrb(&srb);
        UnlockQueue();
        if (taken == 0) {
            // Without the lock: submissions and aborts go on meanwhile.
            ExecuteSrb(&srb);
        }
    }
    _endthread();
}
