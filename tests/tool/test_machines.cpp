#include "test_machines.h"

#include "tool_runner.h"

namespace tooltest {
namespace {

std::string WriteOneAdapter(const std::string& folder, const nlohmann::json& unit, uint32_t maxTransfer,
                            uint32_t alignment) {
    const nlohmann::json machine = {
        {"name", "aspitool test: one adapter"},
        {"ports", {{
            {"driver", "hba"},
            {"capabilities", {{"MaximumTransferLength", maxTransfer}, {"AlignmentMask", alignment}}},
            {"buses", {{{"initiator_id", 7}, {"units", {unit}}}}},
        }}},
    };
    const std::string path = folder + "/machine.json";
    const std::string text = machine.dump(2);
    return WriteFile(path, std::vector<uint8_t>(text.begin(), text.end())) ? path : std::string();
}

}  // namespace

std::string CdRomMachine(const std::string& folder, const std::string& image, uint32_t maxTransfer,
                         uint32_t alignment) {
    return WriteOneAdapter(folder, {
        {"target", 2}, {"lun", 0}, {"class_device", "CdRom0"}, {"drive", "E"},
        {"inquiry", {{"vendor", "LUMOPTIC"}, {"product", "CDR-40S SCSI"}, {"revision", "3.10"}}},
        {"backend", {{"type", "cdrom"}, {"image", image}}},
    }, maxTransfer, alignment);
}

std::string DiskMachine(const std::string& folder, const std::string& file, uint32_t blocks,
                        uint32_t blockSize, uint32_t maxTransfer, uint32_t alignment) {
    return WriteOneAdapter(folder, {
        {"target", 0}, {"lun", 0}, {"class_device", "PhysicalDrive0"},
        {"inquiry", {{"vendor", "KESTREL"}, {"product", "KS-3200 ULTRA"}, {"revision", "0412"}}},
        {"backend", {{"type", "disk"}, {"blocks", blocks}, {"block_size", blockSize}, {"file", file}}},
    }, maxTransfer, alignment);
}

}  // namespace tooltest
