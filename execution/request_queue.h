// The request queue: a ring of the callers' execute SRB addresses, guarded
// by one re-entrant platform mutex, and the one worker thread that takes
// them in submission order and runs them.
#ifndef PTASPI_EXECUTION_REQUEST_QUEUE_H
#define PTASPI_EXECUTION_REQUEST_QUEUE_H

#include "platform/platform.h"

constexpr int RequestSlotCount = 256;  // at most 255 pending
constexpr unsigned WorkerStackSize = 16384;
constexpr DWORD WorkerStopTimeoutMs = 1000;
// How long a stop waits for a worker that has not run yet, and gives a
// termination to take hold.
constexpr DWORD WorkerExitGraceMs = 20;

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
    // The handle that _beginthread returned, which the worker's _endthread
    // closes; it is closed here only for a worker terminated before it ran.
    HANDLE WorkerStartHandle;
    HANDLE Mutex;
    HANDLE WorkEvent;
    // An unnamed manual-reset event that the worker sets as it ends, from
    // a SetEvent that returns into _endthread: while the loader runs
    // DllMain, NT signals no thread's end, so a stop at unload cannot
    // learn of it from WorkerThread alone.
    HANDLE WorkerLeft;
    volatile LONG StopFlag;
    volatile LONG Initialized;
    // Set by the worker as it first runs (WorkerRunning), and as it goes to
    // its _endthread (WorkerEnding). A worker started during the loader's
    // DllMain runs only once the loader is done, so an unload that follows
    // a load at once finds it not yet run.
    volatile LONG WorkerRan;
    // Who may settle the request that the worker is running: the worker
    // (CompletionIdle, then CompletionPosting while it posts), or nobody
    // once a stop has given up on the worker (CompletionRefused).
    volatile LONG Completion;
    // What the worker holds for the request it runs: the unit's device
    // handle and a request buffer, recorded once taken and cleared before
    // they are given back, so that a stop that had to terminate the worker
    // can give back what it was holding.
    HANDLE HeldDevice;
    void* HeldBuffer;
};

constexpr LONG WorkerRunning = 1;
constexpr LONG WorkerEnding = 2;

constexpr LONG CompletionIdle = 0;
constexpr LONG CompletionPosting = 1;
constexpr LONG CompletionRefused = 2;

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
// Returns nothing: stops the worker, waiting at most 1000 ms (20 ms for
// one that has not run yet) for it to leave its loop or end, then
// terminating it, with 20 ms more for that to take hold. A worker that
// said it left runs no more of this library's code, and is not waited for. SRBs still queued
// are never run nor posted; nor is one that a worker which could not be
// terminated is still running: that worker stays told to stop and ends by
// itself. A worker terminated inside a command keeps the device handle and
// request buffer that the command uses.
void StopRequestQueue();
// Returns 0 when queued; otherwise QueueFull, QueueNotStarted, the failed
// wait for the lock, or the failed wake-up of the worker (not queued).
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
// Returns 0 stored, QueueFull, QueueNotStarted, or the error of the
// SetEvent that would have woken the worker (nothing stored). The lock
// must be held.
DWORD PushSrb(void** srb);
// Returns 0 taken (into *srb), QueueEmpty, or QueueNotStarted. The lock
// must be held.
DWORD PopSrb(void** srb);
// Returns nothing: completes *srb as aborted and posts it. The lock must
// be held.
void MarkSrbAborted(void** srb);
// Returns nothing: the worker thread's body; ends through _endthread.
void __cdecl WorkerMain(void* argument);
// Never returns: sets `workerLeft` and ends the calling thread through the
// runtime's _endthread, with SetEvent returning straight into _endthread.
// Once the event is set, an unload may unmap this library; a plain call
// would come back into it to make the next one.
[[noreturn]] void SignalAndEndWorker(HANDLE workerLeft);
// Returns true when the calling worker may store the final status of the
// request it ran and post it; ReleaseCompletion must follow once it has.
// Returns false once a stop has given up on the worker: the request then
// stays unfinished. Outside a running queue (the request run directly)
// it always returns true.
bool ClaimCompletion();
// Returns nothing: ends what ClaimCompletion began.
void ReleaseCompletion();

// Returns the status that the dispatcher returns for SC_EXEC_SCSI_CMD,
// without reading the block once it is queued or posted (the worker may
// have finished it, and its post routine freed it, by then): SS_PENDING
// when queued. A refused SRB (queue full or not running) is completed at
// once on the calling thread with SS_ERR, SRB_HaStat and SRB_TargStat 0,
// and posted; SS_ERR is returned then.
BYTE SubmitExecuteRequest(void* srb);

#endif
