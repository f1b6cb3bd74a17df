// Child processes of the program's process (CreateProcessA/W) and the
// anonymous pipes between them (CreatePipe).
#ifndef PTASPI_SIM_PROCESS_CHILD_PROCESSES_H
#define PTASPI_SIM_PROCESS_CHILD_PROCESSES_H

#include <windows.h>

namespace sim {

// Returns true with the child's exit code (STILL_ACTIVE while it runs) when
// `handle` is a child's process or thread handle.
bool ChildExitCode(HANDLE handle, DWORD* code);
// Returns the child's id, 0 when `handle` is no child's.
DWORD ChildProcessId(HANDLE handle);

}  // namespace sim

#endif
