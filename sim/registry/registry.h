// The simulated registry: HKEY_LOCAL_MACHINE as a tree of keys with typed
// values, behind RegOpenKeyExA, RegQueryValueExA, RegEnumKeyExA and
// RegCloseKey (declared in <windows.h>). Key and value names compare
// without case; subkeys enumerate in the order of their upper-cased names.
#ifndef PTASPI_SIM_REGISTRY_H
#define PTASPI_SIM_REGISTRY_H

#include "sim/machine/machine.h"

#include <string>

namespace sim {

// Replaces the whole registry by the one generated from the machine (its
// SCSI device map and driver service keys), then applies the machine's
// registry edits in order. Keys still open keep their handles but find
// nothing any more.
void BuildRegistry(const Machine& machine);
// Empties the registry; keys still open find nothing any more.
void ClearRegistry();
// Applies one edit to the current registry. Deleting what is not there
// changes nothing.
void ApplyRegistryEdit(const RegistryEdit& edit);
// Returns the whole registry as text, one line per key in enumeration
// order ("HARDWARE\DEVICEMAP"), each followed by its values in creation
// order ("  Driver = REG_SZ \"atapi\"", "  (default) = REG_DWORD 0x00000010",
// "  Blob = REG_BINARY 01 02"), so that tests can compare whole trees.
std::string RegistryDump();

}  // namespace sim

#endif
