// Running a piece of work that calls into the ASPI library on a thread of
// its own, so that a call that never returns, or a fault in the library on
// any thread, is seen by the waiting thread instead of stopping the tool.
#ifndef ASPITOOL_GUARDED_RUN_H
#define ASPITOOL_GUARDED_RUN_H

#include <cstdint>
#include <functional>
#include <string>

namespace aspitool {

enum class GuardedEnd { Finished, TimedOut, Faulted, NotStarted };

// Returns how `work` ended: run on a new thread and awaited for at most
// `limitMs`. On TimedOut and Faulted the thread is left where it is (a
// faulted thread is parked for good) and whatever `work` refers to must
// stay valid until the process ends; `fault` then describes the fault.
GuardedEnd RunGuarded(const std::function<void()>& work, uint32_t limitMs, std::string& fault);

// The platform's part, in fault_trap_linux.cpp and fault_trap_windows.cpp.
// Returns nothing; from now on a fault on any thread other than the calling
// one is recorded and that thread parked, rather than ending the process.
void InstallFaultTrap();
// Returns true, with what happened, once a fault has been recorded.
bool FaultCaught(std::string& description);
// Returns nothing; prepares and releases the calling thread's means of
// handling a fault in itself (a stack for the handler, where needed).
void EnterGuardedThread();
void LeaveGuardedThread();
// Returns after about a millisecond, without entering the ASPI library's
// platform: a parked faulted thread may hold the platform's locks.
void PauseBriefly();

}  // namespace aspitool

#endif
