// Critical sections (recursive for their owner, exclusive for the rest,
// never abandoned) and thread local storage slots (per thread, in the
// environment block, checked against the limit only).
#include "kernel_test_support.h"

#include "sim/kernel/teb.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace {

using kernel_test::Eventually;
using kernel_test::StartThread;

TEST(CriticalSection, RecursiveForItsOwnerAndHeldByATerminatedOwnerForGood) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_EQ(section.RecursionCount, 2);
    std::atomic<int> stage{0};
    // A thread that _beginthread started closes its own handle as it ends,
    // so the tests watch what the threads record instead.
    StartThread([&] {
        EnterCriticalSection(&section);
        LeaveCriticalSection(&section);
        stage = 1;
    });
    LeaveCriticalSection(&section);
    Sleep(20);
    EXPECT_EQ(stage.load(), 0);  // one entry is still held
    LeaveCriticalSection(&section);
    EXPECT_TRUE(Eventually([&] { return stage.load() == 1; }));

    // A terminated owner never leaves: the section stays owned for good.
    HANDLE owner = reinterpret_cast<HANDLE>(StartThread([&] {
        EnterCriticalSection(&section);
        stage = 2;
        Sleep(INFINITE);
    }));
    ASSERT_TRUE(Eventually([&] { return stage.load() == 2; }));
    ASSERT_TRUE(TerminateThread(owner, 0));
    HANDLE blocked = reinterpret_cast<HANDLE>(StartThread([&] {
        EnterCriticalSection(&section);
        stage = 3;
    }));
    EXPECT_EQ(WaitForSingleObject(blocked, 100), WAIT_TIMEOUT);
    EXPECT_TRUE(TerminateThread(blocked, 0));
    EXPECT_EQ(stage.load(), 2);
    CloseHandle(owner);
    CloseHandle(blocked);
    DeleteCriticalSection(&section);
}

TEST(ThreadLocalStorage, ValuesArePerThreadAndLiveInTheEnvironmentBlock) {
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    int mine = 0, theirs = 0;
    ASSERT_TRUE(TlsSetValue(slot, &mine));
    uint32_t inBlock;
    std::memcpy(&inBlock, sim::CurrentThreadEnvironment() + sim::TebTlsSlots + 4 * slot, 4);
    EXPECT_EQ(inBlock, reinterpret_cast<uintptr_t>(&mine));
    LPVOID seenThere = &theirs;
    std::atomic<int> stage{0};
    StartThread([&] {
        seenThere = TlsGetValue(slot);
        TlsSetValue(slot, &theirs);
        stage = 1;
        while (stage != 2) Sleep(1);
        seenThere = TlsGetValue(slot);  // after the slot was freed and allocated again
        stage = 3;
    });
    ASSERT_TRUE(Eventually([&] { return stage.load() == 1; }));
    EXPECT_EQ(seenThere, nullptr);
    ASSERT_TRUE(TlsFree(slot));
    ASSERT_EQ(TlsAlloc(), slot);
    EXPECT_EQ(TlsGetValue(slot), nullptr);
    ASSERT_TRUE(TlsSetValue(slot, &mine));
    stage = 2;
    ASSERT_TRUE(Eventually([&] { return stage.load() == 3; }));
    EXPECT_EQ(seenThere, nullptr);
    SetLastError(5);
    EXPECT_EQ(TlsGetValue(slot), &mine);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(TlsFree(slot));
    // A freed slot below the limit still reads and writes; only TlsFree
    // looks at what is allocated.
    EXPECT_EQ(TlsGetValue(slot), nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(TlsSetValue(slot, &mine));
    EXPECT_EQ(TlsGetValue(slot), &mine);
    EXPECT_TRUE(TlsSetValue(slot, nullptr));
    EXPECT_FALSE(TlsFree(slot));
    const DWORD limit = 64 + 1024;
    EXPECT_EQ(TlsGetValue(limit), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(TlsSetValue(limit, &mine));
    EXPECT_FALSE(TlsFree(limit));
}

// 64 slots and 1024 expansion slots, the latter where the block's field
// at 0xF94 points.
TEST(ThreadLocalStorage, ThereAreTheSlotsOfNt) {
    std::vector<DWORD> slots;
    for (DWORD slot; (slot = TlsAlloc()) != TLS_OUT_OF_INDEXES;) slots.push_back(slot);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    ASSERT_GE(slots.size(), 1024u);
    const DWORD last = slots.back();
    EXPECT_EQ(last, 64u + 1023u);
    int mine = 0;
    ASSERT_TRUE(TlsSetValue(last, &mine));
    EXPECT_EQ(TlsGetValue(last), &mine);
    uint32_t expansion, value = 0;
    std::memcpy(&expansion, sim::CurrentThreadEnvironment() + 0xF94, 4);
    ASSERT_NE(expansion, 0u);
    std::memcpy(&value, reinterpret_cast<const char*>(expansion) + 4 * (last - 64), 4);
    EXPECT_EQ(value, reinterpret_cast<uintptr_t>(&mine));
    for (DWORD slot : slots) EXPECT_TRUE(TlsFree(slot));
    EXPECT_EQ(TlsGetValue(last), nullptr);  // zeroed as it was freed
}

}  // namespace
