#include "options.h"

#include <cstring>
#include <utility>

namespace aspitool {
namespace {

const char* const Commands[] = {"scan", "inquiry", "tur",  "readcap", "read", "write", "raw",
                                "modesense", "start", "stop", "eject", "sense", "check", "help",
                                "burn"};

// The names --vpd takes besides a page number.
const struct {
    const char* name;
    uint8_t page;
} VpdPageNames[] = {
    {"sp", 0x00}, {"supported", 0x00}, {"sn", 0x80}, {"serial", 0x80},
    {"di", 0x83}, {"identification", 0x83},
};

// Returns true when `text` names a VPD page or is a page number, stored in
// `page`.
bool ParseVpdPage(const std::string& text, uint8_t& page) {
    for (const auto& entry : VpdPageNames) {
        if (text == entry.name) {
            page = entry.page;
            return true;
        }
    }
    return ParseByteNumber(text, 0xFF, page);
}

// Returns true when `word` names a command.
bool IsCommand(const std::string& word) {
    for (const char* command : Commands) {
        if (word == command) return true;
    }
    return false;
}

// Returns true when option `name` takes a value.
bool TakesValue(const std::string& name) {
    static const char* const withValue[] = {"--machine", "--library", "-o", "--output", "-i",
                                            "--input",   "--in",      "--out", "--sense", "--notify",
                                            "--timeout", "--vpd",     "--write"};
    for (const char* option : withValue) {
        if (name == option) return true;
    }
    return false;
}

// Returns true when the option `name` with `value` was stored in `options`.
bool StoreValue(const std::string& name, const std::string& value, Options& options,
                std::string& error) {
    if (value.empty()) {
        error = "option " + name + " needs a non-empty value";
        return false;
    }
    if (name == "--machine") {
        options.machineFile = value;
    } else if (name == "--library") {
        options.libraryPath = value;
    } else if (name == "-o" || name == "--output") {
        options.outputFile = value;
    } else if (name == "-i" || name == "--input") {
        options.inputFile = value;
    } else if (name == "--out") {
        options.dataOutFile = value;
    } else if (name == "--in") {
        uint64_t length = 0;
        if (!ParseUnsigned(value, MaxRawDataLength, length)) {
            error = "--in wants a byte count from 0 to " + std::to_string(MaxRawDataLength) +
                    ", not '" + value + "'";
            return false;
        }
        options.hasDataIn = true;
        options.dataInLength = static_cast<uint32_t>(length);
    } else if (name == "--sense") {
        uint64_t length = 0;
        if (!ParseUnsigned(value, 255, length)) {
            error = "--sense wants a byte count from 0 to 255, not '" + value + "'";
            return false;
        }
        options.senseLength = static_cast<uint32_t>(length);
    } else if (name == "--timeout") {
        uint64_t seconds = 0;
        if (!ParseUnsigned(value, 3600, seconds) || seconds == 0) {
            error = "--timeout wants seconds from 1 to 3600, not '" + value + "'";
            return false;
        }
        options.timeoutSeconds = static_cast<uint32_t>(seconds);
    } else if (name == "--vpd") {
        if (!ParseVpdPage(value, options.vpdPage)) {
            error = "--vpd wants a page number (0x83 or 131) or sp, sn, di, not '" + value + "'";
            return false;
        }
        options.hasVpd = true;
    } else if (name == "--write") {
        options.writeAddress = value;
    } else if (name == "--notify") {
        if (value == "event") {
            options.notify = NotifyMethod::Event;
        } else if (value == "post") {
            options.notify = NotifyMethod::Post;
        } else if (value == "poll") {
            options.notify = NotifyMethod::Poll;
        } else {
            error = "--notify wants event, post or poll, not '" + value + "'";
            return false;
        }
    }
    return true;
}

// Returns true when the flag `name` was stored in `options`.
bool StoreFlag(const std::string& name, Options& options) {
    if (name == "--json") {
        options.json = true;
    } else if (name == "--all") {
        options.all = true;
    } else if (name == "--immed") {
        options.immed = true;
    } else if (name == "-v" || name == "--verbose") {
        options.verbose = true;
    } else if (name == "-h" || name == "--help") {
        options.help = true;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (max - digit) / 10) return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.size() < 3 || (text.compare(0, 2, "0x") != 0 && text.compare(0, 2, "0X") != 0)) {
        return ParseUnsigned(text, max, value);
    }
    uint64_t number = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        const char c = static_cast<char>(text[i] | 0x20);
        uint64_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint64_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint64_t>(c - 'a' + 10);
        } else {
            return false;
        }
        if (number > (max - digit) / 16) return false;
        number = number * 16 + digit;
    }
    value = number;
    return true;
}

