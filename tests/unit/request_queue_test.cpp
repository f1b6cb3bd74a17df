// The request queue with its worker: start and stop, refusals and how they
// are completed, the ring's capacity, submission order, failed starts, and
// an abandoned lock.
#include "execution_support.h"

#include <thread>

namespace {

using namespace execution_test;

class RequestQueueTest : public ExecutionTest {
protected:
    void SetUp() override {
        ExecutionTest::SetUp();
        threadsAtStart_ = sim::LiveThreadCount();
        threadHandlesAtStart_ = sim::OpenHandleCount(sim::ObjectKind::Thread);
    }
    // Returns nothing: expects the submission of a block for absent target
    // 9 to be refused and posted on this thread, before the call returned.
    static void ExpectRefused(ExecBlock& block) {
        PrepareExec(block, 9, 0x00, 0);
        block.Srb()->SRB_HaStat = 0x11;
        block.Srb()->SRB_TargStat = 0x02;
        EXPECT_EQ(SubmitExecuteRequest(block.Srb()), SS_ERR);
        EXPECT_EQ(Posts().PostsOf(block.Srb()), std::vector<BYTE>{SS_ERR});
        EXPECT_EQ(block.Srb()->SRB_HaStat, 0);
        EXPECT_EQ(block.Srb()->SRB_TargStat, 0);
    }
    // Returns nothing: submits blocks for absent target 9. While the worker
    // is held up they must stay pending; an idle one may finish them before
    // the call returns.
    static void SubmitAbsent(std::vector<ExecBlock>& blocks, bool workerHeld = false) {
        for (ExecBlock& block : blocks) {
            PrepareExec(block, 9, 0x00, 0);
            const BYTE status = SubmitExecuteRequest(block.Srb());
            ASSERT_TRUE(!workerHeld || status == SS_PENDING) << int(status);
        }
    }
    // Returns nothing: expects no queue object and no worker left (a
    // worker that said it left may take a moment to end).
    void ExpectNotStarted() {
        EXPECT_EQ(ReadQueueFlag(RequestQueue.Initialized), 0);
        EXPECT_EQ(RequestQueue.Mutex, nullptr);
        EXPECT_EQ(RequestQueue.WorkEvent, nullptr);
        EXPECT_EQ(RequestQueue.WorkerLeft, nullptr);
        EXPECT_EQ(RequestQueue.WorkerThread, nullptr);
        EXPECT_TRUE(Eventually([&] { return sim::LiveThreadCount() == threadsAtStart_; }));
        EXPECT_TRUE(Eventually([&] { return sim::OpenHandleCount() == handlesAtStart_; }));
    }
    size_t threadsAtStart_ = 0;
    size_t threadHandlesAtStart_ = 0;
};

TEST_F(RequestQueueTest, EverythingIsRefusedBeforeStart) {
    ExecBlock block;
    void* address = block.Srb();
    EXPECT_EQ(SubmitSrb(&address), QueueNotStarted);
    EXPECT_EQ(AbortSrb(&address), QueueNotStarted);
    EXPECT_EQ(LockQueue(), QueueNotStarted);
    EXPECT_EQ(WaitForWork(), QueueNotStarted);
    EXPECT_EQ(PushSrb(&address), QueueNotStarted);
    EXPECT_EQ(PopSrb(&address), QueueNotStarted);
    EXPECT_EQ(Posts().Total(), 0u);
    ExpectRefused(block);

    // An application waiting on its event learns of the refusal too.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ExecBlock notified;
    PrepareExec(notified, 1, 0x00, 0);
    notified.Srb()->SRB_Flags = SRB_EVENT_NOTIFY;
    notified.Srb()->SRB_PostProc = event;
    EXPECT_EQ(SubmitExecuteRequest(notified.Srb()), SS_ERR);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
    ExpectNothingLeaked();
}

TEST_F(RequestQueueTest, StartAndStopLeaveNoWorkerAndNoThreadHandle) {
    ASSERT_EQ(StartRequestQueue(), 0u);
    EXPECT_EQ(ReadQueueFlag(RequestQueue.Initialized), 1);
    EXPECT_NE(RequestQueue.WorkerThread, nullptr);
    EXPECT_NE(RequestQueue.Mutex, nullptr);
    EXPECT_NE(RequestQueue.WorkEvent, nullptr);
    EXPECT_EQ(sim::LiveThreadCount(), threadsAtStart_ + 1);

    // The worker runs requests, even those for absent units.
    std::vector<ExecBlock> absent(1);
    SubmitAbsent(absent);
    ASSERT_TRUE(Posts().WaitForTotal(1));
    EXPECT_EQ(absent[0].Status(), SS_NO_DEVICE);
    EXPECT_EQ(absent[0].Srb()->SRB_HaStat, HASTAT_SEL_TO);

    // An idle worker ends when asked; it is not left to the time-out. The
    // event and the mutex are closed with it.
    sim::ResetCallCounts();
    StopRequestQueue();
    EXPECT_EQ(sim::CallCount(sim::Call::TerminateThread), 0u);
    ExpectNotStarted();
    EXPECT_EQ(ReadQueueFlag(RequestQueue.StopFlag), 0);
    EXPECT_EQ(sim::OpenHandleCount(sim::ObjectKind::Thread), threadHandlesAtStart_);

    ExecBlock late;
    ExpectRefused(late);
    void* address = late.Srb();
    EXPECT_EQ(AbortSrb(&address), QueueNotStarted);
    StopRequestQueue();  // a second stop does nothing

    // A restart creates them anew; nothing piles up.
    ASSERT_EQ(StartRequestQueue(), 0u);
    StopRequestQueue();
    ExpectNothingLeaked();
}

TEST_F(RequestQueueTest, StartingARunningQueueChangesNothing) {
    InstallHangingUnit();
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock hanging;
    OccupyWorker(hanging);
    std::vector<ExecBlock> queued(1);
    SubmitAbsent(queued, true);
    const RequestQueueState copy = RequestQueue;
    const size_t handles = sim::OpenHandleCount();

    EXPECT_EQ(StartRequestQueue(), WorkerAlreadyRecorded);
    EXPECT_EQ(RequestQueue.Mutex, copy.Mutex);
    EXPECT_EQ(RequestQueue.WorkEvent, copy.WorkEvent);
    EXPECT_EQ(RequestQueue.WorkerThread, copy.WorkerThread);
    EXPECT_EQ(RequestQueue.Tail - RequestQueue.Head, 1);
    EXPECT_EQ(sim::OpenHandleCount(), handles);

    sim::ReleaseHangs();
    ASSERT_TRUE(Posts().WaitForTotal(2));
    EXPECT_EQ(queued[0].Status(), SS_NO_DEVICE);
}

TEST_F(RequestQueueTest, RequestsRunInSubmissionOrder) {
    InstallHangingUnit();
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock hanging;
    OccupyWorker(hanging);
    std::vector<ExecBlock> blocks(40);
    for (size_t i = 0; i < blocks.size(); ++i) {
        // Alternate a unit that answers and one that is absent.
        PrepareExec(blocks[i], i % 2 == 0 ? 1 : 9, 0x12, 0);
        ASSERT_EQ(SubmitExecuteRequest(blocks[i].Srb()), SS_PENDING);
    }
    sim::ReleaseHangs();
    ASSERT_TRUE(Posts().WaitForTotal(blocks.size() + 1));
    const std::vector<void*> order = Posts().Order();
    ASSERT_EQ(order.size(), blocks.size() + 1);
    EXPECT_EQ(order[0], hanging.Srb());
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(order[i + 1], blocks[i].Srb()) << i;
        EXPECT_EQ(blocks[i].Status(), i % 2 == 0 ? SS_COMP : SS_NO_DEVICE);
    }
}

