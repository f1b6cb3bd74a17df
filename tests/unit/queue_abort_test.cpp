// AbortSrb on the ring: removal at every position, across the wrap, with
// Tail at 0, duplicates, absent SRBs, post routines that come back into the
// queue on the same thread, an abandoned lock, and an SRB the worker took.
#include "execution_support.h"

#include <iterator>
#include <functional>
#include <initializer_list>
#include <thread>

namespace {

using namespace execution_test;

// What the post routine of the current test does besides recording.
std::function<void(void*)> afterPost;

void __cdecl RecordAndReact(void* srb) {
    Posts().Record(srb);
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
    // Returns nothing: empties the ring at `slot` and queues `count` of the
    // blocks (all of them by default).
    static void Queue(LONG slot, ExecBlock* blocks, size_t count) {
        RequestQueue.Head = RequestQueue.Tail = slot;
        for (size_t i = 0; i < count; ++i) Prepare(blocks[i]);
        for (size_t i = 0; i < count; ++i) Push(blocks[i]);
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
    // Returns the SRBs of `blocks` whose indexes are given.
    static std::vector<void*> Srbs(ExecBlock* blocks, std::initializer_list<int> indexes) {
        std::vector<void*> srbs;
        for (int i : indexes) srbs.push_back(blocks[i].Srb());
        return srbs;
    }
    // Returns nothing: aborts the block and expects it posted once, aborted.
    static void ExpectAborts(ExecBlock& block) {
        EXPECT_EQ(Abort(block.Srb()), 0u);
        ExpectAborted(block);
    }
    static void ExpectAborted(ExecBlock& block) {
        EXPECT_EQ(Posts().PostsOf(block.Srb()), std::vector<BYTE>{SS_ABORTED});
        EXPECT_EQ(block.Status(), SS_ABORTED);
        EXPECT_EQ(block.Srb()->SRB_HaStat, 0);
        EXPECT_EQ(block.Srb()->SRB_TargStat, 0);
    }
};

TEST_F(QueueAbortTest, AbortAtHeadInTheMiddleAndJustBeforeTail) {
    ExecBlock blocks[5];
    Queue(0, blocks, std::size(blocks));
    ExpectAborts(blocks[0]);
    EXPECT_EQ(Pending(), Srbs(blocks, {1, 2, 3, 4}));
    ExpectAborts(blocks[2]);
    EXPECT_EQ(Pending(), Srbs(blocks, {1, 3, 4}));
    ExpectAborts(blocks[4]);
    EXPECT_EQ(Pending(), Srbs(blocks, {1, 3}));
    EXPECT_EQ(RequestQueue.Head, 0);
    EXPECT_EQ(RequestQueue.Tail, 2);
    EXPECT_EQ(Posts().Total(), 3u);
    EXPECT_EQ(blocks[1].Status(), SS_PENDING);
    EXPECT_EQ(blocks[1].Srb()->SRB_HaStat, 0x11);
}

TEST_F(QueueAbortTest, AbortAcrossTheWrap) {
    ExecBlock blocks[11];
    Queue(250, blocks, std::size(blocks));
    ASSERT_EQ(RequestQueue.Tail, 5);
    ASSERT_EQ(RequestQueue.Slots[254], blocks[4].Srb());
    ExpectAborts(blocks[4]);
    EXPECT_EQ(RequestQueue.Head, 250);
    EXPECT_EQ(RequestQueue.Tail, 4);
    EXPECT_EQ(RequestQueue.Slots[254], blocks[5].Srb());
    EXPECT_EQ(RequestQueue.Slots[255], blocks[6].Srb());
    EXPECT_EQ(RequestQueue.Slots[0], blocks[7].Srb());
    EXPECT_EQ(RequestQueue.Slots[3], blocks[10].Srb());
    EXPECT_EQ(Pending(), Srbs(blocks, {0, 1, 2, 3, 5, 6, 7, 8, 9, 10}));
}

TEST_F(QueueAbortTest, RemovalWithTailAtZeroWrapsTailTo255) {
    ExecBlock blocks[6];
    Queue(250, blocks, std::size(blocks));
    ASSERT_EQ(RequestQueue.Tail, 0);
    ExpectAborts(blocks[2]);
    EXPECT_EQ(RequestQueue.Tail, 255);
    EXPECT_EQ(Pending(), Srbs(blocks, {0, 1, 3, 4, 5}));
    // The last one, in slot 255, leaves Tail at 254.
    ExpectAborts(blocks[5]);
    EXPECT_EQ(RequestQueue.Tail, 254);
}

TEST_F(QueueAbortTest, AnAddressQueuedTwiceLosesOnlyItsFirstSlot) {
    ExecBlock blocks[2];
    Queue(10, blocks, std::size(blocks));
    Push(blocks[0]);
    EXPECT_EQ(Abort(blocks[0].Srb()), 0u);
    EXPECT_EQ(Posts().PostsOf(blocks[0].Srb()).size(), 1u);
    EXPECT_EQ(Pending(), Srbs(blocks, {1, 0}));
}

TEST_F(QueueAbortTest, NothingFoundIsStillASearchedQueue) {
    ExecBlock blocks[2];
    Queue(100, blocks, 0);
    Prepare(blocks[0]);
    EXPECT_EQ(Abort(blocks[0].Srb()), 0u);  // empty ring
    Prepare(blocks[1]);
    Push(blocks[1]);
    EXPECT_EQ(Abort(blocks[0].Srb()), 0u);
    EXPECT_EQ(Abort(nullptr), 0u);
    EXPECT_EQ(Posts().Total(), 0u);
    EXPECT_EQ(blocks[0].Status(), SS_PENDING);
    EXPECT_EQ(blocks[0].Srb()->SRB_HaStat, 0x11);
    EXPECT_EQ(Pending(), Srbs(blocks, {1}));
}

TEST_F(QueueAbortTest, PostRoutineThatSubmitsOnTheSameThreadKeepsItsRequest) {
    ExecBlock blocks[3];  // aborted, stays, submitted by the post routine
    Queue(254, blocks, 2);
    Prepare(blocks[2]);
    afterPost = [&](void* srb) {
        if (srb != blocks[0].Srb()) return;
        EXPECT_EQ(SubmitExecuteRequest(blocks[2].Srb()), SS_PENDING);
    };
    ExpectAborts(blocks[0]);
    EXPECT_EQ(Pending(), Srbs(blocks, {1, 2}));
    EXPECT_TRUE(Posts().PostsOf(blocks[2].Srb()).empty());
    EXPECT_EQ(RequestQueue.Tail, 0);
}

TEST_F(QueueAbortTest, PostRoutineThatAbortsAgainIsPostedOnce) {
    ExecBlock blocks[4];
    Queue(0, blocks, std::size(blocks));
    afterPost = [&](void* srb) {
        if (srb != blocks[0].Srb()) return;
        EXPECT_EQ(Abort(blocks[0].Srb()), 0u);  // itself: already out of the ring
        EXPECT_EQ(Abort(blocks[2].Srb()), 0u);  // another queued request
    };
    ExpectAborts(blocks[0]);
    ExpectAborted(blocks[2]);
    EXPECT_EQ(Pending(), Srbs(blocks, {1, 3}));
    EXPECT_EQ(Posts().Total(), 2u);
}

TEST_F(QueueAbortTest, NotRunningRefusesWithoutSearching) {
    ExecBlock blocks[1];
    Queue(0, blocks, std::size(blocks));
    WriteQueueFlag(RequestQueue.Initialized, 0);
    EXPECT_EQ(Abort(blocks[0].Srb()), QueueNotStarted);
    WriteQueueFlag(RequestQueue.Initialized, 1);
    EXPECT_EQ(Posts().Total(), 0u);
    EXPECT_EQ(Pending(), Srbs(blocks, {0}));
}

TEST_F(QueueAbortTest, AbandonedLockIsTakenAndReleased) {
    ExecBlock blocks[1];
    Queue(0, blocks, std::size(blocks));
    std::thread([] { EXPECT_EQ(LockQueue(), 0u); }).join();
    ExpectAborts(blocks[0]);
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
    InstallHangingUnit();
    ASSERT_EQ(StartRequestQueue(), 0u);
    ExecBlock running, waiting;
    OccupyWorker(running);
    PrepareExec(waiting, 1, 0x12, 0);
    ASSERT_EQ(SubmitExecuteRequest(waiting.Srb()), SS_PENDING);

    for (void* address : {static_cast<void*>(running.Srb()), static_cast<void*>(waiting.Srb())}) {
        EXPECT_EQ(AbortSrb(&address), 0u);
    }
    EXPECT_EQ(Posts().PostsOf(waiting.Srb()), std::vector<BYTE>{SS_ABORTED});
    EXPECT_TRUE(Posts().PostsOf(running.Srb()).empty());

    sim::ReleaseHangs();
    ASSERT_TRUE(Posts().WaitForTotal(2));
    EXPECT_EQ(Posts().PostsOf(running.Srb()), std::vector<BYTE>{SS_COMP});
    StopRequestQueue();
    EXPECT_EQ(Posts().Total(), 2u);
}

}  // namespace
