// The loader lock, kept in the kernel's state so that a thread waiting for
// it can be terminated like any other waiter.
#include "sim/kernel/loader_lock.h"

#include "sim/kernel/kernel_objects.h"
#include "sim/kernel/threads.h"

#include <memory>

namespace sim {
namespace {

// Guarded by StateLock().
struct LoaderLockState {
    std::shared_ptr<ThreadRecord> Owner;  // null: free
    unsigned long Depth = 0;
};

LoaderLockState& Lock() {
    static LoaderLockState* state = new LoaderLockState;
    return *state;
}

}  // namespace

void EnterLoaderLock() {
    std::shared_ptr<ThreadRecord> self = CurrentThreadRecordShared();
    std::unique_lock<std::mutex> lock(StateLock());
    LoaderLockState& state = Lock();
    WaitUntil(lock, [&] { return !state.Owner || state.Owner == self; }, INFINITE);
    state.Owner = self;
    ++state.Depth;
}

void LeaveLoaderLock() {
    ExitIfTerminated();
    std::shared_ptr<ThreadRecord> self = CurrentThreadRecordShared();
    std::lock_guard<std::mutex> guard(StateLock());
    LoaderLockState& state = Lock();
    if (state.Owner != self || state.Depth == 0) return;
    if (--state.Depth == 0) {
        state.Owner = nullptr;
        StateChanged().notify_all();
    }
}

bool LoaderLockOrphaned() {
    std::lock_guard<std::mutex> guard(StateLock());
    const LoaderLockState& state = Lock();
    return state.Owner && state.Owner->Terminated.load();
}

void ResetOrphanedLoaderLock() {
    std::lock_guard<std::mutex> guard(StateLock());
    LoaderLockState& state = Lock();
    if (!state.Owner || !state.Owner->Terminated.load()) return;
    state.Owner = nullptr;
    state.Depth = 0;
    StateChanged().notify_all();
}

}  // namespace sim
