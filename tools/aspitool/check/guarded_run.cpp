#include "guarded_run.h"

#include <ptaspi32.h>
#include <process.h>

#include <atomic>
#include <chrono>
#include <new>

namespace aspitool {
namespace {

// What the guarded thread shares with its waiter. It lives on the heap and
// is freed only when the work finished: a thread that hangs or faults may
// still touch it.
struct GuardedTask {
    std::function<void()> work;
    std::atomic<bool> finished{false};
};

// Returns nothing; the guarded thread's start routine.
void __cdecl GuardedThreadMain(void* raw) {
    GuardedTask* task = static_cast<GuardedTask*>(raw);
    EnterGuardedThread();
    task->work();
    LeaveGuardedThread();
    task->finished.store(true, std::memory_order_release);
}

}  // namespace

GuardedEnd RunGuarded(const std::function<void()>& work, uint32_t limitMs, std::string& fault) {
    GuardedTask* task = new (std::nothrow) GuardedTask;
    if (task == nullptr) return GuardedEnd::NotStarted;
    task->work = work;
    // The runtime's thread start, as an ASPI application would use it: on
    // Windows the library sees the thread attach as with any other thread.
    if (_beginthread(GuardedThreadMain, 0, task) == static_cast<uintptr_t>(-1)) {
        delete task;
        return GuardedEnd::NotStarted;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    // Polled rather than waited for on an event: the platform's waits could
    // block for good behind a lock that a faulted thread holds.
    for (;;) {
        if (task->finished.load(std::memory_order_acquire)) {
            delete task;
            return GuardedEnd::Finished;
        }
        if (FaultCaught(fault)) return GuardedEnd::Faulted;
        if (std::chrono::steady_clock::now() >= deadline) return GuardedEnd::TimedOut;
        PauseBriefly();
    }
}

}  // namespace aspitool
