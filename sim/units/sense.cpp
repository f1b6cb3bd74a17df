#include "sim/units/sense.h"

namespace sim::units {

std::vector<uint8_t> BuildSense(SenseCode code) {
    std::vector<uint8_t> sense(FixedSenseLength, 0);
    sense[0] = 0x70;
    sense[2] = static_cast<uint8_t>(code.key & 0x0F);
    sense[7] = static_cast<uint8_t>(FixedSenseLength - 8);
    sense[12] = code.asc;
    sense[13] = code.ascq;
    return sense;
}

}  // namespace sim::units
