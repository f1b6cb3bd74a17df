#include "sim/process/signals.h"

#include "sim/kernel/console_control.h"

#include <windows.h>

#include <signal.h>

#include <atomic>
#include <thread>

namespace sim {
namespace {

// Returns the signals that stand for console control events.
sigset_t ConsoleSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGQUIT);
    return signals;
}

// Set once the program's code may run.
std::atomic<bool> forwarding{false};

}  // namespace

void PrepareProcessSignals() {
    signal(SIGPIPE, SIG_IGN);
    const sigset_t signals = ConsoleSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A host thread of its own, not one of the machine's: it only waits,
    // and each event gets a new thread of the process, as on NT. Before the
    // program runs, the signal ends the host process as it would have.
    std::thread([] {
        const sigset_t signals = ConsoleSignals();
        for (;;) {
            int received = 0;
            if (sigwait(&signals, &received) != 0) continue;
            if (!forwarding.load()) {
                pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
                raise(received);
                continue;
            }
            DeliverConsoleControl(received == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT);
        }
    }).detach();
}

void ForwardConsoleSignals() { forwarding.store(true); }

}  // namespace sim
