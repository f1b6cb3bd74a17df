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

// Returns the program's name as the command line's first word: copied as
// it is, since the runtime reads it without escapes.
std::string QuoteProgramName(const std::string& name) {
    std::string plain;
    bool blank = name.empty();
    for (char c : name) {
        if (c == '"') continue;
        if (static_cast<unsigned char>(c) <= ' ') blank = true;
        plain += c;
    }
    return blank ? "\"" + plain + "\"" : plain;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string QuoteCommandLine(const std::vector<std::string>& words) {
    std::string line;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) line += ' ';
        line += i == 0 ? QuoteProgramName(words[i]) : QuoteWord(words[i]);
    }
    return line;
}

std::vector<std::string> SplitCommandLine(const char* commandLine) {
    std::vector<std::string> words;
    const char* p = commandLine;
    // The program's name: up to the closing quote, or up to any control
    // character or blank.
    std::string name;
    if (*p == '"') {
        for (++p; *p != '\0' && *p != '"'; ++p) name += *p;
        if (*p == '"') ++p;
    } else {
        for (; static_cast<unsigned char>(*p) > ' '; ++p) name += *p;
        if (*p != '\0') ++p;
    }
    words.push_back(name);

    bool quoted = false;
    for (;;) {
        while (IsBlank(*p)) ++p;
        if (*p == '\0') break;
        std::string word;
        for (;;) {
            size_t backslashes = 0;
            while (*p == '\\') {
                ++p;
                ++backslashes;
            }
            bool copy = true;
            if (*p == '"') {
                if (backslashes % 2 == 0) {
                    if (quoted && p[1] == '"') {
                        ++p;  // the second quote is copied
                    } else {
                        copy = false;
                    }
                    quoted = !quoted;
                }
                backslashes /= 2;
            }
            word.append(backslashes, '\\');
            if (*p == '\0' || (!quoted && IsBlank(*p))) break;
            if (copy) word += *p;
            ++p;
        }
        words.push_back(word);
    }
    return words;
}

}  // namespace sim