TEST_F(RequestQueueTest, RingHolds255AndRefusesThe256th) {
    InstallHangingUnit();
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock hanging;
    OccupyWorker(hanging);
    std::vector<ExecBlock> blocks(255);
    SubmitAbsent(blocks, true);
    EXPECT_EQ((RequestQueue.Tail - RequestQueue.Head + RequestSlotCount) % RequestSlotCount, 255);

    ExecBlock full;
    PrepareExec(full, 9, 0x00, 0);
    void* address = full.Srb();
    EXPECT_EQ(SubmitSrb(&address), QueueFull);
    EXPECT_EQ(Posts().Total(), 0u);
    ExpectRefused(full);

    sim::ReleaseHangs();
    ASSERT_TRUE(Posts().WaitForTotal(255 + 2));
    EXPECT_EQ(Posts().PostsOf(hanging.Srb()).size(), 1u);
    for (ExecBlock& block : blocks) {
        EXPECT_EQ(Posts().PostsOf(block.Srb()), std::vector<BYTE>{SS_NO_DEVICE});
    }
    // The refused block was never run.
    EXPECT_EQ(Posts().PostsOf(full.Srb()).size(), 1u);
    EXPECT_EQ(full.Srb()->SRB_HaStat, 0);
}

TEST_F(RequestQueueTest, StopNeverPostsPendingRequestsAndTerminatesAStuckWorker) {
    InstallHangingUnit();
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock hanging;
    OccupyWorker(hanging);
    std::vector<ExecBlock> pending(3);
    SubmitAbsent(pending, true);

    const auto before = std::chrono::steady_clock::now();
    StopRequestQueue();
    const auto took = std::chrono::steady_clock::now() - before;
    // One full wait, and none for the command: terminated inside it, the
    // worker still lives, and ends when the command does.
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_EQ(sim::LiveThreadCount(), threadsAtStart_ + 1);
    EXPECT_EQ(RequestQueue.WorkerThread, nullptr);
    // Our duplicate is closed, and so is the runtime's own handle, which a
    // worker terminated short of its _endthread never closes.
    EXPECT_EQ(sim::OpenHandleCount(sim::ObjectKind::Thread), threadHandlesAtStart_);

    sim::ReleaseHangs();
    EXPECT_TRUE(Eventually([&] { return sim::LiveThreadCount() == threadsAtStart_; }));
    // The command's device handle and request buffer were left to it.
    EXPECT_EQ(sim::OpenHandleCount(), handlesAtStart_ + 1);
    EXPECT_EQ(sim::CommittedVirtualMemory(), memoryAtStart_ + 4096);
    EXPECT_EQ(Posts().Total(), 0u);
    EXPECT_EQ(hanging.Status(), SS_PENDING);
    for (ExecBlock& block : pending) EXPECT_EQ(block.Status(), SS_PENDING);
    ExecBlock late;
    ExpectRefused(late);

    // The lock the terminated worker may have held is usable again.
    ASSERT_EQ(StartRequestQueue(), 0u);
    std::vector<ExecBlock> again(1);
    SubmitAbsent(again);
    ASSERT_TRUE(Posts().WaitForTotal(2));
    EXPECT_EQ(again[0].Status(), SS_NO_DEVICE);
}

