// Helpers for the tests of the simulated kernel objects: threads started
// through the runtime's _beginthread with a closure, and handle duplication.
#ifndef PTASPI_TESTS_SIM_KERNEL_TEST_SUPPORT_H
#define PTASPI_TESTS_SIM_KERNEL_TEST_SUPPORT_H

#include <process.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace kernel_test {

inline void __cdecl RunClosure(void* raw) { (*static_cast<std::function<void()>*>(raw))(); }

// Returns what _beginthread returned for a thread that runs `body`. The
// closures are kept for the whole run: a thread that calls _endthread or
// is terminated never gets back to free its own.
inline uintptr_t StartThread(std::function<void()> body, unsigned stackSize = 16384) {
    static std::mutex lock;
    static std::list<std::function<void()>> closures;
    std::function<void()>* owned;
    {
        std::lock_guard<std::mutex> guard(lock);
        closures.push_back(std::move(body));
        owned = &closures.back();
    }
    return _beginthread(RunClosure, stackSize, owned);
}

// Returns a handle of the caller's own to a new thread that runs `body`,
// null when the thread could not start. The thread runs `body` only once
// that handle exists: the handle that _beginthread returns is closed by the
// thread as it ends, which may come before the caller could duplicate it.
inline HANDLE StartKeptThread(std::function<void()> body) {
    const HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const uintptr_t started = StartThread([go, body] {
        WaitForSingleObject(go, INFINITE);
        CloseHandle(go);
        body();
    });
    if (started == static_cast<uintptr_t>(-1)) {
        CloseHandle(go);
        return nullptr;
    }
    HANDLE kept = nullptr;
    DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(started), GetCurrentProcess(),
                    &kept, 0, FALSE, DUPLICATE_SAME_ACCESS);
    SetEvent(go);
    return kept;
}

// Returns a second handle to the object behind `handle`, or null.
inline HANDLE Duplicate(HANDLE handle) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

// Returns true once `condition` holds, false after `limitMs`.
inline bool Eventually(const std::function<bool()>& condition, int limitMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace kernel_test

#endif
