// Handles over the host's descriptors beyond the standard three: the ends
// of anonymous pipes, which ReadFile and WriteFile reach as they reach the
// standard handles, and which a child process can be given as its own.
#ifndef PTASPI_SIM_KERNEL_PIPE_HANDLES_H
#define PTASPI_SIM_KERNEL_PIPE_HANDLES_H

#include <windows.h>

namespace sim {

// Returns a new handle owning the host descriptor `descriptor` (closed
// with the handle's last reference).
HANDLE InsertPipeEnd(int descriptor);
// Returns the host descriptor behind a standard handle or a pipe end, -1
// for any other handle.
int StreamDescriptorOf(HANDLE handle);

}  // namespace sim

#endif