TEST_F(RequestQueueTest, StopWhoseWaitFailsOrFindsTheWorkerTerminatedPostsNothing) {
    // A failed wait counts as a time-out; a worker terminated before the
    // stop (as at process exit) that has ended since gives back its holds.
    InstallHangingUnit();
    for (bool exited : {true, false}) {
        ASSERT_EQ(StartRequestQueue(), 0u);
        ExecBlock hanging;
        OccupyWorker(hanging);
        sim::ResetCallCounts();
        if (exited) {
            ASSERT_TRUE(TerminateThread(RequestQueue.WorkerThread, 0));
            sim::ReleaseHangs();
            ASSERT_EQ(WaitForSingleObject(RequestQueue.WorkerThread, 10000), WAIT_OBJECT_0);
        }
        sim::FailCall(sim::Call::WaitForMultipleObjects, 1, ERROR_INVALID_HANDLE);
        StopRequestQueue();
        EXPECT_EQ(sim::CallCount(sim::Call::TerminateThread), exited ? 2u : 1u);
        sim::ReleaseHangs();
        EXPECT_TRUE(Eventually([&] { return sim::LiveThreadCount() == threadsAtStart_; }));
        EXPECT_EQ(Posts().Total(), 0u);
        EXPECT_EQ(sim::OpenHandleCount(), handlesAtStart_ + (exited ? 0 : 1));
    }
}

TEST_F(RequestQueueTest, SubmissionThatCannotTakeTheLockOrWakeTheWorkerIsRefused) {
    // The idle worker's one wait takes the lock and the event.
    ASSERT_EQ(StartRequestQueue(), 0u);
    ASSERT_TRUE(Eventually([] { return ReadQueueFlag(RequestQueue.WorkerRan) != 0; }));
    for (sim::Call call : {sim::Call::WaitForSingleObject, sim::Call::SetEvent}) {
        SCOPED_TRACE(sim::CallName(call));
        Posts().Clear();
        ExecBlock refused;
        sim::FailCall(call, 1, ERROR_INVALID_HANDLE);
        ExpectRefused(refused);
        sim::ClearFaults();
        // Never queued: a later request is posted, and it alone.
        std::vector<ExecBlock> later(1);
        SubmitAbsent(later);
        ASSERT_TRUE(Posts().WaitForTotal(2));
        EXPECT_EQ(Posts().PostsOf(refused.Srb()), std::vector<BYTE>{SS_ERR});
        EXPECT_EQ(Posts().Total(), 2u);
    }
}

