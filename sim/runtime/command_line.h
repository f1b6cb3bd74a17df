// Windows command lines: one string that the C runtime splits into argv.
#ifndef PTASPI_SIM_RUNTIME_COMMAND_LINE_H
#define PTASPI_SIM_RUNTIME_COMMAND_LINE_H

#include <string>
#include <vector>

namespace sim {

// Returns the command line that the C runtime splits back into exactly
// `words`: a word with a space, tab or quote, or an empty word, is quoted,
// a quote inside it escaped with a backslash, and backslashes doubled
// where a quote follows them.
std::string QuoteCommandLine(const std::vector<std::string>& words);

}  // namespace sim

#endif
