// Threads of the simulated machine: their records, ending and termination;
// their waits are the dispatcher's (dispatcher.h).
#ifndef PTASPI_SIM_THREADS_H
#define PTASPI_SIM_THREADS_H

#include "sim/kernel/dispatcher.h"
#include "sim/kernel/kernel_objects.h"

#include <windows.h>

#include <memory>
#include <vector>

namespace sim {

// Never returns if the calling thread has been terminated, unless it is
// inside a synchronous device control, which runs on to its end.
void ExitIfTerminated();
// The same with the dispatcher lock held by `lock`, which it releases
// before it stops. A termination changes the machine's state only under
// that lock, so a call that checks here, and changes state before it lets
// the lock go, never completes anything once its thread is terminated.
void ExitIfTerminatedLocked(StateHold& lock);
// Returns whether `thread` has been terminated and stops at its next check
// (it is not inside a synchronous device control). With StateLock() held.
bool StopsAtItsNextCheck(const ThreadRecord& thread);
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
// Returns the record of every thread of the machine that still exists,
// ended or not. Takes a lock of its own that is never held with the
// dispatcher lock wanted: call it without that lock.
std::vector<std::shared_ptr<ThreadRecord>> MachineThreadRecords();

}  // namespace sim

#endif
