// Events, mutexes and the two waits of the simulated kernel.
#include "kernel_test_support.h"

#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using kernel_test::Duplicate;
using kernel_test::Eventually;

class SyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFaults();
        handlesBefore = sim::OpenHandleCount();
    }
    void TearDown() override {
        sim::ClearFaults();
        EXPECT_EQ(handlesBefore, sim::OpenHandleCount()) << "a test leaked a handle";
    }
    size_t handlesBefore = 0;
};

// ---- Events -------------------------------------------------------------

TEST_F(SyncTest, EventsStaySignalledUntilResetOrUntilOneWaitTakesThem) {
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(manual, nullptr);
    ASSERT_NE(automatic, nullptr);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
    ASSERT_TRUE(SetEvent(manual));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(automatic, 0));
    // Setting it twice before a wait still releases one wait only.
    SetEvent(automatic);
    SetEvent(automatic);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(automatic, 0));
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_TRUE(CloseHandle(automatic));
}

TEST_F(SyncTest, AutoResetEventReleasesOneOfTwoBlockedWaiters) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) ++released;
    };
    std::thread first(waiter), second(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(0, released.load()) << "nobody returns before the event is set";
    SetEvent(event);
    EXPECT_TRUE(Eventually([&] { return released.load() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(1, released.load());
    SetEvent(event);
    first.join();
    second.join();
    EXPECT_EQ(2, released.load());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    CloseHandle(event);
}

TEST_F(SyncTest, TimeoutsAreHonoured) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE handles[] = {event};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 60));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(1, handles, TRUE, 60));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(120));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
    CloseHandle(event);
}

// ---- Mutexes ------------------------------------------------------------

TEST_F(SyncTest, MutexIsRecursiveForItsOwnerAndOnlyTheOwnerReleases) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    std::thread([&] {
        SetLastError(0);
        EXPECT_FALSE(ReleaseMutex(mutex));
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(mutex, 0));
    }).join();
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    std::thread([&] { EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(mutex, 0)); }).join();
    EXPECT_TRUE(ReleaseMutex(mutex));  // the third, from the creation
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());
    std::thread([&] {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
        EXPECT_TRUE(ReleaseMutex(mutex));
    }).join();
    CloseHandle(mutex);
}

TEST_F(SyncTest, MutexOfAnEndedThreadIsAbandonedOnce) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    std::thread([&] {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));  // recursion 2
    }).join();
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(mutex, 0));
    // The recursion count restarts at 1 with the new owner.
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());
    // Abandonment is reported to one wait only.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
    // A mutex created owned belongs to its creator, so it too is abandoned.
    std::thread([&] { mutex = CreateMutexA(nullptr, TRUE, nullptr); }).join();
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(mutex, 0));
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST_F(SyncTest, BlockedWaiterGetsAbandonedWhenTheOwnerEnds) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE finish = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        WaitForSingleObject(mutex, INFINITE);
        SetEvent(taken);
        WaitForSingleObject(finish, INFINITE);
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(taken, 5000));
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] {
        result = WaitForSingleObject(mutex, INFINITE);
        ReleaseMutex(mutex);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(0xDEADu, result.load());
    SetEvent(finish);
    owner.join();
    waiter.join();
    EXPECT_EQ(WAIT_ABANDONED, result.load());
    for (HANDLE handle : {mutex, taken, finish}) CloseHandle(handle);
}

// ---- WaitForMultipleObjects ---------------------------------------------

TEST_F(SyncTest, WaitForMultipleObjectsChecksItsArguments) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& handle : many) handle = event;
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, many, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    // 64 is allowed for wait-any; wait-all refuses one object named twice.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0));
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, many, TRUE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    HANDLE withBad[] = {event, reinterpret_cast<HANDLE>(0x7777770)};
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, withBad, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    CloseHandle(event);
}

