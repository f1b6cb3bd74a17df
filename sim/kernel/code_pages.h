// Text in the simulated machine's code pages: its ANSI code page is 1252
// (Western European), its OEM code page 437, both single-byte, and UTF-8
// as code page 65001.
#ifndef PTASPI_SIM_KERNEL_CODE_PAGES_H
#define PTASPI_SIM_KERNEL_CODE_PAGES_H

#include <windows.h>

#include <string>

namespace sim {

// Returns the UTF-8 form of the NUL-terminated UTF-16 text `text` (a
// lone surrogate becomes U+FFFD); empty for null.
std::string Utf8FromWide(LPCWSTR text);

}  // namespace sim

#endif
