// aspitool: an ASPI application that reaches host adapters and devices only
// through the library's two exports, to show what the library sees and to
// read, write and probe devices through it.
#include "aspi_library.h"
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
    {"check", RunCheck},
};

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
        PrintError(error);
        std::fputs("run 'aspitool --help' for the commands and options\n", stderr);
        return ExitUsage;
    }
    if (session.options.help) {
        std::fputs(UsageText(), stdout);
        return ExitOk;
    }
    // The machine comes first: the library looks at it once, when it loads.
    if (!SetUpMachine(session.options.machineFile, session.machineName, error)) {
        PrintError(error);
        return ExitFailure;
    }
    const std::string path = session.options.libraryPath.empty() ? DefaultLibraryPath()
                                                                 : session.options.libraryPath;
    if (!LoadAspiLibrary(path, session.library, error)) {
        PrintError(error);
        TearDownMachine();
        return ExitFailure;
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
