// The request queue: a ring of the callers' execute SRB addresses, guarded
// by one re-entrant platform mutex, and the one worker thread that takes
// them in submission order and runs them.
#ifndef PTASPI_EXECUTION_REQUEST_QUEUE_H
#define PTASPI_EXECUTION_REQUEST_QUEUE_H

#include "platform/platform.h"

constexpr int RequestSlotCount = 256;  // at most 255 pending
constexpr unsigned WorkerStackSize = 16384;
constexpr DWORD WorkerStopTimeoutMs = 1000;

// Results of the queue's operations besides 0 and platform codes.
constexpr DWORD QueueNotStarted = 1;
constexpr DWORD WorkerAlreadyRecorded = 1;
constexpr DWORD QueueFull = 62;
constexpr DWORD QueueEmpty = 232;

struct RequestQueueState {
    void* Slots[RequestSlotCount];
    LONG Head;
    LONG Tail;
    // A duplicate of the handle that _beginthread returned: the worker's
    // _endthread closes the original, and this one must stay valid until
    // StopRequestQueue's wait has returned.
    HANDLE WorkerThread;
    HANDLE Mutex;
    HANDLE WorkEvent;
    volatile LONG StopFlag;
    volatile LONG Initialized;
};

extern RequestQueueState RequestQueue;

// Returns the flag's value. Initialized is read without the lock, and the
// worker reads StopFlag while it spins before Initialized is set.
inline LONG ReadQueueFlag(const volatile LONG& flag) {
    return __atomic_load_n(&flag, __ATOMIC_ACQUIRE);
}
// Returns nothing: stores the flag so that a reader on another thread sees
// everything stored before it.
inline void WriteQueueFlag(volatile LONG& flag, LONG value) {
    __atomic_store_n(&flag, value, __ATOMIC_RELEASE);
}

// Returns 0, or the reason the queue could not start (never 0 then): a
// platform error code, the runtime's errno value, or WorkerAlreadyRecorded
// when the queue is already running.
DWORD StartRequestQueue();
// Returns nothing: stops the worker (terminating it after 1000 ms). SRBs
// still queued are never run nor posted.
void StopRequestQueue();
// Returns 0 when queued, QueueFull or QueueNotStarted otherwise.
DWORD SubmitSrb(void** srb);
// Returns 0 when the ring was searched (found or not), else non-zero, and
// then never while owning the lock.
DWORD AbortSrb(void** srb);

// Returns QueueNotStarted, 0 when the lock is held (an abandoned lock
// counts as held), or the failed wait's result.
DWORD LockQueue();
// Returns nothing: releases one hold of the lock.
void UnlockQueue();
// Returns QueueNotStarted, 0 once the worker owns the lock with the event
// signalled (abandonment counts as owning), or the failed wait's result.
DWORD WaitForWork();
// Returns 0 stored, QueueFull, or QueueNotStarted. The lock must be held.
DWORD PushSrb(void** srb);
// Returns 0 taken (into *srb), QueueEmpty, or QueueNotStarted. The lock
// must be held.
DWORD PopSrb(void** srb);
// Returns nothing: completes *srb as aborted and posts it. The lock must
// be held.
void MarkSrbAborted(void** srb);
// Returns nothing: the worker thread's body; ends through _endthread.
void __cdecl WorkerMain(void* argument);

// Returns the SRB's status after submission: SS_PENDING (or the final
// status when the worker was quicker) when queued. A refused SRB (queue
// full or not running) is completed at once on the calling thread with
// SS_ERR, SRB_HaStat and SRB_TargStat 0, and posted. This is what the
// dispatcher returns for SC_EXEC_SCSI_CMD.
BYTE SubmitExecuteRequest(void* srb);

#endif
