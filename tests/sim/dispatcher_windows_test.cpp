// The windows between a call's checks made without the dispatcher lock and
// the lock itself: a thread stopped in each (sim::PauseAtNext) while another
// thread terminates it or changes what it waits for, every time.
#include "kernel_test_support.h"

#include "sim/kernel/dispatcher_check.h"
#include "sim/kernel/loader_lock.h"
#include "sim/kernel/pause_points.h"
#include "sim/kernel/threads.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace {

using kernel_test::StartKeptThread;

// Returns whether `call` returned to a thread that was terminated while
// stopped at `point` inside it, once that thread has stopped (or has not
// within a few seconds); `before` runs first, unstopped.
bool ReturnsAfterTerminationAt(sim::PausePoint point, std::function<void()> before,
                               std::function<void()> call) {
    auto returned = std::make_shared<std::atomic<bool>>(false);
    HANDLE thread = StartKeptThread([=] {
        before();
        sim::PauseAtNext(point);
        call();
        *returned = true;
    });
    EXPECT_NE(nullptr, thread);
    EXPECT_TRUE(sim::WaitForPauseAt(point, 10000));
    EXPECT_TRUE(TerminateThread(thread, 3));
    sim::ResumePaused(point);
    EXPECT_TRUE(sim::WaitForTerminatedThreadsToStop(10000)) << "it went on waiting";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    CloseHandle(thread);
    return returned->load();
}

TEST(DispatcherWindows, ThreadTerminatedOnItsWayToAFreeMutexTakesNothing) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const HANDLE both[2] = {event, mutex};
    const std::function<void()> waits[] = {
        [=] { WaitForSingleObject(mutex, INFINITE); },
        [=] { WaitForMultipleObjects(2, both, TRUE, INFINITE); },
    };
    for (const auto& wait : waits) {
        EXPECT_FALSE(ReturnsAfterTerminationAt(sim::PausePoint::WaitBeforeLock, [] {}, wait));
        EXPECT_EQ("", sim::DispatcherViolation({mutex, event}));
        // Never taken, so free and not abandoned.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
        EXPECT_TRUE(ReleaseMutex(mutex));
    }
    CloseHandle(event);
    CloseHandle(mutex);
}

TEST(DispatcherWindows, ThreadTerminatedOnItsWayToAnOwnedMutexIsNeverHandedIt) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    EXPECT_FALSE(ReturnsAfterTerminationAt(sim::PausePoint::WaitBeforeLock, [] {},
                                           [=] { WaitForSingleObject(mutex, INFINITE); }));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ("", sim::DispatcherViolation({mutex}));
    DWORD other = WAIT_FAILED;
    std::thread([&] {
        other = WaitForSingleObject(mutex, 0);
        if (other == WAIT_OBJECT_0) ReleaseMutex(mutex);
    }).join();
    EXPECT_EQ(WAIT_OBJECT_0, other) << "the release handed it to the terminated thread";
    CloseHandle(mutex);
}

TEST(DispatcherWindows, ThreadTerminatedOnItsWayToTheFreeLoaderLockLeavesItFree) {
    EXPECT_FALSE(ReturnsAfterTerminationAt(sim::PausePoint::LoaderLockBeforeLock, [] {}, [] {
        sim::EnterLoaderLock();
        sim::LeaveLoaderLock();
    }));
    const bool orphaned = sim::LoaderLockOrphaned();
    EXPECT_FALSE(orphaned) << "the terminated thread holds the loader lock";
    if (orphaned) sim::ResetOrphanedLoaderLock();  // for the tests after this one
}

TEST(DispatcherWindows, ThreadTerminatedInReleaseMutexGetsNoAnswerAndAbandonsIt) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    auto answer = std::make_shared<std::atomic<int>>(-1);
    EXPECT_FALSE(ReturnsAfterTerminationAt(
        sim::PausePoint::ReleaseMutexBeforeLock,
        [=] { WaitForSingleObject(mutex, INFINITE); },
        [=] { *answer = ReleaseMutex(mutex); }));
    EXPECT_EQ(-1, answer->load());
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(mutex, 0));
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST(DispatcherWindows, WaitSatisfiedAsItsTimeRunsOutReturnsWhatItWasGiven) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    DWORD result = WAIT_FAILED;
    BOOL released = FALSE;
    std::thread waiter([&] {
        sim::PauseAtNext(sim::PausePoint::WaitTimedOutBeforeLock);
        result = WaitForSingleObject(mutex, 10);
        released = ReleaseMutex(mutex);
    });
    ASSERT_TRUE(sim::WaitForPauseAt(sim::PausePoint::WaitTimedOutBeforeLock, 10000));
    // Timed out, and still queued: the release hands it the mutex.
    EXPECT_TRUE(ReleaseMutex(mutex));
    sim::ResumePaused(sim::PausePoint::WaitTimedOutBeforeLock);
    waiter.join();
    EXPECT_EQ(WAIT_OBJECT_0, result);
    EXPECT_TRUE(released);
    EXPECT_EQ("", sim::DispatcherViolation({mutex}));
    CloseHandle(mutex);
}

// Deleting a section that a leave has just handed to a waiter, before the
// waiter runs, is misuse: the waiter would read the freed section.
TEST(DispatcherWindowsDeathTest, DeletingASectionWhoseWaiterWasReadiedIsMisuse) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_DEATH(
        {
            static CRITICAL_SECTION section;
            InitializeCriticalSection(&section);
            EnterCriticalSection(&section);
            const size_t base = sim::BlockedThreadCount();
            std::thread waiter([] {
                sim::PauseAtNext(sim::PausePoint::ConditionWokenBeforeLock);
                EnterCriticalSection(&section);
                LeaveCriticalSection(&section);
            });
            kernel_test::Eventually([&] { return sim::BlockedThreadCount() > base; });
            LeaveCriticalSection(&section);
            sim::WaitForPauseAt(sim::PausePoint::ConditionWokenBeforeLock, 10000);
            DeleteCriticalSection(&section);
            sim::ResumePaused(sim::PausePoint::ConditionWokenBeforeLock);
            waiter.join();
        },
        "DeleteCriticalSection\\(0x[0-9a-f]+\\): a section other threads wait for");
}

}  // namespace
