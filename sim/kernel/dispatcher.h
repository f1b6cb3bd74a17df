// The simulated kernel's dispatcher: the lock that guards every waitable
// object's state, the per-object lists of waiting threads, and the one
// sleep that every blocking call of the machine ends in.
//
// A thread that must wait links one wait block per object into that
// object's queue and sleeps on a futex word of its own. A change to an
// object (an event set, a mutex freed or abandoned, a semaphore released,
// a thread ended) walks only that object's queue, in the order the
// threads began to wait, and satisfies on each waiter's behalf the waits
// that the object now completes: it takes the mutex, resets the
// auto-reset event or counts the semaphore down for that thread, records
// the wait's result and wakes that thread alone. A woken thread finds its
// result made and returns without touching the lock. So an auto-reset
// event set once releases exactly one waiter, a manual-reset event all of
// them, and a wait-all takes all its objects at once or none.
//
// Condition waits (a critical section, the loader lock, a busy unit, a
// scripted unit's delay) use the same blocks and sleep: whoever changes
// the state wakes the threads of that one queue, and each looks again.
#ifndef PTASPI_SIM_DISPATCHER_H
#define PTASPI_SIM_DISPATCHER_H

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

struct KernelObject;
struct ThreadRecord;
struct WaitBlock;

// The threads waiting on one object or condition, oldest first.
struct WaitQueue {
    WaitBlock* First = nullptr;
    WaitBlock* Last = nullptr;
};

// One thread's wait on one object (or, with a null object, on a condition);
// it lives in the waiting thread's frame for as long as the wait lasts.
struct WaitBlock {
    ThreadRecord* Thread = nullptr;
    KernelObject* Object = nullptr;  // null: a condition wait, or the process
    WaitQueue* Queue = nullptr;      // null once unlinked
    WaitBlock* Previous = nullptr;
    WaitBlock* Next = nullptr;
};

// The one lock of the dispatcher. It stays global, as NT's dispatcher
// database lock does in the releases this machine simulates (NT 4 to XP):
// a wait-all must see, and take, several objects at one moment, and a
// signal must satisfy a waiter's every object under one hold. It is held
// only while state changes and blocks are linked, never while a thread
// sleeps, and a change wakes only the threads it releases, so a thread
// meets it only when it changes state itself. Threads readied while the
// lock is held are woken just after it is released, so that a woken
// thread never runs into the lock its waker still holds.
class DispatcherLock {
public:
    DispatcherLock() { readied_.reserve(64); }
    void lock() { mutex_.lock(); }
    // Returns nothing: releases the lock, then wakes the threads readied.
    void unlock();
    // Returns nothing. With the lock held: the wait of `thread` has ended
    // (its result, if any, is in its record); it is woken on release.
    void Ready(ThreadRecord& thread);

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<ThreadRecord>> readied_;
};

// Returns the dispatcher lock, created once and never destroyed.
DispatcherLock& StateLock();
using StateGuard = std::lock_guard<DispatcherLock>;
using StateHold = std::unique_lock<DispatcherLock>;

// Returns the result of a wait on `count` objects (null: the process,
// never signalled): WAIT_OBJECT_0 + i or WAIT_ABANDONED_0 + i (wait-any:
// the lowest index that completes it; wait-all: 0, or the lowest
// abandoned mutex's index) once taken, or WAIT_TIMEOUT after `timeoutMs`
// (INFINITE: no limit). Never returns to a thread terminated meanwhile.
DWORD WaitForObjects(KernelObject* const* objects, DWORD count, bool waitAll, DWORD timeoutMs);

// Returns nothing. With the lock held: the objects of `queue` may have
// become signalled; satisfies, oldest first, every wait they now complete,
// and wakes every condition waiter of the queue to look again.
void SignalQueueLocked(WaitQueue& queue);

// Returns the queue of threads waiting on `object` (a thread's is its
// record's), or null for an object that cannot be waited on.
WaitQueue* QueueOf(KernelObject& object);

// Waits, with `lock` held, until `ready` returns true or `timeoutMs`
// passes (INFINITE: no limit), woken to look again whenever `queue` is
// signalled (null: only time or termination ends the wait). Returns true
// when ready. A thread terminated meanwhile never returns, unless it is
// inside a synchronous device control, which waits on to its end.
bool WaitUntil(StateHold& lock, WaitQueue* queue, const std::function<bool()>& ready,
               DWORD timeoutMs);

// Returns nothing. With the lock held: ends the wait `thread` is in,
// unsatisfied, and wakes it; for a terminated thread, which then stops.
void CancelWaitLocked(ThreadRecord& thread);

// Returns the number of threads inside a wait that did not complete when
// it began: threads blocked in a wait, a Sleep or a hung unit, for tests
// that must act only once another thread waits.
size_t BlockedThreadCount();

// Returns the previous setting: how many microseconds a waiter may watch
// its futex word before it sleeps, while another of the machine's threads
// is running and the waiter may run on more than one processor (0, the
// default: it always sleeps at once). For benchmarks that weigh the two.
unsigned SetWaitSpin(unsigned microseconds);

// Returns nothing: the calling thread counts as running (it has joined
// the machine) or no longer (it has ended or stopped for good), for the
// choice between watching and sleeping.
void CountRunningThread(int change);

}  // namespace sim

#endif
