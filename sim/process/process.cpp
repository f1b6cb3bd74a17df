// kernel32's process calls over the simulated process: the command line,
// and the end of the process in NT's order.
#include "sim/process/process.h"

#include "sim/kernel/threads.h"
#include "sim/loader/loader.h"
#include "sim/loader/process.h"
#include "sim/process/exit_status.h"

#include <windows.h>

#include <unistd.h>

#include <atomic>
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

// Set by the first thread that ends the process.
std::atomic<bool> exiting{false};

}  // namespace

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
    if (!sim::IsProgramProcess()) {
        // The tests' process: the modules are detached and unloaded.
        sim::SimulateProcessExit();
        std::fflush(nullptr);
        _exit(static_cast<int>(uExitCode));
    }
    // One thread ends the process; another that calls ExitProcess
    // meanwhile is among the threads it terminates.
    if (sim::exiting.exchange(true)) {
        for (;;) Sleep(INFINITE);
    }
    // NT's order: every other thread ends, wherever it is, then the
    // modules are detached, then the process is gone with the code. Host
    // streams are flushed so nothing written by the simulator is lost.
    sim::TerminateOtherThreads();
    sim::StopTerminatedThreads();
    sim::DetachModulesAtExit();
    std::fflush(nullptr);
    _exit(sim::ReportExitStatus(uExitCode));
}
