// The dispatcher's rules that only a waker satisfying each wait itself
// keeps: what a signal releases is decided at the signal, oldest waiter
// first, whatever the signaller does next.
#include "kernel_test_support.h"

#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using kernel_test::Eventually;

// Returns true once `count` more threads than `base` are blocked in waits.
bool BlockedBeyond(size_t base, size_t count) {
    return Eventually([&] { return sim::BlockedThreadCount() == base + count; });
}

// Starts each waiter only once the one before is blocked, so that the
// order of the wait queue is the order of `waits`; returns the threads.
std::vector<std::thread> StartInOrder(const std::vector<std::function<void()>>& waits) {
    std::vector<std::thread> threads;
    const size_t base = sim::BlockedThreadCount();
    for (const auto& wait : waits) {
        threads.emplace_back(wait);
        EXPECT_TRUE(BlockedBeyond(base, threads.size()));
    }
    return threads;
}

TEST(Dispatcher, SetThenResetReleasesEveryWaiterOfAManualResetEvent) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> released{0};
    auto wait = [&] {
        if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) ++released;
    };
    std::vector<std::thread> waiters = StartInOrder({wait, wait, wait});
    SetEvent(event);
    ResetEvent(event);  // too late to hold back anyone the set released
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(3, released.load());
    CloseHandle(event);
}

TEST(Dispatcher, FreedMutexGoesToItsOldestWaiterNotBackToItsReleaser) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<int> order;  // guarded by the mutex itself
    auto take = [&](int who) {
        return [&, who] {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, INFINITE));
            order.push_back(who);
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, INFINITE));
            ReleaseMutex(mutex);
        };
    };
    std::vector<std::thread> waiters = StartInOrder({take(1), take(2)});
    ReleaseMutex(mutex);
    // Handed over at the release: the releaser cannot take it back.
    if (WaitForSingleObject(mutex, 0) != WAIT_TIMEOUT) {
        ADD_FAILURE() << "the releaser took the mutex back from its waiters";
        ReleaseMutex(mutex);
    }
    SetEvent(done);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ((std::vector<int>{1, 2}), order);
    CloseHandle(done);
    CloseHandle(mutex);
}

TEST(Dispatcher, SemaphoreReleasesOnlyAsManyWaitersAsItsCountOldestFirst) {
    HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 5, nullptr);
    std::atomic<int> released[3] = {{0}, {0}, {0}};
    auto wait = [&](int who) {
        return [&, who] {
            if (WaitForSingleObject(semaphore, INFINITE) == WAIT_OBJECT_0) ++released[who];
        };
    };
    const size_t base = sim::BlockedThreadCount();
    std::vector<std::thread> waiters = StartInOrder({wait(0), wait(1), wait(2)});
    ReleaseSemaphore(semaphore, 2, nullptr);
    ASSERT_TRUE(BlockedBeyond(base, 1));
    EXPECT_TRUE(Eventually([&] { return released[0].load() == 1 && released[1].load() == 1; }));
    EXPECT_EQ(0, released[2].load());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(semaphore, 0)) << "both units were taken";
    ReleaseSemaphore(semaphore, 1, nullptr);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(1, released[2].load());
    CloseHandle(semaphore);
}

TEST(Dispatcher, WaitAllTakesEveryObjectWhenItsLastOneIsFreedAndPassesNothingOn) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> allResult{WAIT_FAILED};
    std::atomic<int> anyReleased{0};
    HANDLE finish = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto waitAll = [&] {
        const HANDLE both[2] = {mutex, event};
        allResult = WaitForMultipleObjects(2, both, TRUE, INFINITE);
        WaitForSingleObject(finish, INFINITE);
        ReleaseMutex(mutex);
    };
    auto waitAny = [&] {
        if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) ++anyReleased;
    };
    const size_t base = sim::BlockedThreadCount();
    std::vector<std::thread> waiters = StartInOrder({waitAll, waitAny});
    // The older wait-all cannot have the event while the mutex is held,
    // so the event passes it by to the wait-any behind it.
    SetEvent(event);
    ASSERT_TRUE(BlockedBeyond(base, 1));
    EXPECT_TRUE(Eventually([&] { return anyReleased.load() == 1; }));
    EXPECT_EQ(WAIT_FAILED, allResult.load());
    SetEvent(event);
    ReleaseMutex(mutex);  // completes the wait-all: both taken at once
    ASSERT_TRUE(Eventually([&] { return allResult.load() == WAIT_OBJECT_0; }));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(mutex, 0));
    SetEvent(finish);
    for (auto& waiter : waiters) waiter.join();
    for (HANDLE handle : {mutex, event, finish}) CloseHandle(handle);
}

// A waiter that watches its word before sleeping (sim::SetWaitSpin, as the
// benchmarks and PTASPI_WAIT_SPIN_US turn on) sees its wait completed by
// its waker, and only then returns, with the result that waker made.
TEST(Dispatcher, WatchingWaiterReturnsOnlyTheResultItsWakerMade) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) {
        GTEST_SKIP() << "a waiter watches only where it may run on several processors";
    }
    // Long enough that the waiter is still watching when the event is set,
    // whatever the host does meanwhile; it returns as soon as it sees it.
    const unsigned before = sim::SetWaitSpin(60u * 1000u * 1000u);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    std::atomic<DWORD> single{WAIT_FAILED};
    std::atomic<DWORD> all{WAIT_FAILED};
    const HANDLE both[2] = {mutex, event};
    const size_t base = sim::BlockedThreadCount();
    std::vector<std::thread> waiters = StartInOrder({
        [&] { single = WaitForSingleObject(event, INFINITE); },
        [&] {
            all = WaitForMultipleObjects(2, both, TRUE, INFINITE);
            ReleaseMutex(mutex);
        },
    });
    EXPECT_EQ(WAIT_FAILED, single.load());
    EXPECT_EQ(WAIT_FAILED, all.load());
    SetEvent(event);
    ASSERT_TRUE(BlockedBeyond(base, 1));
    SetEvent(event);
    ReleaseMutex(mutex);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(WAIT_OBJECT_0, single.load());
    EXPECT_EQ(WAIT_OBJECT_0, all.load());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0)) << "each set was taken by a waiter";
    sim::SetWaitSpin(before);
    CloseHandle(mutex);
    CloseHandle(event);
}

}  // namespace
