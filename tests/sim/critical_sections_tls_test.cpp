// Critical sections (recursive for their owner, exclusive for the rest,
// never abandoned) and thread local storage slots (per thread, in the
// environment block, refused when not allocated).
#include "kernel_test_support.h"

#include "sim/kernel/teb.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>

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
    for (DWORD bad : {slot, sim::TebTlsSlotCount}) {
        EXPECT_EQ(TlsGetValue(bad), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_FALSE(TlsSetValue(bad, &mine));
        EXPECT_FALSE(TlsFree(bad));
    }
}

}  // namespace
