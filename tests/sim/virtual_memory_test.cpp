// Virtual memory of the simulated machine: allocation, commit accounting,
// locking and release, with Win32's argument checks.
#include "sim/faults.h"
#include "sim/sim.h"
#include "sim/virtual_memory.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace {

const SIZE_T Page = 4096;

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
    static void ExpectError(DWORD error) {
        EXPECT_EQ(error, GetLastError());
        SetLastError(0);
    }
    size_t committedBefore = 0;
    size_t lockedBefore = 0;
    size_t allocationsBefore = 0;
};

TEST_F(VirtualMemoryTest, AllocationIsZeroedPageAlignedAndAccounted) {
    const SIZE_T size = 3 * Page + 100;
    auto* memory = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, memory);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(memory) % Page);
    EXPECT_EQ(committedBefore + 4 * Page, sim::CommittedVirtualMemory());
    for (SIZE_T i = 0; i < 4 * Page; ++i) ASSERT_EQ(0, memory[i]) << "byte " << i;
    memory[size - 1] = 0x5A;  // the whole rounded range is usable
    memory[4 * Page - 1] = 0xA5;
    EXPECT_TRUE(VirtualFree(memory, 0, MEM_RELEASE));
}

TEST_F(VirtualMemoryTest, AllocationChecksItsArguments) {
    SetLastError(0);
    EXPECT_EQ(nullptr, VirtualAlloc(nullptr, 0, MEM_COMMIT, PAGE_READWRITE));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nullptr, VirtualAlloc(nullptr, Page, 0, PAGE_READWRITE));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nullptr, VirtualAlloc(nullptr, Page, MEM_COMMIT | MEM_RELEASE, PAGE_READWRITE));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nullptr, VirtualAlloc(nullptr, Page, MEM_COMMIT, 0x40));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(nullptr, VirtualAlloc(nullptr, 0xFFFFFFFFu, MEM_COMMIT, PAGE_READWRITE));
    ExpectError(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(nullptr, VirtualAlloc(nullptr, 0xFFFFF001u, MEM_COMMIT, PAGE_READWRITE));
    ExpectError(ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(VirtualMemoryTest, ReleaseNeedsTheExactBaseAndSizeZero) {
    auto* memory = static_cast<char*>(VirtualAlloc(nullptr, 2 * Page, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, memory);
    SetLastError(0);
    EXPECT_FALSE(VirtualFree(memory, 2 * Page, MEM_RELEASE));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualFree(memory + Page, 0, MEM_RELEASE));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualFree(memory, 0, 0));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualFree(nullptr, 0, MEM_RELEASE));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(committedBefore + 2 * Page, sim::CommittedVirtualMemory());
    EXPECT_TRUE(VirtualFree(memory, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(memory, 0, MEM_RELEASE));  // twice
    ExpectError(ERROR_INVALID_PARAMETER);
}

TEST_F(VirtualMemoryTest, LockAndUnlockTrackWholePagesOfOneAllocation) {
    auto* memory = static_cast<char*>(VirtualAlloc(nullptr, 3 * Page, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, memory);
    EXPECT_FALSE(sim::IsVirtualLocked(memory, 3 * Page));
    ASSERT_TRUE(VirtualLock(memory, 3 * Page));
    EXPECT_TRUE(sim::IsVirtualLocked(memory, 3 * Page));
    EXPECT_EQ(lockedBefore + 3 * Page, sim::LockedVirtualMemory());
    // Locks do not nest: one unlock undoes two locks.
    ASSERT_TRUE(VirtualLock(memory, 3 * Page));
    EXPECT_EQ(lockedBefore + 3 * Page, sim::LockedVirtualMemory());
    EXPECT_TRUE(VirtualUnlock(memory, 3 * Page));
    EXPECT_EQ(lockedBefore, sim::LockedVirtualMemory());
    SetLastError(0);
    EXPECT_FALSE(VirtualUnlock(memory, 3 * Page));
    ExpectError(158);  // ERROR_NOT_LOCKED
    // A range of bytes locks every page that it touches.
    ASSERT_TRUE(VirtualLock(memory + Page - 1, 2));
    EXPECT_TRUE(sim::IsVirtualLocked(memory, 2 * Page));
    EXPECT_FALSE(sim::IsVirtualLocked(memory + 2 * Page, 1));
    // Unlocking a range with one page not locked fails and unlocks nothing.
    EXPECT_FALSE(VirtualUnlock(memory, 3 * Page));
    ExpectError(158);
    EXPECT_TRUE(sim::IsVirtualLocked(memory, 2 * Page));
    // Releasing locked memory drops its locks.
    EXPECT_TRUE(VirtualFree(memory, 0, MEM_RELEASE));
}

TEST_F(VirtualMemoryTest, LockRangesOutsideOneAllocationAreRefused) {
    auto* first = static_cast<char*>(VirtualAlloc(nullptr, Page, MEM_COMMIT, PAGE_READWRITE));
    auto* second = static_cast<char*>(VirtualAlloc(nullptr, Page, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    char* low = first < second ? first : second;
    SetLastError(0);
    EXPECT_FALSE(VirtualLock(first, Page + 1));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualLock(low, static_cast<SIZE_T>((first > second ? first : second) - low) + 1));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualLock(first, 0));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualLock(first + 16, 0xFFFFFFFFu));  // wraps the address space
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualUnlock(first + 16, 0xFFFFFFFFu));
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualLock(nullptr, Page));
    ExpectError(ERROR_INVALID_PARAMETER);
    std::vector<char> heap(Page);
    EXPECT_FALSE(VirtualLock(heap.data(), heap.size()));  // not from VirtualAlloc
    ExpectError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(lockedBefore, sim::LockedVirtualMemory());
    EXPECT_TRUE(VirtualFree(first, 0, MEM_RELEASE));
    EXPECT_TRUE(VirtualFree(second, 0, MEM_RELEASE));
}

