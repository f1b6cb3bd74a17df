// Threads of the simulated machine: thread records with their ending and
// termination, the runtime's _beginthread/_endthread, TerminateThread,
// Sleep, and the handle calls that concern threads and the process.
#include "sim/kernel/threads.h"

#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/kernel_objects.h"
#include "sim/kernel/teb.h"
#include "sim/loader/exceptions/thread_stacks.h"
#include "sim/loader/loader.h"

#include <process.h>
#include <windows.h>

#include <errno.h>
#include <link.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace sim {
namespace {

struct MachineState {
    // Guarded by StateLock().
    size_t LiveThreads = 0;  // started by _beginthread and not ended
    WaitQueue ThreadsEnded;  // woken when LiveThreads falls to 0
    // Every thread record made, for process exit; guarded by ListLock,
    // which is never held with StateLock() wanted, since a record can be
    // made while StateLock() is held.
    std::mutex ListLock;
    std::vector<std::weak_ptr<ThreadRecord>> Threads;
};

// Returns the machine's thread state, created once and never destroyed.
MachineState& State() {
    static MachineState* state = new MachineState;  // outlives every thread
    return *state;
}

// Windows thread ids are non-zero multiples of 4; these keys look alike
// and are never reused.
std::atomic<unsigned long> nextThreadKey{0x104};

// Returns a new thread record, listed for process exit, under a key no
// thread has had.
std::shared_ptr<ThreadRecord> NewThreadRecord() {
    auto record = std::make_shared<ThreadRecord>(nextThreadKey.fetch_add(4));
    MachineState& state = State();
    std::lock_guard<std::mutex> guard(state.ListLock);
    auto& threads = state.Threads;
    threads.erase(std::remove_if(threads.begin(), threads.end(),
                                 [](const std::weak_ptr<ThreadRecord>& t) { return t.expired(); }),
                  threads.end());
    threads.push_back(record);
    return record;
}

// Returns every thread record that still exists.
std::vector<std::shared_ptr<ThreadRecord>> AllThreadRecords() {
    std::vector<std::shared_ptr<ThreadRecord>> records;
    MachineState& state = State();
    std::lock_guard<std::mutex> guard(state.ListLock);
    for (const auto& thread : state.Threads) {
        if (auto record = thread.lock()) records.push_back(record);
    }
    return records;
}

// Posted whenever a terminated thread stops, so that process exit, which
// waits for that, wakes at once; a semaphore, since a signal handler may
// post it.
sem_t* StopPosts() {
    static sem_t* posts = [] {
        auto* made = new sem_t;
        sem_init(made, 0, 0);
        return made;
    }();
    return posts;
}

// Returns nothing; `thread` has stopped running code of its own.
void MarkStopped(ThreadRecord& thread) {
    thread.Stopped.store(true);
    sem_post(StopPosts());
}

// Whether the calling thread counts among the running ones.
thread_local bool countedRunning = false;

// Returns nothing: the calling thread stops counting as running, for good.
void LeaveRunning() {
    if (!countedRunning) return;
    countedRunning = false;
    CountRunningThread(-1);
}

// Holds the calling thread's record. Its destructor runs when the thread
// exits by any road (a std::thread returning, the main thread at exit), so
// the mutexes a thread still owns are abandoned as on Windows.
struct ThreadHolder {
    std::shared_ptr<ThreadRecord> Record;
    ~ThreadHolder() {
        if (!Record) return;
        MarkStopped(*Record);
        {
            StateGuard guard(StateLock());
            EndThreadLocked(*Record);
        }
        LeaveRunning();
    }
};

thread_local ThreadHolder currentThread;
// The same record, as a plain pointer that a signal handler may read.
thread_local ThreadRecord* signalRecord = nullptr;

// Returns nothing; `record` becomes the calling thread's.
void AdoptRecord(const std::shared_ptr<ThreadRecord>& record) {
    currentThread.Record = record;
    signalRecord = record.get();
    if (!countedRunning) {
        countedRunning = true;
        CountRunningThread(1);
    }
    record->HostThread.store(static_cast<int>(syscall(SYS_gettid)));
}
// Where _endthread goes: the entry frame of a thread that _beginthread
// started; null on every other thread.
thread_local jmp_buf* exitFrame = nullptr;

// Never returns. A terminated thread stops here, asleep on a futex word
// that never changes, so its stack is never unwound into
// the code that called the simulator.
[[noreturn]] void ParkForever() {
    if (currentThread.Record) MarkStopped(*currentThread.Record);
    LeaveRunning();
    static uint32_t neverChanged = 0;
    for (;;) {
        syscall(SYS_futex, &neverChanged, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    }
}

struct StartContext {
    _beginthread_proc_type Start;
    void* Argument;
    std::shared_ptr<ThreadRecord> Record;
};

// Returns when the start routine returns or calls _endthread. _endthread
// longjmps back here rather than calling pthread_exit: the library is built
// with -fno-exceptions, and the forced unwinding of pthread_exit through
// its frames would need unwind tables that such code need not carry. The
// library's frames hold nothing to destroy, so skipping them is safe.
void RunStartRoutine(_beginthread_proc_type start, void* argument) {
    jmp_buf frame;
    exitFrame = &frame;
    if (setjmp(frame) == 0) start(argument);
    exitFrame = nullptr;
}

// Returns null when the thread's part in the machine is over: runs the
// start routine of a thread that _beginthread started, then ends it.
void* ThreadEntry(void* raw) {
    std::unique_ptr<StartContext> context(static_cast<StartContext*>(raw));
    AdoptRecord(context->Record);
    _beginthread_proc_type start = context->Start;
    void* argument = context->Argument;
    context.reset();
    ExitIfTerminated();  // terminated before it ever ran
    // The start routine may be a Windows DLL's code, which needs its
    // thread environment block behind %fs.
    CurrentThreadEnvironment();
    PrepareThreadForExceptions();
    // A new thread first delivers DLL_THREAD_ATTACH to the loaded modules
    // under the loader lock, as NT's loader does before the start routine
    // runs: a thread started while the lock is held (from a DllMain, say)
    // waits here until it is released.
    RunThreadNotifications(DLL_THREAD_ATTACH);
    RunStartRoutine(start, argument);
    ThreadRecord& self = *currentThread.Record;
    // A terminated thread that was running outside the simulator ends here
    // without touching anything: it already counts as ended, and its
    // handle stays open, since the runtime's exit code never ran for it.
    if (self.Terminated.load()) {
        MarkStopped(self);
        return nullptr;
    }
    // As the runtime does on Windows: the handle is closed first (whatever
    // it names by now, if the caller closed it already), then ExitThread
    // delivers DLL_THREAD_DETACH under the loader lock, and only then does
    // the thread end and its object become signalled. A thread waiting
    // here for the lock can be terminated; it then stops in that wait.
    RemoveHandle(self.StartHandle);
    RunThreadNotifications(DLL_THREAD_DETACH);
    {
        StateGuard guard(StateLock());
        EndThreadLocked(self);
    }
    return nullptr;
}

// The smallest stack given to a thread. The Linux build, and the sanitizer
// build above all, needs far more stack than the same code on Windows, so
// the size that the caller asks for is raised to at least this.
const size_t MinimumStackSize = 2u * 1024u * 1024u;

}  // namespace

ThreadRecord& CurrentThreadRecord() { return *CurrentThreadRecordShared(); }

std::shared_ptr<ThreadRecord> CurrentThreadRecordShared() {
    if (!currentThread.Record) {
        AdoptRecord(NewThreadRecord());
        // A thread made outside the simulator carries its creator's %fs;
        // from its first call in, it has its own environment block.
        CurrentThreadEnvironment();
    }
    return currentThread.Record;
}

void EndThreadLocked(ThreadRecord& thread) {
    if (thread.Ended) return;
    std::vector<std::shared_ptr<MutexObject>> owned = std::move(thread.OwnedMutexes);
    thread.OwnedMutexes.clear();
    for (const std::shared_ptr<MutexObject>& mutex : owned) {
        mutex->OwnerKey = 0;
        mutex->Recursion = 0;
        mutex->Abandoned = true;
        SignalQueueLocked(mutex->Waiters);
    }
    thread.Ended = true;
    SignalQueueLocked(thread.Waiters);
    if (thread.StartedByRuntime && --State().LiveThreads == 0) {
        SignalQueueLocked(State().ThreadsEnded);
    }
}

void ExitIfTerminated() {
    // The count is the calling thread's own: no lock needed to read it.
    const ThreadRecord& self = CurrentThreadRecord();
    if (self.Terminated.load() && self.SynchronousIo == 0) ParkForever();
}

void ExitIfTerminatedLocked(StateHold& lock) {
    if (!StopsAtItsNextCheck(CurrentThreadRecord())) return;
    lock.unlock();
    ParkForever();
}

bool StopsAtItsNextCheck(const ThreadRecord& thread) {
    return thread.Terminated.load() && thread.SynchronousIo == 0;
}

void EnterSynchronousIo() {
    ThreadRecord& self = CurrentThreadRecord();
    {
        StateGuard guard(StateLock());
        // Terminated before the request was issued: it never is.
        if (!self.Terminated.load()) {
            ++self.SynchronousIo;
            return;
        }
    }
    ParkForever();
}

void LeaveSynchronousIo() {
    ThreadRecord& self = CurrentThreadRecord();
    {
        StateGuard guard(StateLock());
        --self.SynchronousIo;
        if (self.Terminated.load() && self.SynchronousIo == 0) EndThreadLocked(self);
    }
    ExitIfTerminated();
}

namespace {

// Returns nothing. With StateLock() held: terminates a thread that has not
// ended. One inside a synchronous device control runs on to the end of its
// request and ends then, but never runs a module's code again. One in a
// wait is woken, unsatisfied, to stop there.
void TerminateLocked(ThreadRecord& thread, DWORD exitCode) {
    thread.Terminated.store(true);
    thread.ExitCode = exitCode;
    if (thread.SynchronousIo != 0) {
        thread.Stopped.store(true);
        return;
    }
    CancelWaitLocked(thread);
    EndThreadLocked(thread);
}

}  // namespace

unsigned long CurrentThreadKey() { return CurrentThreadRecord().Key; }

size_t LiveThreadCount() {
    StateGuard guard(StateLock());
    return State().LiveThreads;
}

bool WaitForThreadsToEnd(DWORD timeoutMs) {
    StateHold lock(StateLock());
    return WaitUntil(
        lock, &State().ThreadsEnded, [] { return State().LiveThreads == 0; }, timeoutMs);
}

size_t TerminateOtherThreads() {
    const std::shared_ptr<ThreadRecord> self = CurrentThreadRecordShared();
    const std::vector<std::shared_ptr<ThreadRecord>> records = AllThreadRecords();
    size_t terminated = 0;
    StateGuard guard(StateLock());
    for (const auto& record : records) {
        if (record == self || record->Ended || record->Terminated.load()) continue;
        TerminateLocked(*record, 0);
        ++terminated;
    }
    return terminated;
}

bool WaitForTerminatedThreadsToStop(DWORD timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool running = false;
        for (const auto& record : AllThreadRecords()) {
            if (record->Terminated.load() && !record->Stopped.load()) running = true;
        }
        if (!running) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

namespace {

// The host's code: every executable segment of the ELF objects loaded
// (the simulator, the C library, the vDSO through which system calls
// enter the kernel). Anything else a thread runs is Windows code.
struct CodeRange {
    uintptr_t Start;
    uintptr_t End;
};
const size_t MaximumCodeRanges = 512;
CodeRange hostCode[MaximumCodeRanges];
std::atomic<size_t> hostCodeCount{0};

// Returns 0 after adding the object's executable segments to hostCode.
int NoteHostCode(struct dl_phdr_info* object, size_t, void* count) {
    size_t& used = *static_cast<size_t*>(count);
    for (int i = 0; i < object->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = object->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
        if (used == MaximumCodeRanges) return 0;
        const uintptr_t start = object->dlpi_addr + segment.p_vaddr;
        hostCode[used++] = {start, start + segment.p_memsz};
    }
    return 0;
}

// Returns true when `address` is in the host's code. Safe in a signal
// handler: the table is only read.
bool IsHostCode(uintptr_t address) {
    const size_t count = hostCodeCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        if (address >= hostCode[i].Start && address < hostCode[i].End) return true;
    }
    return false;
}

// The host signal that stops a terminated thread.
int StopSignal() { return SIGRTMIN + 4; }

// The stop signal's handler. A terminated thread that was running Windows
// code parks here for good, as NT's termination takes a thread wherever it
// is. One in the host's code is left to run on: the signal has cut short
// any host call it was blocked in, and the simulator parks it at its next
// check, before it returns to Windows code.
void StopIfTerminated(int, siginfo_t*, void* context) {
    ThreadRecord* self = signalRecord;
    if (self == nullptr || !self->Terminated.load() || self->SynchronousIo != 0) return;
    const auto* machine = static_cast<const ucontext_t*>(context);
    if (IsHostCode(static_cast<uintptr_t>(machine->uc_mcontext.gregs[REG_EIP]))) return;
    MarkStopped(*self);
    sigset_t all;
    sigfillset(&all);
    for (;;) sigsuspend(&all);
}

// Returns every terminated thread not yet stopped, after sending each the
// stop signal.
size_t SignalTerminatedThreads() {
    size_t running = 0;
    const pid_t process = getpid();
    for (const auto& record : AllThreadRecords()) {
        const int host = record->HostThread.load();
        if (!record->Terminated.load() || record->Stopped.load() || host == 0) continue;
        ++running;
        if (syscall(SYS_tgkill, process, host, StopSignal()) != 0) MarkStopped(*record);
    }
    return running;
}

}  // namespace

bool StopTerminatedThreads() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action = {};
        action.sa_sigaction = StopIfTerminated;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;  // no SA_RESTART: host calls are cut short
        sigemptyset(&action.sa_mask);
        sigaction(StopSignal(), &action, nullptr);
    });
    size_t used = 0;
    dl_iterate_phdr(NoteHostCode, &used);
    hostCodeCount.store(used, std::memory_order_release);
    // Each round signals the threads not yet stopped, then waits for one
    // to stop. A thread in the host's code may need a few signals before
    // it meets a check; one that never does (blocked on a lock that a
    // stopped thread holds) cannot run Windows code either, and is given
    // up after the rounds.
    while (sem_trywait(StopPosts()) == 0) {
        // posts of threads that stopped before: none is awaited now
    }
    const int rounds = 200;
    for (int round = 0; round < rounds; ++round) {
        if (SignalTerminatedThreads() == 0) return true;
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 2 * 1000 * 1000;
        if (until.tv_nsec >= 1000 * 1000 * 1000) {
            until.tv_nsec -= 1000 * 1000 * 1000;
            ++until.tv_sec;
        }
        while (sem_timedwait(StopPosts(), &until) != 0 && errno == EINTR) {
        }
    }
    return SignalTerminatedThreads() == 0;
}

