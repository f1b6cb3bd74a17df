#include "execution/request_queue.h"

#include "interface/srb.h"

namespace {

// Returns the slot after `slot`, wrapping from the last to the first.
LONG NextSlot(LONG slot) { return slot + 1 == RequestSlotCount ? 0 : slot + 1; }
// Returns the slot before `slot`, wrapping from the first to the last.
LONG PreviousSlot(LONG slot) { return slot == 0 ? RequestSlotCount - 1 : slot - 1; }

// Returns the slot that holds the address, or Tail when no pending slot
// does. The lock must be held.
LONG FindPendingSlot(const void* srb) {
    LONG slot = RequestQueue.Head;
    while (slot != RequestQueue.Tail && RequestQueue.Slots[slot] != srb) {
        slot = NextSlot(slot);
    }
    return slot;
}

// Returns nothing: takes the pending slot out of the ring; every later SRB
// moves one slot towards Head and keeps its order. The lock must be held.
void RemovePendingSlot(LONG slot) {
    LONG next = NextSlot(slot);
    while (next != RequestQueue.Tail) {
        RequestQueue.Slots[slot] = RequestQueue.Slots[next];
        slot = next;
        next = NextSlot(next);
    }
    RequestQueue.Tail = PreviousSlot(RequestQueue.Tail);
}

}  // namespace

DWORD SubmitSrb(void** srb) {
    // Without the lock a push races the worker's pop: the slot or the
    // worker's wake-up can be lost, and with it the request's completion.
    const DWORD locked = LockQueue();
    if (locked != 0) {
        return locked;
    }
    const DWORD result = PushSrb(srb);
    UnlockQueue();
    return result;
}

void MarkSrbAborted(void** srb) {
    SRB_ExecSCSICmd* block = static_cast<SRB_ExecSCSICmd*>(*srb);
    block->SRB_HaStat = HASTAT_OK;
    block->SRB_TargStat = 0;
    PostCompletion(block, SS_ABORTED);
}

DWORD AbortSrb(void** srb) {
    const DWORD locked = LockQueue();
    if (locked != 0) {
        return locked;
    }
    if (RequestQueue.Head == RequestQueue.Tail) {
        UnlockQueue();
        return 0;
    }
    const LONG slot = FindPendingSlot(*srb);
    if (slot == RequestQueue.Tail) {
        UnlockQueue();
        return 0;
    }
    // Out of the ring before it is posted: the post routine runs here with
    // the lock held and may submit or abort on this same thread, and must
    // find a ring that no longer holds this SRB, so that it can neither be
    // aborted twice nor leave a stale slot behind.
    RemovePendingSlot(slot);
    MarkSrbAborted(srb);
    UnlockQueue();
    return 0;
}

bool ClaimCompletion() {
    LONG idle = CompletionIdle;
    return __atomic_compare_exchange_n(&RequestQueue.Completion, &idle, CompletionPosting, false,
                                       __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

void ReleaseCompletion() {
    // Only the claim's holder leaves CompletionPosting.
    WriteQueueFlag(RequestQueue.Completion, CompletionIdle);
}

BYTE SubmitExecuteRequest(void* srb) {
    SRB_ExecSCSICmd* block = static_cast<SRB_ExecSCSICmd*>(srb);
    // Pending before it is queued, so that the worker can never overwrite a
    // final status with it.
    __atomic_store_n(&block->SRB_Status, static_cast<BYTE>(SS_PENDING), __ATOMIC_RELAXED);
    void* address = srb;
    if (SubmitSrb(&address) == 0) {
        return SS_PENDING;
    }
    // Nothing would ever complete a refused SRB: complete it now, on this
    // thread, so that a caller waiting for it is told.
    block->SRB_HaStat = HASTAT_OK;
    block->SRB_TargStat = 0;
    PostCompletion(block, SS_ERR);
    return SS_ERR;
}
