// What tests see of the simulated virtual memory beyond the committed total
// (sim/sim.h): which pages are locked.
#ifndef PTASPI_SIM_VIRTUAL_MEMORY_H
#define PTASPI_SIM_VIRTUAL_MEMORY_H

#include <cstddef>

namespace sim {

// Returns the number of bytes locked with VirtualLock and not yet unlocked
// or released, in whole pages.
size_t LockedVirtualMemory();
// Returns true when every page of [address, address + size) is locked.
bool IsVirtualLocked(const void* address, size_t size);
// Returns the number of allocations made by VirtualAlloc and not released.
size_t VirtualAllocationCount();

}  // namespace sim

#endif
