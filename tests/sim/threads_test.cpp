// Threads of the simulated machine: _beginthread/_endthread and their
// handle, TerminateThread, abandonment, and the simulator's thread counts.
#include "kernel_test_support.h"

#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"

#include <gtest/gtest.h>

#include <process.h>
#include <windows.h>

#include <errno.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

namespace {

using kernel_test::Duplicate;
using kernel_test::Eventually;
using kernel_test::StartThread;

const uintptr_t StartFailed = static_cast<uintptr_t>(-1);

HANDLE AsHandle(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

class ThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFaults();
        ASSERT_TRUE(sim::WaitForThreadsToEnd(5000));
    }
    void TearDown() override {
        sim::ClearFaults();
        EXPECT_TRUE(sim::WaitForThreadsToEnd(5000));
    }
};

// What a thread that ends early shares with the test.
struct Ending {
    HANDLE gate = nullptr;
    std::atomic<int> reached{0};
};

void __cdecl EndEarly(void* raw) {
    auto* ending = static_cast<Ending*>(raw);
    WaitForSingleObject(ending->gate, INFINITE);
    ending->reached = 1;
    _endthread();
    ending->reached = 2;  // never runs
}

TEST_F(ThreadsTest, EndingClosesTheHandleWhileADuplicateStaysValid) {
    const char* const ways[] = {"return", "_endthread", "_endthread as start routine"};
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(ways[way]);
        Ending ending;
        ending.gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const uintptr_t started =
            way == 2   ? _beginthread(EndEarly, 0, &ending)
            : way == 1 ? StartThread([&] { EndEarly(&ending); })
                       : StartThread([&] {
                             WaitForSingleObject(ending.gate, INFINITE);
                             ending.reached = 1;
                         });
        ASSERT_NE(StartFailed, started);
        HANDLE thread = AsHandle(started);
        HANDLE kept = Duplicate(thread);
        ASSERT_NE(nullptr, kept);
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(kept, 0));
        SetEvent(ending.gate);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(kept, 5000));
        EXPECT_EQ(1, ending.reached.load());
        // The handle that _beginthread returned was closed as the thread ended.
        SetLastError(0);
        EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(thread, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        EXPECT_FALSE(CloseHandle(thread));
        EXPECT_TRUE(CloseHandle(kept));
        CloseHandle(ending.gate);
    }
}

TEST_F(ThreadsTest, ThreadEndingOwningAMutexAbandonsIt) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE viaEndthread = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(StartFailed, StartThread([&] {
        WaitForSingleObject(mutex, INFINITE);
        WaitForSingleObject(mutex, INFINITE);
    }));
    ASSERT_NE(StartFailed, StartThread([&] {
        WaitForSingleObject(viaEndthread, INFINITE);
        _endthread();
    }));
    ASSERT_TRUE(sim::WaitForThreadsToEnd(5000));
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(mutex, 0));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));  // the count restarted at 1
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(viaEndthread, 0));
    EXPECT_TRUE(ReleaseMutex(viaEndthread));
    CloseHandle(mutex);
    CloseHandle(viaEndthread);
}

