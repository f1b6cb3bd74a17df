#include "options.h"

#include <cstring>

namespace aspitool {
namespace {

const char* const Commands[] = {"scan", "inquiry", "tur", "readcap", "read", "write", "raw", "help"};

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
                                            "--timeout"};
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

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
    bool commandSeen = false;
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
                continue;
            }
            if (!inlineValue && StoreFlag(name, options)) continue;
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
    if (options.hasDataIn && !options.dataOutFile.empty()) {
        error = "--in and --out exclude each other: a command moves data one way";
        return false;
    }
    return true;
}

const char* UsageText() {
    return "usage: aspitool [COMMAND] [OPERANDS] [OPTIONS]\n"
           "\n"
           "commands (ADDR is HA:TARGET:LUN, for instance 0:3:0):\n"
           "  scan                          support information, host adapters and units (default)\n"
           "  inquiry ADDR                  standard INQUIRY data\n"
           "  tur ADDR                      TEST UNIT READY\n"
           "  readcap ADDR                  READ CAPACITY(10)\n"
           "  read ADDR LBA COUNT [-o FILE] read COUNT blocks from LBA (hex dump without -o)\n"
           "  read ADDR --all -o FILE       read the whole medium into FILE\n"
           "  write ADDR LBA -i FILE        write FILE (whole blocks) from LBA on\n"
           "  raw ADDR CDB-HEX [--in N | --out FILE] [--sense N]\n"
           "                                send one command block, show status, sense and data\n"
           "\n"
           "options:\n"
           "  --json                 machine-readable output\n"
           "  --library PATH         the ASPI library to load (default: the one beside the tool)\n"
           "  --machine FILE         simulated machine to run on (Linux build only)\n"
           "  --notify event|post|poll  how completion of execute requests is awaited (event)\n"
           "  --sense N              sense bytes requested, 0-255 (32)\n"
           "  --timeout S            seconds to wait for each command, 1-3600 (60)\n"
           "  -o, --output FILE      file for data read\n"
           "  -i, --input FILE       file of data to write\n"
           "  -h, --help             this text\n";
}

}  // namespace aspitool
