// The command line of aspitool: the command word, its operands and the
// options, which may stand anywhere on the line.
#ifndef ASPITOOL_OPTIONS_H
#define ASPITOOL_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace aspitool {

// The largest data buffer a raw command may ask for; a library never moves
// more in one request than its adapter's maximum transfer length anyway.
const uint32_t MaxRawDataLength = 16u * 1024u * 1024u;

enum class NotifyMethod { Event, Post, Poll };

struct Options {
    std::string command = "scan";   // the default when no command word is given
    std::vector<std::string> operands;
    std::string machineFile;        // --machine (simulated machine only)
    std::string libraryPath;        // --library; empty: the one built beside the tool
    std::string outputFile;         // -o, --output
    std::string inputFile;          // -i, --input
    std::string dataOutFile;        // raw --out
    bool hasDataIn = false;         // raw --in given
    uint32_t dataInLength = 0;      // raw --in N
    uint32_t senseLength = 32;      // --sense N, 0-255
    NotifyMethod notify = NotifyMethod::Event;
    uint32_t timeoutSeconds = 60;   // --timeout S, 1-3600: the wait for each command
    bool json = false;
    bool all = false;               // read --all
    bool hasVpd = false;            // inquiry --vpd given
    uint8_t vpdPage = 0;            // inquiry --vpd PAGE
    bool immed = false;             // start, stop, eject --immed
    bool verbose = false;           // --verbose: every command block and its outcome on stderr
    std::string writeAddress;       // check --write ADDR: the unit whose last block is written back
    bool help = false;
};

// Returns true when `args` (the words after the program name) form a
// command line; otherwise false with `error` saying what is wrong.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// Returns true when `text` is a decimal number not above `max`, stored in
// `value`; no sign, no spaces, no trailing characters.
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value);

// Returns true when `text` is a number not above `max`, in decimal or in
// hex after "0x", stored in `value`.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value);
bool ParseByteNumber(const std::string& text, uint8_t max, uint8_t& value);

// Returns the usage text printed by --help and after argument errors.
const char* UsageText();

}  // namespace aspitool

#endif