TEST_F(SyncTest, WaitAnyTakesTheLowestSignalledObjectOnly) {
    HANDLE events[3];
    for (HANDLE& event : events) event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(events[1]);
    SetEvent(events[2]);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, events, FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, events, FALSE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, events, FALSE, 0));
    for (HANDLE event : events) CloseHandle(event);
}

TEST_F(SyncTest, WaitAllNeverHoldsTheMutexWhileTheEventIsUnsignalled) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE handles[] = {mutex, event};
    std::atomic<DWORD> result{0xDEAD};
    std::atomic<bool> released{false};
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread waiter([&] {
        result = WaitForMultipleObjects(2, handles, TRUE, INFINITE);
        WaitForSingleObject(done, INFINITE);
        released = true;
        ReleaseMutex(mutex);
    });
    // Meanwhile the mutex stays free for others. (No ASSERT here: the
    // waiter thread must be joined whatever happens.)
    for (int round = 0; round < 50; ++round) {
        if (WaitForSingleObject(mutex, 1000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the waiting thread held the mutex, round " << round;
            break;
        }
        ReleaseMutex(mutex);
        std::this_thread::yield();
    }
    EXPECT_EQ(0xDEADu, result.load());
    SetEvent(event);
    EXPECT_TRUE(Eventually([&] { return result.load() != 0xDEADu; }));
    EXPECT_EQ(WAIT_OBJECT_0, result.load());
    // Now the waiter owns the mutex, and the event stays set (manual reset).
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(mutex, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    SetEvent(done);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 5000));
    EXPECT_TRUE(released.load());
    ReleaseMutex(mutex);
    waiter.join();
    CloseHandle(mutex);
    CloseHandle(event);
    CloseHandle(done);
}

TEST_F(SyncTest, WaitAllThatTimesOutTakesNothing) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE autoEvent = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE blocker = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE handles[] = {mutex, autoEvent, blocker};
    std::thread([&] {
        EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, handles, TRUE, 30));
    }).join();
    // Neither the free mutex nor the signalled auto-reset event was taken.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoEvent, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));  // not abandoned
    EXPECT_TRUE(ReleaseMutex(mutex));
    SetEvent(autoEvent);
    SetEvent(blocker);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, handles, TRUE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoEvent, 0));  // reset by the wait-all
    EXPECT_TRUE(ReleaseMutex(mutex));
    for (HANDLE handle : handles) CloseHandle(handle);
}

// Wait-any gives the index of the abandoned mutex (after an unsignalled
// event), wait-all reports it at its own index.
TEST_F(SyncTest, MultipleWaitsReportAnAbandonedMutex) {
    for (BOOL waitAll : {FALSE, TRUE}) {
        SCOPED_TRACE(waitAll ? "wait-all" : "wait-any");
        HANDLE event = CreateEventA(nullptr, TRUE, waitAll, nullptr);
        HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
        std::thread([&] { WaitForSingleObject(mutex, 0); }).join();
        HANDLE anyOrder[] = {event, mutex};
        HANDLE allOrder[] = {mutex, event};
        EXPECT_EQ(waitAll ? WAIT_ABANDONED_0 : WAIT_ABANDONED_0 + 1,
                  WaitForMultipleObjects(2, waitAll ? allOrder : anyOrder, waitAll, 0));
        EXPECT_TRUE(ReleaseMutex(mutex));
        CloseHandle(event);
        CloseHandle(mutex);
    }
}

// ---- Handles, names and faults ------------------------------------------

TEST_F(SyncTest, CallsOnInvalidOrMismatchedHandlesFailWithInvalidHandle) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE bogus = reinterpret_cast<HANDLE>(0x7777770);
    auto expectInvalid = [](bool failed) {
        EXPECT_TRUE(failed);
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        SetLastError(0);
    };
    expectInvalid(WaitForSingleObject(bogus, 0) == WAIT_FAILED);
    expectInvalid(WaitForSingleObject(nullptr, 0) == WAIT_FAILED);
    expectInvalid(!SetEvent(mutex));
    expectInvalid(!ResetEvent(bogus));
    expectInvalid(!ReleaseMutex(event));
    expectInvalid(!CloseHandle(bogus));
    expectInvalid(!CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_TRUE(CloseHandle(event));
    expectInvalid(!CloseHandle(event));
    expectInvalid(!SetEvent(event));
    CloseHandle(mutex);
}

