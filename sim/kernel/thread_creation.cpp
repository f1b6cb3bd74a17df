// Threads made the Win32 way (CreateThread, ExitThread, GetExitCodeThread)
// and the runtime's _beginthreadex/_endthreadex, over the machine's thread
// start (threads.cpp); the calling thread's pseudo-handle; suspension,
// priorities, affinity and times. Unlike _beginthread, these leave the
// thread's handle to the caller: it stays valid after the thread ends, and
// tells its exit code until it is closed.
#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/kernel_objects.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/win32_families.h"
#include "sim/runtime/errno_values.h"

#include <process.h>
#include <windows.h>

#include <errno.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace sim {

// threads.cpp: returns the handle of a new machine thread running `start`,
// or (uintptr_t)-1 with errno set.
uintptr_t StartThread(_beginthread_proc_type start, unsigned stack_size, void* arg);

namespace {

const DWORD StillActive = 259;
const DWORD CreateSuspended = 0x4;
const DWORD StackSizeIsReservation = 0x10000;
const DWORD ErrorNotSupported = 50;
const uint64_t UnixEpochInFileTime = 116444736000000000ULL;

// What a thread made here keeps beyond its record: its suspend count, its
// priority and affinity, when it was made. Guarded by StateLock().
struct ThreadExtras {
    DWORD SuspendCount = 0;
    WaitQueue Resumed;  // woken when the suspend count falls
    int Priority = 0;   // THREAD_PRIORITY_NORMAL
    bool PriorityBoostDisabled = false;
    DWORD_PTR Affinity = 0;  // 0: the process's mask
    uint64_t CreationTime = 0;
};

// Each thread's extras, made on first use, or by its creator before it
// runs (its suspend count then set). Guarded by StateLock().
std::map<const ThreadRecord*, std::shared_ptr<ThreadExtras>>& ExtrasTable() {
    static auto* extras = new std::map<const ThreadRecord*, std::shared_ptr<ThreadExtras>>;
    return *extras;
}

// Returns the extras of `record`, made when it has none. With StateLock().
ThreadExtras& ExtrasOf(const ThreadRecord* record) {
    std::shared_ptr<ThreadExtras>& extras = ExtrasTable()[record];
    if (!extras) extras = std::make_shared<ThreadExtras>();
    return *extras;
}

// Returns the current time as a FILETIME count.
uint64_t FileTimeNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return UnixEpochInFileTime + uint64_t(now.tv_sec) * 10000000ULL + uint64_t(now.tv_nsec) / 100;
}

// The process's start, for GetProcessTimes.
const uint64_t processCreation = FileTimeNow();

