// AbortSrb on the ring: removal at every position, across the wrap, with
// Tail at 0, duplicates, absent SRBs, post routines that come back into the
// queue on the same thread, an abandoned lock, and an SRB the worker took.
#include "execution_support.h"

#include <functional>
#include <thread>

namespace {

using namespace execution_test;

// What the post routine of the current test does besides recording.
std::function<void(void*)> afterPost;

void __cdecl RecordAndReact(void* srb) {
    PostRecorder::Instance().Record(srb);
    if (afterPost) afterPost(srb);
}

// A running ring without a worker, so that nothing leaves it but aborts.
class QueueAbortTest : public ExecutionTest {
protected:
    void SetUp() override {
        ExecutionTest::SetUp();
        afterPost = nullptr;
        RequestQueue.Mutex = CreateMutexA(nullptr, FALSE, nullptr);
        RequestQueue.WorkEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        WriteQueueFlag(RequestQueue.Initialized, 1);
    }
    void TearDown() override {
        afterPost = nullptr;
        WriteQueueFlag(RequestQueue.Initialized, 0);
        ExecutionTest::TearDown();
    }
    static void Place(LONG slot) {
        RequestQueue.Head = slot;
        RequestQueue.Tail = slot;
    }
    static void Prepare(ExecBlock& block) {
        PrepareExec(block, 9, 0x00, 0);
        block.Srb()->SRB_PostProc = reinterpret_cast<LPVOID>(&RecordAndReact);
        block.Srb()->SRB_HaStat = 0x11;
        block.Srb()->SRB_TargStat = 0x02;
    }
    static void Push(ExecBlock& block) { ASSERT_EQ(SubmitExecuteRequest(block.Srb()), SS_PENDING); }
    static DWORD Abort(void* srb) { return AbortSrb(&srb); }
    static std::vector<void*> Pending() {
        std::vector<void*> pending;
        for (LONG slot = RequestQueue.Head; slot != RequestQueue.Tail;
             slot = (slot + 1) % RequestSlotCount) {
            pending.push_back(RequestQueue.Slots[slot]);
        }
        return pending;
    }
    static void ExpectAborted(ExecBlock& block) {
        EXPECT_EQ(PostRecorder::Instance().PostsOf(block.Srb()), std::vector<BYTE>{SS_ABORTED});
        EXPECT_EQ(block.Status(), SS_ABORTED);
        EXPECT_EQ(block.Srb()->SRB_HaStat, 0);
        EXPECT_EQ(block.Srb()->SRB_TargStat, 0);
    }
};

TEST_F(QueueAbortTest, AbortAtHeadInTheMiddleAndJustBeforeTail) {
    Place(0);
    ExecBlock blocks[5];
    for (ExecBlock& block : blocks) {
        Prepare(block);
        Push(block);
    }
    EXPECT_EQ(Abort(blocks[0].Srb()), 0u);
    ExpectAborted(blocks[0]);
    EXPECT_EQ(Pending(), (std::vector<void*>{blocks[1].Srb(), blocks[2].Srb(), blocks[3].Srb(),
                                             blocks[4].Srb()}));
    EXPECT_EQ(Abort(blocks[2].Srb()), 0u);
    ExpectAborted(blocks[2]);
    EXPECT_EQ(Pending(), (std::vector<void*>{blocks[1].Srb(), blocks[3].Srb(), blocks[4].Srb()}));
    EXPECT_EQ(Abort(blocks[4].Srb()), 0u);
    ExpectAborted(blocks[4]);
    EXPECT_EQ(Pending(), (std::vector<void*>{blocks[1].Srb(), blocks[3].Srb()}));
    EXPECT_EQ(RequestQueue.Head, 0);
    EXPECT_EQ(RequestQueue.Tail, 2);
    EXPECT_EQ(PostRecorder::Instance().Total(), 3u);
    EXPECT_EQ(blocks[1].Status(), SS_PENDING);
    EXPECT_EQ(blocks[1].Srb()->SRB_HaStat, 0x11);
}

TEST_F(QueueAbortTest, AbortAcrossTheWrap) {
    Place(250);
    ExecBlock blocks[11];
    for (ExecBlock& block : blocks) {
        Prepare(block);
        Push(block);
    }
    ASSERT_EQ(RequestQueue.Tail, 5);
    ASSERT_EQ(RequestQueue.Slots[254], blocks[4].Srb());
    EXPECT_EQ(Abort(blocks[4].Srb()), 0u);
    ExpectAborted(blocks[4]);
    EXPECT_EQ(RequestQueue.Head, 250);
    EXPECT_EQ(RequestQueue.Tail, 4);
    EXPECT_EQ(RequestQueue.Slots[254], blocks[5].Srb());
    EXPECT_EQ(RequestQueue.Slots[255], blocks[6].Srb());
    EXPECT_EQ(RequestQueue.Slots[0], blocks[7].Srb());
    EXPECT_EQ(RequestQueue.Slots[3], blocks[10].Srb());
    std::vector<void*> expected;
    for (int i = 0; i < 11; ++i) {
        if (i != 4) expected.push_back(blocks[i].Srb());
    }
    EXPECT_EQ(Pending(), expected);
}

TEST_F(QueueAbortTest, RemovalWithTailAtZeroWrapsTailTo255) {
    Place(250);
    ExecBlock blocks[6];
    for (ExecBlock& block : blocks) {
        Prepare(block);
        Push(block);
    }
    ASSERT_EQ(RequestQueue.Tail, 0);
    EXPECT_EQ(Abort(blocks[2].Srb()), 0u);
    ExpectAborted(blocks[2]);
    EXPECT_EQ(RequestQueue.Tail, 255);
    EXPECT_EQ(Pending(), (std::vector<void*>{blocks[0].Srb(), blocks[1].Srb(), blocks[3].Srb(),
                                             blocks[4].Srb(), blocks[5].Srb()}));
    // The last one, in slot 255, leaves Tail at 254.
    EXPECT_EQ(Abort(blocks[5].Srb()), 0u);
    EXPECT_EQ(RequestQueue.Tail, 254);
}

TEST_F(QueueAbortTest, AnAddressQueuedTwiceLosesOnlyItsFirstSlot) {
    Place(10);
    ExecBlock twice;
    ExecBlock other;
    Prepare(twice);
    Prepare(other);
    Push(twice);
    Push(other);
    Push(twice);
    EXPECT_EQ(Abort(twice.Srb()), 0u);
    EXPECT_EQ(PostRecorder::Instance().PostsOf(twice.Srb()).size(), 1u);
    EXPECT_EQ(Pending(), (std::vector<void*>{other.Srb(), twice.Srb()}));
}

TEST_F(QueueAbortTest, NothingFoundIsStillASearchedQueue) {
    Place(100);
    ExecBlock never;
    Prepare(never);
    EXPECT_EQ(Abort(never.Srb()), 0u);  // empty ring
    ExecBlock queued;
    Prepare(queued);
    Push(queued);
    EXPECT_EQ(Abort(never.Srb()), 0u);
    EXPECT_EQ(Abort(nullptr), 0u);
    EXPECT_EQ(PostRecorder::Instance().Total(), 0u);
    EXPECT_EQ(never.Status(), SS_PENDING);
    EXPECT_EQ(never.Srb()->SRB_HaStat, 0x11);
    EXPECT_EQ(Pending(), std::vector<void*>{queued.Srb()});
}

TEST_F(QueueAbortTest, PostRoutineThatSubmitsOnTheSameThreadKeepsItsRequest) {
    Place(254);
    ExecBlock aborted, stays, submitted;
    Prepare(aborted);
    Prepare(stays);
    Prepare(submitted);
    Push(aborted);
    Push(stays);
    afterPost = [&](void* srb) {
        if (srb == aborted.Srb()) {
            EXPECT_EQ(SubmitExecuteRequest(submitted.Srb()), SS_PENDING);
        }
    };
    EXPECT_EQ(Abort(aborted.Srb()), 0u);
    ExpectAborted(aborted);
    EXPECT_EQ(Pending(), (std::vector<void*>{stays.Srb(), submitted.Srb()}));
    EXPECT_TRUE(PostRecorder::Instance().PostsOf(submitted.Srb()).empty());
    EXPECT_EQ(RequestQueue.Tail, 0);
}

TEST_F(QueueAbortTest, PostRoutineThatAbortsAgainIsPostedOnce) {
    Place(0);
    ExecBlock blocks[4];
    for (ExecBlock& block : blocks) {
        Prepare(block);
        Push(block);
    }
    afterPost = [&](void* srb) {
        if (srb == blocks[0].Srb()) {
            // Itself: already out of the ring.
            EXPECT_EQ(Abort(blocks[0].Srb()), 0u);
            // Another queued request.
            EXPECT_EQ(Abort(blocks[2].Srb()), 0u);
        }
    };
    EXPECT_EQ(Abort(blocks[0].Srb()), 0u);
    ExpectAborted(blocks[0]);
    ExpectAborted(blocks[2]);
    EXPECT_EQ(Pending(), (std::vector<void*>{blocks[1].Srb(), blocks[3].Srb()}));
    EXPECT_EQ(PostRecorder::Instance().Total(), 2u);
}

TEST_F(QueueAbortTest, NotRunningRefusesWithoutSearching) {
    Place(0);
    ExecBlock queued;
    Prepare(queued);
    Push(queued);
    WriteQueueFlag(RequestQueue.Initialized, 0);
    EXPECT_EQ(Abort(queued.Srb()), QueueNotStarted);
    WriteQueueFlag(RequestQueue.Initialized, 1);
    EXPECT_EQ(PostRecorder::Instance().Total(), 0u);
    EXPECT_EQ(Pending(), std::vector<void*>{queued.Srb()});
}

TEST_F(QueueAbortTest, AbandonedLockIsTakenAndReleased) {
    Place(0);
    ExecBlock queued;
    Prepare(queued);
    Push(queued);
    std::thread([] { EXPECT_EQ(LockQueue(), 0u); }).join();
    EXPECT_EQ(Abort(queued.Srb()), 0u);
    ExpectAborted(queued);
    // The abort released what it took: another thread gets the lock at once.
    DWORD other = WAIT_FAILED;
    std::thread([&] {
        other = WaitForSingleObject(RequestQueue.Mutex, 0);
        if (other == WAIT_OBJECT_0) ReleaseMutex(RequestQueue.Mutex);
    }).join();
    EXPECT_EQ(other, WAIT_OBJECT_0);
}

class QueueAbortWithWorkerTest : public ExecutionTest {};

TEST_F(QueueAbortWithWorkerTest, WhatTheWorkerTookCannotBeAborted) {
    InstallMachineText(
        MachineWithUnits(ScriptedUnit(1, R"({"opcode": "0x00", "hang": true}, {"status": 0})")));
    AddUnit(1, 0, PortPath);
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock running;
    PrepareExec(running, 1, 0x00, 0);
    ASSERT_EQ(SubmitExecuteRequest(running.Srb()), SS_PENDING);
    ASSERT_TRUE(Eventually([] { return RingIsEmpty(); }));
    ExecBlock waiting;
    PrepareExec(waiting, 1, 0x12, 0);
    ASSERT_EQ(SubmitExecuteRequest(waiting.Srb()), SS_PENDING);

    void* address = running.Srb();
    EXPECT_EQ(AbortSrb(&address), 0u);
    address = waiting.Srb();
    EXPECT_EQ(AbortSrb(&address), 0u);
    EXPECT_EQ(PostRecorder::Instance().PostsOf(waiting.Srb()), std::vector<BYTE>{SS_ABORTED});
    EXPECT_TRUE(PostRecorder::Instance().PostsOf(running.Srb()).empty());

    sim::ReleaseHangs();
    ASSERT_TRUE(PostRecorder::Instance().WaitForTotal(2));
    EXPECT_EQ(PostRecorder::Instance().PostsOf(running.Srb()), std::vector<BYTE>{SS_COMP});
    StopRequestQueue();
    EXPECT_EQ(PostRecorder::Instance().Total(), 2u);
}

}  // namespace
