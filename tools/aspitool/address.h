// Unit addresses as aspitool writes them: HA:TARGET:LUN.
#ifndef ASPITOOL_ADDRESS_H
#define ASPITOOL_ADDRESS_H

#include <cstdint>
#include <string>

namespace aspitool {

struct UnitAddress {
    uint8_t ha = 0;
    uint8_t target = 0;
    uint8_t lun = 0;
};

// Returns true when `text` is three decimal numbers 0-255 joined by colons;
// otherwise false with `error` saying what is wrong.
bool ParseAddress(const std::string& text, UnitAddress& address, std::string& error);
// Returns "HA:TARGET:LUN".
std::string FormatAddress(const UnitAddress& address);

}  // namespace aspitool

#endif
