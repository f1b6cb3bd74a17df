#include "expected_scan.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace tooltest {
namespace {

// Returns a machine-file number, written in decimal or as a hex string.
int64_t NumberOf(const nlohmann::json& value) {
    if (value.is_string()) return std::stoll(value.get<std::string>(), nullptr, 0);
    return value.get<int64_t>();
}

int64_t MemberOr(const nlohmann::json& object, const char* key, int64_t fallback) {
    return object.contains(key) ? NumberOf(object[key]) : fallback;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

int64_t TypeOf(const nlohmann::json& unit) {
    if (unit.contains("inquiry") && unit["inquiry"].contains("peripheral")) {
        return NumberOf(unit["inquiry"]["peripheral"]);
    }
    const std::string backend = unit["backend"]["type"].get<std::string>();
    if (backend == "disk") return 0x00;
    if (backend == "tape") return 0x01;
    if (backend == "processor") return 0x03;
    if (backend == "cdrom") return 0x05;
    if (backend == "scanner") return 0x06;
    return -1;
}

// Returns an inquiry text as the tool prints it: trailing spaces dropped.
std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

nlohmann::json ExpectedAdapters(const nlohmann::json& machine) {
    nlohmann::json adapters = nlohmann::json::array();
    if (!machine.contains("ports")) return adapters;
    for (const nlohmann::json& port : machine["ports"]) {
        const std::string driver = port.value("driver", std::string("hba"));
        const std::string identifier = Upper(driver);
        if (identifier.compare(0, 5, "ATAPI") == 0) continue;
        const nlohmann::json capabilities = port.value("capabilities", nlohmann::json::object());
        const nlohmann::json buses = port.value("buses", nlohmann::json::array());
        int64_t maxTargets = 8;
        for (const nlohmann::json& bus : buses) {
            const nlohmann::json initiator = bus.value("initiator_id", nlohmann::json(7));
            if (!initiator.is_null() && (NumberOf(initiator) & 0xFF) >= 8) maxTargets = 16;
            for (const nlohmann::json& unit : bus.value("units", nlohmann::json::array())) {
                if ((NumberOf(unit["target"]) & 0xFF) >= 8) maxTargets = 16;
            }
        }
        for (const nlohmann::json& bus : buses) {
            const nlohmann::json initiator = bus.value("initiator_id", nlohmann::json(7));
            nlohmann::json adapter;
            adapter["ha"] = adapters.size();
            adapter["manager"] = "ASPI for WIN32";
            adapter["identifier"] = identifier;
            adapter["scsi_id"] = initiator.is_null() ? 255 : (NumberOf(initiator) & 0xFF);
            adapter["max_targets"] = maxTargets;
            adapter["max_transfer"] = MemberOr(capabilities, "MaximumTransferLength", 65536);
            adapter["alignment_mask"] = MemberOr(capabilities, "AlignmentMask", 1) & 0xFFFF;
            nlohmann::json units = nlohmann::json::array();
            for (const nlohmann::json& unit : bus.value("units", nlohmann::json::array())) {
                const int64_t target = NumberOf(unit["target"]);
                const int64_t lun = NumberOf(unit["lun"]);
                if (target >= maxTargets || lun >= 8) continue;
                nlohmann::json expected;
                expected["target"] = target;
                expected["lun"] = lun;
                expected["type"] = TypeOf(unit);
                expected["vendor"] = Trimmed(unit["inquiry"]["vendor"].get<std::string>());
                expected["product"] = Trimmed(unit["inquiry"]["product"].get<std::string>());
                expected["revision"] = Trimmed(unit["inquiry"]["revision"].get<std::string>());
                units.push_back(expected);
            }
            std::sort(units.begin(), units.end(), [](const nlohmann::json& a, const nlohmann::json& b) {
                return std::make_pair(a["target"].get<int64_t>(), a["lun"].get<int64_t>()) <
                       std::make_pair(b["target"].get<int64_t>(), b["lun"].get<int64_t>());
            });
            adapter["units"] = units;
            adapters.push_back(adapter);
        }
    }
    return adapters;
}

}  // namespace tooltest
