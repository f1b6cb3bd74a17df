// The host's signals as a Windows process meets the events behind them:
// a broken pipe is a failed write, not the end of the process; Ctrl-C
// (SIGINT) and Ctrl-Break (SIGQUIT, the terminal's Ctrl-\) are console
// control events, delivered on a new thread of the process.
#ifndef PTASPI_SIM_PROCESS_SIGNALS_H
#define PTASPI_SIM_PROCESS_SIGNALS_H

namespace sim {

// Returns nothing; SIGPIPE is ignored, and SIGINT and SIGQUIT are blocked
// in the calling thread and every thread it starts from now on, and taken
// by a thread of their own: until ForwardConsoleSignals they end the host
// process as by default. Called first thing in main, before any other
// thread exists.
void PrepareProcessSignals();
// Returns nothing; from now on SIGINT and SIGQUIT sent to the host process
// become the console's Ctrl-C and Ctrl-Break events of the simulated one.
void ForwardConsoleSignals();

}  // namespace sim

#endif
