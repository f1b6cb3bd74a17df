// Virtual memory of the simulated machine: allocation, commit accounting,
// locking and release, with Win32's argument checks.
#include "sim/kernel/faults.h"
#include "sim/sim.h"
#include "sim/kernel/virtual_memory.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

const SIZE_T Page = 4096;
const DWORD NotLocked = 158;       // ERROR_NOT_LOCKED
const DWORD InvalidAddress = 487;  // ERROR_INVALID_ADDRESS

class VirtualMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFaults();
        committedBefore = sim::CommittedVirtualMemory();
        lockedBefore = sim::LockedVirtualMemory();
        allocationsBefore = sim::VirtualAllocationCount();
    }
    void TearDown() override {
        sim::ClearFaults();
        EXPECT_EQ(committedBefore, sim::CommittedVirtualMemory());
        EXPECT_EQ(lockedBefore, sim::LockedVirtualMemory());
        EXPECT_EQ(allocationsBefore, sim::VirtualAllocationCount());
    }
    // Returns nothing; checks that a call failed with `error`, then clears it.
    static void ExpectFailed(bool failed, DWORD error) {
        EXPECT_TRUE(failed);
        EXPECT_EQ(error, GetLastError());
        SetLastError(0);
    }
    static char* Commit(SIZE_T size) {
        return static_cast<char*>(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    }
    size_t committedBefore = 0;
    size_t lockedBefore = 0;
    size_t allocationsBefore = 0;
};

TEST_F(VirtualMemoryTest, AllocationIsZeroedPageAlignedAndAccounted) {
    const SIZE_T size = 3 * Page + 100;
    auto* memory = reinterpret_cast<unsigned char*>(Commit(size));
    ASSERT_NE(nullptr, memory);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(memory) % Page);
    EXPECT_EQ(committedBefore + 4 * Page, sim::CommittedVirtualMemory());
    for (SIZE_T i = 0; i < 4 * Page; ++i) ASSERT_EQ(0, memory[i]) << "byte " << i;
    memory[4 * Page - 1] = 0xA5;  // the whole rounded range is usable
    EXPECT_TRUE(VirtualFree(memory, 0, MEM_RELEASE));
}

TEST_F(VirtualMemoryTest, AllocationChecksItsArguments) {
    const struct {
        SIZE_T size;
        DWORD type;
        DWORD protect;
        DWORD error;
    } cases[] = {
        {0, MEM_COMMIT, PAGE_READWRITE, ERROR_INVALID_PARAMETER},
        {Page, 0, PAGE_READWRITE, ERROR_INVALID_PARAMETER},
        {Page, MEM_COMMIT | MEM_RELEASE, PAGE_READWRITE, ERROR_INVALID_PARAMETER},
        {Page, MEM_COMMIT, 0x40, ERROR_INVALID_PARAMETER},
        {0xFFFFFFFFu, MEM_COMMIT, PAGE_READWRITE, ERROR_NOT_ENOUGH_MEMORY},
        {0xFFFFF001u, MEM_COMMIT, PAGE_READWRITE, ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " " << c.type << " " << c.protect);
        ExpectFailed(VirtualAlloc(nullptr, c.size, c.type, c.protect) == nullptr, c.error);
    }
}

