// Drives without a port device: a USB mass storage (bulk-only) drive has no
// "\\.\scsi%d:" device and no device map key, yet its class device reports
// a SCSI address with a port number of its own. Such units join the device
// table when the class device mapping meets them, and their ports get host
// adapters after the scanned ones.
#ifndef PTASPI_DISCOVERY_PORTLESS_PORTS_H
#define PTASPI_DISCOVERY_PORTLESS_PORTS_H

#include "platform/platform.h"
#include "platform/scsi_port.h"

// Returns true when the unit at `address`, which the device table does not
// hold, was added to it as a claimed unit reached through the class device
// at `path` (whose handle is `device`): its port must have neither a port
// device nor a device map key, and the tables must have room.
// `fallbackType` is the peripheral byte used when the device does not
// report its type.
bool AddPortlessUnit(HANDLE device, const SCSI_ADDRESS& address, const char* path,
                     BYTE fallbackType);

// Returns nothing: gives each bus of each port without a port device that
// has units a host adapter number after those of the scanned ports, in
// port order and then bus order.
void NumberPortlessAdapters();

#endif
