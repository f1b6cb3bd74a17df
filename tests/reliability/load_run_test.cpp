// The load run: application threads send execute requests as fast as the
// library takes them, mixing event, post routine and polling completion,
// to a disk, a scripted unit that fails some commands and an absent unit,
// while other threads abort their requests, post routines submit new ones,
// and every block's page is made inaccessible as soon as its completion
// has been seen, so that any later access by the library crashes the run.
// The account must be exact: every request completed or aborted once, in
// submission order per thread, none refused while the ring had room.
// PTASPI_LOAD_REQUESTS sets the requests per thread (scripts/load-run.sh
// runs the full size).
#include "reliability_support.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <random>
#include <thread>
#include <vector>

namespace reliability {
namespace {

constexpr int Threads = 8;
constexpr int SlotsPerThread = 24;  // 8 × 24 plus the chained ones stay under 255
constexpr int ChainSlots = 16;
constexpr int SlotCount = Threads * SlotsPerThread + ChainSlots;
const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));

// The account of one block, kept outside its page, which is taken away.
struct Slot {
    std::atomic<int> Posts{0};
    std::atomic<int> PostedStatus{0};
    std::atomic<bool> Busy{false};
    HANDLE Event = nullptr;
    Notify Kind = Notify::Poll;
    unsigned long Number = 0;  // submission number within its thread
};

BYTE* pages = nullptr;
Slot slots[SlotCount];
SENDASPI32COMMAND send = nullptr;
std::atomic<long> doublePosts{0}, chained{0}, chainedDone{0}, refusals{0}, aborted{0};
std::atomic<long> outOfOrder{0}, completed{0};
std::atomic<unsigned long> lastPosted[Threads];  // 1 + the number posted last by the worker

// Returns the block of a slot, at the start of its page.
SRB_ExecSCSICmd* Block(int slot) { return reinterpret_cast<SRB_ExecSCSICmd*>(pages + slot * page); }
// Returns the slot whose page holds the block.
int SlotOf(void* srb) { return static_cast<int>((static_cast<BYTE*>(srb) - pages) / page); }
// Returns nothing: takes the slot's page away, as freeing the block would.
void Release(int slot) { mprotect(pages + slot * page, page, PROT_NONE); }
// Returns nothing: gives the slot's page back for a new block.
void Reclaim(int slot) { mprotect(pages + slot * page, page, PROT_READ | PROT_WRITE); }

// Returns nothing: the post routine of a chained request, which frees its
// chain slot.
void __cdecl ChainPosted(void* srb) {
    const int slot = SlotOf(srb);
    slots[slot].Posts.fetch_add(1);
    chainedDone.fetch_add(1);
    slots[slot].Busy.store(false, std::memory_order_release);
}

// Returns nothing: submits a chained request from a post routine, on the
// worker or an aborting thread, when a chain slot is free.
void Chain() {
    for (int slot = Threads * SlotsPerThread; slot < SlotCount; ++slot) {
        bool idle = false;
        if (!slots[slot].Busy.compare_exchange_strong(idle, true)) continue;
        const BYTE testUnitReady[6] = {};
        Request* request = reinterpret_cast<Request*>(Block(slot));
        slots[slot].Posts = 0;
        Prepare(*request, 2, testUnitReady, 6, false, Notify::Post, nullptr);
        request->Srb.SRB_PostProc = reinterpret_cast<void*>(&ChainPosted);
        chained.fetch_add(1);
        if (send(&request->Srb) != SS_PENDING) refusals.fetch_add(1);
        return;
    }
}

// Returns nothing: the post routine of an application's request. It takes
// the block's page away at once, as an application that frees the block
// does, and every third one submits a chained request.
void __cdecl Posted(void* srb) {
    const int slot = SlotOf(srb);
    Slot& account = slots[slot];
    const BYTE status = static_cast<SRB_ExecSCSICmd*>(srb)->SRB_Status;
    account.PostedStatus = status;
    Release(slot);
    if (status != SS_ABORTED) {
        // Posted by the one worker, in the order the thread submitted.
        const unsigned long previous = lastPosted[slot / SlotsPerThread].exchange(account.Number + 1);
        if (previous > account.Number) outOfOrder.fetch_add(1);
    }
    if (account.Posts.fetch_add(1) != 0) doublePosts.fetch_add(1);
    if (account.Number % 3 == 0) Chain();
}

// Returns the final status of the slot's request, or SS_PENDING while it
// runs, as far as its kind lets the application tell.
BYTE Observe(int slot) {
    Slot& account = slots[slot];
    switch (account.Kind) {
    case Notify::Post:
        return account.Posts.load() != 0 ? static_cast<BYTE>(account.PostedStatus.load())
                                         : BYTE(SS_PENDING);
    case Notify::Event:
        if (WaitForSingleObject(account.Event, 0) != WAIT_OBJECT_0) return SS_PENDING;
        return __atomic_load_n(&Block(slot)->SRB_Status, __ATOMIC_ACQUIRE);
    default:
        return __atomic_load_n(&Block(slot)->SRB_Status, __ATOMIC_ACQUIRE);
    }
}

