#include "expected_scan.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace tooltest {
namespace {

using nlohmann::json;

// Returns a machine-file number, written in decimal or as a hex string.
int64_t NumberOf(const json& value) {
    return value.is_string() ? std::stoll(value.get<std::string>(), nullptr, 0) : value.get<int64_t>();
}

int64_t TypeOf(const json& unit) {
    if (unit.contains("inquiry") && unit["inquiry"].contains("peripheral")) {
        return NumberOf(unit["inquiry"]["peripheral"]);
    }
    const std::string backend = unit["backend"]["type"].get<std::string>();
    const char* const types[] = {"disk", "tape", "", "processor", "", "cdrom", "scanner"};
    for (int64_t type = 0; type < 7; ++type) {
        if (backend == types[type]) return type;
    }
    return -1;
}

// Returns an inquiry text as the tool prints it: trailing spaces dropped.
std::string Trimmed(const json& text) {
    std::string trimmed = text.get<std::string>();
    trimmed.erase(trimmed.find_last_not_of(' ') + 1);
    return trimmed;
}

}  // namespace

json ExpectedAdapters(const json& machine) {
    json adapters = json::array();
    for (const json& port : machine.value("ports", json::array())) {
        std::string identifier = port.value("driver", std::string("hba"));
        for (char& c : identifier) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (identifier.compare(0, 5, "ATAPI") == 0) continue;
        const json capabilities = port.value("capabilities", json::object());
        const json buses = port.value("buses", json::array());
        // Any id of 8 or more on the port, initiator or target, makes it wide.
        int64_t maxTargets = 8;
        for (const json& bus : buses) {
            const json initiator = bus.value("initiator_id", json(7));
            if (!initiator.is_null() && (NumberOf(initiator) & 0xFF) >= 8) maxTargets = 16;
            for (const json& unit : bus.value("units", json::array())) {
                if ((NumberOf(unit["target"]) & 0xFF) >= 8) maxTargets = 16;
            }
        }
        for (const json& bus : buses) {
            const json initiator = bus.value("initiator_id", json(7));
            json units = json::array();
            for (const json& unit : bus.value("units", json::array())) {
                const int64_t target = NumberOf(unit["target"]);
                const int64_t lun = NumberOf(unit["lun"]);
                if (target >= maxTargets || lun >= 8) continue;
                units.push_back({{"target", target}, {"lun", lun}, {"type", TypeOf(unit)},
                                 {"vendor", Trimmed(unit["inquiry"]["vendor"])},
                                 {"product", Trimmed(unit["inquiry"]["product"])},
                                 {"revision", Trimmed(unit["inquiry"]["revision"])}});
            }
            std::sort(units.begin(), units.end(), [](const json& a, const json& b) {
                return std::make_pair(a["target"].get<int64_t>(), a["lun"].get<int64_t>()) <
                       std::make_pair(b["target"].get<int64_t>(), b["lun"].get<int64_t>());
            });
            adapters.push_back({{"ha", adapters.size()}, {"manager", "ASPI for WIN32"},
                                {"identifier", identifier},
                                {"scsi_id", initiator.is_null() ? 255 : (NumberOf(initiator) & 0xFF)},
                                {"max_targets", maxTargets},
                                {"max_transfer", NumberOf(capabilities.value("MaximumTransferLength", json(65536)))},
                                {"alignment_mask", NumberOf(capabilities.value("AlignmentMask", json(1))) & 0xFFFF},
                                {"units", units}});
        }
    }
    return adapters;
}

}  // namespace tooltest
