#include "execution/request_queue.h"

RequestQueueState RequestQueue;

namespace {

// Returns the slot after `slot`, wrapping from the last to the first.
LONG NextSlot(LONG slot) { return slot + 1 == RequestSlotCount ? 0 : slot + 1; }

// Returns true from a successful start until the stop.
bool IsRunning() { return ReadQueueFlag(RequestQueue.Initialized) != 0; }

}  // namespace

DWORD LockQueue() {
    if (!IsRunning()) {
        return QueueNotStarted;
    }
    if (RequestQueue.Mutex == nullptr) {
        return 0;
    }
    const DWORD result = WaitForSingleObject(RequestQueue.Mutex, INFINITE);
    // An owner that died holding the lock hands it over all the same; the
    // ring is only changed in short steps that leave it consistent.
    if (result == WAIT_ABANDONED) {
        return 0;
    }
    return result;
}

void UnlockQueue() {
    if (!IsRunning()) {
        return;
    }
    if (RequestQueue.Mutex != nullptr) {
        ReleaseMutex(RequestQueue.Mutex);
    }
}

DWORD WaitForWork() {
    if (!IsRunning()) {
        return QueueNotStarted;
    }
    if (RequestQueue.Mutex == nullptr || RequestQueue.WorkEvent == nullptr) {
        return 0;
    }
    const HANDLE objects[2] = {RequestQueue.Mutex, RequestQueue.WorkEvent};
    const DWORD result = WaitForMultipleObjects(2, objects, TRUE, INFINITE);
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + 2) {
        return 0;
    }
    return result;
}

DWORD PushSrb(void** srb) {
    if (!IsRunning()) {
        return QueueNotStarted;
    }
    const LONG next = NextSlot(RequestQueue.Tail);
    if (next == RequestQueue.Head) {
        return QueueFull;
    }
    // Stored only once the worker is sure to wake for it: a request that
    // sits in the ring while the worker sleeps is never completed. The
    // event is set already whenever the ring holds another SRB.
    if (!SetEvent(RequestQueue.WorkEvent)) {
        const DWORD error = GetLastError();
        return error != 0 ? error : QueueFull;
    }
    RequestQueue.Slots[RequestQueue.Tail] = *srb;
    RequestQueue.Tail = next;
    return 0;
}

DWORD PopSrb(void** srb) {
    if (!IsRunning()) {
        return QueueNotStarted;
    }
    if (RequestQueue.Head == RequestQueue.Tail) {
        // Reset only here, under the lock, so that a push between this pop
        // and the worker's next wait sets it again and is not missed.
        ResetEvent(RequestQueue.WorkEvent);
        return QueueEmpty;
    }
    *srb = RequestQueue.Slots[RequestQueue.Head];
    RequestQueue.Head = NextSlot(RequestQueue.Head);
    return 0;
}
