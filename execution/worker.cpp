#include "execution/execute_srb.h"
#include "execution/request_queue.h"

namespace {

// Returns nothing: closes the events and the mutex and forgets them.
void CloseQueueObjects() {
    HANDLE* const objects[] = {&RequestQueue.WorkEvent, &RequestQueue.Mutex,
                               &RequestQueue.WorkerLeft};
    for (HANDLE* object : objects) {
        if (*object != nullptr) {
            CloseHandle(*object);
        }
        *object = nullptr;
    }
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

// Returns nothing: gives back what a worker that has stopped (terminated,
// by a stop or by process exit) still held for the request it was
// running. One that ended by itself holds nothing by then.
void ReleaseHeldResources() {
    void* const buffer = __atomic_exchange_n(&RequestQueue.HeldBuffer, nullptr, __ATOMIC_ACQ_REL);
    if (buffer != nullptr) {
        VirtualFree(buffer, 0, MEM_RELEASE);
    }
    const HANDLE device = __atomic_exchange_n(&RequestQueue.HeldDevice, nullptr, __ATOMIC_ACQ_REL);
    if (device != nullptr) {
        CloseHandle(device);
    }
}

// Returns 0 with the worker running and recorded in WorkerThread, or the
// reason it is not.
DWORD StartWorker() {
    if (RequestQueue.WorkerThread != nullptr) {
        return WorkerAlreadyRecorded;
    }
    WriteQueueFlag(RequestQueue.WorkerRan, 0);
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
    RequestQueue.WorkerStartHandle = started;
    return 0;
}

// Returns nothing: gives a termination the short grace it needs to take
// hold, then closes the runtime's handle of the worker, which it stopped
// short of the _endthread that would have closed it. Of a worker that had
// reached its _endthread the handle is left alone: the worker may have
// closed it, and the value named another object since. A worker terminated
// inside a command ends only when the command ends (the port driver does
// not cancel a pass-through), up to its whole time-out later; the unload
// does not wait for that, and leaves it what the command uses.
void ForgetTerminatedWorker() {
    WaitForSingleObject(RequestQueue.WorkerThread, WorkerExitGraceMs);
    if (ReadQueueFlag(RequestQueue.WorkerRan) != WorkerEnding) {
        CloseHandle(RequestQueue.WorkerStartHandle);
    }
    RequestQueue.WorkerStartHandle = nullptr;
}

// Returns true when no worker is recorded any more: none was, or the one
// that a stop gave up on has ended since, and its handle is now closed.
bool ForgetEndedWorker() {
    if (RequestQueue.WorkerThread == nullptr) {
        return true;
    }
    if (WaitForSingleObject(RequestQueue.WorkerThread, 0) != WAIT_OBJECT_0) {
        return false;
    }
    CloseHandle(RequestQueue.WorkerThread);
    RequestQueue.WorkerThread = nullptr;
    RequestQueue.WorkerStartHandle = nullptr;
    return true;
}

// Returns true when the stopped worker has left its loop, ended or been
// terminated; false when it runs on and could not be terminated.
bool AwaitWorker() {
    // Whichever comes first: during an unload NT lets no thread end while
    // DllMain runs, so only WorkerLeft can tell; at process exit NT has
    // terminated the worker before the detach, and only its handle can.
    // A worker that has not run yet leaves as soon as it runs, since it
    // reads StopFlag before it takes anything; but during an unload that
    // follows the load at once, the loader lets it run only after this
    // DllMain, and waiting the full time for it would be in vain.
    const DWORD limit =
        ReadQueueFlag(RequestQueue.WorkerRan) != 0 ? WorkerStopTimeoutMs : WorkerExitGraceMs;
    const HANDLE objects[2] = {RequestQueue.WorkerLeft, RequestQueue.WorkerThread};
    const DWORD waited = WaitForMultipleObjects(2, objects, FALSE, limit);
    // A worker that set WorkerLeft is inside SetEvent or _endthread by
    // then, neither of which returns into this library: the unload may go
    // on at once, whenever the worker runs again.
    // A failed wait says nothing of the worker: like a time-out, it leaves
    // a worker that may run on, so it is terminated too.
    if (waited == WAIT_OBJECT_0 || waited == WAIT_OBJECT_0 + 1) {
        return true;
    }
    if (TerminateThread(RequestQueue.WorkerThread, 0)) {
        ForgetTerminatedWorker();
        return true;
    }
    // Its request must never be finished now. A worker already posting it
    // settled it before this stop gave up, and is left to end.
    LONG idle = CompletionIdle;
    __atomic_compare_exchange_n(&RequestQueue.Completion, &idle, CompletionRefused, false,
                                __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    return false;
}

}  // namespace

DWORD StartRequestQueue() {
    // A running queue keeps its ring, lock and worker untouched; a worker
    // that a stop gave up on must not find a second one beside it.
    if (ReadQueueFlag(RequestQueue.Initialized) != 0 || !ForgetEndedWorker()) {
        return WorkerAlreadyRecorded;
    }
    // Objects left by a failed or abandoned earlier start are not reused.
    CloseQueueObjects();

    // Each is created even when an earlier one failed; the first failure's
    // code is read at once, since a later successful call may clear it.
    RequestQueue.WorkEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD creationError = RequestQueue.WorkEvent == nullptr ? GetLastError() : 0;
    RequestQueue.Mutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (RequestQueue.Mutex == nullptr && creationError == 0) {
        creationError = GetLastError();
    }
    RequestQueue.WorkerLeft = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (RequestQueue.WorkerLeft == nullptr && creationError == 0) {
        creationError = GetLastError();
    }
    if (RequestQueue.WorkEvent == nullptr || RequestQueue.Mutex == nullptr ||
        RequestQueue.WorkerLeft == nullptr) {
        CloseQueueObjects();
        return NonZero(creationError, ERROR_NOT_ENOUGH_MEMORY);
    }

    RequestQueue.Head = 0;
    RequestQueue.Tail = 0;
    WriteQueueFlag(RequestQueue.StopFlag, 0);
    WriteQueueFlag(RequestQueue.Completion, CompletionIdle);

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
    bool workerGone = true;
    if (RequestQueue.WorkerThread != nullptr) {
        LockQueue();
        WriteQueueFlag(RequestQueue.StopFlag, 1);
        SetEvent(RequestQueue.WorkEvent);
        UnlockQueue();

        // A worker held up in a command is not waited for longer; what it
        // was running is never posted.
        workerGone = AwaitWorker();
        // Only once it has stopped for good may what it held be taken
        // from it: a worker terminated inside a command keeps its device
        // handle and request buffer, which the command still uses. At
        // process exit NT has terminated it before this detach, short of
        // the _endthread that would have closed the runtime's handle.
        if (workerGone && WaitForSingleObject(RequestQueue.WorkerThread, 0) == WAIT_OBJECT_0) {
            ReleaseHeldResources();
            if (RequestQueue.WorkerStartHandle != nullptr &&
                ReadQueueFlag(RequestQueue.WorkerRan) != WorkerEnding) {
                CloseHandle(RequestQueue.WorkerStartHandle);
            }
        }
        if (workerGone) {
            CloseHandle(RequestQueue.WorkerThread);
            RequestQueue.WorkerThread = nullptr;
            RequestQueue.WorkerStartHandle = nullptr;
            WriteQueueFlag(RequestQueue.StopFlag, 0);
        }
    }
    WriteQueueFlag(RequestQueue.Initialized, 0);
    // Nothing else takes the lock of a stopped queue, so the objects can go
    // with the worker: left open, every load and unload of the library
    // would leave three handles behind. A worker that runs on keeps them
    // (and StopFlag, and its record) until it has ended, so that it never
    // waits on or sets a handle that names another object by then.
    if (workerGone) {
        CloseQueueObjects();
    }
}

void __cdecl WorkerMain(void* argument) {
    (void)argument;
    WriteQueueFlag(RequestQueue.WorkerRan, WorkerRunning);
    void* srb = nullptr;
    for (;;) {
        // The worker may run before StartRequestQueue has marked the queue
        // as started; the wait then returns at once without the lock, and
        // nothing may be taken from the ring until a wait has taken it.
        const DWORD waited = WaitForWork();
        if (waited != 0) {
            if (ReadQueueFlag(RequestQueue.StopFlag) != 0) {
                // A start that failed after the thread was created, or a
                // stop that gave up on this worker: nobody waits for
                // WorkerLeft, which may be closed already.
                break;
            }
            Sleep(0);
            continue;
        }
        // StopFlag is read with the lock held, which WaitForWork took.
        if (ReadQueueFlag(RequestQueue.StopFlag) != 0) {
            UnlockQueue();
            WriteQueueFlag(RequestQueue.WorkerRan, WorkerEnding);
            // The stop may close every queue object and return (and the
            // loader unmap this code) once WorkerLeft is set, so setting it
            // is the last thing this library does on this thread.
            SignalAndEndWorker(RequestQueue.WorkerLeft);
        }
        const DWORD taken = PopSrb(&srb);
        UnlockQueue();
        if (taken == 0) {
            // Without the lock: submissions and aborts go on meanwhile.
            ExecuteSrb(&srb);
        }
    }
    // From here on the runtime's handle may be closed at any moment.
    WriteQueueFlag(RequestQueue.WorkerRan, WorkerEnding);
    _endthread();
}
