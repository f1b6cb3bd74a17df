// ntrun: runs a 32-bit Windows console program on a simulated NT machine.
//
//     ntrun [--machine FILE] [--list-imports] [--strict] PROGRAM.exe [ARGUMENTS...]
//
// The machine is installed first (the built-in default without
// --machine); then the program runs as the simulated process, and its exit
// code is ntrun's. ntrun's own failures (its command line, the machine)
// exit with 125; a program that does not start with 126 (127: no such
// file); one that faults or calls what the simulator lacks with 3.
#include "sim/loader/program.h"
#include "sim/machine/machine.h"
#include "sim/machine/machine_warnings.h"
#include "sim/sim.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const int ExitOwnFailure = 125;

const char Usage[] =
    "usage: ntrun [--machine FILE] [--list-imports] [--strict] PROGRAM.exe [ARGUMENTS...]\n"
    "  --machine FILE   the simulated machine (default: the built-in one)\n"
    "  --list-imports   print every import of the program and its DLLs, and whether\n"
    "                   it is provided; run nothing\n"
    "  --strict         refuse to start when an import is missing\n";

// Returns ntrun's exit code after the one-line error `text`.
int Fail(const std::string& text) {
    std::fprintf(stderr, "ntrun: %s\n", text.c_str());
    return ExitOwnFailure;
}

// Returns ntrun's exit code after the one-line error `text` and a hint.
int FailUsage(const std::string& text) {
    Fail(text);
    std::fputs("run 'ntrun --help' for the options\n", stderr);
    return ExitOwnFailure;
}

}  // namespace

int main(int argc, char** argv) {
    sim::ProgramRun run;
    std::string machineFile;
    int at = 1;
    for (; at < argc && argv[at][0] == '-'; ++at) {
        const std::string option = argv[at];
        if (option == "--") {
            ++at;
            break;
        } else if (option == "--help" || option == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (option == "--list-imports") {
            run.ListImports = true;
        } else if (option == "--strict") {
            run.Strict = true;
        } else if (option == "--machine" && at + 1 < argc) {
            machineFile = argv[++at];
        } else if (option.compare(0, 10, "--machine=") == 0) {
            machineFile = option.substr(10);
        } else {
            return FailUsage(option == "--machine" ? "--machine needs a file"
                                                   : "unknown option '" + option + "'");
        }
    }
    if (at == argc) return FailUsage("no program given");
    run.Path = argv[at];
    run.Arguments.assign(argv + at + 1, argv + argc);

    sim::Machine machine;
    std::string error;
    if (machineFile.empty()) {
        machine = sim::DefaultMachine();
    } else {
        error = sim::MachineFileProblem(machineFile);
        if (!error.empty() || !sim::LoadMachineFile(machineFile, machine, error)) return Fail(error);
    }
    if (!run.ListImports && !sim::InstallMachine(machine, error)) {
        return Fail("cannot set up the machine: " + error);
    }
    for (const sim::MachineWarning& warning : sim::MachineWarnings(machine)) {
        std::fprintf(stderr, "ntrun: warning: %s\n", warning.text.c_str());
    }
    // What the program sends that no driver knows is worth seeing.
    sim::ReportUnknownControls(true);
    return sim::RunProgram(run);
}
