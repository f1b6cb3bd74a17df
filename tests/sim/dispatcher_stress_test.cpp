// A seeded, time-bounded stress of the dispatcher: threads waiting in every
// way on every kind of object, with time-outs, setting and releasing them,
// closing handles others wait through, and terminated at random, while the
// test checks the dispatcher's invariants under its lock. The seed
// (PTASPI_STRESS_SEED) chooses each thread's steps; the host chooses the
// interleaving, so a failure names its seed but need not repeat with it.
// PTASPI_STRESS_MS sets the run's length.
#include "kernel_test_support.h"

#include "sim/kernel/dispatcher_check.h"
#include "sim/kernel/threads.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

const int Workers = 6;
const int Terminations = 8;  // each leaves a parked host thread behind

enum Tracked { Mutex0, Mutex1, AutoEvent, ManualEvent, Semaphore, TrackedCount };

// What the workers share. Tracked handles stay open for the whole run, so
// their values never name anything else; the loose ones are made and
// closed while other threads use them, as are the workers' thread handles,
// and a stale value may reach another object (never a mutex).
struct Shared {
    std::array<HANDLE, TrackedCount> Objects{};
    std::array<std::atomic<HANDLE>, Workers> Threads{};
    std::array<std::atomic<HANDLE>, 2> Loose{};
    std::atomic<bool> Stop{false};
    std::mutex FaultLock;
    std::string Fault;  // the first a worker saw
};

void Report(Shared& shared, const std::string& fault) {
    std::lock_guard<std::mutex> guard(shared.FaultLock);
    if (shared.Fault.empty()) shared.Fault = fault;
}

unsigned EnvOr(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 0)) : fallback;
}

// One wait on a random set of tracked objects (and perhaps a thread),
// then gives back what it took; a mutex it did not take must refuse it.
void WaitAndGiveBack(Shared& shared, std::mt19937& random) {
    std::array<int, TrackedCount + 1> kinds{};
    HANDLE handles[TrackedCount + 1];
    DWORD count = 0;
    for (int kind = 0; kind < TrackedCount; ++kind) {
        if (random() % 2 == 0) continue;
        kinds[count] = kind;
        handles[count++] = shared.Objects[kind];
    }
    if (count == 0 || random() % 4 == 0) {
        kinds[count] = TrackedCount;  // a thread, perhaps gone
        handles[count++] = shared.Threads[random() % Workers].load();
    }
    const bool all = count > 1 && random() % 2 == 0;
    const DWORD timeouts[] = {0, 1, 2, 5};
    const DWORD result = count == 1 ? WaitForSingleObject(handles[0], timeouts[random() % 4])
                                    : WaitForMultipleObjects(count, handles, all,
                                                             timeouts[random() % 4]);
    DWORD taken = count;  // wait-any: the index taken
    bool took = false;
    if (result < WAIT_OBJECT_0 + count) {
        taken = result - WAIT_OBJECT_0;
        took = true;
    } else if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) {
        taken = result - WAIT_ABANDONED_0;
        took = true;
    } else if (result != WAIT_TIMEOUT && result != WAIT_FAILED) {
        Report(shared, "a wait returned " + std::to_string(result));
    }
    if (result == WAIT_FAILED && kinds[count - 1] != TrackedCount) {
        Report(shared, "a wait on open handles failed");
    }
    // Held a while at times, so that others queue for it and terminations
    // find owners.
    if (took && random() % 2 == 0) Sleep(1);
    for (DWORD i = 0; i < count; ++i) {
        const bool mine = took && (all || i == taken);
        if (kinds[i] == Mutex0 || kinds[i] == Mutex1) {
            if ((ReleaseMutex(handles[i]) != FALSE) != mine) {
                Report(shared, std::string(mine ? "a mutex taken is not owned"
                                                : "a mutex not taken is owned") +
                                   (all ? " after a wait-all" : " after a wait-any"));
            }
        } else if (kinds[i] == Semaphore && mine) {
            ReleaseSemaphore(handles[i], 1, nullptr);
        }
    }
}

