// The invariants are checked from first principles, apart from the code
// that keeps them, so that a fault in that code cannot hide itself.
#include "sim/kernel/dispatcher_check.h"

#include "sim/kernel/handles.h"
#include "sim/kernel/kernel_objects.h"
#include "sim/kernel/threads.h"

#include <map>
#include <memory>
#include <sstream>

namespace sim {
namespace {

// Returns whether `thread` could take `object` at once.
bool CouldTake(const KernelObject& object, const ThreadRecord& thread) {
    switch (object.Kind) {
        case ObjectKind::Event:
            return static_cast<const EventObject&>(object).Signalled;
        case ObjectKind::Mutex: {
            const auto& mutex = static_cast<const MutexObject&>(object);
            return mutex.Recursion == 0 || mutex.OwnerKey == thread.Key;
        }
        case ObjectKind::Semaphore:
            return static_cast<const SemaphoreObject&>(object).Count > 0;
        case ObjectKind::Thread:
            return static_cast<const ThreadObject&>(object).Record->Ended;
        default:
            return false;
    }
}

// Returns whether the wait `thread` is in could be completed now.
bool WaitCompletable(const ThreadRecord& thread) {
    DWORD signalled = 0;
    for (DWORD i = 0; i < thread.WaitCount; ++i) {
        const KernelObject* object = thread.WaitBlocks[i].Object;
        if (object != nullptr && CouldTake(*object, thread)) ++signalled;
    }
    return thread.WaitAll ? signalled == thread.WaitCount : signalled != 0;
}

// Returns the problems of one thread, given every mutex's owner seen so far.
void CheckThread(const ThreadRecord& thread, std::map<const MutexObject*, unsigned long>* owners,
                 std::ostringstream& out) {
    if (thread.Ended && !thread.OwnedMutexes.empty()) {
        out << "ended thread " << thread.Key << " owns " << thread.OwnedMutexes.size()
            << " mutexes; ";
    }
    for (const auto& mutex : thread.OwnedMutexes) {
        if (mutex->OwnerKey != thread.Key || mutex->Recursion == 0) {
            out << "thread " << thread.Key << " lists a mutex owned by " << mutex->OwnerKey
                << " (recursion " << mutex->Recursion << "); ";
        }
        if (!owners->emplace(mutex.get(), thread.Key).second) {
            out << "a mutex in the lists of threads " << (*owners)[mutex.get()] << " and "
                << thread.Key << "; ";
        }
    }
    if (thread.WaitBlocks == nullptr || thread.ConditionWait) return;
    if (thread.Ended || (thread.Terminated.load() && thread.SynchronousIo == 0)) {
        out << "thread " << thread.Key << " waits after its end or termination; ";
    }
    if (thread.WakeWord.load() == ThreadRecord::Readied) {
        out << "thread " << thread.Key << " is readied with its blocks queued; ";
    }
    for (DWORD i = 0; i < thread.WaitCount; ++i) {
        const WaitBlock& block = thread.WaitBlocks[i];
        if (block.Thread != &thread) {
            out << "a block of thread " << thread.Key << " names another; ";
        }
    }
    if (WaitCompletable(thread)) {
        out << "thread " << thread.Key << " still waits for a "
            << (thread.WaitAll ? "wait-all" : "wait-any") << " its objects complete; ";
    }
}

// Returns the problems of one object's queue.
void CheckQueue(const KernelObject& object, const WaitQueue& queue, std::ostringstream& out) {
    const WaitBlock* previous = nullptr;
    for (const WaitBlock* block = queue.First; block != nullptr; block = block->Next) {
        if (block->Previous != previous || block->Queue != &queue || block->Object != &object) {
            out << "a queue badly linked; ";
            return;
        }
        const ThreadRecord& thread = *block->Thread;
        if (thread.WaitBlocks == nullptr || block < thread.WaitBlocks ||
            block >= thread.WaitBlocks + thread.WaitCount) {
            out << "thread " << thread.Key << " queued outside its wait; ";
        }
        previous = block;
    }
    if (queue.Last != previous) out << "a queue whose last block is not its end; ";
}

}  // namespace

std::string DispatcherViolation(const std::vector<HANDLE>& handles) {
    // Both looked up before the dispatcher lock, whose holders never wait
    // for the locks of the handle table or the thread list.
    std::vector<std::shared_ptr<KernelObject>> objects;
    for (HANDLE handle : handles) {
        if (auto object = LookupHandle(handle)) objects.push_back(std::move(object));
    }
    const std::vector<std::shared_ptr<ThreadRecord>> threads = MachineThreadRecords();
    std::ostringstream out;
    StateGuard guard(StateLock());
    std::map<const MutexObject*, unsigned long> owners;
    for (const auto& thread : threads) CheckThread(*thread, &owners, out);
    for (const auto& object : objects) {
        if (object->Kind == ObjectKind::Mutex) {
            const auto& mutex = static_cast<const MutexObject&>(*object);
            if ((mutex.OwnerKey == 0) != (mutex.Recursion == 0)) {
                out << "a mutex with owner " << mutex.OwnerKey << " and recursion "
                    << mutex.Recursion << "; ";
            }
            auto owner = owners.find(&mutex);
            if (mutex.OwnerKey != 0 && (owner == owners.end() || owner->second != mutex.OwnerKey)) {
                out << "a mutex owned by " << mutex.OwnerKey << " outside its owner's list; ";
            }
            if (mutex.OwnerKey == 0 && owner != owners.end()) {
                out << "a free mutex in the list of thread " << owner->second << "; ";
            }
        }
        if (object->Kind == ObjectKind::Semaphore) {
            const auto& semaphore = static_cast<const SemaphoreObject&>(*object);
            if (semaphore.Count < 0 || semaphore.Count > semaphore.Maximum) {
                out << "a semaphore count " << semaphore.Count << " of " << semaphore.Maximum
                    << "; ";
            }
        }
        if (const WaitQueue* queue = QueueOf(*object)) CheckQueue(*object, *queue, out);
    }
    return out.str();
}

}  // namespace sim