TEST_F(VirtualMemoryTest, ReleaseNeedsTheExactBaseAndSizeZero) {
    char* memory = Commit(2 * Page);
    ASSERT_NE(nullptr, memory);
    ExpectFailed(!VirtualFree(memory, 2 * Page, MEM_RELEASE), ERROR_INVALID_PARAMETER);
    ExpectFailed(!VirtualFree(memory + Page, 0, MEM_RELEASE), ERROR_INVALID_PARAMETER);
    ExpectFailed(!VirtualFree(memory, 0, 0), ERROR_INVALID_PARAMETER);
    ExpectFailed(!VirtualFree(nullptr, 0, MEM_RELEASE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(committedBefore + 2 * Page, sim::CommittedVirtualMemory());
    EXPECT_TRUE(VirtualFree(memory, 0, MEM_RELEASE));
    ExpectFailed(!VirtualFree(memory, 0, MEM_RELEASE), ERROR_INVALID_PARAMETER);  // twice
}

TEST_F(VirtualMemoryTest, LockAndUnlockTrackWholePagesOfOneAllocation) {
    char* memory = Commit(3 * Page);
    ASSERT_NE(nullptr, memory);
    EXPECT_FALSE(sim::IsVirtualLocked(memory, 3 * Page));
    // Locks do not nest: one unlock undoes two locks.
    ASSERT_TRUE(VirtualLock(memory, 3 * Page));
    ASSERT_TRUE(VirtualLock(memory, 3 * Page));
    EXPECT_TRUE(sim::IsVirtualLocked(memory, 3 * Page));
    EXPECT_EQ(lockedBefore + 3 * Page, sim::LockedVirtualMemory());
    EXPECT_TRUE(VirtualUnlock(memory, 3 * Page));
    EXPECT_EQ(lockedBefore, sim::LockedVirtualMemory());
    ExpectFailed(!VirtualUnlock(memory, 3 * Page), NotLocked);
    // A range of bytes locks every page that it touches.
    ASSERT_TRUE(VirtualLock(memory + Page - 1, 2));
    EXPECT_TRUE(sim::IsVirtualLocked(memory, 2 * Page));
    EXPECT_FALSE(sim::IsVirtualLocked(memory + 2 * Page, 1));
    // Unlocking a range with one page not locked fails and unlocks nothing.
    ExpectFailed(!VirtualUnlock(memory, 3 * Page), NotLocked);
    EXPECT_TRUE(sim::IsVirtualLocked(memory, 2 * Page));
    // Releasing locked memory drops its locks (the fixture checks the count).
    EXPECT_TRUE(VirtualFree(memory, 0, MEM_RELEASE));
}

TEST_F(VirtualMemoryTest, LockRangesOutsideOneAllocationAreRefused) {
    char* first = Commit(Page);
    char* second = Commit(Page);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    char* low = std::min(first, second);
    std::vector<char> heap(Page);  // not from VirtualAlloc
    const struct {
        char* base;
        SIZE_T size;
    } cases[] = {
        {first, Page + 1},
        {low, static_cast<SIZE_T>(std::max(first, second) - low) + 1},  // spans both
        {first, 0},
        {first + 16, 0xFFFFFFFFu},  // wraps the address space
        {nullptr, Page},
        {heap.data(), heap.size()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<void*>(c.base) << " + " << c.size);
        ExpectFailed(!VirtualLock(c.base, c.size), ERROR_INVALID_PARAMETER);
    }
    ExpectFailed(!VirtualUnlock(first + 16, 0xFFFFFFFFu), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(lockedBefore, sim::LockedVirtualMemory());
    EXPECT_TRUE(VirtualFree(first, 0, MEM_RELEASE));
    EXPECT_TRUE(VirtualFree(second, 0, MEM_RELEASE));
}

TEST_F(VirtualMemoryTest, ReservedPagesAreCommittedAndDecommittedInPlace) {
    auto* memory = static_cast<char*>(VirtualAlloc(nullptr, 4 * Page, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(nullptr, memory);
    EXPECT_EQ(committedBefore, sim::CommittedVirtualMemory());
    ExpectFailed(!VirtualLock(memory, Page), InvalidAddress);  // nothing committed there
    char* committed = static_cast<char*>(
        VirtualAlloc(memory + Page + 10, Page, MEM_COMMIT, PAGE_READWRITE));
    EXPECT_EQ(memory + Page, committed);  // rounded down to the page
    EXPECT_EQ(committedBefore + 2 * Page, sim::CommittedVirtualMemory());
    committed[0] = 1;
    committed[2 * Page - 1] = 2;
    EXPECT_TRUE(VirtualFree(committed, Page, MEM_DECOMMIT));
    EXPECT_EQ(committedBefore + Page, sim::CommittedVirtualMemory());
    // Committed again, the page reads zero; its neighbour kept its byte.
    ASSERT_EQ(committed, VirtualAlloc(committed, Page, MEM_COMMIT, PAGE_READWRITE));
    EXPECT_EQ(0, committed[0]);
    EXPECT_EQ(2, committed[2 * Page - 1]);
    ExpectFailed(VirtualAlloc(memory + 4 * Page, Page, MEM_COMMIT, PAGE_READWRITE) == nullptr,
                 InvalidAddress);
    EXPECT_TRUE(VirtualFree(memory, 0, MEM_RELEASE));
}

TEST_F(VirtualMemoryTest, InjectedFaultsFailTheCalls) {
    sim::FailCall(sim::Call::VirtualAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
    ExpectFailed(Commit(Page) == nullptr, ERROR_NOT_ENOUGH_MEMORY);
    char* memory = Commit(Page);
    ASSERT_NE(nullptr, memory);
    sim::FailCall(sim::Call::VirtualLock, 1, 1453);
    ExpectFailed(!VirtualLock(memory, Page), 1453);
    EXPECT_FALSE(sim::IsVirtualLocked(memory, Page));
    ASSERT_TRUE(VirtualLock(memory, Page));
    sim::FailCall(sim::Call::VirtualUnlock, 1, 5);
    ExpectFailed(!VirtualUnlock(memory, Page), 5);
    EXPECT_TRUE(VirtualUnlock(memory, Page));
    sim::FailCall(sim::Call::VirtualFree, 1, 5);
    ExpectFailed(!VirtualFree(memory, 0, MEM_RELEASE), 5);
    EXPECT_TRUE(VirtualFree(memory, 0, MEM_RELEASE));
}

TEST_F(VirtualMemoryTest, ConcurrentUseKeepsTheAccountsStraight) {
    auto worker = [] {
        for (int i = 0; i < 200; ++i) {
            SIZE_T size = (static_cast<SIZE_T>(i % 5) + 1) * Page - 7;
            void* memory = VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE);
            ASSERT_NE(nullptr, memory);
            ASSERT_TRUE(VirtualLock(memory, size));
            ASSERT_TRUE(VirtualUnlock(memory, size));
            ASSERT_TRUE(VirtualFree(memory, 0, MEM_RELEASE));
        }
    };
    std::thread first(worker), second(worker);
    first.join();
    second.join();
}

}  // namespace