// Returns the handle of a new thread that runs `start` with `arg`, or
// (uintptr_t)-1 with errno set; the calling thread need not be one of
// the machine's.
uintptr_t StartThread(_beginthread_proc_type start, unsigned stack_size, void* arg);

}  // namespace sim

// Returns the new thread's handle, or (uintptr_t)-1 with errno set.
extern "C" uintptr_t __cdecl _beginthread(_beginthread_proc_type start, unsigned stack_size,
                                          void* arg) {
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::BeginThread, nullptr, &error)) {
        errno = static_cast<int>(error);
        return static_cast<uintptr_t>(-1);
    }
    if (start == nullptr) {
        errno = EINVAL;
        return static_cast<uintptr_t>(-1);
    }
    return sim::StartThread(start, stack_size, arg);
}

namespace sim {

uintptr_t StartThread(_beginthread_proc_type start, unsigned stack_size, void* arg) {
    auto record = sim::NewThreadRecord();
    record->StartedByRuntime = true;
    HANDLE handle = sim::InsertHandle(std::make_shared<sim::ThreadObject>(record));
    record->StartHandle = handle;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int result = pthread_attr_setstacksize(
        &attributes, std::max(sim::NewThreadStackSize(stack_size), sim::MinimumStackSize));
    {
        sim::StateGuard guard(sim::StateLock());
        ++sim::State().LiveThreads;
    }
    auto* context = new sim::StartContext{start, arg, record};
    pthread_t thread;
    if (result == 0) result = pthread_create(&thread, &attributes, sim::ThreadEntry, context);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete context;
        sim::RemoveHandle(handle);
        {
            sim::StateGuard guard(sim::StateLock());
            sim::EndThreadLocked(*record);
        }
        errno = result;
        return static_cast<uintptr_t>(-1);
    }
    return reinterpret_cast<uintptr_t>(handle);
}