TEST_F(RequestQueueTest, WorkerWhoseWaitFailsTakesNothing) {
    InstallHangingUnit();
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock hanging;
    OccupyWorker(hanging);
    // Every wait of the worker's fails while this thread holds the lock.
    sim::ResetCallCounts();
    sim::FailCall(sim::Call::WaitForMultipleObjects, 1, ERROR_INVALID_HANDLE, 1000000);
    ASSERT_EQ(LockQueue(), 0u);
    std::vector<ExecBlock> queued(1);
    SubmitAbsent(queued, true);
    sim::ReleaseHangs();
    ASSERT_TRUE(Posts().WaitForTotal(1));
    ASSERT_TRUE(Eventually(
        [] { return sim::CallCount(sim::Call::WaitForMultipleObjects) > 100; }));
    EXPECT_FALSE(RingIsEmpty());
    sim::ClearFaults();
    UnlockQueue();
    ASSERT_TRUE(Posts().WaitForTotal(2));
    EXPECT_EQ(Posts().PostsOf(queued[0].Srb()), std::vector<BYTE>{SS_NO_DEVICE});
}

TEST_F(RequestQueueTest, FailedStartReturnsAnErrorAndLeavesNothing) {
    struct Row {
        sim::Call call;
        unsigned nth;
        DWORD error;
        DWORD expected;  // 0: any error
    } const rows[] = {
        // Object creation fails the start even with last error zero.
        {sim::Call::CreateEventA, 1, 0, ERROR_NOT_ENOUGH_MEMORY},
        {sim::Call::CreateMutexA, 1, 0, ERROR_NOT_ENOUGH_MEMORY},
        {sim::Call::CreateMutexA, 1, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        // The event's code, although the mutex was created after it.
        {sim::Call::CreateEventA, 1, 1450, 1450},
        // The event by which the worker says that it left.
        {sim::Call::CreateEventA, 2, 1450, 1450},
        // The runtime's error for the thread.
        {sim::Call::BeginThread, 1, EAGAIN, EAGAIN},
        {sim::Call::BeginThread, 1, 0, 0},
        // A worker without a duplicate handle is dismissed.
        {sim::Call::DuplicateHandle, 1, 1450, 1450},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << sim::CallName(row.call) << " " << row.nth << " "
                                        << row.error);
        sim::ClearFaults();
        sim::FailCall(row.call, row.nth, row.error);
        const DWORD result = StartRequestQueue();
        EXPECT_EQ(result, row.expected != 0 ? row.expected : result);
        EXPECT_NE(result, 0u);
        ExpectNotStarted();
    }
}

