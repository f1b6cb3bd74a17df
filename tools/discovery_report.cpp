// Prints what the library's discovery finds on the built-in default
// machine: the host adapters and the device table.
#include "discovery/class_devices.h"
#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "sim/sim.h"

#include <cstdio>

int main() {
    sim::InstallDefaultMachine();
    ScanHostAdapters();
    ScanDevices();
    MapClassDevices();

    std::printf("Host adapters: %ld\n", static_cast<long>(AdapterCount));
    std::printf("%-3s %-5s %-4s %-16s %-8s %-11s\n", "HA", "PORT", "BUS", "IDENTIFIER", "SCSI ID",
                "MAX TARGETS");
    for (LONG ha = 0; ha < AdapterCount; ++ha) {
        const AdapterMapEntry& adapter = AdapterMap[ha];
        const PortInfo& port = PortTable[adapter.PortNumber];
        std::printf("%-3ld %-5u %-4u %-16s %-8u %-11u\n", static_cast<long>(ha),
                    adapter.PortNumber, adapter.PathId, port.Identifier[adapter.PathId],
                    port.InitiatorId[adapter.PathId], port.MaxTargets);
    }

    std::printf("\nUnits: %ld\n", static_cast<long>(DeviceTable.Count));
    std::printf("%-9s %-6s %-8s %s\n", "P:B:T:L", "TYPE", "CLAIMED", "DEVICE PATH");
    for (LONG i = 0; i < DeviceTable.Count; ++i) {
        const DeviceEntry& entry = DeviceTable.Entries[i];
        char address[16];
        std::snprintf(address, sizeof address, "%u:%u:%u:%u", entry.PortNumber, entry.PathId,
                      entry.TargetId, entry.Lun);
        std::printf("%-9s 0x%02X   %-8s %s\n", address, entry.DeviceType,
                    entry.DeviceClaimed ? "yes" : "no",
                    entry.DevicePath[0] ? entry.DevicePath : "(none)");
    }
    return 0;
}
