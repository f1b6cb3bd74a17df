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
    // Returns nothing: installs a unit at target 1 whose TEST UNIT READY
    // hangs until released, and which answers GOOD to the rest.
    void InstallBusyMachine() {
        InstallMachineText(
            MachineWithUnits(ScriptedUnit(1, R"({"opcode": "0x00", "hang": true}, {"status": 0})")));
        AddUnit(1, 0, PortPath);
    }
    // Returns nothing: submits a hanging request and waits until the worker
    // has taken it off the ring and sent it.
    void OccupyWorker(ExecBlock& hanging) {
        PrepareExec(hanging, 1, 0x00, 0);
        ASSERT_EQ(SubmitExecuteRequest(hanging.Srb()), SS_PENDING);
        ASSERT_TRUE(Eventually([] { return RingIsEmpty() && sim::CallCount(sim::Call::DeviceIoControl) > 0; }));
    }
    static void ExpectRefused(ExecBlock& block) {
        block.Srb()->SRB_HaStat = 0x11;
        block.Srb()->SRB_TargStat = 0x02;
        EXPECT_EQ(SubmitExecuteRequest(block.Srb()), SS_ERR);
        // Posted on this thread, before the call returned.
        EXPECT_EQ(PostRecorder::Instance().PostsOf(block.Srb()), std::vector<BYTE>{SS_ERR});
        EXPECT_EQ(block.Srb()->SRB_HaStat, 0);
        EXPECT_EQ(block.Srb()->SRB_TargStat, 0);
    }
    size_t threadsAtStart_ = 0;
    size_t threadHandlesAtStart_ = 0;
};

TEST_F(RequestQueueTest, EverythingIsRefusedBeforeStart) {
    ExecBlock block;
    PrepareExec(block, 1, 0x00, 0);
    void* address = block.Srb();
    EXPECT_EQ(SubmitSrb(&address), QueueNotStarted);
    EXPECT_EQ(AbortSrb(&address), QueueNotStarted);
    EXPECT_EQ(LockQueue(), QueueNotStarted);
    EXPECT_EQ(WaitForWork(), QueueNotStarted);
    EXPECT_EQ(PushSrb(&address), QueueNotStarted);
    EXPECT_EQ(PopSrb(&address), QueueNotStarted);
    EXPECT_TRUE(PostRecorder::Instance().PostsOf(block.Srb()).empty());

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
    ExecBlock absent;
    PrepareExec(absent, 9, 0x00, 0);
    SubmitExecuteRequest(absent.Srb());
    ASSERT_TRUE(PostRecorder::Instance().WaitForTotal(1));
    EXPECT_EQ(absent.Status(), SS_NO_DEVICE);
    EXPECT_EQ(absent.Srb()->SRB_HaStat, HASTAT_SEL_TO);

    const auto before = std::chrono::steady_clock::now();
    StopRequestQueue();
    const auto took = std::chrono::steady_clock::now() - before;
    // An idle worker ends when asked; it is not left to the time-out.
    EXPECT_LT(took, std::chrono::milliseconds(900));
    EXPECT_EQ(ReadQueueFlag(RequestQueue.Initialized), 0);
    EXPECT_EQ(RequestQueue.WorkerThread, nullptr);
    EXPECT_EQ(ReadQueueFlag(RequestQueue.StopFlag), 0);
    EXPECT_EQ(sim::LiveThreadCount(), threadsAtStart_);
    // The event and the mutex are closed with the worker gone.
    EXPECT_EQ(sim::OpenHandleCount(), handlesAtStart_);
    EXPECT_EQ(RequestQueue.Mutex, nullptr);
    EXPECT_EQ(RequestQueue.WorkEvent, nullptr);
    EXPECT_EQ(sim::OpenHandleCount(sim::ObjectKind::Thread), threadHandlesAtStart_);

    ExecBlock late;
    PrepareExec(late, 9, 0x00, 0);
    ExpectRefused(late);
    void* address = late.Srb();
    EXPECT_EQ(AbortSrb(&address), QueueNotStarted);
    StopRequestQueue();  // a second stop does nothing

    // A restart creates them anew; nothing piles up.
    ASSERT_EQ(StartRequestQueue(), 0u);
    StopRequestQueue();
    EXPECT_EQ(sim::OpenHandleCount(), handlesAtStart_);
    ResetQueueObjects();
    ExpectNothingLeaked();
}

