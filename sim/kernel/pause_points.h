// Pause points: places inside the dispatcher's calls where a thread has
// made a check without the dispatcher lock and is about to take it, or
// has let it go and is about to take it again. A scheduler may take the
// processor from a thread at any of them for as long as it likes; a test
// stops a thread there for as long as it needs, to make another thread's
// call (a termination, a signal) land in that window every time.
#ifndef PTASPI_SIM_PAUSE_POINTS_H
#define PTASPI_SIM_PAUSE_POINTS_H

#include <windows.h>

namespace sim {

enum class PausePoint {
    WaitBeforeLock,            // a wait, checked for termination
    WaitTimedOutBeforeLock,    // a wait whose time ran out while it slept
    ReleaseMutexBeforeLock,    // ReleaseMutex, checked for termination
    LoaderLockBeforeLock,      // EnterLoaderLock, on its way to the fast path
    ConditionWokenBeforeLock,  // a condition wait, readied, to look again
    Count
};

// Returns nothing: the calling thread's next pass through `point` stops
// there until ResumePaused(point). A plain host wait: a thread stopped
// there is not inside any wait of the machine that a termination ends.
void PauseAtNext(PausePoint point);
// Returns true once a thread has stopped at `point`, false after `limitMs`.
bool WaitForPauseAt(PausePoint point, DWORD limitMs);
// Returns nothing: the thread stopped at `point` (or the next to stop
// there) goes on.
void ResumePaused(PausePoint point);
// Returns at once unless the calling thread was asked to stop at `point`;
// then once it is resumed.
void PauseIfAsked(PausePoint point);

}  // namespace sim

#endif
