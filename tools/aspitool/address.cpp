#include "address.h"

#include "options.h"

namespace aspitool {

bool ParseAddress(const std::string& text, UnitAddress& address, std::string& error) {
    static const char* const partNames[3] = {"host adapter", "target", "LUN"};
    error = "'" + text + "' is no unit address; write HA:TARGET:LUN, for instance 0:1:0";
    uint8_t parts[3] = {};
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t colon = text.find(':', start);
        const bool last = i == 2;
        if (last != (colon == std::string::npos)) return false;
        const std::string part =
            text.substr(start, last ? std::string::npos : colon - start);
        uint64_t value = 0;
        if (!ParseUnsigned(part, 99999, value)) return false;
        if (value > 255) {
            error = "'" + text + "' is no unit address: " + partNames[i] + " " + part +
                    " is over 255";
            return false;
        }
        parts[i] = static_cast<uint8_t>(value);
        start = colon + 1;
    }
    address.ha = parts[0];
    address.target = parts[1];
    address.lun = parts[2];
    error.clear();
    return true;
}

std::string FormatAddress(const UnitAddress& address) {
    return std::to_string(address.ha) + ":" + std::to_string(address.target) + ":" +
           std::to_string(address.lun);
}

}  // namespace aspitool