void StoreFileTime(LPFILETIME to, uint64_t value) {
    if (to == nullptr) return;
    to->dwLowDateTime = static_cast<DWORD>(value);
    to->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

// Returns the processors' mask: one bit per processor the host gives us.
DWORD_PTR ProcessorMask() {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    if (count < 1) count = 1;
    if (count > 32) count = 32;
    return count == 32 ? ~DWORD_PTR(0) : (DWORD_PTR(1) << count) - 1;
}

struct ThreadStart {
    ThreadStartRoutine Win32Start;                       // CreateThread's
    unsigned(__attribute__((stdcall)) * RuntimeStart)(void*);  // _beginthreadex's
    void* Parameter;
    // Made by the creator, with a suspend count of 1 for a thread created
    // suspended, so that a ResumeThread that comes before the thread first
    // runs is not lost.
    std::shared_ptr<ThreadExtras> Extras;
};

// Returns nothing once the start routine has returned (or the thread
// called ExitThread): its result is the thread's exit code. Runs on the new
// thread, which holds its handle no longer, so the handle stays the
// caller's; a thread made suspended first waits to be resumed.
void __cdecl RunWin32Thread(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    ThreadRecord& self = CurrentThreadRecord();
    self.StartHandle = nullptr;
    {
        StateHold lock(StateLock());
        ExtrasTable()[&self] = start.Extras;  // a record's address may be a dead one's
        ThreadExtras& extras = *start.Extras;
        WaitUntil(lock, &extras.Resumed, [&] { return extras.SuspendCount == 0; }, INFINITE);
    }
    const DWORD code = start.Win32Start != nullptr ? start.Win32Start(start.Parameter)
                                                   : start.RuntimeStart(start.Parameter);
    StateGuard guard(StateLock());
    self.ExitCode = code;
}

// Returns the extras of a thread about to be made, suspended or not.
std::shared_ptr<ThreadExtras> NewExtras(bool suspended) {
    auto extras = std::make_shared<ThreadExtras>();
    extras->SuspendCount = suspended ? 1 : 0;
    extras->CreationTime = FileTimeNow();
    return extras;
}

// Returns the new thread's handle and id, or null with the error set.
HANDLE StartWin32Thread(ThreadStart* start, unsigned stackSize, DWORD* id, DWORD* error) {
    std::shared_ptr<ThreadExtras> extras = start->Extras;
    HANDLE handle = reinterpret_cast<HANDLE>(StartThread(RunWin32Thread, stackSize, start));
    if (handle == reinterpret_cast<HANDLE>(-1)) {
        delete start;
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    auto thread = LookupHandleOf<ThreadObject>(handle, ObjectKind::Thread);
    if (id != nullptr) *id = thread ? thread->Record->Key : 0;
    if (thread) {
        StateGuard guard(StateLock());
        ExtrasTable()[thread->Record.get()] = extras;
    }
    return handle;
}

// Returns the thread object behind `handle` (the pseudo-handle included),
// or null with 6 set.
std::shared_ptr<ThreadObject> ThreadOf(HANDLE handle) {
    auto thread = LookupHandleOf<ThreadObject>(handle, ObjectKind::Thread);
    if (!thread) SetLastErrorCode(ERROR_INVALID_HANDLE);
    return thread;
}

// Returns true for the handles that name this process: its pseudo-handle
// and a handle OpenProcess gave.
bool IsOwnProcess(HANDLE handle);

}  // namespace

// Returns the handle of a process object for this process, made by
// OpenProcess: an event nobody sets, since the process never sees its own
// end, and marked as the process's.
struct ProcessObject : EventObject {
    ProcessObject() : EventObject(true, false) {}
};

bool IsOwnProcessHandle(HANDLE handle) { return IsOwnProcess(handle); }

namespace {
std::map<const KernelObject*, bool>& ProcessObjects() {
    static auto* objects = new std::map<const KernelObject*, bool>;
    return *objects;
}
bool IsOwnProcess(HANDLE handle) {
    if (handle == reinterpret_cast<HANDLE>(-1)) return true;
    auto object = LookupHandle(handle);
    StateGuard guard(StateLock());
    return object && ProcessObjects().count(object.get()) != 0;
}
}  // namespace

}  // namespace sim

using sim::ThreadStart;

// Returns the new thread's handle with its id in *lpThreadId, or NULL.
extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                      ThreadStartRoutine lpStartAddress, LPVOID lpParameter,
                                      DWORD dwCreationFlags, LPDWORD lpThreadId) {
    (void)lpThreadAttributes;  // no security model; inheritance has no child to reach
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::BeginThread, nullptr, &error)) {
        sim::SetLastErrorCode(error);
        return nullptr;
    }
    if (lpStartAddress == nullptr ||
        (dwCreationFlags & ~(sim::CreateSuspended | sim::StackSizeIsReservation)) != 0) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* start = new ThreadStart{lpStartAddress, nullptr, lpParameter,
                                  sim::NewExtras((dwCreationFlags & sim::CreateSuspended) != 0)};
    HANDLE handle = sim::StartWin32Thread(start, static_cast<unsigned>(dwStackSize), lpThreadId, &error);
    if (handle == nullptr) sim::SetLastErrorCode(error);
    return handle;
}

