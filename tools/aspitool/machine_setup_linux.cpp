// The simulated machine: a machine file or the built-in default, and the
// simulator's own record of the pass-through controls it answered.
#include "machine_setup.h"

#include "sim/machine/machine.h"
#include "sim/machine/machine_warnings.h"
#include "sim/sim.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace aspitool {
namespace {

// Returns the name of a pass-through control, or its code in hex.
std::string ControlName(DWORD code) {
    if (code == 0x4D004) return "IOCTL_SCSI_PASS_THROUGH";
    if (code == 0x4D014) return "IOCTL_SCSI_PASS_THROUGH_DIRECT";
    char text[16];
    std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(code));
    return text;
}

// Returns words for the platform errors a pass-through meets.
const char* ErrorWords(DWORD error) {
    switch (error) {
    case 1: return "invalid function: refused, for instance a claimed unit through its port";
    case 2: return "file not found";
    case 5: return "access denied: no administrator rights, or a handle without write access";
    case 6: return "invalid handle: the device is gone";
    case 87: return "invalid parameter";
    case 121: return "semaphore time-out: the unit did not answer in time";
    case 998: return "invalid access to memory location";
    case 1117: return "I/O device error";
    case 1167: return "device not connected: the unit is gone";
    default: return "";
    }
}

}  // namespace

bool MachineOptionSupported() {
    return true;
}

bool SetUpMachine(const std::string& machineFile, MachineNotes& notes, std::string& error) {
    sim::Machine machine;
    if (machineFile.empty()) {
        machine = sim::DefaultMachine();
    } else {
        error = sim::MachineFileProblem(machineFile);
        if (!error.empty()) return false;
        if (!sim::LoadMachineFile(machineFile, machine, error)) return false;
    }
    if (!sim::InstallMachine(machine, error)) {
        error = "cannot set up the machine: " + error;
        return false;
    }
    notes = MachineNotes();
    notes.name = machine.name;
    for (const sim::MachineWarning& warning : sim::MachineWarnings(machine)) {
        notes.warnings.push_back(warning.text);
        if (warning.unreachable) notes.unreachable.push_back({warning.target, warning.lun, warning.reason});
    }
    return true;
}

void TearDownMachine() {
    sim::UninstallMachine();
}

void StartPlatformRecord() {
    sim::ClearPassThroughLog();
}

std::vector<std::string> PlatformRecord() {
    std::vector<std::string> lines;
    for (const sim::PassThroughRecord& record : sim::PassThroughLog()) {
        std::string line = ControlName(record.controlCode) + " on " + record.device;
        // A comma, not a colon, since drive-letter devices end in one.
        if (record.error == 0) {
            line += ", succeeded";
        } else {
            line += ", platform error " + std::to_string(record.error);
            const char* words = ErrorWords(record.error);
            if (*words != '\0') line += std::string(" (") + words + ")";
        }
        lines.push_back(line);
    }
    if (lines.empty()) {
        lines.push_back("no pass-through control reached a device: the library did not open the "
                        "unit's device, or did not send the request");
    }
    return lines;
}

}  // namespace aspitool
