// A call that succeeds leaves the thread's last error as it was, unless
// Win32 documents a value for that success.
#include "kernel_test_support.h"

#include "sim/kernel/threads.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <process.h>
#include <windows.h>

#include <functional>

namespace {

struct Step {
    const char* name;
    std::function<bool()> succeeds;
};

TEST(LastError, SuccessfulCallsLeaveItAlone) {
    sim::InstallDefaultMachine();
    HANDLE event = nullptr, mutex = nullptr, copy = nullptr, device = INVALID_HANDLE_VALUE;
    void* memory = nullptr;
    HMODULE module = nullptr;
    char roots[128];
    const Step steps[] = {
        {"CreateEventA", [&] { return (event = CreateEventA(nullptr, FALSE, FALSE, nullptr)) != nullptr; }},
        {"CreateMutexA", [&] { return (mutex = CreateMutexA(nullptr, TRUE, nullptr)) != nullptr; }},
        {"SetEvent", [&] { return SetEvent(event) != FALSE; }},
        {"WaitForSingleObject", [&] { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }},
        {"ResetEvent", [&] { return ResetEvent(event) != FALSE; }},
        {"WaitForMultipleObjects", [&] { return WaitForMultipleObjects(1, &mutex, TRUE, 0) == WAIT_OBJECT_0; }},
        {"ReleaseMutex", [&] { return ReleaseMutex(mutex) != FALSE; }},
        {"DuplicateHandle", [&] { return (copy = kernel_test::Duplicate(event)) != nullptr; }},
        {"CloseHandle", [&] { return CloseHandle(copy) != FALSE; }},
        {"VirtualAlloc", [&] { return (memory = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) != nullptr; }},
        {"VirtualLock", [&] { return VirtualLock(memory, 4096) != FALSE; }},
        {"VirtualUnlock", [&] { return VirtualUnlock(memory, 4096) != FALSE; }},
        {"VirtualFree", [&] { return VirtualFree(memory, 0, MEM_RELEASE) != FALSE; }},
        {"GetLogicalDriveStringsA", [&] { return GetLogicalDriveStringsA(sizeof roots, roots) != 0; }},
        {"GetDriveTypeA", [&] { return GetDriveTypeA(roots) > DRIVE_NO_ROOT_DIR; }},
        {"CreateFileA", [&] { return (device = CreateFileA("\\\\.\\Scsi0:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) != INVALID_HANDLE_VALUE; }},
        {"LoadLibraryA", [&] { return (module = LoadLibraryA(PTASPI_ENTRY_LIBRARY)) != nullptr; }},
        {"GetProcAddress", [&] { return GetProcAddress(module, "Bump") != nullptr; }},
        {"FreeLibrary", [&] { return FreeLibrary(module) != FALSE; }},
        {"_beginthread", [&] { return kernel_test::StartThread([] {}) != static_cast<uintptr_t>(-1); }},
    };
    for (const Step& step : steps) {
        SetLastError(4321);
        EXPECT_TRUE(step.succeeds()) << step.name;
        EXPECT_EQ(4321u, GetLastError()) << step.name;
    }
    for (HANDLE handle : {event, mutex, device}) CloseHandle(handle);
    sim::WaitForThreadsToEnd(5000);
    sim::UninstallMachine();
}

}  // namespace