// Returns the new thread's handle, which the caller closes, or 0 with errno
// set (EINVAL for no start routine or an unknown flag).
extern "C" __attribute__((cdecl, force_align_arg_pointer)) uintptr_t rt_beginthreadex(
    void* security, unsigned stack_size, unsigned(__attribute__((stdcall)) * start_address)(void*),
    void* arglist, unsigned initflag, unsigned* thrdaddr) {
    (void)security;
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::BeginThread, nullptr, &error)) {
        sim::SetProgramErrno(sim::WindowsEAGAIN);
        return 0;
    }
    if (start_address == nullptr || (initflag & ~sim::CreateSuspended) != 0) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return 0;
    }
    auto* start = new ThreadStart{nullptr, start_address, arglist,
                                  sim::NewExtras((initflag & sim::CreateSuspended) != 0)};
    DWORD id = 0;
    HANDLE handle = sim::StartWin32Thread(start, stack_size, &id, &error);
    if (handle == nullptr) {
        sim::SetProgramErrno(sim::WindowsEAGAIN);
        return 0;
    }
    if (thrdaddr != nullptr) *thrdaddr = id;
    return reinterpret_cast<uintptr_t>(handle);
}

// Never returns: the calling thread ends with `code`, its handle left open.
extern "C" void WINAPI ExitThread(DWORD dwExitCode) {
    sim::ExitIfTerminated();
    {
        sim::StateGuard guard(sim::StateLock());
        sim::CurrentThreadRecord().ExitCode = dwExitCode;
    }
    _endthread();
}

// Never returns: as ExitThread, for threads of _beginthreadex.
extern "C" __attribute__((cdecl, force_align_arg_pointer, noreturn)) void rt_endthreadex(
    unsigned code) {
    ExitThread(code);
}

// Returns TRUE with the thread's exit code, STILL_ACTIVE (259) while it
// runs.
extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    sim::ExitIfTerminated();
    auto thread = sim::ThreadOf(hThread);
    if (!thread) return FALSE;
    sim::StateGuard guard(sim::StateLock());
    *lpExitCode = thread->Record->Ended ? thread->Record->ExitCode : sim::StillActive;
    return TRUE;
}

// Returns the pseudo-handle that names the calling thread wherever the
// thread itself uses it (handles.cpp resolves it).
extern "C" HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(-2); }

// Returns the id of the thread behind the handle, 0 with 6 for a bad one.
extern "C" DWORD WINAPI GetThreadId(HANDLE Thread) {
    auto thread = sim::ThreadOf(Thread);
    return thread ? thread->Record->Key : 0;
}

// Returns NULL with 87: a thread is found by id only while it has a record
// here, and the machine keeps no table of ids (OpenThread's documented
// failure for an id no thread has).
extern "C" HANDLE WINAPI OpenThread(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwThreadId) {
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    if (dwThreadId == sim::CurrentThreadKey()) {
        return sim::InsertHandle(
            std::make_shared<sim::ThreadObject>(sim::CurrentThreadRecordShared()));
    }
    sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return nullptr;
}

// Returns the suspend count before the call. A thread suspends itself until
// another resumes it; a thread still suspended since its creation counts
// one suspension more. Another running thread cannot be stopped where it
// is here: (DWORD)-1 with 50.
extern "C" DWORD WINAPI SuspendThread(HANDLE hThread) {
    sim::ExitIfTerminated();
    auto thread = sim::ThreadOf(hThread);
    if (!thread) return static_cast<DWORD>(-1);
    sim::StateHold lock(sim::StateLock());
    sim::ThreadExtras& extras = sim::ExtrasOf(thread->Record.get());
    const DWORD before = extras.SuspendCount;
    if (thread->Record.get() == &sim::CurrentThreadRecord()) {
        ++extras.SuspendCount;
        sim::WaitUntil(lock, &extras.Resumed, [&] { return extras.SuspendCount == 0; }, INFINITE);
        return before;
    }
    if (before == 0 && !thread->Record->Ended) {
        lock.unlock();
        sim::SetLastErrorCode(sim::ErrorNotSupported);
        return static_cast<DWORD>(-1);
    }
    if (before == 127) {  // MAXIMUM_SUSPEND_COUNT
        lock.unlock();
        sim::SetLastErrorCode(156 /* ERROR_SIGNAL_REFUSED */);
        return static_cast<DWORD>(-1);
    }
    if (!thread->Record->Ended) ++extras.SuspendCount;
    return before;
}

