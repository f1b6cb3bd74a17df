// aspitool: an ASPI application that reaches host adapters and devices only
// through the library's two exports, to show what the library sees and to
// read, write and probe devices through it.
#include "aspi_library.h"
#include "json.h"
#include "commands/commands.h"
#include "machine_setup.h"
#include "options.h"
#include "output.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace aspitool {
namespace {

struct CommandEntry {
    const char* name;
    int (*run)(Session& session);
};

const CommandEntry CommandTable[] = {
    {"scan", RunScan},       {"inquiry", RunInquiry}, {"tur", RunTestUnitReady},
    {"readcap", RunReadCapacity}, {"read", RunRead},  {"write", RunWrite},
    {"raw", RunRaw},         {"modesense", RunModeSense}, {"start", RunStart},
    {"stop", RunStop},       {"eject", RunEject},     {"sense", RunRequestSense},
    {"check", RunCheck},     {"burn", RunBurn},
};

// Returns `code` after reporting `message`, a failure before any command
// ran, on standard error and, when the command line asked for JSON, as a
// JSON document with the kind of failure ("usage", "machine", "library").
int FailEarly(bool json, const char* kind, int code, const std::string& message) {
    if (json) {
        Json document = Json::Object();
        document.Set("error", Json::Text(message));
        document.Set("error_kind", Json::Text(kind));
        PrintJson(document);
    }
    PrintError(message);
    return code;
}

// Returns true when --json stands among `args`, whether or not the rest of
// the line parses, so that even a usage error is reported as JSON.
bool JsonWanted(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--json") return true;
    }
    return false;
}

// Returns the exit code of the command that the session names.
int Dispatch(Session& session) {
    for (const CommandEntry& entry : CommandTable) {
        if (session.options.command == entry.name) return entry.run(session);
    }
    PrintError("unknown command '" + session.options.command + "'");
    return ExitUsage;
}

// Returns the process exit code: the whole run of the tool.
int Run(int argc, char** argv) {
    Session session;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    std::string error;
    if (!ParseOptions(args, session.options, error)) {
        const int code = FailEarly(JsonWanted(args), "usage", ExitUsage, error);
        std::fputs("run 'aspitool --help' for the commands and options\n", stderr);
        return code;
    }
    if (session.options.help) {
        std::fputs(UsageText(), stdout);
        return ExitOk;
    }
    // The machine comes first: the library looks at it once, when it loads.
    const bool json = session.options.json;
    if (!session.options.machineFile.empty() && !MachineOptionSupported()) {
        const int code = FailEarly(json, "usage", ExitUsage,
                                   "--machine is for the simulated machine of the Linux build; on "
                                   "Windows the tool works on the real machine");
        std::fputs("run 'aspitool --help' for the commands and options\n", stderr);
        return code;
    }
    if (!SetUpMachine(session.options.machineFile, session.machine, error)) {
        return FailEarly(json, "machine", ExitFailure, error);
    }
    for (const std::string& warning : session.machine.warnings) PrintError("warning: " + warning);
    const std::string path = session.options.libraryPath.empty() ? DefaultLibraryPath()
                                                                 : session.options.libraryPath;
    if (!LoadAspiLibrary(path, session.library, error)) {
        TearDownMachine();
        return FailEarly(json, "library", ExitFailure, error);
    }
    int code = Dispatch(session);
    UnloadAspiLibrary(session.library);
    TearDownMachine();
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        PrintError("cannot write the output");
        if (code == ExitOk) code = ExitFailure;
    }
    return code;
}

}  // namespace
}  // namespace aspitool

int main(int argc, char** argv) {
    try {
        return aspitool::Run(argc, argv);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "aspitool: internal error: %s\n", failure.what());
    } catch (...) {
        std::fprintf(stderr, "aspitool: internal error\n");
    }
    return aspitool::ExitFailure;
}
