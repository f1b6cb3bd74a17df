// The simulated kernel's waitable objects (events, mutexes, semaphores,
// threads) and the per-thread record that ties mutex ownership, waits and
// termination to a thread. Every field below is read and written only with
// sim::StateLock() held, except the atomics, which a thread also reads
// without it.
#ifndef PTASPI_SIM_KERNEL_OBJECTS_H
#define PTASPI_SIM_KERNEL_OBJECTS_H

#include "sim/kernel/dispatcher.h"
#include "sim/kernel/handles.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace sim {

struct MutexObject;

// One thread of the simulated machine: any thread that has called into the
// simulator, and every thread that _beginthread started.
struct ThreadRecord : std::enable_shared_from_this<ThreadRecord> {
    explicit ThreadRecord(unsigned long key) : Key(key) {}
    const unsigned long Key;
    bool StartedByRuntime = false;  // started by _beginthread: counted as live
    HANDLE StartHandle = nullptr;   // the handle _beginthread returned
    bool Ended = false;             // the thread object is signalled
    std::atomic<bool> Terminated{false};
    // Set once a terminated thread can no longer run any code of a module:
    // it is parked inside the simulator or has left its start routine.
    std::atomic<bool> Stopped{false};
    // The host's id of the thread (its Linux tid), 0 until it runs; process
    // exit signals it there to stop it wherever it is.
    std::atomic<int> HostThread{0};
    DWORD ExitCode = 0;
    // Synchronous device controls the thread is inside. A thread terminated
    // inside one ends only when that request ends, as on NT, where the port
    // driver does not cancel a pass-through: until then it waits on for the
    // request, its object stays unsignalled and its mutexes stay owned.
    unsigned SynchronousIo = 0;
    // Mutexes this thread owns; abandoned when it ends or is terminated.
    std::vector<std::shared_ptr<MutexObject>> OwnedMutexes;
    // Threads waiting for this one to end.
    WaitQueue Waiters;
    // The wait the thread is in: its blocks (none linked: no wait), whether
    // it needs every object, and the result a waker made for it.
    WaitBlock* WaitBlocks = nullptr;
    DWORD WaitCount = 0;
    bool WaitAll = false;
    bool ConditionWait = false;
    DWORD WaitStatus = WAIT_TIMEOUT;
    // The futex word the thread sleeps on: Watching or Sleeping while it
    // waits, Readied once its wait has ended.
    std::atomic<uint32_t> WakeWord{0};
    static constexpr uint32_t Watching = 0;
    static constexpr uint32_t Readied = 1;
    static constexpr uint32_t Sleeping = 2;
};

struct EventObject : KernelObject {
    EventObject(bool manualReset, bool signalled)
        : KernelObject(ObjectKind::Event), ManualReset(manualReset), Signalled(signalled) {}
    const bool ManualReset;
    bool Signalled;
    WaitQueue Waiters;
};

struct MutexObject : KernelObject {
    MutexObject() : KernelObject(ObjectKind::Mutex) {}
    unsigned long OwnerKey = 0;   // 0: not owned
    unsigned long Recursion = 0;  // acquisitions not yet released by the owner
    bool Abandoned = false;       // the next acquisition reports WAIT_ABANDONED
    WaitQueue Waiters;
};

struct SemaphoreObject : KernelObject {
    SemaphoreObject(LONG count, LONG maximum)
        : KernelObject(ObjectKind::Semaphore), Count(count), Maximum(maximum) {}
    LONG Count;  // signalled while above 0; a satisfied wait takes one
    const LONG Maximum;
    WaitQueue Waiters;
};

struct ThreadObject : KernelObject {
    explicit ThreadObject(std::shared_ptr<ThreadRecord> record)
        : KernelObject(ObjectKind::Thread), Record(std::move(record)) {}
    const std::shared_ptr<ThreadRecord> Record;
};

// Returns the handle of a new object built by `make` (called with
// StateLock() held), or of the existing object called `name` (null: an
// unnamed object), which must be of the same kind (else NULL with 6). The
// last error says 183 for an opened named object, 0 for a created one.
HANDLE CreateNamedObject(const char* name, ObjectKind kind,
                         const std::function<std::shared_ptr<KernelObject>()>& make);

// Returns the calling thread's record, created on first use; it stays valid
// for the life of the thread.
ThreadRecord& CurrentThreadRecord();
// Returns the calling thread's record as a shared pointer.
std::shared_ptr<ThreadRecord> CurrentThreadRecordShared();

// Returns whether the mutex had been abandoned by a previous owner (the
// recursion count then restarts at 1). With StateLock() held: makes
// `mutex` owned once more by `owner`.
bool AcquireMutexLocked(MutexObject& mutex, ThreadRecord& owner);
// Returns false when the calling thread does not own `mutex`; otherwise
// gives up one acquisition, and after the last satisfies the waits the
// free mutex completes. With StateLock() held.
bool ReleaseMutexLocked(MutexObject& mutex);
// Returns nothing. With StateLock() held: ends the thread's part in the
// machine (its mutexes abandoned, its object signalled, its waiters
// released); does nothing for a thread that has ended already.
void EndThreadLocked(ThreadRecord& thread);

}  // namespace sim

#endif
