// What tests see of the simulated virtual memory beyond the committed total
// (sim/sim.h): which pages are locked.
#ifndef PTASPI_SIM_VIRTUAL_MEMORY_H
#define PTASPI_SIM_VIRTUAL_MEMORY_H

#include <windows.h>

#include <cstddef>

namespace sim {

// Returns the number of bytes locked with VirtualLock and not yet unlocked
// or released, in whole pages.
size_t LockedVirtualMemory();
// Returns true when every page of [address, address + size) is locked.
bool IsVirtualLocked(const void* address, size_t size);
// Returns the number of allocations made by VirtualAlloc and not released.
size_t VirtualAllocationCount();
// Returns true with the information VirtualQuery gives for an address
// inside an allocation of VirtualAlloc: the run of pages from the one that
// holds it that share its commit state; false outside every allocation.
bool QueryAllocation(const void* address, MEMORY_BASIC_INFORMATION* info);
// Returns 1 once the committed pages of [address, address + size) in one
// allocation have the protection `protect` (the old one in *old), 0 when
// no allocation holds them all, -1 with the Win32 error in *old when the
// pages or the protection cannot be changed.
int ProtectAllocation(void* address, size_t size, DWORD protect, DWORD* old);

}  // namespace sim

#endif
