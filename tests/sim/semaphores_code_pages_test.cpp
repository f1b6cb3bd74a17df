// Semaphores in the kernel's waits, and kernel32's code page conversions
// (1252, 437, UTF-8) with their size queries and failures.
#include "kernel_test_support.h"

#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

using kernel_test::StartThread;

TEST(Semaphores, CountBetweenZeroAndTheMaximumAndWakeWaiters) {
    const size_t handlesBefore = sim::OpenHandleCount();
    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 2, nullptr);
    ASSERT_NE(semaphore, nullptr);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(semaphore, 2, &previous));
    EXPECT_EQ(previous, 0);
    // Past the maximum: refused, the count unchanged.
    SetLastError(0);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_POSTS));
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
    // A waiter blocked on it is released by another thread.
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StartThread([&] {
        if (WaitForSingleObject(semaphore, INFINITE) == WAIT_OBJECT_0) SetEvent(done);
    });
    EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, nullptr));
    EXPECT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
    // Named: a second creation opens the same object.
    const WCHAR name[] = {'r', 'u', 'n', 0};
    HANDLE named = CreateSemaphoreW(nullptr, 1, 1, name);
    HANDLE again = CreateSemaphoreW(nullptr, 0, 5, name);
    EXPECT_EQ(GetLastError(), 183u);
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(named, 0), WAIT_TIMEOUT);
    EXPECT_EQ(CreateSemaphoreA(nullptr, 3, 2, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    for (HANDLE handle : {semaphore, done, named, again}) CloseHandle(handle);
    ASSERT_TRUE(sim::WaitForThreadsToEnd(5000));  // the waiter closes its own handle
    EXPECT_EQ(sim::OpenHandleCount(), handlesBefore);
}

// Returns the UTF-16 units of `text` converted from `codePage`, empty when
// the conversion fails.
std::u16string Widen(UINT codePage, const std::string& text, DWORD flags = 0) {
    const int needed = MultiByteToWideChar(codePage, flags, text.data(), int(text.size()), nullptr, 0);
    if (needed == 0) return std::u16string();
    std::u16string wide(size_t(needed), u'\0');
    MultiByteToWideChar(codePage, flags, text.data(), int(text.size()),
                        reinterpret_cast<LPWSTR>(&wide[0]), needed);
    return wide;
}

TEST(CodePages, SingleByteAndUtf8ConversionsBothWays) {
    EXPECT_EQ(Widen(CP_ACP, "a\x80\xE9"), u"a\u20AC\u00E9");
    EXPECT_EQ(Widen(CP_OEMCP, "\x82\xE1"), u"\u00E9\u00DF");
    EXPECT_EQ(Widen(CP_UTF8, "\xF0\x9F\x98\x80z"), u"\U0001F600z");
    EXPECT_EQ(Widen(CP_UTF8, "a\xC3"), u"a\uFFFD");  // a sequence cut short
    EXPECT_EQ(Widen(CP_UTF8, "a\xC3", MB_ERR_INVALID_CHARS), u"");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(Widen(42, "a"), u"");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    const WCHAR text[] = {'a', 0x20AC, 0x0100, 0};
    char bytes[8] = {};
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(1252, 0, text, -1, nullptr, 0, nullptr, nullptr), 4);
    EXPECT_EQ(WideCharToMultiByte(1252, 0, text, -1, bytes, 8, nullptr, &usedDefault), 4);
    EXPECT_EQ(std::string(bytes), "a\x80?");
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(1252, 0, text, -1, bytes, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, 3, bytes, 8, nullptr, nullptr), 6);
    EXPECT_EQ(std::string(bytes, 6), "a\xE2\x82\xAC\xC4\x80");
    // UTF-8 has no default character to report.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, 3, bytes, 8, nullptr, &usedDefault), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(IsDBCSLeadByteEx(CP_ACP, 0x81));
}

}  // namespace