// Returns the suspend count before the call; the thread runs once it falls
// to 0.
extern "C" DWORD WINAPI ResumeThread(HANDLE hThread) {
    sim::ExitIfTerminated();
    auto thread = sim::ThreadOf(hThread);
    if (!thread) return static_cast<DWORD>(-1);
    sim::StateGuard guard(sim::StateLock());
    sim::ThreadExtras& extras = sim::ExtrasOf(thread->Record.get());
    const DWORD before = extras.SuspendCount;
    if (before != 0 && --extras.SuspendCount == 0) sim::SignalQueueLocked(extras.Resumed);
    return before;
}

// Returns the thread's priority level, THREAD_PRIORITY_ERROR_RETURN with 6
// for a bad handle.
extern "C" int WINAPI GetThreadPriority(HANDLE hThread) {
    auto thread = sim::ThreadOf(hThread);
    if (!thread) return 0x7FFFFFFF;
    sim::StateGuard guard(sim::StateLock());
    return sim::ExtrasOf(thread->Record.get()).Priority;
}

// Returns TRUE once the level is one of the documented ones (-15, -2 to 2,
// 15); FALSE with 87 otherwise. The host schedules as it will: levels only
// read back.
extern "C" BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    auto thread = sim::ThreadOf(hThread);
    if (!thread) return FALSE;
    if (nPriority != -15 && nPriority != 15 && (nPriority < -2 || nPriority > 2)) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::StateGuard guard(sim::StateLock());
    sim::ExtrasOf(thread->Record.get()).Priority = nPriority;
    return TRUE;
}

// Returns TRUE with whether dynamic boosting is off for the thread.
extern "C" BOOL WINAPI GetThreadPriorityBoost(HANDLE hThread, LPBOOL pDisablePriorityBoost) {
    auto thread = sim::ThreadOf(hThread);
    if (!thread) return FALSE;
    sim::StateGuard guard(sim::StateLock());
    *pDisablePriorityBoost = sim::ExtrasOf(thread->Record.get()).PriorityBoostDisabled;
    return TRUE;
}

// Returns TRUE once dynamic boosting is on or off for the thread.
extern "C" BOOL WINAPI SetThreadPriorityBoost(HANDLE hThread, BOOL bDisablePriorityBoost) {
    auto thread = sim::ThreadOf(hThread);
    if (!thread) return FALSE;
    sim::StateGuard guard(sim::StateLock());
    sim::ExtrasOf(thread->Record.get()).PriorityBoostDisabled = bDisablePriorityBoost != 0;
    return TRUE;
}

namespace sim {
namespace {
DWORD priorityClass = 0x20;  // NORMAL_PRIORITY_CLASS
}
}  // namespace sim

// Returns the process's priority class, 0 with 6 for another handle.
extern "C" DWORD WINAPI GetPriorityClass(HANDLE hProcess) {
    if (!sim::IsOwnProcess(hProcess)) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return 0;
    }
    return sim::priorityClass;
}

// Returns TRUE once the class is one of the documented ones; FALSE with 87
// otherwise.
extern "C" BOOL WINAPI SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass) {
    if (!sim::IsOwnProcess(hProcess)) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (dwPriorityClass) {
        case 0x20: case 0x40: case 0x80: case 0x100: case 0x4000: case 0x8000:
            sim::priorityClass = dwPriorityClass;
            return TRUE;
        default:
            sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

// Returns the thread's former affinity mask, 0 with 87 for a mask that is
// empty or not within the process's.
extern "C" DWORD_PTR WINAPI SetThreadAffinityMask(HANDLE hThread, DWORD_PTR dwThreadAffinityMask) {
    auto thread = sim::ThreadOf(hThread);
    if (!thread) return 0;
    const DWORD_PTR process = sim::ProcessorMask();
    if (dwThreadAffinityMask == 0 || (dwThreadAffinityMask & ~process) != 0) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return 0;
    }
    sim::StateGuard guard(sim::StateLock());
    sim::ThreadExtras& extras = sim::ExtrasOf(thread->Record.get());
    const DWORD_PTR before = extras.Affinity != 0 ? extras.Affinity : process;
    extras.Affinity = dwThreadAffinityMask;
    return before;
}

// Returns the thread's former ideal processor (0 here), (DWORD)-1 with 87
// for a processor the machine lacks.
extern "C" DWORD WINAPI SetThreadIdealProcessor(HANDLE hThread, DWORD dwIdealProcessor) {
    if (!sim::ThreadOf(hThread)) return static_cast<DWORD>(-1);
    if (dwIdealProcessor != 32 /* MAXIMUM_PROCESSORS: query only */ &&
        (dwIdealProcessor >= 32 || ((sim::ProcessorMask() >> dwIdealProcessor) & 1) == 0)) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return static_cast<DWORD>(-1);
    }
    return 0;
}

