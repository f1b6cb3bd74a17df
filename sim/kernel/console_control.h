// The console's control events (Ctrl-C, Ctrl-Break) as NT delivers them to
// a process: on a new thread of the process, to the handlers that
// SetConsoleCtrlHandler registered, the last one registered first, until
// one returns TRUE; with none that does, the process ends with
// STATUS_CONTROL_C_EXIT.
#ifndef PTASPI_SIM_KERNEL_CONSOLE_CONTROL_H
#define PTASPI_SIM_KERNEL_CONSOLE_CONTROL_H

#include <windows.h>

namespace sim {

// Returns true once a new thread of the process has been started to
// deliver `event` (CTRL_C_EVENT or CTRL_BREAK_EVENT).
bool DeliverConsoleControl(DWORD event);

}  // namespace sim

#endif