TEST_F(SyncTest, WaitContinuesOnAnObjectWhoseHandleIsClosed) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = Duplicate(event);
    ASSERT_NE(second, nullptr);
    std::atomic<DWORD> result{0xDEAD};
    const size_t blockedBefore = sim::BlockedThreadCount();
    std::thread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
    while (sim::BlockedThreadCount() == blockedBefore) std::this_thread::yield();
    EXPECT_TRUE(CloseHandle(event));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(0xDEADu, result.load());
    SetEvent(second);
    waiter.join();
    EXPECT_EQ(WAIT_OBJECT_0, result.load());
    CloseHandle(second);
}

TEST_F(SyncTest, NamedCreationSetsLastErrorAndNamedObjectsAreOpenedAgain) {
    SetLastError(1234);
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "kernel-test-event");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(0u, GetLastError());
    SetLastError(1234);
    HANDLE unnamed = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_EQ(1234u, GetLastError());  // unnamed: left alone
    CloseHandle(unnamed);
    HANDLE second = CreateEventA(nullptr, FALSE, TRUE, "kernel-test-event");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(183u, GetLastError());  // ERROR_ALREADY_EXISTS
    EXPECT_NE(first, second);
    // One object: the second creation's arguments were ignored.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(second, 0));
    SetEvent(first);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));  // manual reset
    // Names compare with case; a name taken by another kind is refused.
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, "KERNEL-TEST-EVENT");
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(nullptr, CreateMutexA(nullptr, FALSE, "kernel-test-event"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    CloseHandle(first);
    CloseHandle(second);
    CloseHandle(other);
}

TEST_F(SyncTest, InjectedFaultsFailTheCallsWithTheChosenError) {
    sim::FailCall(sim::Call::CreateEventA, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(nullptr, CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    sim::FailCall(sim::Call::CreateMutexA, 2, ERROR_ACCESS_DENIED);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(nullptr, CreateMutexA(nullptr, FALSE, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);

    sim::FailCall(sim::Call::WaitForSingleObject, 1, 1234);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(mutex, 0));
    EXPECT_EQ(1234u, GetLastError());
    sim::FailCall(sim::Call::WaitForMultipleObjects, 1, 4321);
    HANDLE handles[] = {mutex, event};
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, handles, TRUE, 0));
    EXPECT_EQ(4321u, GetLastError());
    // A failed wait took nothing.
    std::thread([&] {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
        ReleaseMutex(mutex);
    }).join();

    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    sim::FailCall(sim::Call::ReleaseMutex, 1, 5);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    sim::FailCall(sim::Call::ResetEvent, 1, 6);
    EXPECT_FALSE(ResetEvent(event));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    sim::FailCall(sim::Call::SetEvent, 1, 7);
    ResetEvent(event);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    sim::FailCall(sim::Call::CloseHandle, 1, 8);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(8u, GetLastError());
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(CloseHandle(mutex));
}

// ---- Handle values --------------------------------------------------------

uintptr_t ValueOf(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

TEST_F(SyncTest, HandleValuesAreReusedLastClosedFirstAsOnNt) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE b = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(0u, ValueOf(a) % 4);
    EXPECT_EQ(0u, ValueOf(b) % 4);
    ASSERT_TRUE(CloseHandle(a));
    ASSERT_TRUE(CloseHandle(b));
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(b, mutex);
    EXPECT_EQ(a, event);
    // A stale close reaches the object that took the value since.
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(mutex, 0));
    // The two low bits of a value are ignored.
    EXPECT_TRUE(SetEvent(reinterpret_cast<HANDLE>(ValueOf(event) | 3)));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    CloseHandle(event);
}

}  // namespace