TEST_F(RequestQueueTest, StartingARunningQueueChangesNothing) {
    InstallBusyMachine();
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock hanging;
    OccupyWorker(hanging);
    ExecBlock queued;
    PrepareExec(queued, 9, 0x00, 0);
    ASSERT_EQ(SubmitExecuteRequest(queued.Srb()), SS_PENDING);
    const HANDLE mutex = RequestQueue.Mutex;
    const HANDLE event = RequestQueue.WorkEvent;
    const HANDLE worker = RequestQueue.WorkerThread;
    const size_t handles = sim::OpenHandleCount();

    EXPECT_EQ(StartRequestQueue(), WorkerAlreadyRecorded);
    EXPECT_EQ(RequestQueue.Mutex, mutex);
    EXPECT_EQ(RequestQueue.WorkEvent, event);
    EXPECT_EQ(RequestQueue.WorkerThread, worker);
    EXPECT_EQ(RequestQueue.Tail - RequestQueue.Head, 1);
    EXPECT_EQ(sim::OpenHandleCount(), handles);

    sim::ReleaseHangs();
    ASSERT_TRUE(PostRecorder::Instance().WaitForTotal(2));
    EXPECT_EQ(queued.Status(), SS_NO_DEVICE);
}

TEST_F(RequestQueueTest, RequestsRunInSubmissionOrder) {
    InstallBusyMachine();
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
    ASSERT_TRUE(PostRecorder::Instance().WaitForTotal(blocks.size() + 1));
    const std::vector<void*> order = PostRecorder::Instance().Order();
    ASSERT_EQ(order.size(), blocks.size() + 1);
    EXPECT_EQ(order[0], hanging.Srb());
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(order[i + 1], blocks[i].Srb()) << i;
        EXPECT_EQ(blocks[i].Status(), i % 2 == 0 ? SS_COMP : SS_NO_DEVICE);
    }
}

TEST_F(RequestQueueTest, RingHolds255AndRefusesThe256th) {
    InstallBusyMachine();
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock hanging;
    OccupyWorker(hanging);

    std::vector<ExecBlock> blocks(255);
    for (ExecBlock& block : blocks) {
        PrepareExec(block, 9, 0x00, 0);
        ASSERT_EQ(SubmitExecuteRequest(block.Srb()), SS_PENDING);
    }
    EXPECT_EQ((RequestQueue.Tail - RequestQueue.Head + RequestSlotCount) % RequestSlotCount, 255);

    ExecBlock full;
    PrepareExec(full, 9, 0x00, 0);
    void* address = full.Srb();
    EXPECT_EQ(SubmitSrb(&address), QueueFull);
    EXPECT_TRUE(PostRecorder::Instance().PostsOf(full.Srb()).empty());
    ExpectRefused(full);

    sim::ReleaseHangs();
    ASSERT_TRUE(PostRecorder::Instance().WaitForTotal(255 + 2));
    EXPECT_EQ(PostRecorder::Instance().PostsOf(hanging.Srb()).size(), 1u);
    for (ExecBlock& block : blocks) {
        EXPECT_EQ(PostRecorder::Instance().PostsOf(block.Srb()), std::vector<BYTE>{SS_NO_DEVICE});
    }
    EXPECT_EQ(PostRecorder::Instance().PostsOf(full.Srb()).size(), 1u);
    // The refused block was never run.
    EXPECT_EQ(full.Srb()->SRB_HaStat, 0);
}

TEST_F(RequestQueueTest, StopNeverPostsPendingRequestsAndTerminatesAStuckWorker) {
    InstallBusyMachine();
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock hanging;
    OccupyWorker(hanging);
    std::vector<ExecBlock> pending(3);
    for (ExecBlock& block : pending) {
        PrepareExec(block, 9, 0x00, 0);
        ASSERT_EQ(SubmitExecuteRequest(block.Srb()), SS_PENDING);
    }

    const auto before = std::chrono::steady_clock::now();
    StopRequestQueue();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(5000));
    EXPECT_EQ(sim::LiveThreadCount(), threadsAtStart_);
    EXPECT_EQ(RequestQueue.WorkerThread, nullptr);
    // Our duplicate is closed; the runtime's own handle stays, since a
    // terminated thread never reaches _endthread, and closing it here could
    // race with a worker that ends at the very moment of the time-out.
    EXPECT_EQ(sim::OpenHandleCount(sim::ObjectKind::Thread), threadHandlesAtStart_ + 1);

    sim::ReleaseHangs();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(PostRecorder::Instance().Total(), 0u);
    EXPECT_EQ(hanging.Status(), SS_PENDING);
    for (ExecBlock& block : pending) EXPECT_EQ(block.Status(), SS_PENDING);

    ExecBlock late;
    PrepareExec(late, 9, 0x00, 0);
    ExpectRefused(late);

    // The lock the terminated worker may have held is usable again.
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock again;
    PrepareExec(again, 9, 0x00, 0);
    SubmitExecuteRequest(again.Srb());
    ASSERT_TRUE(PostRecorder::Instance().WaitForTotal(2));
    EXPECT_EQ(again.Status(), SS_NO_DEVICE);
}

