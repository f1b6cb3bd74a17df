// A check of the dispatcher's invariants, made under its lock, for tests
// and stress runs that must catch a broken state the moment it exists
// rather than by its consequences.
#ifndef PTASPI_SIM_DISPATCHER_CHECK_H
#define PTASPI_SIM_DISPATCHER_CHECK_H

#include <windows.h>

#include <string>
#include <vector>

namespace sim {

// Returns an empty string when the dispatcher's state is sound, else what
// is wrong: across every thread of the machine, nothing owned by an ended
// thread, every owned mutex in its one owner's list, no wait left to a
// terminated thread; and for the objects behind `handles` (handles that
// no longer name an object are passed over), counts in range, one owner
// per mutex, queues well linked, and no waiter queued whose wait its
// objects could complete now (which includes a wait-all half taken).
std::string DispatcherViolation(const std::vector<HANDLE>& handles);

}  // namespace sim

#endif
