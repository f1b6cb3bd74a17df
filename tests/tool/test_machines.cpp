#include "test_machines.h"

namespace tooltest {
namespace {

nlohmann::json OneAdapter(const nlohmann::json& unit, uint32_t maxTransfer, uint32_t alignment) {
    return {
        {"name", "aspitool test: one adapter"},
        {"ports", {{
            {"driver", "hba"},
            {"capabilities", {{"MaximumTransferLength", maxTransfer}, {"AlignmentMask", alignment}}},
            {"buses", {{{"initiator_id", 7}, {"units", {unit}}}}},
        }}},
    };
}

}  // namespace

nlohmann::json CdRomMachine(const std::string& image, uint32_t maxTransfer, uint32_t alignment) {
    const nlohmann::json unit = {
        {"target", 2}, {"lun", 0}, {"class_device", "CdRom0"}, {"drive", "E"},
        {"inquiry", {{"vendor", "LUMOPTIC"}, {"product", "CDR-40S SCSI"}, {"revision", "3.10"}}},
        {"backend", {{"type", "cdrom"}, {"image", image}}},
    };
    return OneAdapter(unit, maxTransfer, alignment);
}

nlohmann::json DiskMachine(const std::string& file, uint32_t blocks, uint32_t blockSize,
                           uint32_t maxTransfer, uint32_t alignment) {
    const nlohmann::json unit = {
        {"target", 0}, {"lun", 0}, {"class_device", "PhysicalDrive0"},
        {"inquiry", {{"vendor", "KESTREL"}, {"product", "KS-3200 ULTRA"}, {"revision", "0412"}}},
        {"backend", {{"type", "disk"}, {"blocks", blocks}, {"block_size", blockSize}, {"file", file}}},
    };
    return OneAdapter(unit, maxTransfer, alignment);
}

}  // namespace tooltest
