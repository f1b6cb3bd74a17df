// The backends of each unit type; CreateBackend picks one by the unit's
// backend type. Each returns null with a message when the unit cannot be
// built.
#ifndef PTASPI_SIM_UNITS_DEVICE_TYPES_H
#define PTASPI_SIM_UNITS_DEVICE_TYPES_H

#include "sim/machine/machine.h"
#include "sim/units/unit.h"
#include "sim/units/storage.h"

#include <memory>
#include <string>

namespace sim::units {

std::unique_ptr<UnitBackend> CreateDiskBackend(const UnitConfig& unit, std::string& error);
// Returns a disk of the unit's geometry on `storage`, which it takes; the
// geometry must already be valid (CreateDiskBackend checks it).
std::unique_ptr<UnitBackend> CreateDiskOnStorage(const UnitConfig& unit,
                                                 std::unique_ptr<BlockStorage> storage);
std::unique_ptr<UnitBackend> CreateCdRomBackend(const UnitConfig& unit, std::string& error);
std::unique_ptr<UnitBackend> CreateWriterBackend(const UnitConfig& unit, std::string& error);
std::unique_ptr<UnitBackend> CreateTapeBackend(const UnitConfig& unit, std::string& error);
std::unique_ptr<UnitBackend> CreateScannerBackend(const UnitConfig& unit, std::string& error);
std::unique_ptr<UnitBackend> CreateProcessorBackend(const UnitConfig& unit, std::string& error);
std::unique_ptr<UnitBackend> CreateScriptedBackend(const UnitConfig& unit, std::string& error);
std::unique_ptr<UnitBackend> CreateIscsiBackend(const UnitConfig& unit, std::string& error);

}  // namespace sim::units

#endif
