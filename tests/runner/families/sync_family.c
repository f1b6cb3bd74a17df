/* Synchronization: named objects created and opened in both forms, one
   namespace for every kind, the Ex creators' flags, PulseEvent, critical
   sections tried from another thread, the Interlocked functions, and
   vectored exception handlers called before the frames, in their order. */
#include "families.h"

enum { WaitObject0 = 0, WaitTimeout = 258, AlreadyExists = 183 };

static CriticalSection section;
static volatile LONG tried = -1;

static DWORD WINAPI TriesSection(void* parameter) {
    (void)parameter;
    tried = TryEnterCriticalSection(&section);
    if (tried) LeaveCriticalSection(&section);
    return 0;
}

static int order[4];
static int calls;
static LONG WINAPI FirstHandler(ExceptionPointers* pointers) {
    order[calls++ & 3] = 1;
    return pointers->Record->ExceptionCode == 0xE0000001 ? -1 : 0;
}
static LONG WINAPI LastHandler(ExceptionPointers* pointers) {
    order[calls++ & 3] = 2;
    return pointers->Record->ExceptionCode == 0xE0000002 ? -1 : 0;
}

int main(void) {
    HANDLE event = CreateEventW(0, 1, 0, L"family-event");
    CHECK(event != 0);
    CHECK_EQ(GetLastError(), 0);
    HANDLE again = CreateEventA(0, 0, 1, "family-event");
    CHECK(again != 0 && again != event);
    CHECK_EQ(GetLastError(), AlreadyExists);
    HANDLE opened = OpenEventA(0x1F0003, 0, "family-event");
    CHECK(opened != 0);
    CHECK(SetEvent(opened));
    CHECK_EQ(WaitForSingleObject(event, 0), WaitObject0);
    /* One namespace: a mutex cannot have an event's name. */
    SetLastError(0);
    CHECK(OpenMutexW(0x1F0001, 0, L"family-event") == 0);
    CHECK_EQ(GetLastError(), 6);
    CHECK(CreateMutexW(0, 0, L"family-event") == 0);
    CHECK_EQ(GetLastError(), 6);
    CHECK(OpenSemaphoreA(0x1F0003, 0, "no-such-semaphore") == 0);
    CHECK_EQ(GetLastError(), 2);
    CloseHandle(again);
    CloseHandle(opened);
    CloseHandle(event);
    /* Gone with its last handle. */
    CHECK(OpenEventA(0x1F0003, 0, "family-event") == 0);
    CHECK_EQ(GetLastError(), 2);

    {
        HANDLE semaphore = CreateSemaphoreExW(0, 1, 2, L"family-semaphore", 0, 0x1F0003);
        LONG previous = -1;
        CHECK(semaphore != 0);
        HANDLE same = OpenSemaphoreA(0x1F0003, 0, "family-semaphore");
        CHECK(ReleaseSemaphore(same, 1, &previous));
        CHECK_EQ(previous, 1);
        CHECK(!ReleaseSemaphore(semaphore, 1, 0));
        CHECK_EQ(GetLastError(), 298);
        CHECK(CreateSemaphoreExW(0, 0, 1, 0, 1, 0) == 0);
        CHECK_EQ(GetLastError(), 87);
        CloseHandle(same);
        CloseHandle(semaphore);
    }

    /* CREATE_EVENT_INITIAL_SET without manual reset: auto-reset, set. */
    event = CreateEventExA(0, 0, 2, 0x1F0003);
    CHECK_EQ(WaitForSingleObject(event, 0), WaitObject0);
    CHECK_EQ(WaitForSingleObject(event, 0), WaitTimeout);
    /* A pulse with nobody waiting leaves the event reset. */
    CHECK(PulseEvent(event));
    CHECK_EQ(WaitForSingleObject(event, 0), WaitTimeout);
    CloseHandle(event);
    CHECK(CreateEventExA(0, 0, 4, 0) == 0);
    CHECK_EQ(GetLastError(), 87);

    /* A section held here cannot be entered by another thread at once. */
    CHECK(InitializeCriticalSectionAndSpinCount(&section, 4000));
    CHECK_EQ(section.SpinCount, 4000);
    EnterCriticalSection(&section);
    CHECK(TryEnterCriticalSection(&section));
    CHECK_EQ(section.RecursionCount, 2);
    {
        HANDLE thread = CreateThread(0, 0, TriesSection, 0, 0, 0);
        WaitForSingleObject(thread, 5000);
        CHECK_EQ(tried, 0);
        LeaveCriticalSection(&section);
        LeaveCriticalSection(&section);
        CloseHandle(thread);
        thread = CreateThread(0, 0, TriesSection, 0, 0, 0);
        WaitForSingleObject(thread, 5000);
        CHECK_EQ(tried, 1);
        CloseHandle(thread);
    }
    DeleteCriticalSection(&section);

    {
        volatile LONG value = 5;
        CHECK_EQ(InterlockedIncrement(&value), 6);
        CHECK_EQ(InterlockedDecrement(&value), 5);
        CHECK_EQ(InterlockedExchange(&value, 9), 5);
        CHECK_EQ(InterlockedExchangeAdd(&value, 3), 9);
        CHECK_EQ(value, 12);
        CHECK_EQ(InterlockedCompareExchange(&value, 1, 11), 12);
        CHECK_EQ(value, 12);
        CHECK_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
        CHECK_EQ(value, 1);
    }

    /* Vectored handlers: the one added first (First nonzero) is called
       first; one that continues the exception ends the search, and
       RaiseException returns. */
    {
        void* last = AddVectoredExceptionHandler(0, LastHandler);
        void* first = AddVectoredExceptionHandler(1, FirstHandler);
        CHECK(last != 0 && first != 0);
        RaiseException(0xE0000002, 0, 0, 0);
        CHECK_EQ(calls, 2);
        CHECK_EQ(order[0], 1);
        CHECK_EQ(order[1], 2);
        calls = 0;
        RaiseException(0xE0000001, 0, 0, 0);
        CHECK_EQ(calls, 1);
        CHECK(RemoveVectoredExceptionHandler(first));
        CHECK(!RemoveVectoredExceptionHandler(first));
        calls = 0;
        RaiseException(0xE0000002, 0, 0, 0);
        CHECK_EQ(calls, 1);
        CHECK_EQ(order[0], 2);
        CHECK(RemoveVectoredExceptionHandler(last));
    }
    return Finish("sync");
}