// Returns nothing: runs one application thread's share of requests.
void Application(int thread, unsigned long count) {
    sim::CurrentThreadEnvironment();
    std::mt19937 random(static_cast<unsigned>(thread) * 7919u + 1u);
    const BYTE read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    const BYTE write10[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    const BYTE modeSense[6] = {0x1A, 0, 0x3F, 0, 32, 0};
    const BYTE testUnitReady[6] = {};
    struct Command {
        BYTE Target;
        const BYTE* Cdb;
        BYTE Length;
        bool DataIn;
    };
    const Command commands[] = {
        {0, read10, 10, true}, {0, write10, 10, false}, {2, modeSense, 6, true},
        {2, read10, 10, true}, {2, testUnitReady, 6, false}, {5, testUnitReady, 6, false},
    };
    std::deque<int> pending;  // in submission order
    std::vector<int> free;
    for (int i = 0; i < SlotsPerThread; ++i) free.push_back(thread * SlotsPerThread + i);
    unsigned long sent = 0;
    while (sent < count || !pending.empty()) {
        if (sent < count && !free.empty()) {
            const int slot = free.front();
            free.erase(free.begin());
            Reclaim(slot);
            Slot& account = slots[slot];
            const Command& command = commands[random() % 6];
            const Notify kind = static_cast<Notify>(random() % 3);
            account.Posts = 0;
            account.Kind = kind;
            account.Number = sent++;
            ResetEvent(account.Event);
            Request* request = reinterpret_cast<Request*>(Block(slot));
            Prepare(*request, command.Target, command.Cdb, command.Length, command.DataIn, kind,
                    account.Event);
            if (kind == Notify::Post) request->Srb.SRB_PostProc = reinterpret_cast<void*>(&Posted);
            pending.push_back(slot);
            if (send(&request->Srb) != SS_PENDING) refusals.fetch_add(1);
            // The simulator keeps every pass-through request until told.
            if (sent % 1024 == 0) sim::ClearPassThroughLog();
        }
        if (random() % 16 == 0) {
            // Another thread's block, whatever it holds now: the library
            // goes by the address alone.
            SRB_Abort abort = {};
            abort.SRB_Cmd = SC_ABORT_SRB;
            abort.SRB_ToAbort = Block(static_cast<int>(random() % (Threads * SlotsPerThread)));
            if (send(&abort) != SS_COMP) refusals.fetch_add(1);
        }
        for (auto it = pending.begin(); it != pending.end();) {
            const BYTE status = Observe(*it);
            if (status == SS_PENDING) {
                ++it;
                continue;
            }
            if (status == SS_ABORTED) {
                aborted.fetch_add(1);
            } else {
                // One worker in submission order: whatever this thread sent
                // earlier has finished (or been aborted) by now. Blocks with
                // a post routine may be gone; the worker's order of posts
                // stands for theirs.
                for (auto earlier = pending.begin(); earlier != it; ++earlier) {
                    if (slots[*earlier].Kind != Notify::Post &&
                        __atomic_load_n(&Block(*earlier)->SRB_Status, __ATOMIC_ACQUIRE) ==
                            SS_PENDING) {
                        outOfOrder.fetch_add(1);
                    }
                }
            }
            if (slots[*it].Kind != Notify::Post) Release(*it);
            completed.fetch_add(1);
            free.push_back(*it);
            it = pending.erase(it);
        }
    }
}

TEST(LoadRun, EveryRequestIsAccountedFor) {
    const char* sizeText = getenv("PTASPI_LOAD_REQUESTS");
    const unsigned long perThread = sizeText != nullptr ? strtoul(sizeText, nullptr, 10) : 1500;
    ASSERT_TRUE(InstallMachine());
    const Resources before = CountResources();
    Library library;
    ASSERT_TRUE(Load(library));
    send = library.Send;
    pages = static_cast<BYTE*>(mmap(nullptr, SlotCount * page, PROT_READ | PROT_WRITE,
                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    for (Slot& slot : slots) slot.Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) threads.emplace_back(Application, t, perThread);
    for (std::thread& thread : threads) thread.join();
    for (int waited = 0; waited < 10000 && chainedDone.load() != chained.load(); ++waited) Sleep(1);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const unsigned long requests = perThread * Threads;
    printf("load run: %lu requests from %d threads and %ld chained, %ld aborted, %.1f s\n",
           requests, Threads, chained.load(), aborted.load(), seconds);
    EXPECT_EQ(completed.load(), static_cast<long>(requests));
    EXPECT_EQ(chainedDone.load(), chained.load());
    EXPECT_EQ(doublePosts.load(), 0);
    EXPECT_EQ(outOfOrder.load(), 0);
    EXPECT_EQ(refusals.load(), 0);
    for (const Slot& slot : slots) {
        EXPECT_LE(slot.Posts.load(), 1);
        CloseHandle(slot.Event);
    }
    Unload(library);
    EXPECT_TRUE(sim::WaitForThreadsToEnd(5000));
    EXPECT_EQ(Describe(CountResources()), Describe(before));
    munmap(pages, SlotCount * page);
    sim::UninstallMachine();
}

}  // namespace
}  // namespace reliability
