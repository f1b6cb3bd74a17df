// The simulated loader: fresh static storage for every load, DllMain's
// calls, a refused attach, exports, unloading without leaks, the loader
// lock around threads' start and end, and process exit.
#include "kernel_test_support.h"

#include "sim/kernel/faults.h"
#include "sim/loader/loader.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#ifndef PTASPI_ENTRY_LIBRARY
#error "the build names the loader's test library in PTASPI_ENTRY_LIBRARY"
#endif

namespace {

using kernel_test::Eventually;
using kernel_test::StartThread;

typedef long (*EntryCallCountProc)(DWORD);
typedef long (*BumpProc)(void);

// Returns the export `name` of `module` as a function of type T, or null.
template <class T>
T Resolve(HMODULE module, const char* name) {
    // Through the generic function type, as GetProcAddress's callers do.
    return reinterpret_cast<T>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

// Returns what the fixture's Bump export returns (its static counter), -1 without it.
long Bump(HMODULE module) {
    auto bump = Resolve<BumpProc>(module, "Bump");
    return bump != nullptr ? bump() : -1;
}

// Returns how often the loaded instance's DllMain saw `reason`, -1 without the export.
long EntryCalls(HMODULE module, DWORD reason) {
    auto count = Resolve<EntryCallCountProc>(module, "EntryCallCount");
    return count != nullptr ? count(reason) : -1;
}

size_t CountEntries(const char* folder) {
    size_t count = 0;
    if (DIR* dir = opendir(folder)) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

size_t CountMappingsOf(const std::string& needle) {
    std::ifstream maps("/proc/self/maps");
    size_t count = 0;
    for (std::string line; std::getline(maps, line);) count += line.find(needle) != std::string::npos;
    return count;
}

const char* const EntryVariables[] = {"PTASPI_ENTRY_LOG", "PTASPI_ENTRY_ATTACH",
                                      "PTASPI_ENTRY_THREAD_ATTACH", "PTASPI_ENTRY_HOOK"};

// What the fixture's DllMain runs for the test, on every call.
std::function<void(HINSTANCE, DWORD, LPVOID)> entryHook;

void EntryHook(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (entryHook) entryHook(module, reason, reserved);
}

HANDLE AsHandle(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

// Returns the path of a copy of the test library, a second module.
std::string CopyOfLibrary() {
    const std::string copy = "/tmp/ptaspi-entry-copy-" + std::to_string(getpid()) + ".so";
    std::ifstream in(PTASPI_ENTRY_LIBRARY, std::ios::binary);
    std::ofstream(copy, std::ios::binary) << in.rdbuf();
    return copy;
}

typedef std::vector<std::pair<HMODULE, DWORD>> CallList;

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFaults();
        for (const char* name : EntryVariables) unsetenv(name);
        char address[32];
        snprintf(address, sizeof address, "%lx", reinterpret_cast<unsigned long>(log));
        setenv("PTASPI_ENTRY_LOG", address, 1);
        snprintf(address, sizeof address, "%lx", reinterpret_cast<unsigned long>(&EntryHook));
        setenv("PTASPI_ENTRY_HOOK", address, 1);
        modulesBefore = sim::LoadedModuleCount();
    }
    void TearDown() override {
        entryHook = nullptr;
        sim::ClearFaults();
        for (const char* name : EntryVariables) unsetenv(name);
        EXPECT_EQ(modulesBefore, sim::LoadedModuleCount());
    }
    long log[4] = {};  // DllMain's calls by reason, across instances
    size_t modulesBefore = 0;
};

// Every load runs DllMain afresh on fresh static storage, and a hundred
// loads leave neither descriptors nor mappings behind.
TEST_F(LoaderTest, EveryLoadIsFreshAndLeavesNothingBehind) {
    HMODULE module = LoadLibraryA(PTASPI_ENTRY_LIBRARY);
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(1, Bump(module));
    EXPECT_EQ(2, Bump(module));
    EXPECT_EQ(1, EntryCalls(module, DLL_PROCESS_ATTACH));
    EXPECT_EQ(0, EntryCalls(module, DLL_PROCESS_DETACH));
    ASSERT_TRUE(FreeLibrary(module));  // also warms up the dynamic linker's lasting tables
    EXPECT_EQ(1, log[DLL_PROCESS_DETACH]);
    const size_t descriptors = CountEntries("/proc/self/fd");
    for (int i = 0; i < 100; ++i) {
        module = LoadLibraryA(PTASPI_ENTRY_LIBRARY);
        ASSERT_NE(nullptr, module) << "load " << i;
        ASSERT_EQ(1, Bump(module)) << "load " << i;
        ASSERT_TRUE(FreeLibrary(module));
    }
    EXPECT_EQ(descriptors, CountEntries("/proc/self/fd"));
    EXPECT_EQ(0u, CountMappingsOf("ptaspi-module-"));
    EXPECT_EQ(101, log[DLL_PROCESS_ATTACH]);
    EXPECT_EQ(101, log[DLL_PROCESS_DETACH]);
}

TEST_F(LoaderTest, LoadingALoadedLibraryAgainSharesIt) {
    HMODULE first = LoadLibraryA(PTASPI_ENTRY_LIBRARY);
    HMODULE second = LoadLibraryA(PTASPI_ENTRY_LIBRARY);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, second);
    EXPECT_EQ(1, log[DLL_PROCESS_ATTACH]);
    EXPECT_EQ(1, Bump(first));
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(0, log[DLL_PROCESS_DETACH]);
    EXPECT_EQ(2, Bump(first));  // still loaded
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(1, log[DLL_PROCESS_DETACH]);
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(first));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST_F(LoaderTest, RefusedAttachIsFollowedByDetachAndFailsTheLoad) {
    setenv("PTASPI_ENTRY_ATTACH", "0", 1);
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryA(PTASPI_ENTRY_LIBRARY));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DLL_INIT_FAILED), GetLastError());
    EXPECT_EQ(1, log[DLL_PROCESS_ATTACH]);
    EXPECT_EQ(1, log[DLL_PROCESS_DETACH]);
    EXPECT_EQ(modulesBefore, sim::LoadedModuleCount());
    // The next load is a fresh one that may succeed.
    unsetenv("PTASPI_ENTRY_ATTACH");
    HMODULE module = LoadLibraryA(PTASPI_ENTRY_LIBRARY);
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(1, Bump(module));
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(LoaderTest, EntryPointCallsReachTheLoadedInstance) {
    HMODULE module = LoadLibraryA(PTASPI_ENTRY_LIBRARY);
    ASSERT_NE(nullptr, module);
    EXPECT_TRUE(sim::CallEntryPoint(module, DLL_THREAD_ATTACH));
    EXPECT_TRUE(sim::CallEntryPoint(module, DLL_THREAD_DETACH));
    setenv("PTASPI_ENTRY_THREAD_ATTACH", "0", 1);
    EXPECT_FALSE(sim::CallEntryPoint(module, DLL_THREAD_ATTACH));
    EXPECT_EQ(2, EntryCalls(module, DLL_THREAD_ATTACH));
    EXPECT_EQ(1, EntryCalls(module, DLL_THREAD_DETACH));
    EXPECT_TRUE(FreeLibrary(module));
    SetLastError(0);
    EXPECT_FALSE(sim::CallEntryPoint(module, DLL_THREAD_ATTACH));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST_F(LoaderTest, LoadFailuresReportWindowsErrors) {
    EXPECT_EQ(nullptr, LoadLibraryA("/nonexistent/folder/library.so"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    EXPECT_EQ(nullptr, LoadLibraryA(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(nullptr, LoadLibraryA("/proc/self/status"));  // not a shared object
    EXPECT_EQ(193u, GetLastError());                        // ERROR_BAD_EXE_FORMAT
    sim::FailCall(sim::Call::LoadLibraryA, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(nullptr, LoadLibraryA(PTASPI_ENTRY_LIBRARY));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    EXPECT_EQ(0, log[DLL_PROCESS_ATTACH]);
}

TEST_F(LoaderTest, GetProcAddressFindsOnlyTheModulesOwnExports) {
    HMODULE module = LoadLibraryA(PTASPI_ENTRY_LIBRARY);
    ASSERT_NE(nullptr, module);
    EXPECT_NE(nullptr, GetProcAddress(module, "Bump"));
    // Unknown, the C library's, and an ordinal.
    for (const char* name : {"NoSuchFunction", "malloc", reinterpret_cast<const char*>(1)}) {
        SetLastError(0);
        EXPECT_EQ(nullptr, GetProcAddress(module, name));
        EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    }
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(nullptr, GetProcAddress(module, "Bump"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

// A thread started under the loader lock runs only once the lock is free,
// and a thread that ends needs the lock first: a detach that waits for its
// own thread times out. Threads see attach and detach while loaded.
TEST_F(LoaderTest, ThreadsStartAndEndUnderTheLoaderLock) {
    std::atomic<bool> ran{false};
    HANDLE finish = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE worker = nullptr;
    DWORD detachWait = 0;
    entryHook = [&](HINSTANCE, DWORD reason, LPVOID) {
        if (reason == DLL_PROCESS_ATTACH) {
            // Duplicated before it can run, let alone end: the loader
            // lock keeps it from starting until this DllMain returns.
            worker = kernel_test::Duplicate(AsHandle(StartThread([&] {
                ran = true;
                WaitForSingleObject(finish, INFINITE);
            })));
            Sleep(30);
            EXPECT_FALSE(ran.load()) << "ran while the loader lock was held";
        } else if (reason == DLL_PROCESS_DETACH) {
            SetEvent(finish);
            detachWait = WaitForSingleObject(worker, 200);
        }
    };
    HMODULE module = LoadLibraryA(PTASPI_ENTRY_LIBRARY);
    ASSERT_NE(nullptr, module);
    ASSERT_TRUE(Eventually([&] { return ran.load(); }));
    HANDLE brief = kernel_test::StartKeptThread([] {});
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(brief, 5000));
    EXPECT_EQ(2, log[DLL_THREAD_ATTACH]);
    EXPECT_EQ(1, log[DLL_THREAD_DETACH]);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), detachWait);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 5000));
    EXPECT_EQ(1, log[DLL_THREAD_DETACH]) << "the module was gone when the worker ended";
    for (HANDLE handle : {worker, brief, finish}) CloseHandle(handle);
}

// A library that an entry point frees during a thread notification gets
// no notification after it is gone (the sanitizer build sees any read of
// its record), and the walk goes on with the others.
TEST_F(LoaderTest, ALibraryFreedDuringAThreadNotificationIsNotNotified) {
    const std::string copy = CopyOfLibrary();
    HMODULE first = LoadLibraryA(PTASPI_ENTRY_LIBRARY);
    HMODULE second = LoadLibraryA(copy.c_str());
    unlink(copy.c_str());
    ASSERT_NE(nullptr, second);
    CallList calls;
    entryHook = [&](HINSTANCE module, DWORD reason, LPVOID) {
        calls.emplace_back(reinterpret_cast<HMODULE>(module), reason);
        if (reason == DLL_THREAD_ATTACH) {
            EXPECT_TRUE(FreeLibrary(second));
        }
    };
    HANDLE thread = kernel_test::StartKeptThread([] {});
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    entryHook = nullptr;
    const CallList expected{{first, DLL_THREAD_ATTACH},
                              {second, DLL_PROCESS_DETACH},
                              {first, DLL_THREAD_DETACH}};
    EXPECT_EQ(expected, calls);
    EXPECT_TRUE(FreeLibrary(first));
    CloseHandle(thread);
}

// Process exit terminates the other threads first, then detaches every
// module, last loaded first, with a non-null reserved, and unloads them.
// FreeLibrary in a detach does nothing then: each module is detached once.
TEST_F(LoaderTest, ProcessExitTerminatesThreadsThenDetachesInReverseOrder) {
    const std::string copy = CopyOfLibrary();
    HMODULE first = LoadLibraryA(PTASPI_ENTRY_LIBRARY);
    HMODULE second = LoadLibraryA(copy.c_str());
    unlink(copy.c_str());
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    ASSERT_NE(first, second);
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> stage{0};
    HANDLE thread = AsHandle(StartThread([&] {
        stage = 1;
        WaitForSingleObject(gate, INFINITE);
        stage = 2;  // never
    }));
    ASSERT_TRUE(Eventually([&] { return stage.load() == 1; }));
    std::vector<std::pair<HMODULE, bool>> detaches;
    std::vector<DWORD> threadStates;
    entryHook = [&](HINSTANCE module, DWORD reason, LPVOID reserved) {
        if (reason != DLL_PROCESS_DETACH) return;
        detaches.emplace_back(reinterpret_cast<HMODULE>(module), reserved != nullptr);
        threadStates.push_back(WaitForSingleObject(thread, 0));
        EXPECT_TRUE(FreeLibrary(first));
    };
    EXPECT_TRUE(sim::SimulateProcessExit());
    const std::vector<std::pair<HMODULE, bool>> expected{{second, true}, {first, true}};
    EXPECT_EQ(expected, detaches);
    EXPECT_EQ(std::vector<DWORD>(2, WAIT_OBJECT_0), threadStates);
    EXPECT_EQ(0, log[DLL_THREAD_DETACH]);
    EXPECT_EQ(0u, sim::LoadedModuleCount());
    SetEvent(gate);
    Sleep(20);
    EXPECT_EQ(1, stage.load());
    CloseHandle(thread);
    CloseHandle(gate);
}

}  // namespace
