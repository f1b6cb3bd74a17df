// The loader lock, kept in the kernel's state so that a thread waiting for
// it can be terminated like any other waiter.
#include "sim/kernel/loader_lock.h"

#include "sim/kernel/kernel_objects.h"
#include "sim/kernel/pause_points.h"
#include "sim/kernel/threads.h"

#include <deque>
#include <memory>

namespace sim {
namespace {

// Guarded by StateLock(). The lock is handed to its first waiter when it
// is released, as NT's critical sections up to Windows XP do (a leaving
// owner wakes one waiter, which then owns the section; only later systems
// let another thread take it first). So a thread that DllMain started
// runs its attach before the thread that loaded the library can take the
// lock again, for instance to unload it.
struct LoaderLockState {
    std::shared_ptr<ThreadRecord> Owner;  // null: free
    unsigned long Depth = 0;
    std::deque<std::shared_ptr<ThreadRecord>> Waiters;  // in arrival order
    WaitQueue Waiting;  // the same threads, woken to look for a hand-off
};

LoaderLockState& Lock() {
    static LoaderLockState* state = new LoaderLockState;
    return *state;
}

// Returns nothing; gives the free lock to the first waiter that has not
// been terminated (a terminated waiter stopped in its wait for good), or
// leaves it free. StateLock() is held.
void HandOffLocked(LoaderLockState& state) {
    state.Owner = nullptr;
    while (!state.Waiters.empty() && !state.Owner) {
        std::shared_ptr<ThreadRecord> next = std::move(state.Waiters.front());
        state.Waiters.pop_front();
        if (!next->Terminated.load()) state.Owner = std::move(next);
    }
    if (state.Owner) SignalQueueLocked(state.Waiting);
}

}  // namespace

void EnterLoaderLock() {
    std::shared_ptr<ThreadRecord> self = CurrentThreadRecordShared();
    PauseIfAsked(PausePoint::LoaderLockBeforeLock);
    StateHold lock(StateLock());
    // A terminated thread never takes the lock, free or not: one that
    // took it would hold it for good.
    ExitIfTerminatedLocked(lock);
    LoaderLockState& state = Lock();
    if (!state.Owner) state.Owner = self;
    if (state.Owner != self) {
        state.Waiters.push_back(self);
        WaitUntil(lock, &state.Waiting, [&] { return state.Owner == self; }, INFINITE);
    }
    ++state.Depth;
}

void LeaveLoaderLock() {
    ExitIfTerminated();
    std::shared_ptr<ThreadRecord> self = CurrentThreadRecordShared();
    StateHold lock(StateLock());
    ExitIfTerminatedLocked(lock);
    LoaderLockState& state = Lock();
    if (state.Owner != self || state.Depth == 0) return;
    if (--state.Depth == 0) HandOffLocked(state);
}

bool LoaderLockOrphaned() {
    StateGuard guard(StateLock());
    const LoaderLockState& state = Lock();
    return state.Owner && state.Owner->Terminated.load();
}

void ResetOrphanedLoaderLock() {
    StateGuard guard(StateLock());
    LoaderLockState& state = Lock();
    if (!state.Owner || !state.Owner->Terminated.load()) return;
    state.Depth = 0;
    HandOffLocked(state);
}

}  // namespace sim
