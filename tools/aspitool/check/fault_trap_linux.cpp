// Faults on the simulated machine are signals: the library's code, Windows
// DLL or shared object, runs directly in this process. A handler on every
// thread but the tool's main one records the first fault and parks the
// thread in the handler for good; only async-signal-safe calls are made.
#include "guarded_run.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace aspitool {
namespace {

const int TrappedSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
const size_t TrappedCount = sizeof TrappedSignals / sizeof TrappedSignals[0];

pthread_t mainThread;
struct sigaction previousActions[TrappedCount];
std::atomic<int> faultSignal{0};
std::atomic<uintptr_t> faultAddress{0};
std::atomic<uintptr_t> faultInstruction{0};

// A stack for the handler, per guarded thread, so that a stack overflow in
// the library can be reported too.
thread_local void* handlerStack = nullptr;
const size_t HandlerStackSize = 64 * 1024;

// Returns only on the main thread; any other thread stays here for good.
void OnFault(int signal, siginfo_t* info, void* context) {
    if (pthread_equal(pthread_self(), mainThread)) {
        // The tool's own thread: the fault is the tool's, and the process
        // ends as it would have without the trap.
        for (size_t i = 0; i < TrappedCount; ++i) {
            if (TrappedSignals[i] == signal) sigaction(signal, &previousActions[i], nullptr);
        }
        return;
    }
    int none = 0;
    if (faultSignal.compare_exchange_strong(none, signal)) {
        faultAddress.store(reinterpret_cast<uintptr_t>(info->si_addr));
        const ucontext_t* machine = static_cast<const ucontext_t*>(context);
        faultInstruction.store(static_cast<uintptr_t>(machine->uc_mcontext.gregs[REG_EIP]));
    }
    for (;;) pause();
}

}  // namespace

void InstallFaultTrap() {
    mainThread = pthread_self();
    struct sigaction action = {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < TrappedCount; ++i) {
        sigaction(TrappedSignals[i], &action, &previousActions[i]);
    }
}

bool FaultCaught(std::string& description) {
    const int signal = faultSignal.load();
    if (signal == 0) return false;
    const char* name = signal == SIGSEGV ? "access violation (SIGSEGV)"
                       : signal == SIGBUS ? "bus error (SIGBUS)"
                       : signal == SIGILL ? "illegal instruction (SIGILL)"
                                          : "arithmetic fault (SIGFPE)";
    char text[160];
    std::snprintf(text, sizeof text, "%s at address 0x%08lX, instruction at 0x%08lX", name,
                  static_cast<unsigned long>(faultAddress.load()),
                  static_cast<unsigned long>(faultInstruction.load()));
    description = text;
    return true;
}

void EnterGuardedThread() {
    // A thread that has a handler stack already (the sanitizers give every
    // thread one) keeps it.
    stack_t current = {};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return;
    handlerStack = std::malloc(HandlerStackSize);
    if (handlerStack == nullptr) return;
    stack_t stack = {};
    stack.ss_sp = handlerStack;
    stack.ss_size = HandlerStackSize;
    sigaltstack(&stack, nullptr);
}

void LeaveGuardedThread() {
    if (handlerStack == nullptr) return;
    stack_t stack = {};
    stack.ss_flags = SS_DISABLE;
    sigaltstack(&stack, nullptr);
    std::free(handlerStack);
    handlerStack = nullptr;
}

void PauseBriefly() {
    const struct timespec pause = {0, 1000 * 1000};
    nanosleep(&pause, nullptr);
}

}  // namespace aspitool