bool ParseByteNumber(const std::string& text, uint8_t max, uint8_t& value) {
    uint64_t number = 0;
    if (!ParseNumber(text, max, number)) return false;
    value = static_cast<uint8_t>(number);
    return true;
}

namespace {

// Returns the option's canonical name: the long form of a short option.
std::string CanonicalOption(const std::string& name) {
    if (name == "-o") return "--output";
    if (name == "-i") return "--input";
    if (name == "-v") return "--verbose";
    if (name == "-h") return "--help";
    return name;
}

// The options each command uses besides --machine, --library, --json and
// --help, which every command takes. An option outside its command's list
// is refused rather than dropped, so that a command never looks as if it
// did what an option asked.
const struct {
    const char* command;
    const char* const options[9];
} CommandOptions[] = {
    {"scan", {"--notify", "--sense", "--timeout", "--verbose"}},
    {"inquiry", {"--vpd", "--notify", "--sense", "--timeout", "--verbose"}},
    {"tur", {"--notify", "--sense", "--timeout", "--verbose"}},
    {"readcap", {"--notify", "--sense", "--timeout", "--verbose"}},
    {"read", {"--output", "--all", "--notify", "--sense", "--timeout", "--verbose"}},
    {"write", {"--input", "--notify", "--sense", "--timeout", "--verbose"}},
    {"raw", {"--in", "--out", "--output", "--notify", "--sense", "--timeout", "--verbose"}},
    {"modesense", {"--notify", "--sense", "--timeout", "--verbose"}},
    {"start", {"--immed", "--notify", "--sense", "--timeout", "--verbose"}},
    {"stop", {"--immed", "--notify", "--sense", "--timeout", "--verbose"}},
    {"eject", {"--immed", "--notify", "--sense", "--timeout", "--verbose"}},
    {"sense", {"--notify", "--sense", "--timeout", "--verbose"}},
    // The self-test: an optional address and the time limit of each check.
    {"check", {"--timeout", "--write"}},
    {"help", {}},
    {"burn", {"--input", "--notify", "--sense", "--timeout", "--verbose"}},
};

// Returns true when `command` uses the option `name` (canonical).
bool CommandTakes(const std::string& command, const std::string& name) {
    if (name == "--machine" || name == "--library" || name == "--json" || name == "--help") {
        return true;
    }
    for (const auto& entry : CommandOptions) {
        if (command != entry.command) continue;
        for (const char* option : entry.options) {
            if (option != nullptr && name == option) return true;
        }
        return false;
    }
    return false;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
    bool commandSeen = false;
    std::vector<std::pair<std::string, std::string>> given;  // canonical, as written
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() > 1 && arg[0] == '-') {
            std::string name = arg;
            std::string value;
            bool inlineValue = false;
            const size_t equals = arg.find('=');
            if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
                name = arg.substr(0, equals);
                value = arg.substr(equals + 1);
                inlineValue = true;
            }
            if (TakesValue(name)) {
                if (!inlineValue) {
                    if (i + 1 >= args.size()) {
                        error = "option " + name + " needs a value";
                        return false;
                    }
                    value = args[++i];
                }
                if (!StoreValue(name, value, options, error)) return false;
                given.emplace_back(CanonicalOption(name), name);
                continue;
            }
            if (!inlineValue && StoreFlag(name, options)) {
                given.emplace_back(CanonicalOption(name), name);
                continue;
            }
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (!commandSeen) {
            if (!IsCommand(arg)) {
                error = "unknown command '" + arg + "'";
                return false;
            }
            commandSeen = true;
            options.command = arg;
            continue;
        }
        options.operands.push_back(arg);
    }
    if (options.command == "help") options.help = true;
    if (options.help) return true;
    for (const auto& option : given) {
        if (!CommandTakes(options.command, option.first)) {
            error = "option " + option.second + " does not apply to the " + options.command +
                    " command";
            return false;
        }
    }
    if (options.hasDataIn && !options.dataOutFile.empty()) {
        error = "--in and --out exclude each other: a command moves data one way";
        return false;
    }
    if (options.command == "raw" && !options.outputFile.empty() && !options.hasDataIn) {
        error = "raw -o FILE keeps data that comes in: give --in N too";
        return false;
    }
    return true;
}

