#include "sim/units/sense.h"

namespace sim::units {

std::vector<uint8_t> BuildSense(SenseCode code) { return BuildSense(code, SenseDetail()); }

std::vector<uint8_t> BuildSense(SenseCode code, const SenseDetail& detail) {
    std::vector<uint8_t> sense(FixedSenseLength, 0);
    sense[0] = 0x70;
    sense[2] = static_cast<uint8_t>(code.key & 0x0F);
    sense[7] = static_cast<uint8_t>(FixedSenseLength - 8);
    sense[12] = code.asc;
    sense[13] = code.ascq;
    sense[2] = static_cast<uint8_t>(sense[2] | (detail.flags & 0xE0));
    if (detail.informationValid) {
        sense[0] |= 0x80;
        for (int i = 0; i < 4; ++i) sense[3 + i] = static_cast<uint8_t>(detail.information >> (24 - 8 * i));
    }
    return sense;
}

}  // namespace sim::units