TEST_F(ThreadsTest, TerminatedWaiterNeverReturnsAndItsObjectsAreReleased) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> stage{0};
    uintptr_t started = StartThread([&] {
        WaitForSingleObject(mutex, INFINITE);
        stage = 1;
        WaitForSingleObject(wake, INFINITE);
        stage = 2;  // must never happen
    });
    ASSERT_NE(StartFailed, started);
    HANDLE thread = AsHandle(started);
    ASSERT_TRUE(Eventually([&] { return stage.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // inside the wait
    EXPECT_EQ(1u, sim::LiveThreadCount());
    EXPECT_TRUE(TerminateThread(thread, 7));
    EXPECT_EQ(0u, sim::LiveThreadCount());
    // Signalled, and its handle stays open: the runtime's exit code that
    // closes it never ran.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(mutex, 0));
    EXPECT_TRUE(ReleaseMutex(mutex));
    // The event it waited on is not consumed by the terminated thread.
    SetEvent(wake);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(1, stage.load());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(wake, 0));
    // Terminating it again succeeds and changes nothing.
    EXPECT_TRUE(TerminateThread(thread, 8));
    EXPECT_TRUE(CloseHandle(thread));
    CloseHandle(mutex);
    CloseHandle(wake);
}

TEST_F(ThreadsTest, TerminatedThreadStopsInsideTheSimulatorsWait) {
    std::atomic<int> stage{0};
    std::atomic<bool> release{false};
    sim::WaitQueue queue;
    uintptr_t started = StartThread([&] {
        sim::StateHold lock(sim::StateLock());
        stage = 1;
        sim::WaitUntil(lock, &queue, [&] { return release.load(); }, INFINITE);
        stage = 2;  // must never happen
    });
    ASSERT_NE(StartFailed, started);
    ASSERT_TRUE(Eventually([&] { return stage.load() == 1; }));
    EXPECT_TRUE(TerminateThread(AsHandle(started), 0));
    {
        sim::StateGuard guard(sim::StateLock());
        release = true;
        sim::SignalQueueLocked(queue);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(1, stage.load());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(AsHandle(started), 0));
    CloseHandle(AsHandle(started));
}

TEST_F(ThreadsTest, TerminatedThreadRunningOutsideStopsAtItsNextCall) {
    std::atomic<bool> go{false};
    std::atomic<int> stage{0};
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> running{false};
    uintptr_t started = StartThread([&] {
        running = true;
        while (!go.load()) std::this_thread::yield();
        stage = 1;
        SetEvent(event);  // never takes effect
        stage = 2;
    });
    ASSERT_NE(StartFailed, started);
    ASSERT_TRUE(Eventually([&] { return running.load(); }));
    EXPECT_TRUE(TerminateThread(AsHandle(started), 0));
    go = true;
    ASSERT_TRUE(Eventually([&] { return stage.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(1, stage.load());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    CloseHandle(AsHandle(started));
    CloseHandle(event);
}

TEST_F(ThreadsTest, TerminateThreadChecksItsHandleAndHonoursFaults) {
    SetLastError(0);
    EXPECT_FALSE(TerminateThread(reinterpret_cast<HANDLE>(0x7777770), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(TerminateThread(event, 0));  // not a thread
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    uintptr_t started = StartThread([&] { WaitForSingleObject(event, INFINITE); });
    ASSERT_NE(StartFailed, started);
    HANDLE kept = Duplicate(AsHandle(started));
    sim::FailCall(sim::Call::TerminateThread, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(TerminateThread(kept, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(kept, 10));  // still running
    SetEvent(event);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(kept, 5000));
    EXPECT_TRUE(TerminateThread(kept, 0));  // an ended thread
    CloseHandle(kept);
    CloseHandle(event);
}

TEST_F(ThreadsTest, BeginthreadFailuresReportErrnoAndStartNothing) {
    size_t handles = sim::OpenHandleCount();
    std::atomic<bool> ran{false};
    sim::FailCall(sim::Call::BeginThread, 1, EAGAIN);
    errno = 0;
    EXPECT_EQ(StartFailed, StartThread([&] { ran = true; }));
    EXPECT_EQ(EAGAIN, errno);
    errno = 0;
    EXPECT_EQ(StartFailed, _beginthread(nullptr, 0, nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(handles, sim::OpenHandleCount());
    EXPECT_EQ(0u, sim::LiveThreadCount());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(ran.load());
}

TEST_F(ThreadsTest, SmallRequestedStacksAreRaisedForThisBuild) {
    std::atomic<int> sum{0};
    ASSERT_NE(StartFailed, StartThread([&] {
        volatile char buffer[256 * 1024];
        for (size_t i = 0; i < sizeof buffer; i += 4096) buffer[i] = 1;
        int total = 0;
        for (size_t i = 0; i < sizeof buffer; i += 4096) total += buffer[i];
        sum = total;
    }, 16384));
    ASSERT_TRUE(sim::WaitForThreadsToEnd(5000));
    EXPECT_EQ(64, sum.load());
}

TEST_F(ThreadsTest, LiveThreadsAreCountedUntilTheyEnd) {
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(StartFailed, StartThread([&] { WaitForSingleObject(gate, INFINITE); }));
    }
    EXPECT_EQ(3u, sim::LiveThreadCount());
    EXPECT_FALSE(sim::WaitForThreadsToEnd(20));
    SetEvent(gate);
    EXPECT_TRUE(sim::WaitForThreadsToEnd(5000));
    EXPECT_EQ(0u, sim::LiveThreadCount());
    CloseHandle(gate);
}

TEST_F(ThreadsTest, ThreadIdsAreDistinctStableAndWindowsShaped) {
    DWORD mine = GetCurrentThreadId();
    EXPECT_EQ(mine, GetCurrentThreadId());
    EXPECT_EQ(sim::CurrentThreadKey(), mine);
    EXPECT_NE(0u, mine);
    EXPECT_EQ(0u, mine % 4);
    std::set<DWORD> ids{mine};
    for (int i = 0; i < 4; ++i) {
        std::thread([&] { ids.insert(GetCurrentThreadId()); }).join();
    }
    EXPECT_EQ(5u, ids.size());
}

TEST_F(ThreadsTest, DuplicateHandleChecksItsArguments) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE copy = nullptr;
    EXPECT_FALSE(DuplicateHandle(event, event, GetCurrentProcess(), &copy, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(0x7777770),
                                 GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(nullptr, copy);
    // Closing the source leaves one handle, to the same object.
    size_t handles = sim::OpenHandleCount();
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_EQ(handles, sim::OpenHandleCount());
    EXPECT_FALSE(SetEvent(event));
    EXPECT_TRUE(SetEvent(copy));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(copy, 0));
    EXPECT_EQ(reinterpret_cast<HANDLE>(-1), GetCurrentProcess());
    CloseHandle(copy);
}

TEST_F(ThreadsTest, SleepWaitsAboutAsLongAsAsked) {
    auto start = std::chrono::steady_clock::now();
    Sleep(30);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(30));
    EXPECT_LT(elapsed, std::chrono::seconds(30));  // it ends at all, however loaded the host
}

}  // namespace
