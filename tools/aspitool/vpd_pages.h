// Vital product data pages in words: the supported pages list, the unit
// serial number and the device identification designators; any other page
// is left to the hex dump.
#ifndef ASPITOOL_VPD_PAGES_H
#define ASPITOOL_VPD_PAGES_H

#include "json.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace aspitool {

// Returns the name of VPD page `page` ("device identification"), or null
// for a page this tool does not know.
const char* VpdPageName(uint8_t page);

// Returns the bytes of the page that `data` (the `length` bytes that
// arrived) holds: its header's four bytes plus its stated page length, or
// `length` when less arrived.
size_t VpdPageBytes(const uint8_t* data, size_t length);

// Returns nothing; adds to `text` (one field a line) and `document` what
// the page at `data` holds, `length` bytes of it.
void DecodeVpdPage(const uint8_t* data, size_t length, std::string& text, Json& document);

}  // namespace aspitool

#endif
