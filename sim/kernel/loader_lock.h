// The process's loader lock. On NT it is a critical section that the
// loader holds while it runs DllMain for any reason: process attach and
// detach in LoadLibrary, FreeLibrary and process exit, and thread attach
// and detach in every thread that starts or ends. It is recursive for its
// holder, and, being a critical section, it is not released when its
// holder is terminated.
#ifndef PTASPI_SIM_LOADER_LOCK_H
#define PTASPI_SIM_LOADER_LOCK_H

namespace sim {

// Returns once the calling thread holds the loader lock (once more, if it
// held it already). Waits as every simulated wait does: a thread
// terminated while it waits never returns.
void EnterLoaderLock();
// Returns once the calling thread has given up one hold of the loader
// lock. Never returns to a terminated thread, which keeps the lock held
// for good, as NT leaves a critical section owned by a terminated thread.
void LeaveLoaderLock();
// Returns true when the loader lock is held by a thread that has been
// terminated, so that nothing can ever take it again.
bool LoaderLockOrphaned();
// Returns nothing; frees a loader lock orphaned by a terminated thread.
// Only the simulated process's exit does this, once the process that held
// it is notionally gone.
void ResetOrphanedLoaderLock();

// Holds the loader lock for its lifetime.
struct LoaderLockHold {
    LoaderLockHold() { EnterLoaderLock(); }
    ~LoaderLockHold() { LeaveLoaderLock(); }
    LoaderLockHold(const LoaderLockHold&) = delete;
    LoaderLockHold& operator=(const LoaderLockHold&) = delete;
};

}  // namespace sim

#endif
