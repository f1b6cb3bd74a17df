#include "sim/units/unit.h"
#include "sim/units/device_types.h"

namespace sim {

std::unique_ptr<UnitBackend> CreateBackend(const UnitConfig& unit, std::string& error) {
    switch (unit.backend.type) {
    case BackendType::Disk:
        return units::CreateDiskBackend(unit, error);
    case BackendType::CdRom:
        return units::CreateCdRomBackend(unit, error);
    case BackendType::Tape:
        return units::CreateTapeBackend(unit, error);
    case BackendType::Scanner:
        return units::CreateScannerBackend(unit, error);
    case BackendType::Processor:
        return units::CreateProcessorBackend(unit, error);
    case BackendType::Scripted:
        return units::CreateScriptedBackend(unit, error);
    case BackendType::Iscsi:
        return units::CreateIscsiBackend(unit, error);
    case BackendType::Writer:
        return units::CreateWriterBackend(unit, error);
    }
    error = "unknown backend type";
    return nullptr;
}

}  // namespace sim
