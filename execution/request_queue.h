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
constexpr DWORD QueueFull = 62;
constexpr DWORD QueueEmpty = 232;

struct RequestQueueState {
    void* Slots[RequestSlotCount];
    LONG Head;
    LONG Tail;
    HANDLE WorkerThread;
    HANDLE Mutex;
    HANDLE WorkEvent;
    volatile LONG StopFlag;
    volatile LONG Initialized;
};

extern RequestQueueState RequestQueue;

// Returns 0, or the reason the queue could not start (never 0 then).
DWORD StartRequestQueue();
// Returns nothing: stops the worker (terminating it after 1000 ms).
void StopRequestQueue();
// Returns 0 when queued, QueueFull or QueueNotStarted otherwise.
DWORD SubmitSrb(void** srb);
// Returns 0 when the ring was searched (found or not), else non-zero.
DWORD AbortSrb(void** srb);

DWORD LockQueue();
void UnlockQueue();
DWORD WaitForWork();
DWORD PushSrb(void** srb);
DWORD PopSrb(void** srb);
void MarkSrbAborted(void** srb);
void __cdecl WorkerMain(void* argument);

// Returns the SRB's status after submission: SS_PENDING (or the final
// status when the worker was quicker) when queued; when the queue refuses
// the SRB, the refusal status, stored in the SRB. This is what the
// dispatcher returns for SC_EXEC_SCSI_CMD.
BYTE SubmitExecuteRequest(void* srb);

#endif
