// Execute requests whose post routine takes the block's page away, as an
// application that frees each block on completion does: the library must
// not read a block once it has queued or posted it.
#include "library_fixture.h"
#include "machines.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <vector>

namespace {

const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
BYTE* pages = nullptr;
std::vector<BYTE> postedStatus;
std::atomic<size_t> posts{0};

void __cdecl TakePageAway(void* srb) {
    postedStatus[static_cast<size_t>(static_cast<BYTE*>(srb) - pages) / page] =
        static_cast<SRB_ExecSCSICmd*>(srb)->SRB_Status;
    mprotect(srb, page, PROT_NONE);
    posts.fetch_add(1, std::memory_order_release);
}

TEST_P(LibraryTest, BlocksAreNotReadOnceQueuedOrPosted) {
    Install(busyWorkerMachine);
    ASSERT_TRUE(Load());
    // To an idle worker (which may finish first), then to a full ring while
    // target 1 holds the worker: refused and posted on this thread.
    const size_t idle = 3000, count = idle + 255 + 50;
    pages = static_cast<BYTE*>(mmap(nullptr, count * page, PROT_READ | PROT_WRITE,
                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    postedStatus.assign(count, 0xFF);
    posts = 0;  // each build's run counts its own posts
    std::vector<DWORD> returned(count);
    const BYTE testUnitReady[6] = {};
    ExecRequest busy;
    for (size_t i = 0; i < count; ++i) {
        if (i == idle) {
            while (posts.load(std::memory_order_acquire) < idle) Sleep(1);
            PrepareExec(busy, 0, 1, 0, 0, testUnitReady, 6, nullptr, 0);
            ASSERT_EQ(Send(&busy.Srb), DWORD(SS_PENDING));
            ASSERT_TRUE(WorkerHangs());
        }
        ExecRequest* request = reinterpret_cast<ExecRequest*>(pages + i * page);
        PrepareExec(*request, 0, 5, 0, SRB_POSTING, testUnitReady, 6, nullptr, 0);
        request->Srb.SRB_PostProc = reinterpret_cast<void*>(&TakePageAway);
        returned[i] = Send(&request->Srb);
    }
    sim::ReleaseHangs();
    while (posts.load(std::memory_order_acquire) < count) Sleep(1);
    for (size_t i = 0; i < count; ++i) {
        // Pending even when it finished first; an idle worker may fall behind.
        const bool refused = i >= idle + 255 || (i < idle && returned[i] == SS_ERR);
        EXPECT_EQ(returned[i], DWORD(refused ? SS_ERR : SS_PENDING)) << i;
        EXPECT_EQ(postedStatus[i], refused ? SS_ERR : SS_NO_DEVICE) << i;
    }
    munmap(pages, count * page);
}

}  // namespace

LIBRARY_TEST_SUITE(LibraryTest);
