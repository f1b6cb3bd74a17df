// kernel32's process calls over the simulated process.
#include "sim/loader/process.h"

#include "sim/loader/loader.h"

#include <windows.h>

#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace sim {
namespace {

std::mutex& CommandLineLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

// The text GetCommandLineA hands out; never freed, as a program may keep
// the pointer for the whole run.
std::string& CommandLineText() {
    static auto* text = new std::string;
    return *text;
}

// Set once, before the program's code runs, and never changed.
std::string& ProgramPathText() {
    static auto* text = new std::string;
    return *text;
}

}  // namespace

void SetProgramPath(const std::string& hostPath) { ProgramPathText() = hostPath; }

const std::string& ProgramPath() { return ProgramPathText(); }

bool IsProgramProcess() { return !ProgramPathText().empty(); }

void SetProcessCommandLine(const std::string& commandLine) {
    std::lock_guard<std::mutex> hold(CommandLineLock());
    CommandLineText() = commandLine;
}

}  // namespace sim

LPSTR WINAPI GetCommandLineA(void) {
    std::lock_guard<std::mutex> hold(sim::CommandLineLock());
    return &sim::CommandLineText()[0];
}

VOID WINAPI ExitProcess(UINT uExitCode) {
    // NT's order: other threads end, the modules are detached, then the
    // process is gone with the code; host streams are flushed so nothing
    // written by the simulator itself is lost.
    sim::SimulateProcessExit();
    std::fflush(nullptr);
    _exit(static_cast<int>(uExitCode));
}