const char* UsageText() {
    return "usage: aspitool [COMMAND] [OPERANDS] [OPTIONS]\n"
           "\n"
           "commands (ADDR is HA:TARGET:LUN, for instance 0:3:0; LBA, COUNT and PAGE take\n"
           "decimal or hex, 0x10):\n"
           "  scan                          support information, host adapters and units (default)\n"
           "  inquiry ADDR [--vpd PAGE]     standard INQUIRY data, or a vital product data page\n"
           "                                (PAGE: number, or sp, sn, di: supported, serial, ids)\n"
           "  tur ADDR                      TEST UNIT READY\n"
           "  readcap ADDR                  READ CAPACITY(10)\n"
           "  read ADDR LBA COUNT [-o FILE] read COUNT blocks from LBA (hex dump without -o)\n"
           "  read ADDR --all -o FILE       read the whole medium into FILE\n"
           "  write ADDR LBA -i FILE        write FILE (whole blocks) from LBA on\n"
           "  burn ADDR -i FILE             burn FILE (an ISO image) onto a CD/DVD writer's blank\n"
           "                                disc, close it and read it back\n"
           "  modesense ADDR [PAGE]         MODE SENSE(10), or (6) where the unit lacks it: header,\n"
           "                                block descriptors, pages (PAGE 0-0x3F; 0x3F, all, without)\n"
           "  start|stop|eject ADDR [--immed]  START STOP UNIT: spin up, spin down, eject medium\n"
           "  sense ADDR                    REQUEST SENSE, decoded\n"
           "  raw ADDR CDB-HEX [--in N [-o FILE] | --out FILE]\n"
           "                                send one command block, show status, sense and data\n"
           "                                (N bytes in, kept in FILE with -o; or FILE's bytes out)\n"
           "  check [ADDR]                  self-test of the library on every unit (or ADDR), with\n"
           "                                changeless commands only; --timeout S limits each check.\n"
           "                                Run it on idle units: its TEST UNIT READY, REQUEST SENSE\n"
           "                                and CHECK CONDITION take a pending UNIT ATTENTION or\n"
           "                                deferred error meant for another program (the report\n"
           "                                names the units that had one)\n"
           "\n"
           "options (a command refuses an option it does not use):\n"
           "  --json                 machine-readable output, errors included\n"
           "  --library PATH         the ASPI library to load (default: the one beside the tool)\n"
           "  --machine FILE         simulated machine to run on (Linux build only)\n"
           "  --notify event|post|poll  how completion of execute requests is awaited (event)\n"
           "  --sense N              sense bytes requested, 0-255 (32)\n"
           "  --timeout S            seconds to wait for each command, 1-3600 (60)\n"
           "  --write ADDR           check: also read the last block of ADDR, write it back\n"
           "                         unchanged and read it again (a faulty library may lose it)\n"
           "  -v, --verbose          each command block sent, and its status, sense and residual,\n"
           "                         on standard error (on the simulated machine also the\n"
           "                         platform error of each pass-through control)\n"
           "  -o, --output FILE      file for data read (read, raw)\n"
           "  -i, --input FILE       file of data to write (write, burn)\n"
           "  -h, --help             this text\n"
           "\n"
           "exit codes:\n"
           "  0  done, every request ended with SS_COMP\n"
           "  1  a request ended with another status (in a scan: any adapter or unit that\n"
           "     failed), or a unit, file, machine or library could not be used\n"
           "  2  the command line cannot be used (an address with no unit there included)\n"
           "  3  check: nothing failed, but no unit could be reached to check\n";
}

}  // namespace aspitool
