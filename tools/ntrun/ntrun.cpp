// ntrun: runs a 32-bit Windows console program on a simulated NT machine.
//
//     ntrun [--machine FILE] [--list-imports] [--strict] PROGRAM.exe [ARGUMENTS...]
//
// The machine is installed first (the built-in default without
// --machine); then the program runs as the simulated process, and its exit
// code is ntrun's, by the rule that Usage states.
#include "sim/process/exit_status.h"
#include "sim/process/program.h"
#include "sim/process/signals.h"
#include "sim/machine/machine.h"
#include "sim/machine/machine_warnings.h"
#include "sim/sim.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const int ExitOwnFailure = sim::OwnFailureStatus;

const char Usage[] =
    "usage: ntrun [--machine FILE] [--list-imports] [--strict] PROGRAM.exe [ARGUMENTS...]\n"
    "  --machine FILE   the simulated machine (default: the built-in one)\n"
    "  --list-imports   print every import of the program and its DLLs, and whether\n"
    "                   it is provided; run nothing\n"
    "  --strict         refuse to start when an import is missing\n"
    "\n"
    "Exit status: the program's exit code when it is 0 to 255. ntrun's own outcomes,\n"
    "each with a line on standard error that begins with 'ntrun: ', are\n"
    "    3  the program faulted with no handler taking it, or called an import\n"
    "       that the simulator does not provide (the line says which)\n"
    "  125  ntrun's own error (its options, the machine file)\n"
    "  126  the program did not start (not a console PE32 program, --strict,\n"
    "       a DLL's initialisation failed)\n"
    "  127  no such program\n"
    "A program's code that does not fit 8 bits ends ntrun with 255, and one that\n"
    "is 3, 125, 126 or 127 with itself; either way the last line on standard error\n"
    "is then 'ntrun: PROGRAM ended with exit code DECIMAL (0xHEX)'. So 0 is always\n"
    "the program's success, and the last line of standard error tells whose a\n"
    "status of 3, 125, 126, 127 or 255 is.\n";

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
    sim::PrepareProcessSignals();
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