// Returns TRUE with the process's and the system's masks (one bit per
// processor).
extern "C" BOOL WINAPI GetProcessAffinityMask(HANDLE hProcess, DWORD_PTR* lpProcessAffinityMask,
                                              DWORD_PTR* lpSystemAffinityMask) {
    if (!sim::IsOwnProcess(hProcess)) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpProcessAffinityMask = sim::ProcessorMask();
    *lpSystemAffinityMask = sim::ProcessorMask();
    return TRUE;
}

// Returns TRUE for a mask within the system's; FALSE with 87 otherwise.
extern "C" BOOL WINAPI SetProcessAffinityMask(HANDLE hProcess, DWORD_PTR dwProcessAffinityMask) {
    if (!sim::IsOwnProcess(hProcess)) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (dwProcessAffinityMask == 0 || (dwProcessAffinityMask & ~sim::ProcessorMask()) != 0) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

namespace sim {
namespace {
// Returns the host's user and system time of the thread `hostThread` (its
// Linux id) in 100 ns units, from its /proc entry.
void HostThreadTimes(int hostThread, uint64_t* kernel, uint64_t* user) {
    *kernel = *user = 0;
    std::ifstream in("/proc/self/task/" + std::to_string(hostThread) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return;
    unsigned long utime = 0, stime = 0;
    // After the name: state, then fields 4 to 13, then utime and stime.
    if (std::sscanf(text.c_str() + close + 1,
                    " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                    &stime) != 2) {
        return;
    }
    const long ticks = sysconf(_SC_CLK_TCK);
    *user = uint64_t(utime) * 10000000ULL / uint64_t(ticks);
    *kernel = uint64_t(stime) * 10000000ULL / uint64_t(ticks);
}
}  // namespace
}  // namespace sim

// Returns TRUE with the thread's creation time, its exit time (once it
// ended) and the processor time it spent in kernel and user mode.
extern "C" BOOL WINAPI GetThreadTimes(HANDLE hThread, LPFILETIME lpCreationTime,
                                      LPFILETIME lpExitTime, LPFILETIME lpKernelTime,
                                      LPFILETIME lpUserTime) {
    auto thread = sim::ThreadOf(hThread);
    if (!thread) return FALSE;
    uint64_t creation;
    {
        sim::StateGuard guard(sim::StateLock());
        uint64_t& made = sim::ExtrasOf(thread->Record.get()).CreationTime;
        if (made == 0) made = sim::processCreation;
        creation = made;
    }
    uint64_t kernel = 0, user = 0;
    if (!thread->Record->Ended) sim::HostThreadTimes(thread->Record->HostThread.load(), &kernel, &user);
    sim::StoreFileTime(lpCreationTime, creation);
    sim::StoreFileTime(lpExitTime, 0);
    sim::StoreFileTime(lpKernelTime, kernel);
    sim::StoreFileTime(lpUserTime, user);
    return TRUE;
}

// Returns TRUE with the process's creation time and the processor time its
// threads spent; its exit time is undefined while it runs (0 here).
extern "C" BOOL WINAPI GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime,
                                       LPFILETIME lpExitTime, LPFILETIME lpKernelTime,
                                       LPFILETIME lpUserTime) {
    if (!sim::IsOwnProcess(hProcess)) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    sim::StoreFileTime(lpCreationTime, sim::processCreation);
    sim::StoreFileTime(lpExitTime, 0);
    sim::StoreFileTime(lpKernelTime, uint64_t(usage.ru_stime.tv_sec) * 10000000ULL +
                                         uint64_t(usage.ru_stime.tv_usec) * 10);
    sim::StoreFileTime(lpUserTime, uint64_t(usage.ru_utime.tv_sec) * 10000000ULL +
                                       uint64_t(usage.ru_utime.tv_usec) * 10);
    return TRUE;
}

// Returns FALSE with 50: a thread's registers are not reachable here (NT
// gives them only for a suspended thread, which the machine cannot stop
// where it runs).
extern "C" BOOL WINAPI GetThreadContext(HANDLE hThread, void* lpContext) {
    (void)lpContext;
    if (!sim::ThreadOf(hThread)) return FALSE;
    sim::SetLastErrorCode(sim::ErrorNotSupported);
    return FALSE;
}

// Returns FALSE with 50, as GetThreadContext.
extern "C" BOOL WINAPI SetThreadContext(HANDLE hThread, const void* lpContext) {
    (void)lpContext;
    if (!sim::ThreadOf(hThread)) return FALSE;
    sim::SetLastErrorCode(sim::ErrorNotSupported);
    return FALSE;
}

// Returns nonzero when another thread was ready to run (the host's yield
// does not say: nonzero always).
extern "C" BOOL WINAPI SwitchToThread(void) {
    sim::ExitIfTerminated();
    sched_yield();
    return TRUE;
}

// Returns 0 after the time asked for; no asynchronous procedure call is
// ever queued here, so an alertable sleep is a plain one.
extern "C" DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    (void)bAlertable;
    Sleep(dwMilliseconds);
    return 0;
}

// Returns a handle to this process for its own id; NULL with 87 for any
// other id (the machine runs one process, and NT answers 87 for an id no
// process has, and for the idle process's 0).
extern "C" HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle,
                                     DWORD dwProcessId) {
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    if (dwProcessId == 0 || dwProcessId != GetCurrentProcessId()) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto process = std::make_shared<sim::ProcessObject>();
    {
        sim::StateGuard guard(sim::StateLock());
        sim::ProcessObjects()[process.get()] = true;
    }
    return sim::InsertHandle(process);
}

