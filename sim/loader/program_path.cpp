// The program a process runs, as the loader knows it.
#include "sim/loader/process.h"

namespace sim {
namespace {

// Set once, before the program's code runs, and never changed.
std::string& ProgramPathText() {
    static auto* text = new std::string;
    return *text;
}

}  // namespace

void SetProgramPath(const std::string& hostPath) { ProgramPathText() = hostPath; }

const std::string& ProgramPath() { return ProgramPathText(); }

bool IsProgramProcess() { return !ProgramPathText().empty(); }

}  // namespace sim
