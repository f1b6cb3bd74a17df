// Loads and unloads under fire: a hundred times the library is loaded,
// several application threads fill its queue, and it is unloaded with
// requests still queued or running (some rounds behind a hung command,
// which the unload must terminate, some ending in process exit, where the
// worker is terminated before DllMain runs). Nothing may be posted after
// the unload, no thread may run on, and the counts of everything the
// library takes must return to where they started after every round, but
// for what a hung command still uses.
#include "reliability_support.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace reliability {
namespace {

constexpr int Rounds = 100;
constexpr int Senders = 3;
constexpr int RequestsPerSender = 12;

Request requests[Senders][RequestsPerSender];
std::atomic<bool> unloaded{false};
std::atomic<long> latePosts{0};

// Returns nothing: counts a post, and a post after the unload as late.
void __cdecl PostAndCheck(void* srb) {
    CountPost(srb);
    if (unloaded.load()) latePosts.fetch_add(1);
}

// Returns nothing: one application thread fills its share of the queue.
void Sender(const Library& library, int sender) {
    sim::CurrentThreadEnvironment();
    const BYTE read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    for (int i = 0; i < RequestsPerSender; ++i) {
        Request& request = requests[sender][i];
        Prepare(request, i % 3 == 0 ? 0 : 2, read10, 10, true, i % 2 ? Notify::Post : Notify::Poll,
                nullptr);
        if (request.Kind == Notify::Post) {
            request.Srb.SRB_PostProc = reinterpret_cast<void*>(&PostAndCheck);
        }
        library.Send(&request.Srb);
    }
}

TEST(LoadUnloadUnderFire, CountsReturnAfterEveryRound) {
    ASSERT_TRUE(InstallMachine());
    sim::CurrentThreadEnvironment();
    Resources before = CountResources();
    const BYTE testUnitReady[6] = {};
    for (int round = 0; round < Rounds; ++round) {
        // Some rounds unload behind a hung command, some end in process
        // exit with the worker in one. The hung unit hangs once per
        // machine: installed afresh for such a round. The round after it
        // loads on the same machine, whose port device the hung command's
        // handle still holds open.
        const int phase = round % 10;
        const bool processExit = phase == 7;
        const bool hang = phase == 3 || processExit;
        if (hang) {
            ASSERT_TRUE(InstallMachine());
        }
        Library library;
        ASSERT_TRUE(Load(library)) << round;
        unloaded = false;
        Request hung;
        if (hang) {
            // Only the worker sends it, so it hangs only once the worker
            // has delivered its thread attach: a worker terminated while it
            // still delivers it would hold the loader lock for good, and no
            // exit gets past that.
            Prepare(hung, 1, testUnitReady, 6, false, Notify::Poll, nullptr);
            library.Send(&hung.Srb);
            for (int waited = 0; waited < 5000 && sim::HangingCommandCount() == 0; ++waited) Sleep(1);
            ASSERT_EQ(sim::HangingCommandCount(), 1u) << round;
        }
        std::vector<std::thread> senders;
        for (int s = 0; s < Senders; ++s) senders.emplace_back(Sender, std::cref(library), s);
        for (std::thread& sender : senders) sender.join();

        if (processExit) {
            ASSERT_TRUE(sim::SimulateProcessExit()) << round;
        } else {
            Unload(library);
        }
        unloaded = true;
        sim::ReleaseHangs();
        ASSERT_TRUE(sim::WaitForThreadsToEnd(5000)) << round;
        Sleep(2);
        EXPECT_EQ(latePosts.load(), 0) << round;
        for (auto& share : requests) {
            for (const Request& request : share) {
                EXPECT_LE(request.Posts.load(), 1) << round;
            }
        }
        if (hang) {
            EXPECT_EQ(hung.Srb.SRB_Status, SS_PENDING) << round;
            // The worker terminated inside the hung command left it its
            // device handle and request buffer, and nothing else.
            before.Handles += 1;
            before.Allocations += 1;
            before.Committed += 4096;
        }
        ASSERT_EQ(Describe(CountResources()), Describe(before)) << round;
    }
    sim::UninstallMachine();
}

}  // namespace
}  // namespace reliability