std::vector<std::shared_ptr<ThreadRecord>> MachineThreadRecords() { return AllThreadRecords(); }

bool StartProcessThread(void (*start)(void*), void* argument) {
    return StartThread(start, 0, argument) != static_cast<uintptr_t>(-1);
}

}  // namespace sim

// Never returns: ends the calling thread as its start routine's return would.
extern "C" void __cdecl _endthread(void) {
    sim::HoldIfAsked(sim::Call::EndThread);
    sim::ExitIfTerminated();
    if (sim::exitFrame != nullptr) longjmp(*sim::exitFrame, 1);
    // A thread that _beginthread did not start has no entry frame of ours to
    // return to; its own runtime unwinds it (such threads are the tests').
    pthread_exit(nullptr);
}

// Returns TRUE once the thread has been terminated: it has ended, or ends
// when the synchronous device control it is inside ends; never returns
// when a thread terminates itself.
extern "C" BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::TerminateThread, nullptr, &error)) {
        sim::SetLastErrorCode(error);
        return FALSE;
    }
    auto thread = sim::LookupHandleOf<sim::ThreadObject>(hThread, sim::ObjectKind::Thread);
    if (!thread) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        sim::StateHold lock(sim::StateLock());
        sim::ExitIfTerminatedLocked(lock);
        // Terminating a thread that has ended already succeeds and changes
        // nothing, as on Windows.
        if (!thread->Record->Ended && !thread->Record->Terminated.load()) {
            sim::TerminateLocked(*thread->Record, dwExitCode);
        }
    }
    sim::ExitIfTerminated();  // a thread that terminated itself stops here
    return TRUE;
}

