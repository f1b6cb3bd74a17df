#include "sim/runtime/command_line.h"

namespace sim {
namespace {

// Returns `word` as one argument of a command line.
std::string QuoteWord(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) return word;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped;
        // elsewhere they stand for themselves.
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\');  // they precede the closing quote
    return quoted + "\"";
}

}  // namespace

std::string QuoteCommandLine(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty()) line += ' ';
        line += QuoteWord(word);
    }
    return line;
}

}  // namespace sim
