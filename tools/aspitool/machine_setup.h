// The machine the tool runs on: on Linux a simulated one, installed before
// the library is loaded; on Windows the real one.
#ifndef ASPITOOL_MACHINE_SETUP_H
#define ASPITOOL_MACHINE_SETUP_H

#include <string>
#include <vector>

namespace aspitool {

// What the simulated machine says of itself when it is set up.
struct MachineNotes {
    std::string name;                   // empty when it has none, or on a real machine
    std::vector<std::string> warnings;  // what it allows but will not work as a user expects
    // Why claimed units cannot be reached, by their target and LUN (the
    // host adapter numbers are the library's to give).
    struct Unreachable {
        unsigned target, lun;
        std::string reason;
    };
    std::vector<Unreachable> unreachable;
};

// Returns true when --machine can be used: on the simulated machine of
// the Linux build, not on Windows, where the tool works on the real one.
bool MachineOptionSupported();

// Returns true when the machine is ready: the one in `machineFile`, or the
// built-in default when it is empty, with `notes` filled. On failure
// `error` says why.
bool SetUpMachine(const std::string& machineFile, MachineNotes& notes, std::string& error);
// Ends what SetUpMachine started, after the library is unloaded; returns
// nothing.
void TearDownMachine();

// Returns nothing; starts a record of the platform errors that the
// pass-through controls of the next request meet (simulated machine only).
void StartPlatformRecord();
// Returns one line for each I/O control issued since StartPlatformRecord,
// with the device, the control and its platform error; empty on a real
// machine, which keeps no such record.
std::vector<std::string> PlatformRecord();

}  // namespace aspitool

#endif
