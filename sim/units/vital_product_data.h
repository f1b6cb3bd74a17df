// The vital product data pages every emulated unit keeps: the list of
// pages, the unit serial number and the device identification, all drawn
// from the unit's identity and its place on the bus.
#ifndef PTASPI_SIM_UNITS_VITAL_PRODUCT_DATA_H
#define PTASPI_SIM_UNITS_VITAL_PRODUCT_DATA_H

#include "sim/machine/machine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim::units {

constexpr uint8_t VpdSupportedPages = 0x00;
constexpr uint8_t VpdUnitSerialNumber = 0x80;
constexpr uint8_t VpdDeviceIdentification = 0x83;

// Returns the unit serial number of the unit at `target`:`lun` with
// `inquiry`: eight hex digits of the FNV-1a hash of its vendor, product and
// revision, then its target and LUN as two hex digits each. The same
// machine file gives the same serials on every run.
std::string UnitSerialNumber(const InquiryConfig& inquiry, uint8_t target, uint8_t lun);

// Returns true with the whole of VPD page `page` in `reply` (header
// included) for a unit with `inquiry` and `serial`; false when the unit
// keeps no such page.
bool BuildVpdPage(const InquiryConfig& inquiry, const std::string& serial, uint8_t page,
                  std::vector<uint8_t>& reply);

constexpr uint8_t VpdBlockLimits = 0xB0;

// Returns what BuildVpdPage returns, for a direct-access unit: its pages
// and the block limits page, which reports `maximumTransferBlocks`.
bool BuildBlockDeviceVpdPage(const InquiryConfig& inquiry, const std::string& serial, uint8_t page,
                             uint32_t maximumTransferBlocks, std::vector<uint8_t>& reply);

}  // namespace sim::units

#endif
