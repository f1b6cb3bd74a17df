// The dispatcher: per-object wait queues, waits satisfied by the thread
// that signals, and each thread's own futex to sleep on.
#include "sim/kernel/dispatcher.h"

#include "sim/kernel/kernel_objects.h"
#include "sim/kernel/thread_checker.h"
#include "sim/kernel/threads.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// The futex call takes the C library's timespec as it is on this target.
static_assert(sizeof(time_t) == sizeof(long), "SYS_futex takes the native timespec");

// Returns nothing: wakes the thread sleeping on `word`, if any.
void FutexWake(std::atomic<uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

// Returns nothing: sleeps while `word` holds `expected`, until woken or
// `deadline` (steady clock, which is CLOCK_MONOTONIC here) passes. It may
// return early for no reason; the caller looks again.
void FutexSleep(std::atomic<uint32_t>& word, uint32_t expected, Clock::time_point deadline) {
    timespec until{};
    const bool bounded = deadline != Clock::time_point::max();
    if (bounded) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            deadline.time_since_epoch())
                            .count();
        until.tv_sec = static_cast<time_t>(ns / 1000000000);
        until.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_BITSET_PRIVATE, expected,
            bounded ? &until : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
}

std::atomic<size_t> blockedThreads{0};

// Counts the calling thread as blocked for as long as it lives.
struct BlockedMark {
    BlockedMark() { blockedThreads.fetch_add(1); }
    ~BlockedMark() { blockedThreads.fetch_sub(1); }
    BlockedMark(const BlockedMark&) = delete;
    BlockedMark& operator=(const BlockedMark&) = delete;
};

// The machine's threads that are running: joined and neither asleep in a
// wait nor ended. A waiter watches its word only while another counts here.
std::atomic<int> runningThreads{0};

// How long a waiter may watch its word before it sleeps: by default not
// at all, as NT's waiters, which get no processor time until they are
// readied. A watch can save the futex wake of an idle processor (tens of
// microseconds on a virtual machine) when the releasing thread runs on
// another processor, and benchmarks weigh it (SetWaitSpin). It has to
// yield the processor at each look, or it keeps a releasing thread that
// the host put on the same processor from running for the whole watch;
// and yielding is what makes it ruinous on a loaded machine, where each
// yield may hand a whole time slice to another process: measured beside a
// CPU-bound load, a hand-off took 4-5 ms with a 200 µs watch and 18-30 µs
// without. Sleeping at once is as fast pinned and costs little on a quiet
// machine of two processors.
std::atomic<unsigned> spinBeforeSleepingUs{0};

// Returns true when the calling thread may run on more than one processor.
bool SeveralProcessors() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
    return CPU_COUNT(&allowed) > 1;
}

// Returns true: the thread has seen its word readied, and what its waker
// did before is visible to it.
bool Released(std::atomic<uint32_t>& word) {
    PTASPI_NOTE_RELEASED(&word);
    return true;
}

