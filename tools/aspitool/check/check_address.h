// The unit address that `check ADDR` names: one that names no host adapter
// or no unit is the user's typo, reported as a usage error before any
// check runs, never as a failure of the library.
#ifndef ASPITOOL_CHECK_ADDRESS_H
#define ASPITOOL_CHECK_ADDRESS_H

#include "../commands/commands.h"

#include <cstdint>
#include <string>

namespace aspitool {

// Returns ExitUsage with `error` set when `operand` names no host adapter
// or no unit of the loaded library; otherwise ExitOk, also when the library
// could not answer (a failure, a fault or a call that did not return within
// `limitMs` is the checks' to report). The library is asked on a guarded
// thread, so InstallFaultTrap must have run.
int CheckAddressNamesUnit(const Session& session, const std::string& operand, uint32_t limitMs,
                          std::string& error);

}  // namespace aspitool

#endif
