// discovery_report: what the library's discovery finds on a simulated
// machine, from its own tables: the host adapters with the port and bus
// behind each, and the device table by port, bus, target and LUN, with
// the device path each unit is reached through.
#include "discovery/class_devices.h"
#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "sim/machine/machine.h"
#include "sim/sim.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char Usage[] =
    "usage: discovery_report [--machine FILE]\n"
    "\n"
    "Runs the library's discovery on the built-in default machine, or on the\n"
    "machine in FILE, and prints its tables: each host adapter (HA) with the\n"
    "port and bus behind it, and each unit of the device table by port, bus,\n"
    "target and LUN (P:B:T:L; aspitool writes HA:TARGET:LUN), with its type\n"
    "byte, whether a class driver claims it and the device path it is\n"
    "reached through.\n"
    "\n"
    "exit codes: 0 printed, 1 the machine cannot be used, 2 a bad command line\n";

// Returns the host adapter number of `port` and `bus`, or -1 for none
// (the buses of IDE/ATAPI ports get none).
long AdapterOf(unsigned port, unsigned bus) {
    for (LONG ha = 0; ha < AdapterCount; ++ha) {
        if (AdapterMap[ha].PortNumber == port && AdapterMap[ha].PathId == bus) return ha;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string machineFile;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--machine") == 0 && i + 1 < argc) {
            machineFile = argv[++i];
        } else if (std::strncmp(argv[i], "--machine=", 10) == 0) {
            machineFile = argv[i] + 10;
        } else {
            std::fprintf(stderr, "discovery_report: unknown argument '%s'\n%s", argv[i], Usage);
            return 2;
        }
    }
    sim::Machine machine = sim::DefaultMachine();
    std::string error;
    if (!machineFile.empty() && !sim::LoadMachineFile(machineFile, machine, error)) {
        std::fprintf(stderr, "discovery_report: %s\n", error.c_str());
        return 1;
    }
    if (!sim::InstallMachine(machine, error)) {
        std::fprintf(stderr, "discovery_report: cannot set up the machine: %s\n", error.c_str());
        return 1;
    }
    ScanHostAdapters();
    ScanDevices();
    MapClassDevices();

    std::printf("Host adapters: %ld\n", static_cast<long>(AdapterCount));
    std::printf("%-3s %-5s %-4s %-16s %-8s %s\n", "HA", "PORT", "BUS", "IDENTIFIER", "SCSI ID",
                "MAX TARGETS");
    for (LONG ha = 0; ha < AdapterCount; ++ha) {
        const AdapterMapEntry& adapter = AdapterMap[ha];
        const PortInfo& port = *FindPortInfo(adapter.PortNumber);
        std::printf("%-3ld %-5u %-4u %-16s %-8u %u\n", static_cast<long>(ha),
                    adapter.PortNumber, adapter.PathId, port.Identifier[adapter.PathId],
                    port.InitiatorId[adapter.PathId], port.MaxTargets);
    }

    std::printf("\nUnits: %ld\n", static_cast<long>(DeviceTable.Count));
    std::printf("%-9s %-4s %-6s %-8s %s\n", "P:B:T:L", "HA", "TYPE", "CLAIMED", "DEVICE PATH");
    for (LONG i = 0; i < DeviceTable.Count; ++i) {
        const DeviceEntry& entry = DeviceTable.Entries[i];
        char address[16];
        std::snprintf(address, sizeof address, "%u:%u:%u:%u", entry.PortNumber, entry.PathId,
                      entry.TargetId, entry.Lun);
        const long ha = AdapterOf(entry.PortNumber, entry.PathId);
        const std::string haText = ha < 0 ? "-" : std::to_string(ha);
        std::printf("%-9s %-4s 0x%02X   %-8s %s\n", address, haText.c_str(), entry.DeviceType,
                    entry.DeviceClaimed ? "yes" : "no",
                    entry.DevicePath[0] ? entry.DevicePath : "(none)");
    }
    sim::UninstallMachine();
    return 0;
}
