#include "sim/units/vital_product_data.h"

#include <cstdio>

namespace sim::units {

namespace {

// Designator header bytes: code set 1 binary or 2 ASCII in the low nibble;
// association 0 (the logical unit) with the designator type below.
constexpr uint8_t CodeSetBinary = 0x01;
constexpr uint8_t CodeSetAscii = 0x02;
constexpr uint8_t DesignatorT10VendorId = 0x01;
constexpr uint8_t DesignatorNaa = 0x03;
// NAA 3: a locally assigned name, which is what a simulated unit can honestly
// claim, having no IEEE company identifier of its own.
constexpr uint8_t NaaLocallyAssigned = 0x3;

// Returns the 32-bit FNV-1a hash of `text`.
uint32_t Fnv1a(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (char c : text) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 16777619u;
    }
    return hash;
}

// Returns nothing: appends one designator of `type` in `codeSet` holding
// `value`.
void AppendDesignator(std::vector<uint8_t>& reply, uint8_t codeSet, uint8_t type,
                      const std::vector<uint8_t>& value) {
    reply.push_back(codeSet);
    reply.push_back(type);
    reply.push_back(0);
    reply.push_back(static_cast<uint8_t>(value.size()));
    reply.insert(reply.end(), value.begin(), value.end());
}

// Returns the eight bytes of the unit's NAA 3 name: the NAA nibble, then
// the low 60 bits of the 64-bit FNV-1a hash of the serial number.
std::vector<uint8_t> NaaName(const std::string& serial) {
    uint64_t value = 14695981039346656037ull;
    for (char c : serial) {
        value ^= static_cast<uint8_t>(c);
        value *= 1099511628211ull;
    }
    std::vector<uint8_t> name(8);
    for (int i = 7; i >= 0; --i) {
        name[static_cast<size_t>(i)] = static_cast<uint8_t>(value);
        value >>= 8;
    }
    name[0] = static_cast<uint8_t>((NaaLocallyAssigned << 4) | (name[0] & 0x0F));
    return name;
}

}  // namespace

std::string UnitSerialNumber(const InquiryConfig& inquiry, uint8_t target, uint8_t lun) {
    uint32_t hash = Fnv1a(inquiry.vendor + inquiry.product + inquiry.revision);
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X%02X%02X", static_cast<unsigned>(hash), target, lun);
    return serial;
}

bool BuildVpdPage(const InquiryConfig& inquiry, const std::string& serial, uint8_t page,
                  std::vector<uint8_t>& reply) {
    reply.assign(4, 0);
    reply[0] = inquiry.peripheral;
    reply[1] = page;
    if (page == VpdSupportedPages) {
        reply.insert(reply.end(), {VpdSupportedPages, VpdUnitSerialNumber, VpdDeviceIdentification});
    } else if (page == VpdUnitSerialNumber) {
        reply.insert(reply.end(), serial.begin(), serial.end());
    } else if (page == VpdDeviceIdentification) {
        // T10 vendor identification: the vendor field, then the product and
        // serial number, as a unit without a registered name builds it.
        const std::string t10 = inquiry.vendor + inquiry.product + serial;
        AppendDesignator(reply, CodeSetAscii, DesignatorT10VendorId,
                         std::vector<uint8_t>(t10.begin(), t10.end()));
        AppendDesignator(reply, CodeSetBinary, DesignatorNaa, NaaName(serial));
    } else {
        return false;
    }
    // The page length counts the bytes after the four-byte header.
    const size_t length = reply.size() - 4;
    reply[2] = static_cast<uint8_t>(length >> 8);
    reply[3] = static_cast<uint8_t>(length);
    return true;
}

bool BuildBlockDeviceVpdPage(const InquiryConfig& inquiry, const std::string& serial, uint8_t page,
                             uint32_t maximumTransferBlocks, std::vector<uint8_t>& reply) {
    if (page == VpdBlockLimits) {
        // The page as SBC-2 lays it out: twelve bytes after the header,
        // with the maximum transfer length at byte 8. No granularity or
        // optimal length is claimed.
        reply.assign(16, 0);
        reply[0] = inquiry.peripheral;
        reply[1] = page;
        reply[3] = 12;
        for (int i = 0; i < 4; ++i) {
            reply[8 + i] = static_cast<uint8_t>(maximumTransferBlocks >> (24 - 8 * i));
        }
        return true;
    }
    if (!BuildVpdPage(inquiry, serial, page, reply)) return false;
    if (page == VpdSupportedPages) {
        reply.push_back(VpdBlockLimits);
        reply[3] = static_cast<uint8_t>(reply.size() - 4);
    }
    return true;
}

}  // namespace sim::units