// One step on a loose object: wait, signal, or replace it and close the
// handle that others may be waiting through.
void LooseStep(Shared& shared, std::mt19937& random) {
    std::atomic<HANDLE>& slot = shared.Loose[random() % 2];
    switch (random() % 3) {
        case 0:
            WaitForSingleObject(slot.load(), random() % 3);
            break;
        case 1:
            if (!SetEvent(slot.load())) ReleaseSemaphore(slot.load(), 1, nullptr);
            break;
        default: {
            HANDLE made = random() % 2 == 0 ? CreateEventA(nullptr, FALSE, FALSE, nullptr)
                                            : CreateSemaphoreA(nullptr, 0, 2, nullptr);
            CloseHandle(slot.exchange(made));
        }
    }
}

void Work(const std::shared_ptr<Shared>& shared, unsigned seed) {
    std::mt19937 random(seed);
    while (!shared->Stop.load()) {
        switch (random() % 8) {
            case 0:
            case 1:
            case 2:
                WaitAndGiveBack(*shared, random);
                break;
            case 3:
                SetEvent(shared->Objects[random() % 2 == 0 ? AutoEvent : ManualEvent]);
                break;
            case 4:
                ResetEvent(shared->Objects[ManualEvent]);
                break;
            case 5:
                ReleaseSemaphore(shared->Objects[Semaphore], 1, nullptr);
                break;
            case 6:
                LooseStep(*shared, random);
                break;
            default:
                Sleep(random() % 2);
        }
    }
}

TEST(DispatcherStress, InvariantsHoldUnderWaitsSignalsClosesAndTerminations) {
    const unsigned seed = EnvOr("PTASPI_STRESS_SEED", 20261210);
    const auto length = std::chrono::milliseconds(EnvOr("PTASPI_STRESS_MS", 1500));
    SCOPED_TRACE("PTASPI_STRESS_SEED=" + std::to_string(seed));
    auto shared = std::make_shared<Shared>();
    shared->Objects = {CreateMutexA(nullptr, FALSE, nullptr), CreateMutexA(nullptr, FALSE, nullptr),
                       CreateEventA(nullptr, FALSE, FALSE, nullptr),
                       CreateEventA(nullptr, TRUE, FALSE, nullptr),
                       CreateSemaphoreA(nullptr, 2, 3, nullptr)};
    for (auto& loose : shared->Loose) loose = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    unsigned started = 0;
    auto start = [&] {
        const unsigned workerSeed = seed * 1009u + started++;
        HANDLE thread = kernel_test::StartKeptThread([shared, workerSeed] {
            Work(shared, workerSeed);
        });
        EXPECT_NE(nullptr, thread);
        return thread;
    };
    for (auto& thread : shared->Threads) thread = start();
    // Every handle whose object the check looks at: what the workers use now.
    auto inUse = [&] {
        std::vector<HANDLE> handles(shared->Objects.begin(), shared->Objects.end());
        for (auto& thread : shared->Threads) handles.push_back(thread.load());
        for (auto& loose : shared->Loose) handles.push_back(loose.load());
        return handles;
    };

    std::mt19937 random(seed);
    const auto begin = std::chrono::steady_clock::now();
    int terminated = 0;
    std::string violation;
    while (violation.empty() && std::chrono::steady_clock::now() - begin < length) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + random() % 4));
        violation = sim::DispatcherViolation(inUse());
        const auto due = length * (terminated + 1) / (Terminations + 1);
        if (terminated < Terminations && std::chrono::steady_clock::now() - begin >= due) {
            // The workers' handles are only ever closed here, by the thread
            // that replaces them.
            const int victim = static_cast<int>(random() % Workers);
            EXPECT_TRUE(TerminateThread(shared->Threads[victim].load(), 9));
            if (violation.empty()) violation = sim::DispatcherViolation(inUse());
            CloseHandle(shared->Threads[victim].exchange(start()));
            ++terminated;
        }
    }
    EXPECT_EQ("", violation);
    shared->Stop = true;
    HANDLE threads[Workers];
    for (int i = 0; i < Workers; ++i) threads[i] = shared->Threads[i].load();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(Workers, threads, TRUE, 30000));
    EXPECT_TRUE(sim::WaitForTerminatedThreadsToStop(30000));
    EXPECT_EQ("", sim::DispatcherViolation(inUse()));
    EXPECT_EQ("", shared->Fault);
    for (HANDLE handle : inUse()) CloseHandle(handle);
}

}  // namespace