// Returns after the time asked for; never, for a terminated thread.
extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
    sim::ExitIfTerminated();
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    sim::StateHold lock(sim::StateLock());
    sim::WaitUntil(lock, nullptr, [] { return false; }, dwMilliseconds);
}

// Returns the calling thread's id, the simulator's key for it.
extern "C" DWORD WINAPI GetCurrentThreadId(void) { return sim::CurrentThreadKey(); }

// Returns the pseudo-handle that names the calling process.
extern "C" HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(-1); }

// Returns TRUE with a second handle to the same object in *lpTargetHandle.
extern "C" BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                                       HANDLE hTargetProcessHandle, LPHANDLE lpTargetHandle,
                                       DWORD dwDesiredAccess, BOOL bInheritHandle,
                                       DWORD dwOptions) {
    (void)dwDesiredAccess;  // every handle here has full access
    (void)bInheritHandle;   // there are no child processes
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::DuplicateHandle, nullptr, &error)) {
        sim::SetLastErrorCode(error);
        return FALSE;
    }
    // The machine runs one process, named only by its pseudo-handle.
    if (hSourceProcessHandle != GetCurrentProcess() ||
        hTargetProcessHandle != GetCurrentProcess()) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // "Closes the source handle. This occurs regardless of any error status
    // returned" (DuplicateHandle, DUPLICATE_CLOSE_SOURCE).
    const bool closeSource = (dwOptions & DUPLICATE_CLOSE_SOURCE) != 0;
    if ((dwOptions & ~(DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS)) != 0) {
        if (closeSource) sim::RemoveHandle(hSourceHandle);
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<sim::KernelObject> object = sim::LookupHandle(hSourceHandle);
    if (!object) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The duplicate is made while the source is still open, so it never
    // takes the source's value, even when the source is closed below.
    HANDLE duplicate = sim::InsertHandle(std::move(object));
    // As on Windows, a null target pointer still duplicates the handle; the
    // caller just never learns its value.
    if (lpTargetHandle != nullptr) *lpTargetHandle = duplicate;
    if (closeSource) sim::RemoveHandle(hSourceHandle);
    return TRUE;
}
