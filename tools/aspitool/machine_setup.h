// The machine the tool runs on: on Linux a simulated one, installed before
// the library is loaded; on Windows the real one.
#ifndef ASPITOOL_MACHINE_SETUP_H
#define ASPITOOL_MACHINE_SETUP_H

#include <string>

namespace aspitool {

// Returns true when the machine is ready: the one in `machineFile`, or the
// built-in default when it is empty. `machineName` receives the machine's
// name (empty when it has none, or on a real machine). On failure `error`
// says why.
bool SetUpMachine(const std::string& machineFile, std::string& machineName, std::string& error);
// Ends what SetUpMachine started, after the library is unloaded; returns
// nothing.
void TearDownMachine();

}  // namespace aspitool

#endif
