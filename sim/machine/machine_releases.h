// Internal to the machine file loader: the members that describe today's
// releases (the Windows release and its user, the optical drive policy,
// a port's bus type, a unit's command translation and exclusive lock).
// Every reader returns false after storing a message that names the member.
#ifndef PTASPI_SIM_MACHINE_RELEASES_H
#define PTASPI_SIM_MACHINE_RELEASES_H

#include "sim/machine/machine_reader.h"

#include <string>

namespace sim {
namespace reader {

// Returns false unless the top level's `windows`, `user` and
// `optical_access` are valid together; fills them in `machine`.
bool ReadReleaseAndUser(const Json& document, Machine& machine, std::string& error);
// Returns false unless the port's `bus_type` is absent or a known bus.
bool ReadBusType(const Json& port, const std::string& path, PortConfig& out, std::string& error);
// Returns false unless the unit's `translation` and `exclusive_lock` are
// absent or valid; `exclusive_lock` only on a CD-ROM unit (`cdrom` tells).
bool ReadUnitTranslationAndLock(const Json& unit, const std::string& path, bool cdrom,
                                UnitConfig& out, std::string& error);

}  // namespace reader
}  // namespace sim

#endif
