/* Processes and threads: a thread's exit code from its return, from
   ExitThread and from _endthreadex, STILL_ACTIVE while it runs, a thread
   made suspended that runs only once resumed, the calling thread's
   pseudo-handle, priorities and affinity. */
#include "families.h"

enum { StillActive = 259, CreateSuspended = 4, WaitObject0 = 0, WaitTimeout = 258 };

static volatile LONG ran;
static HANDLE release;

static DWORD WINAPI Returns(void* parameter) { return (DWORD)(DWORD_PTR)parameter; }

static DWORD WINAPI Exits(void* parameter) {
    ExitThread((DWORD)(DWORD_PTR)parameter + 1);
    return 0;
}

static DWORD WINAPI WaitsForRelease(void* parameter) {
    (void)parameter;
    InterlockedIncrement(&ran);
    WaitForSingleObject(release, 0xFFFFFFFF);
    return 7;
}

static unsigned __stdcall EndsThreadEx(void* parameter) {
    _endthreadex((unsigned)(DWORD_PTR)parameter);
    return 0;
}

static unsigned __stdcall ReturnsEx(void* parameter) { return (unsigned)(DWORD_PTR)parameter * 2; }

int main(void) {
    DWORD id = 0, code = 0;
    HANDLE thread = CreateThread(0, 0, Returns, (void*)42, 0, &id);
    CHECK(thread != 0);
    CHECK(id != 0 && id != GetCurrentThreadId());
    CHECK_EQ(WaitForSingleObject(thread, 5000), WaitObject0);
    /* The handle outlives the thread, and tells its code until closed. */
    CHECK(GetExitCodeThread(thread, &code));
    CHECK_EQ(code, 42);
    CHECK_EQ(GetThreadId(thread), id);
    CHECK(CloseHandle(thread));

    thread = CreateThread(0, 0, Exits, (void*)9, 0, 0);
    CHECK_EQ(WaitForSingleObject(thread, 5000), WaitObject0);
    CHECK(GetExitCodeThread(thread, &code));
    CHECK_EQ(code, 10);
    CloseHandle(thread);

    /* Suspended: nothing runs until ResumeThread brings the count to 0. */
    release = CreateEventA(0, 1, 0, 0);
    thread = CreateThread(0, 0, WaitsForRelease, 0, CreateSuspended, 0);
    Sleep(50);
    CHECK_EQ(ran, 0);
    CHECK(GetExitCodeThread(thread, &code));
    CHECK_EQ(code, StillActive);
    CHECK_EQ(ResumeThread(thread), 1);
    while (ran == 0) Sleep(1);
    CHECK_EQ(WaitForSingleObject(thread, 20), WaitTimeout);
    CHECK(GetExitCodeThread(thread, &code));
    CHECK_EQ(code, StillActive);
    SetEvent(release);
    CHECK_EQ(WaitForSingleObject(thread, 5000), WaitObject0);
    CHECK(GetExitCodeThread(thread, &code));
    CHECK_EQ(code, 7);
    CHECK_EQ(ResumeThread(thread), 0);
    CloseHandle(thread);

    /* TerminateThread's code is the thread's. */
    ran = 0;
    {
        HANDLE gate = CreateEventA(0, 1, 0, 0);
        release = gate;
        thread = CreateThread(0, 0, WaitsForRelease, 0, 0, 0);
        while (ran == 0) Sleep(1);
        CHECK(TerminateThread(thread, 77));
        CHECK_EQ(WaitForSingleObject(thread, 5000), WaitObject0);
        CHECK(GetExitCodeThread(thread, &code));
        CHECK_EQ(code, 77);
        CloseHandle(thread);
        CloseHandle(gate);
    }

    /* _beginthreadex: the handle is the caller's to close. */
    {
        unsigned threadId = 0;
        HANDLE ex = (HANDLE)_beginthreadex(0, 0, EndsThreadEx, (void*)5, 0, &threadId);
        CHECK(ex != 0 && threadId != 0);
        CHECK_EQ(WaitForSingleObject(ex, 5000), WaitObject0);
        CHECK(GetExitCodeThread(ex, &code));
        CHECK_EQ(code, 5);
        CHECK(CloseHandle(ex));
        ex = (HANDLE)_beginthreadex(0, 0, ReturnsEx, (void*)21, 0, 0);
        CHECK_EQ(WaitForSingleObject(ex, 5000), WaitObject0);
        CHECK(GetExitCodeThread(ex, &code));
        CHECK_EQ(code, 42);
        CloseHandle(ex);
        CHECK_EQ(_beginthreadex(0, 0, 0, 0, 0, 0), 0);
        CHECK_EQ(*_errno(), 22);
    }

    /* The pseudo-handle names the caller, wherever it is used; a
       duplicate of it is a real handle. */
    CHECK(GetCurrentThread() == (HANDLE)(DWORD_PTR)-2);
    CHECK_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId());
    {
        HANDLE self = 0;
        CHECK(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                              0, 0, 2));
        CHECK(self != GetCurrentThread());
        CHECK_EQ(GetThreadId(self), GetCurrentThreadId());
        CHECK_EQ(WaitForSingleObject(self, 0), WaitTimeout);
        CloseHandle(self);
    }
    CHECK_EQ(GetThreadPriority(GetCurrentThread()), 0);
    CHECK(SetThreadPriority(GetCurrentThread(), 2));
    CHECK_EQ(GetThreadPriority(GetCurrentThread()), 2);
    SetLastError(0);
    CHECK(!SetThreadPriority(GetCurrentThread(), 3));
    CHECK_EQ(GetLastError(), 87);
    {
        DWORD_PTR process = 0, system = 0;
        CHECK(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
        CHECK(process != 0 && (process & ~system) == 0);
        CHECK_EQ(SetThreadAffinityMask(GetCurrentThread(), process), process);
        CHECK_EQ(SetThreadAffinityMask(GetCurrentThread(), 0), 0);
        CHECK_EQ(GetLastError(), 87);
    }
    return Finish("threads");
}
