// Several threads submitting and aborting at once: every execute request is
// completed, aborted or refused exactly once, and nothing leaks. Bounded in
// size so that it also runs under the thread checkers.
#include "execution_support.h"

#include <atomic>
#include <thread>

namespace {

using namespace execution_test;

class QueueStressTest : public ExecutionTest {};

TEST_F(QueueStressTest, EveryRequestIsPostedExactlyOnce) {
    // The first command hangs until released, so that the submitters fill
    // the ring while the aborters search it; the rest take a little while.
    InstallHangingUnit(R"({"opcode": "0x00", "hang": true, "times": 1}, {"status": 0, "delay_ms": 1})");
    const size_t handlesBefore = sim::OpenHandleCount();
    ASSERT_EQ(StartRequestQueue(), 0u);

    constexpr int Submitters = 4;
    constexpr int PerSubmitter = 60;
    constexpr int Total = Submitters * PerSubmitter;
    std::vector<ExecBlock> blocks(Total);
    for (int i = 0; i < Total; ++i) {
        // Every third one is for an absent unit and finishes at once.
        PrepareExec(blocks[i], i % 3 == 0 ? 9 : 1, 0x12, 18);
    }
    ExecBlock hanging;
    OccupyWorker(hanging);
    std::atomic<int> submitted{0};
    std::atomic<bool> submitting{true};

    std::vector<std::thread> threads;
    for (int s = 0; s < Submitters; ++s) {
        threads.emplace_back([&, s] {
            for (int i = 0; i < PerSubmitter; ++i) {
                ExecBlock& block = blocks[s * PerSubmitter + i];
                SubmitExecuteRequest(block.Srb());
                ++submitted;
            }
        });
    }
    for (int a = 0; a < 2; ++a) {
        threads.emplace_back([&, a] {
            unsigned seed = 12345u + static_cast<unsigned>(a);
            for (int attempt = 0; attempt < 400 || submitting.load(); ++attempt) {
                seed = seed * 1103515245u + 12345u;
                void* address = blocks[(seed >> 8) % Total].Srb();
                EXPECT_EQ(AbortSrb(&address), 0u);
            }
        });
    }
    for (int s = 0; s < Submitters; ++s) threads[s].join();
    submitting = false;
    for (size_t t = Submitters; t < threads.size(); ++t) threads[t].join();
    ASSERT_EQ(submitted.load(), Total);
    // Still queued behind the hanging command, unless an aborter got it.
    void* last = blocks[Total - 1].Srb();
    EXPECT_EQ(AbortSrb(&last), 0u);
    EXPECT_EQ(Posts().PostsOf(last), std::vector<BYTE>{SS_ABORTED});
    sim::ReleaseHangs();

    ASSERT_TRUE(Posts().WaitForTotal(Total + 1, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Posts().Total(), size_t(Total + 1));
    EXPECT_EQ(Posts().PostsOf(hanging.Srb()), std::vector<BYTE>{SS_COMP});

    int aborted = 0;
    for (int i = 0; i < Total; ++i) {
        const std::vector<BYTE> posts = Posts().PostsOf(blocks[i].Srb());
        ASSERT_EQ(posts.size(), 1u) << i;
        EXPECT_EQ(posts[0], blocks[i].Status()) << i;
        if (posts[0] == SS_ABORTED) {
            ++aborted;
            continue;
        }
        EXPECT_EQ(posts[0], i % 3 == 0 ? SS_NO_DEVICE : SS_COMP) << i;
    }
    EXPECT_GT(aborted, 0);

    StopRequestQueue();
    ResetQueueObjects();
    EXPECT_TRUE(sim::WaitForThreadsToEnd(5000));
    EXPECT_EQ(sim::OpenHandleCount(), handlesBefore);
    EXPECT_EQ(sim::CommittedVirtualMemory(), memoryAtStart_);
}

}  // namespace