TEST_F(VirtualMemoryTest, ReservedPagesAreCommittedAndDecommittedInPlace) {
    auto* memory = static_cast<char*>(VirtualAlloc(nullptr, 4 * Page, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(nullptr, memory);
    EXPECT_EQ(committedBefore, sim::CommittedVirtualMemory());
    SetLastError(0);
    EXPECT_FALSE(VirtualLock(memory, Page));  // nothing committed there
    ExpectError(487);  // ERROR_INVALID_ADDRESS
    char* committed = static_cast<char*>(
        VirtualAlloc(memory + Page + 10, Page, MEM_COMMIT, PAGE_READWRITE));
    EXPECT_EQ(memory + Page, committed);  // rounded down to the page
    EXPECT_EQ(committedBefore + 2 * Page, sim::CommittedVirtualMemory());
    committed[0] = 1;
    committed[2 * Page - 1] = 2;
    EXPECT_TRUE(VirtualFree(committed, Page, MEM_DECOMMIT));
    EXPECT_EQ(committedBefore + Page, sim::CommittedVirtualMemory());
    // Committed again, the page reads zero.
    ASSERT_EQ(committed, VirtualAlloc(committed, Page, MEM_COMMIT, PAGE_READWRITE));
    EXPECT_EQ(0, committed[0]);
    EXPECT_EQ(2, committed[2 * Page - 1]);
    EXPECT_EQ(nullptr, VirtualAlloc(memory + 4 * Page, Page, MEM_COMMIT, PAGE_READWRITE));
    ExpectError(487);
    EXPECT_TRUE(VirtualFree(memory, 0, MEM_RELEASE));
}

TEST_F(VirtualMemoryTest, InjectedFaultsFailTheCalls) {
    sim::FailCall(sim::Call::VirtualAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(nullptr, VirtualAlloc(nullptr, Page, MEM_COMMIT, PAGE_READWRITE));
    ExpectError(ERROR_NOT_ENOUGH_MEMORY);
    void* memory = VirtualAlloc(nullptr, Page, MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(nullptr, memory);
    sim::FailCall(sim::Call::VirtualLock, 1, 1453);
    EXPECT_FALSE(VirtualLock(memory, Page));
    ExpectError(1453);
    EXPECT_FALSE(sim::IsVirtualLocked(memory, Page));
    ASSERT_TRUE(VirtualLock(memory, Page));
    sim::FailCall(sim::Call::VirtualUnlock, 1, 5);
    EXPECT_FALSE(VirtualUnlock(memory, Page));
    ExpectError(5);
    EXPECT_TRUE(VirtualUnlock(memory, Page));
    sim::FailCall(sim::Call::VirtualFree, 1, 5);
    EXPECT_FALSE(VirtualFree(memory, 0, MEM_RELEASE));
    ExpectError(5);
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
