// The Windows runtime's printf format language, which differs from the C
// library's on Linux: sizes I64, I32 and I; %p as eight upper-case hex
// digits; exponents of at least three digits; infinities and NaNs as
// "1.#INF", "1.#QNAN" and "-1.#IND"; %S and %C for wide (16-bit) text;
// long double read as double; and a letter it does not know printed as
// itself (so "%zu" prints "zu").
#ifndef PTASPI_SIM_RUNTIME_PRINT_FORMAT_H
#define PTASPI_SIM_RUNTIME_PRINT_FORMAT_H

#include <cstdarg>
#include <string>

namespace sim {

// Returns nothing; appends to `out` what the Windows runtime's vfprintf
// writes for `format` and `arguments`.
void FormatWindows(std::string& out, const char* format, va_list arguments);

}  // namespace sim

#endif