// Never returns for this process, which ends with the code as ExitProcess
// ends it (NT's TerminateProcess of oneself runs no DLL detach; the
// simulator detaches, as the modules here hold nothing the host keeps).
extern "C" BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    if (!sim::IsOwnProcess(hProcess)) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ExitProcess(uExitCode);
}

// Returns TRUE with the handle's flags (no inheritance, no protection: the
// machine has no child processes to inherit them).
extern "C" BOOL WINAPI GetHandleInformation(HANDLE hObject, LPDWORD lpdwFlags) {
    if (!sim::LookupHandle(hObject)) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpdwFlags = 0;
    return TRUE;
}

// Returns TRUE for an open handle; the flags have no effect on a machine
// without child processes.
extern "C" BOOL WINAPI SetHandleInformation(HANDLE hObject, DWORD dwMask, DWORD dwFlags) {
    (void)dwMask;
    (void)dwFlags;
    if (!sim::LookupHandle(hObject)) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// Returns FALSE: no debugger is attached to the machine's process.
extern "C" BOOL WINAPI IsDebuggerPresent(void) { return FALSE; }

// Returns TRUE with FALSE in *pbDebuggerPresent for this process.
extern "C" BOOL WINAPI CheckRemoteDebuggerPresent(HANDLE hProcess, LPBOOL pbDebuggerPresent) {
    if (!sim::IsOwnProcess(hProcess) || pbDebuggerPresent == nullptr) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pbDebuggerPresent = FALSE;
    return TRUE;
}

// Returns nothing: with no debugger attached, NT drops the text.
extern "C" void WINAPI OutputDebugStringA(LPCSTR lpOutputString) { (void)lpOutputString; }
extern "C" void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) { (void)lpOutputString; }

// Returns FALSE with 5: debugging another process cannot mean anything on
// a machine that runs one.
extern "C" BOOL WINAPI DebugActiveProcess(DWORD dwProcessId) {
    (void)dwProcessId;
    sim::SetLastErrorCode(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Raises EXCEPTION_BREAKPOINT in the caller, as its int3 does.
extern "C" void WINAPI DebugBreak(void) { __asm__ volatile("int3"); }