TEST_F(RequestQueueTest, FailedObjectCreationFailsTheStartEvenWithLastErrorZero) {
    struct Row {
        sim::Call call;
        DWORD error;
        DWORD expected;
    } const rows[] = {
        {sim::Call::CreateEventA, 0, ERROR_NOT_ENOUGH_MEMORY},
        {sim::Call::CreateMutexA, 0, ERROR_NOT_ENOUGH_MEMORY},
        {sim::Call::CreateMutexA, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        // The event's code, although the mutex was created after it.
        {sim::Call::CreateEventA, 1450, 1450},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(sim::CallName(row.call));
        sim::ClearFaults();
        sim::FailCall(row.call, 1, row.error);
        EXPECT_EQ(StartRequestQueue(), row.expected);
        EXPECT_EQ(ReadQueueFlag(RequestQueue.Initialized), 0);
        EXPECT_EQ(RequestQueue.Mutex, nullptr);
        EXPECT_EQ(RequestQueue.WorkEvent, nullptr);
        EXPECT_EQ(RequestQueue.WorkerThread, nullptr);
        EXPECT_EQ(sim::LiveThreadCount(), threadsAtStart_);
        EXPECT_EQ(sim::OpenHandleCount(), handlesAtStart_);
    }
    EXPECT_EQ(sim::CallCount(sim::Call::BeginThread), 0u);
}

TEST_F(RequestQueueTest, FailedThreadStartReturnsTheRuntimeError) {
    sim::FailCall(sim::Call::BeginThread, 1, EAGAIN);
    EXPECT_EQ(StartRequestQueue(), DWORD(EAGAIN));
    sim::FailCall(sim::Call::BeginThread, 1, 0);
    EXPECT_NE(StartRequestQueue(), 0u);
    EXPECT_EQ(ReadQueueFlag(RequestQueue.Initialized), 0);
    EXPECT_EQ(RequestQueue.WorkerThread, nullptr);
    EXPECT_EQ(RequestQueue.Mutex, nullptr);
    EXPECT_EQ(sim::OpenHandleCount(), handlesAtStart_);
    EXPECT_EQ(sim::LiveThreadCount(), threadsAtStart_);
}

TEST_F(RequestQueueTest, FailedHandleDuplicationDismissesTheWorker) {
    sim::FailCall(sim::Call::DuplicateHandle, 1, 1450);
    EXPECT_EQ(StartRequestQueue(), 1450u);
    EXPECT_EQ(ReadQueueFlag(RequestQueue.Initialized), 0);
    EXPECT_EQ(RequestQueue.WorkerThread, nullptr);
    EXPECT_EQ(RequestQueue.Mutex, nullptr);
    EXPECT_EQ(sim::LiveThreadCount(), threadsAtStart_);
    EXPECT_EQ(sim::OpenHandleCount(), handlesAtStart_);

    // When it cannot even be terminated, it ends by itself and its own
    // handle goes with it.
    sim::FailCall(sim::Call::DuplicateHandle, 1, 0);
    sim::FailCall(sim::Call::TerminateThread, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(StartRequestQueue(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(Eventually([&] { return sim::LiveThreadCount() == threadsAtStart_; }));
    EXPECT_TRUE(Eventually([&] { return sim::OpenHandleCount() == handlesAtStart_; }));

    // A later start has exactly one worker: every request is posted once.
    ASSERT_EQ(StartRequestQueue(), 0u);
    EXPECT_EQ(sim::LiveThreadCount(), threadsAtStart_ + 1);
    std::vector<ExecBlock> blocks(20);
    for (ExecBlock& block : blocks) {
        PrepareExec(block, 9, 0x00, 0);
        SubmitExecuteRequest(block.Srb());
    }
    ASSERT_TRUE(PostRecorder::Instance().WaitForTotal(blocks.size()));
    for (ExecBlock& block : blocks) EXPECT_EQ(PostRecorder::Instance().PostsOf(block.Srb()).size(), 1u);
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
    ASSERT_TRUE(PostRecorder::Instance().WaitForTotal(1));
    EXPECT_EQ(pushed.Status(), SS_NO_DEVICE);

    // The same for an application thread's lock.
    std::thread([] { EXPECT_EQ(LockQueue(), 0u); }).join();
    EXPECT_EQ(LockQueue(), 0u);
    UnlockQueue();
    ExecBlock later;
    PrepareExec(later, 9, 0x00, 0);
    SubmitExecuteRequest(later.Srb());
    ASSERT_TRUE(PostRecorder::Instance().WaitForTotal(2));
    EXPECT_EQ(later.Status(), SS_NO_DEVICE);
}

}  // namespace
