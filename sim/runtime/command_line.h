// Windows command lines: one string that the C runtime splits into argv.
#ifndef PTASPI_SIM_RUNTIME_COMMAND_LINE_H
#define PTASPI_SIM_RUNTIME_COMMAND_LINE_H

#include <string>
#include <vector>

namespace sim {

// Returns the command line that the C runtime splits back into exactly
// `words`. The first word, the program's name, is taken by the runtime up
// to the next quote or, unquoted, up to the first blank, without escapes:
// it is quoted when it holds a blank or is empty, and cannot hold a quote
// (no Windows file name does; one there is dropped). Any other word with
// a space, tab or quote, or an empty one, is quoted, a quote inside it
// escaped with a backslash, and backslashes doubled where a quote follows.
std::string QuoteCommandLine(const std::vector<std::string>& words);

// Returns the words of `commandLine` split as msvcrt's start-up code
// splits it for argv: blanks (space, tab) separate words; a quote starts
// or ends a quoted section where blanks belong to the word; 2n backslashes
// before a quote give n backslashes and the quote acts, 2n+1 give n and a
// literal quote; other backslashes stand for themselves; two quotes inside
// a quoted section give a literal quote and end that section.
std::vector<std::string> SplitCommandLine(const char* commandLine);

}  // namespace sim

#endif
