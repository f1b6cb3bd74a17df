// Threads of the simulated machine and the one lock and condition that all
// waits in the simulator use, so that wait-all waits, termination and
// hanging units see one consistent state.
#ifndef PTASPI_SIM_THREADS_H
#define PTASPI_SIM_THREADS_H

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>

namespace sim {

// The lock that guards every synchronisation object's state; every change
// of such state is followed by NotifyStateChanged().
std::mutex& StateLock();
// Returns nothing; wakes every thread in WaitUntil to look at the state again.
void NotifyStateChanged();

// Waits, with `lock` (on StateLock()) held, until `ready` returns true or
// `timeoutMs` passes (INFINITE: no limit). Returns true when ready. If the
// calling thread is terminated meanwhile, this never returns: as on
// Windows, nothing a terminated thread was doing returns to its caller.
bool WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
               DWORD timeoutMs);
// Returns the number of threads inside a WaitUntil whose condition did not
// hold when it was entered: threads blocked in a wait, a Sleep or a hung
// unit, for tests that must act only once another thread waits.
size_t BlockedThreadCount();
// Returns the previous setting: sets how many microseconds a wait watches
// for a change before it sleeps (0: it sleeps at once), so that a benchmark
// can weigh the watch against sleeping straight away in one run.
unsigned SetWaitSpin(unsigned microseconds);
// Never returns if the calling thread has been terminated, unless it is
// inside a synchronous device control, which runs on to its end.
void ExitIfTerminated();
// Returns nothing (never, for a terminated thread): the calling thread
// enters a synchronous device control.
void EnterSynchronousIo();
// Returns nothing; never, when the thread was terminated meanwhile: it then
// ends here, now that its request has ended.
void LeaveSynchronousIo();
// Returns the simulator's id of the calling thread (stable, never reused).
unsigned long CurrentThreadKey();
// Returns the number of threads started with _beginthread that have not
// ended (terminated threads count as ended).
size_t LiveThreadCount();
// Returns after every simulated thread has ended or been terminated, or
// after timeoutMs; returns false on time-out.
bool WaitForThreadsToEnd(DWORD timeoutMs);
// Returns the number of threads terminated: every thread of the machine
// other than the caller that has not ended, as process exit does on NT.
size_t TerminateOtherThreads();
// Returns true once every terminated thread has stopped running code of
// its own (see ThreadRecord::Stopped), false after timeoutMs. The loader
// waits for this before it unmaps a module: on NT termination is
// immediate, while here a terminated thread that was running outside the
// simulator only stops at its next call into it.
bool WaitForTerminatedThreadsToStop(DWORD timeoutMs);
// Returns true once every terminated thread has stopped: one running
// Windows code stops where it is, one blocked in a host call (a read of
// standard input) has the call cut short and stops before it returns, as
// NT's termination ends a thread whatever it is doing. Returns false when
// a thread went on running the host's code past many signals (blocked on
// a lock that a stopped thread holds): it cannot reach Windows code either.
// For a program's process, whose threads run Windows code.
bool StopTerminatedThreads();
// Returns true when a new thread of the machine runs `start` with
// `argument`, as the system starts threads in a process (a console's
// control handlers); the caller need not be one of the machine's threads.
bool StartProcessThread(void (*start)(void*), void* argument);

}  // namespace sim

#endif