// Returns true when the thread was readied: watches its word while that
// pays, then sleeps on it until it is readied or `deadline` passes.
bool SleepUntilReadied(ThreadRecord& self, Clock::time_point deadline) {
    std::atomic<uint32_t>& word = self.WakeWord;
    const unsigned spinUs = spinBeforeSleepingUs.load(std::memory_order_relaxed);
    if (spinUs != 0 && runningThreads.load(std::memory_order_relaxed) > 1 &&
        SeveralProcessors()) {
        const auto watchEnd = std::min(deadline, Clock::now() + std::chrono::microseconds(spinUs));
        // Only while another thread runs: once all others sleep or wait
        // in the host, nothing will release this one soon.
        do {
            if (word.load(std::memory_order_acquire) == ThreadRecord::Readied) return Released(word);
            sched_yield();
        } while (Clock::now() < watchEnd && runningThreads.load(std::memory_order_relaxed) > 1);
    }
    uint32_t watching = ThreadRecord::Watching;
    if (!word.compare_exchange_strong(watching, ThreadRecord::Sleeping,
                                      std::memory_order_acq_rel)) {
        return Released(word);  // readied meanwhile
    }
    // Asleep, the thread no longer counts as running; its waker counts it
    // again as it readies it, so that the waker's own next wait sees a
    // thread that will answer it.
    runningThreads.fetch_sub(1, std::memory_order_relaxed);
    for (;;) {
        if (word.load(std::memory_order_acquire) == ThreadRecord::Readied) return Released(word);
        if (Clock::now() >= deadline) {
            uint32_t sleeping = ThreadRecord::Sleeping;
            if (!word.compare_exchange_strong(sleeping, ThreadRecord::Watching,
                                              std::memory_order_acq_rel)) {
                return Released(word);  // readied just now, and counted by its waker
            }
            runningThreads.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        FutexSleep(word, ThreadRecord::Sleeping, deadline);
    }
}

// Returns nothing: appends `block` to `queue`.
void Link(WaitQueue& queue, WaitBlock& block) {
    block.Queue = &queue;
    block.Previous = queue.Last;
    block.Next = nullptr;
    if (queue.Last != nullptr) {
        queue.Last->Next = &block;
    } else {
        queue.First = &block;
    }
    queue.Last = &block;
}

// Returns nothing: takes `block` out of its queue, if it is in one.
void Unlink(WaitBlock& block) {
    WaitQueue* queue = block.Queue;
    if (queue == nullptr) return;
    (block.Previous != nullptr ? block.Previous->Next : queue->First) = block.Next;
    (block.Next != nullptr ? block.Next->Previous : queue->Last) = block.Previous;
    block.Queue = nullptr;
    block.Previous = block.Next = nullptr;
}

// Returns nothing: the thread begins a wait on `count` blocks, linked by
// the caller.
void BeginWaitLocked(ThreadRecord& thread, WaitBlock* blocks, DWORD count, bool waitAll,
                     bool condition) {
    thread.WaitBlocks = blocks;
    thread.WaitCount = count;
    thread.WaitAll = waitAll;
    thread.ConditionWait = condition;
    thread.WaitStatus = WAIT_TIMEOUT;
    PTASPI_NOTE_UNLOCKED_WORD(&thread.WakeWord);
    thread.WakeWord.store(ThreadRecord::Watching, std::memory_order_relaxed);
}

// Returns nothing: the thread's wait is over; its blocks leave every queue.
void EndWaitLocked(ThreadRecord& thread) {
    for (DWORD i = 0; i < thread.WaitCount; ++i) Unlink(thread.WaitBlocks[i]);
    thread.WaitBlocks = nullptr;
    thread.WaitCount = 0;
}

// Returns whether `thread` could take the object now (null: the process,
// which the waiter never sees end).
bool IsSignalled(const KernelObject* object, const ThreadRecord& thread) {
    if (object == nullptr) return false;
    switch (object->Kind) {
        case ObjectKind::Event:
            return static_cast<const EventObject*>(object)->Signalled;
        case ObjectKind::Mutex: {
            const auto* mutex = static_cast<const MutexObject*>(object);
            return mutex->Recursion == 0 || mutex->OwnerKey == thread.Key;
        }
        case ObjectKind::Thread:
            return static_cast<const ThreadObject*>(object)->Record->Ended;
        case ObjectKind::Semaphore:
            return static_cast<const SemaphoreObject*>(object)->Count > 0;
        case ObjectKind::File:
        case ObjectKind::Key:
        case ObjectKind::Stream:
        case ObjectKind::Token:
            break;
    }
    return false;
}

// Returns whether the object taken was an abandoned mutex: applies the
// side effect of a satisfied wait for `thread`.
bool Satisfy(KernelObject* object, ThreadRecord& thread) {
    if (object == nullptr) return false;
    switch (object->Kind) {
        case ObjectKind::Event: {
            auto* event = static_cast<EventObject*>(object);
            if (!event->ManualReset) event->Signalled = false;
            return false;
        }
        case ObjectKind::Mutex:
            return AcquireMutexLocked(*static_cast<MutexObject*>(object), thread);
        case ObjectKind::Semaphore:
            --static_cast<SemaphoreObject*>(object)->Count;
            return false;
        default:
            return false;
    }
}

// Returns true with the wait's result in *status when `thread` can take
// what it waits for now, having taken it: for wait-any the first object
// signalled, for wait-all every object at this one moment.
bool TrySatisfyLocked(ThreadRecord& thread, KernelObject* const* objects, DWORD count,
                      bool waitAll, DWORD* status) {
    if (!waitAll) {
        for (DWORD i = 0; i < count; ++i) {
            if (!IsSignalled(objects[i], thread)) continue;
            *status = (Satisfy(objects[i], thread) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
            return true;
        }
        return false;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (!IsSignalled(objects[i], thread)) return false;
    }
    *status = WAIT_OBJECT_0;
    for (DWORD i = 0; i < count; ++i) {
        if (Satisfy(objects[i], thread) && *status == WAIT_OBJECT_0) *status = WAIT_ABANDONED_0 + i;
    }
    return true;
}

// Returns true when `thread`'s wait was completed and the thread readied:
// a condition waiter always is; a waiter on objects when they complete it.
bool TryReleaseLocked(ThreadRecord& thread) {
    if (!thread.ConditionWait) {
        KernelObject* objects[MAXIMUM_WAIT_OBJECTS];
        for (DWORD i = 0; i < thread.WaitCount; ++i) objects[i] = thread.WaitBlocks[i].Object;
        DWORD status = WAIT_TIMEOUT;
        if (!TrySatisfyLocked(thread, objects, thread.WaitCount, thread.WaitAll, &status)) {
            return false;
        }
        thread.WaitStatus = status;
    }
    EndWaitLocked(thread);
    StateLock().Ready(thread);
    return true;
}

// Returns true when the calling thread, having been terminated, must stop
// instead of waiting: termination does not end a synchronous device
// control, whose thread waits on to the request's end.
bool MustStop(const ThreadRecord& self) {
    return self.Terminated.load() && self.SynchronousIo == 0;
}

// Returns the moment `timeoutMs` from `start` (INFINITE: never).
Clock::time_point DeadlineAfter(Clock::time_point start, DWORD timeoutMs) {
    return timeoutMs == INFINITE ? Clock::time_point::max()
                                 : start + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

void DispatcherLock::unlock() {
    if (readied_.empty()) {
        mutex_.unlock();
        return;
    }
    // The usual hand-off readies one thread; a few are carried out of the
    // lock, and any more (a manual-reset event's crowd) are woken inside.
    const size_t carried = 4;
    std::shared_ptr<ThreadRecord> woken[carried];
    size_t count = 0;
    for (auto& thread : readied_) {
        if (count < carried) {
            woken[count++] = std::move(thread);
        } else {
            FutexWake(thread->WakeWord);
        }
    }
    readied_.clear();
    mutex_.unlock();
    for (size_t i = 0; i < count; ++i) FutexWake(woken[i]->WakeWord);
}

void DispatcherLock::Ready(ThreadRecord& thread) {
    // A thread still watching its word sees the change and needs no wake.
    PTASPI_NOTE_RELEASING(&thread.WakeWord);
    if (thread.WakeWord.exchange(ThreadRecord::Readied, std::memory_order_acq_rel) ==
        ThreadRecord::Sleeping) {
        runningThreads.fetch_add(1, std::memory_order_relaxed);
        readied_.push_back(thread.shared_from_this());
    }
}

DispatcherLock& StateLock() {
    static DispatcherLock* lock = new DispatcherLock;  // outlives every thread
    return *lock;
}

WaitQueue* QueueOf(KernelObject& object) {
    switch (object.Kind) {
        case ObjectKind::Event:
            return &static_cast<EventObject&>(object).Waiters;
        case ObjectKind::Mutex:
            return &static_cast<MutexObject&>(object).Waiters;
        case ObjectKind::Semaphore:
            return &static_cast<SemaphoreObject&>(object).Waiters;
        case ObjectKind::Thread:
            return &static_cast<ThreadObject&>(object).Record->Waiters;
        case ObjectKind::File:
        case ObjectKind::Key:
        case ObjectKind::Stream:
        case ObjectKind::Token:
            break;
    }
    return nullptr;
}

void SignalQueueLocked(WaitQueue& queue) {
    // Each release unlinks at least the released thread's blocks, which
    // may include the next one here, so the walk starts again from the
    // oldest waiter after each; those it passes stay unsatisfied.
    WaitBlock* block = queue.First;
    while (block != nullptr) {
        if (TryReleaseLocked(*block->Thread)) {
            block = queue.First;
        } else {
            block = block->Next;
        }
    }
}

DWORD WaitForObjects(KernelObject* const* objects, DWORD count, bool waitAll, DWORD timeoutMs) {
    ThreadRecord& self = CurrentThreadRecord();
    const auto deadline = DeadlineAfter(Clock::now(), timeoutMs);
    WaitBlock blocks[MAXIMUM_WAIT_OBJECTS];
    {
        StateHold lock(StateLock());
        DWORD status = WAIT_TIMEOUT;
        if (TrySatisfyLocked(self, objects, count, waitAll, &status)) return status;
        if (timeoutMs == 0) return WAIT_TIMEOUT;
        for (DWORD i = 0; i < count; ++i) {
            blocks[i].Thread = &self;
            blocks[i].Object = objects[i];
            WaitQueue* queue = objects[i] != nullptr ? QueueOf(*objects[i]) : nullptr;
            if (queue != nullptr) Link(*queue, blocks[i]);
        }
        BeginWaitLocked(self, blocks, count, waitAll, false);
    }
    const BlockedMark blocked;
    if (!SleepUntilReadied(self, deadline)) {
        StateGuard guard(StateLock());
        // Satisfied just as the time ran out: the wait's result stands.
        if (self.WakeWord.load(std::memory_order_relaxed) != ThreadRecord::Readied) {
            EndWaitLocked(self);
            return WAIT_TIMEOUT;
        }
    }
    ExitIfTerminated();  // a wait cancelled by termination ends the thread
    return self.WaitStatus;
}

bool WaitUntil(StateHold& lock, WaitQueue* queue, const std::function<bool()>& ready,
               DWORD timeoutMs) {
    ThreadRecord& self = CurrentThreadRecord();
    const auto deadline = DeadlineAfter(Clock::now(), timeoutMs);
    if (!MustStop(self) && ready()) return true;
    // A terminated thread parks inside the loop and is counted for good:
    // it never leaves this wait.
    const BlockedMark blocked;
    for (;;) {
        if (MustStop(self)) {
            lock.unlock();
            ExitIfTerminated();
        }
        if (ready()) return true;
        if (timeoutMs == 0 || Clock::now() >= deadline) return false;
        WaitBlock block;
        block.Thread = &self;
        if (queue != nullptr) Link(*queue, block);
        BeginWaitLocked(self, &block, 1, false, true);
        lock.unlock();
        SleepUntilReadied(self, deadline);
        lock.lock();
        EndWaitLocked(self);
    }
}

void CancelWaitLocked(ThreadRecord& thread) {
    if (thread.WaitBlocks == nullptr) return;
    EndWaitLocked(thread);
    StateLock().Ready(thread);
}

size_t BlockedThreadCount() { return blockedThreads.load(); }

unsigned SetWaitSpin(unsigned microseconds) {
    return spinBeforeSleepingUs.exchange(microseconds, std::memory_order_relaxed);
}

void CountRunningThread(int change) { runningThreads.fetch_add(change, std::memory_order_relaxed); }

}  // namespace sim
