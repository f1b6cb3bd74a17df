// Mode parameter data in words: the header of MODE SENSE(6) or (10), its
// block descriptors and each mode page with its name where known.
#ifndef ASPITOOL_MODE_DATA_H
#define ASPITOOL_MODE_DATA_H

#include "json.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace aspitool {

// Returns the name of mode page `page` on a unit of peripheral device type
// `deviceType`, or null when this tool does not know it.
const char* ModePageName(uint8_t page, uint8_t deviceType);

// Returns nothing; adds to `text` and `document` the header, block
// descriptors and pages of the mode data at `data`, of which `length` bytes
// arrived: in the 8-byte header form of MODE SENSE(10) when `tenByte`, else
// the 4-byte form of MODE SENSE(6).
void DecodeModeData(const uint8_t* data, size_t length, bool tenByte, uint8_t deviceType,
                    std::string& text, Json& document);

}  // namespace aspitool

#endif