TEST_F(RequestQueueTest, WorkerThatCannotBeTerminatedEndsByItself) {
    sim::FailCall(sim::Call::DuplicateHandle, 1, 0);
    sim::FailCall(sim::Call::TerminateThread, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(StartRequestQueue(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    // Its own handle goes with it.
    EXPECT_TRUE(Eventually([&] { return sim::LiveThreadCount() == threadsAtStart_; }));
    EXPECT_TRUE(Eventually([&] { return sim::OpenHandleCount() == handlesAtStart_; }));

    // A later start has exactly one worker: every request is posted once.
    ASSERT_EQ(StartRequestQueue(), 0u);
    EXPECT_EQ(sim::LiveThreadCount(), threadsAtStart_ + 1);
    std::vector<ExecBlock> blocks(20);
    SubmitAbsent(blocks);
    ASSERT_TRUE(Posts().WaitForTotal(blocks.size()));
    for (ExecBlock& block : blocks) EXPECT_EQ(Posts().PostsOf(block.Srb()).size(), 1u);
}

TEST_F(RequestQueueTest, StopReturnsOnceTheWorkerLeftOrEnded) {
    // At unload NT lets no thread end while DllMain runs (here a thread
    // handle that never signals stands in); at process exit the worker is
    // terminated before the detach and never says that it left. Neither
    // stop waits out its time limit, which would end in TerminateThread.
    for (bool processExit : {false, true}) {
        SCOPED_TRACE(processExit);
        ASSERT_EQ(StartRequestQueue(), 0u);
        ASSERT_TRUE(Eventually([] { return ReadQueueFlag(RequestQueue.WorkerRan) != 0; }));
        const HANDLE worker = RequestQueue.WorkerThread;
        if (processExit) {
            ASSERT_TRUE(TerminateThread(worker, 0));
        } else {
            RequestQueue.WorkerThread = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
        sim::ResetCallCounts();
        StopRequestQueue();
        EXPECT_EQ(sim::CallCount(sim::Call::TerminateThread), 0u);
        EXPECT_EQ(RequestQueue.WorkerThread, nullptr);
        if (!processExit) CloseHandle(worker);
        EXPECT_TRUE(Eventually([&] { return sim::LiveThreadCount() == threadsAtStart_; }));
    }
}

TEST_F(RequestQueueTest, WorkerThatCannotBeTerminatedAtStopEndsAndPostsNothing) {
    InstallHangingUnit();
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock hanging;
    OccupyWorker(hanging);
    std::vector<ExecBlock> pending(2);
    SubmitAbsent(pending, true);
    sim::FailCall(sim::Call::TerminateThread, 1, ERROR_ACCESS_DENIED);
    StopRequestQueue();
    // No second worker beside the one that runs on.
    EXPECT_EQ(StartRequestQueue(), WorkerAlreadyRecorded);

    sim::ReleaseHangs();
    EXPECT_TRUE(Eventually([&] { return sim::LiveThreadCount() == threadsAtStart_; }));
    EXPECT_EQ(Posts().Total(), 0u);
    EXPECT_EQ(hanging.Status(), SS_PENDING);
    for (ExecBlock& block : pending) EXPECT_EQ(block.Status(), SS_PENDING);

    // Once it has ended, a start finds nothing left of it.
    ASSERT_EQ(StartRequestQueue(), 0u);
    std::vector<ExecBlock> again(1);
    SubmitAbsent(again);
    ASSERT_TRUE(Posts().WaitForTotal(1));
    StopRequestQueue();
    ExpectNotStarted();
}

TEST_F(RequestQueueTest, WorkerThatHasNotRunIsWaitedForBrieflyAndLeavesNoHandle) {
    // As in an unload right after the load, where the loader lets the worker
    // run only after the stop: here it hangs in a command and reads as not
    // run yet. Its runtime handle, never closed by _endthread, goes too.
    InstallHangingUnit();
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock hanging;
    OccupyWorker(hanging);
    WriteQueueFlag(RequestQueue.WorkerRan, 0);
    sim::ResetCallCounts();
    const auto before = std::chrono::steady_clock::now();
    StopRequestQueue();
    // Less than the full wait that a worker which ran gets.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(WorkerStopTimeoutMs));
    EXPECT_EQ(sim::CallCount(sim::Call::TerminateThread), 1u);
    EXPECT_EQ(sim::OpenHandleCount(sim::ObjectKind::Thread), threadHandlesAtStart_);
}

TEST_F(RequestQueueTest, IdleWorkerSleeps) {
    ASSERT_EQ(StartRequestQueue(), 0u);
    std::vector<ExecBlock> one(1);
    SubmitAbsent(one);
    ASSERT_TRUE(Posts().WaitForTotal(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sim::ResetCallCounts();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_LE(sim::CallCount(sim::Call::WaitForMultipleObjects), 2u);
}

TEST_F(RequestQueueTest, AbandonedLockCountsAsAcquired) {
    ASSERT_EQ(StartRequestQueue(), 0u);
    // A thread that pushes and ends holding the lock: the worker's wait gets
    // the lock abandoned and must go on as its owner.
    ExecBlock pushed;
    PrepareExec(pushed, 9, 0x00, 0);
    std::thread([&] {
        EXPECT_EQ(LockQueue(), 0u);
        void* address = pushed.Srb();
        EXPECT_EQ(PushSrb(&address), 0u);
    }).join();
    ASSERT_TRUE(Posts().WaitForTotal(1));
    EXPECT_EQ(pushed.Status(), SS_NO_DEVICE);

    // The same for an application thread's lock.
    std::thread([] { EXPECT_EQ(LockQueue(), 0u); }).join();
    EXPECT_EQ(LockQueue(), 0u);
    UnlockQueue();
    std::vector<ExecBlock> later(1);
    SubmitAbsent(later);
    ASSERT_TRUE(Posts().WaitForTotal(2));
    EXPECT_EQ(later[0].Status(), SS_NO_DEVICE);
}

}  // namespace
