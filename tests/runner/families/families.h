/* What the family test programs use of kernel32 and msvcrt, declared here
   from Microsoft's documentation, so that one source builds with mingw-w64
   and the MSVC way (clang and lld-link) alike, and a check that counts and
   names every failure. Each program ends with one line,
   "<family>: N checks, M failed", and exits 1 when any failed. */
#ifndef FAMILIES_H
#define FAMILIES_H

#include <stddef.h> /* the compiler's own: size_t and wchar_t */

typedef unsigned long DWORD;
typedef int BOOL;
typedef long LONG;
typedef unsigned short WORD;
typedef void* HANDLE;
typedef unsigned long DWORD_PTR;
typedef unsigned long long ULONGLONG;
typedef long long LONGLONG;


#define IMPORT __declspec(dllimport)
#define WINAPI __stdcall

typedef struct {
    DWORD Low, High;
} FileTime;
typedef struct {
    WORD Year, Month, DayOfWeek, Day, Hour, Minute, Second, Milliseconds;
} SystemTime;
typedef struct {
    LONG Bias;
    wchar_t StandardName[32];
    SystemTime StandardDate;
    LONG StandardBias;
    wchar_t DaylightName[32];
    SystemTime DaylightDate;
    LONG DaylightBias;
} TimeZoneInformation;
typedef struct {
    void* DebugInfo;
    LONG LockCount, RecursionCount;
    HANDLE OwningThread, LockSemaphore;
    DWORD_PTR SpinCount;
} CriticalSection;
typedef struct {
    DWORD ExceptionCode, ExceptionFlags;
    void* ExceptionRecord;
    void* ExceptionAddress;
    DWORD NumberParameters;
    DWORD_PTR ExceptionInformation[15];
} ExceptionRecord;
typedef struct {
    ExceptionRecord* Record;
    void* Context;
} ExceptionPointers;
struct tm {
    int tm_sec, tm_min, tm_hour, tm_mday, tm_mon, tm_year, tm_wday, tm_yday, tm_isdst;
};

/* kernel32 */
IMPORT DWORD WINAPI GetLastError(void);
IMPORT void WINAPI SetLastError(DWORD code);
IMPORT BOOL WINAPI CloseHandle(HANDLE handle);
IMPORT DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
IMPORT void WINAPI Sleep(DWORD milliseconds);
IMPORT HANDLE WINAPI CreateThread(void* attributes, size_t stack, DWORD(WINAPI* start)(void*),
                                  void* parameter, DWORD flags, DWORD* id);
IMPORT void WINAPI ExitThread(DWORD code);
IMPORT BOOL WINAPI GetExitCodeThread(HANDLE thread, DWORD* code);
IMPORT HANDLE WINAPI GetCurrentThread(void);
IMPORT HANDLE WINAPI GetCurrentProcess(void);
IMPORT DWORD WINAPI GetCurrentThreadId(void);
IMPORT DWORD WINAPI GetThreadId(HANDLE thread);
IMPORT DWORD WINAPI ResumeThread(HANDLE thread);
IMPORT int WINAPI GetThreadPriority(HANDLE thread);
IMPORT BOOL WINAPI SetThreadPriority(HANDLE thread, int priority);
IMPORT BOOL WINAPI GetProcessAffinityMask(HANDLE process, DWORD_PTR* mask, DWORD_PTR* system);
IMPORT DWORD_PTR WINAPI SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask);
IMPORT BOOL WINAPI DuplicateHandle(HANDLE fromProcess, HANDLE from, HANDLE toProcess, HANDLE* to,
                                   DWORD access, BOOL inherit, DWORD options);
IMPORT BOOL WINAPI TerminateThread(HANDLE thread, DWORD code);
IMPORT HANDLE WINAPI CreateEventW(void* attributes, BOOL manual, BOOL initial, const wchar_t* name);
IMPORT HANDLE WINAPI CreateEventA(void* attributes, BOOL manual, BOOL initial, const char* name);
IMPORT HANDLE WINAPI CreateEventExA(void* attributes, const char* name, DWORD flags, DWORD access);
IMPORT HANDLE WINAPI OpenEventA(DWORD access, BOOL inherit, const char* name);
IMPORT HANDLE WINAPI OpenMutexW(DWORD access, BOOL inherit, const wchar_t* name);
IMPORT HANDLE WINAPI CreateMutexW(void* attributes, BOOL owner, const wchar_t* name);
IMPORT HANDLE WINAPI OpenSemaphoreA(DWORD access, BOOL inherit, const char* name);
IMPORT HANDLE WINAPI CreateSemaphoreExW(void* attributes, LONG initial, LONG maximum,
                                        const wchar_t* name, DWORD flags, DWORD access);
IMPORT BOOL WINAPI ReleaseSemaphore(HANDLE semaphore, LONG count, LONG* previous);
IMPORT BOOL WINAPI SetEvent(HANDLE event);
IMPORT BOOL WINAPI PulseEvent(HANDLE event);
IMPORT BOOL WINAPI ReleaseMutex(HANDLE mutex);
IMPORT void WINAPI InitializeCriticalSection(CriticalSection* section);
IMPORT BOOL WINAPI InitializeCriticalSectionAndSpinCount(CriticalSection* section, DWORD spin);
IMPORT BOOL WINAPI TryEnterCriticalSection(CriticalSection* section);
IMPORT void WINAPI EnterCriticalSection(CriticalSection* section);
IMPORT void WINAPI LeaveCriticalSection(CriticalSection* section);
IMPORT void WINAPI DeleteCriticalSection(CriticalSection* section);
IMPORT LONG WINAPI InterlockedIncrement(LONG volatile* value);
IMPORT LONG WINAPI InterlockedDecrement(LONG volatile* value);
IMPORT LONG WINAPI InterlockedExchange(LONG volatile* value, LONG to);
IMPORT LONG WINAPI InterlockedExchangeAdd(LONG volatile* value, LONG add);
IMPORT LONG WINAPI InterlockedCompareExchange(LONG volatile* value, LONG to, LONG compared);
IMPORT void* WINAPI AddVectoredExceptionHandler(DWORD first, LONG(WINAPI* handler)(ExceptionPointers*));
IMPORT DWORD WINAPI RemoveVectoredExceptionHandler(void* handle);
IMPORT void WINAPI RaiseException(DWORD code, DWORD flags, DWORD count, const DWORD_PTR* arguments);
IMPORT DWORD WINAPI GetTickCount(void);
IMPORT ULONGLONG WINAPI GetTickCount64(void);
IMPORT BOOL WINAPI QueryPerformanceCounter(LONGLONG* count);
IMPORT BOOL WINAPI QueryPerformanceFrequency(LONGLONG* frequency);
IMPORT void WINAPI GetSystemTime(SystemTime* time);
IMPORT void WINAPI GetLocalTime(SystemTime* time);
IMPORT void WINAPI GetSystemTimeAsFileTime(FileTime* time);
IMPORT BOOL WINAPI FileTimeToSystemTime(const FileTime* from, SystemTime* to);
IMPORT BOOL WINAPI SystemTimeToFileTime(const SystemTime* from, FileTime* to);
IMPORT BOOL WINAPI FileTimeToLocalFileTime(const FileTime* from, FileTime* to);
IMPORT LONG WINAPI CompareFileTime(const FileTime* a, const FileTime* b);
IMPORT BOOL WINAPI FileTimeToDosDateTime(const FileTime* from, WORD* date, WORD* time);
IMPORT BOOL WINAPI SystemTimeToTzSpecificLocalTime(const TimeZoneInformation* zone,
                                                   const SystemTime* utc, SystemTime* local);
IMPORT BOOL WINAPI SetSystemTime(const SystemTime* time);
IMPORT HANDLE WINAPI GetProcessHeap(void);
IMPORT HANDLE WINAPI HeapCreate(DWORD options, size_t initial, size_t maximum);
IMPORT BOOL WINAPI HeapDestroy(HANDLE heap);
IMPORT void* WINAPI HeapAlloc(HANDLE heap, DWORD flags, size_t bytes);
IMPORT void* WINAPI HeapReAlloc(HANDLE heap, DWORD flags, void* block, size_t bytes);
IMPORT BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, void* block);
IMPORT size_t WINAPI HeapSize(HANDLE heap, DWORD flags, const void* block);

/* msvcrt */
IMPORT int __cdecl printf(const char* format, ...);
IMPORT int __cdecl sprintf(char* to, const char* format, ...);
IMPORT int __cdecl _snprintf(char* to, size_t count, const char* format, ...);
IMPORT int __cdecl swprintf(wchar_t* to, const wchar_t* format, ...);
IMPORT int __cdecl strcmp(const char* a, const char* b);
IMPORT int __cdecl memcmp(const void* a, const void* b, size_t count);
IMPORT void* __cdecl memset(void* to, int value, size_t count);
IMPORT size_t __cdecl strlen(const char* text);
IMPORT int __cdecl _putenv(const char* assignment);
IMPORT void __cdecl _tzset(void);
IMPORT long* __cdecl __p__timezone(void);
IMPORT int* __cdecl __p__daylight(void);
IMPORT char** __cdecl __p__tzname(void);
IMPORT long __cdecl time(long* t);
IMPORT long long __cdecl _time64(long long* t);
IMPORT long __cdecl clock(void);
IMPORT struct tm* __cdecl localtime(const long* t);
IMPORT struct tm* __cdecl _localtime64(const long long* t);
IMPORT struct tm* __cdecl gmtime(const long* t);
IMPORT struct tm* __cdecl _gmtime64(const long long* t);
IMPORT long __cdecl mktime(struct tm* tm);
IMPORT long long __cdecl _mktime64(struct tm* tm);
IMPORT size_t __cdecl strftime(char* to, size_t size, const char* format, const struct tm* tm);
IMPORT char* __cdecl asctime(const struct tm* tm);
IMPORT char* __cdecl ctime(const long* t);
IMPORT unsigned __cdecl _beginthreadex(void* security, unsigned stack,
                                       unsigned(__stdcall* start)(void*), void* argument,
                                       unsigned flags, unsigned* id);
IMPORT void __cdecl _endthreadex(unsigned code);
IMPORT int __cdecl _setjmp3(void* buffer, int count, ...) __attribute__((returns_twice));
IMPORT void __cdecl longjmp(void* buffer, int value);
IMPORT void* __cdecl fopen(const char* path, const char* mode);
IMPORT void* __cdecl _wfopen(const wchar_t* path, const wchar_t* mode);
IMPORT void* __cdecl _fdopen(int descriptor, const char* mode);
IMPORT int __cdecl _open(const char* path, int flags, ...);
IMPORT int __cdecl fclose(void* stream);
IMPORT int __cdecl putc(int c, void* stream);
IMPORT int __cdecl fgetc(void* stream);
IMPORT unsigned short __cdecl fputwc(wchar_t c, void* stream);
IMPORT unsigned short __cdecl fgetwc(void* stream);
IMPORT int __cdecl fgetpos(void* stream, long long* position);
IMPORT int __cdecl fsetpos(void* stream, const long long* position);
IMPORT int __cdecl setvbuf(void* stream, char* buffer, int mode, size_t size);
IMPORT long __cdecl ftell(void* stream);
IMPORT int __cdecl _unlink(const char* path);
IMPORT int __cdecl remove(const char* path);
IMPORT size_t __cdecl wcslen(const wchar_t* text);
IMPORT int __cdecl wcscmp(const wchar_t* a, const wchar_t* b);
IMPORT int __cdecl _wcsicmp(const wchar_t* a, const wchar_t* b);
IMPORT const wchar_t* __cdecl wcsstr(const wchar_t* text, const wchar_t* part);
IMPORT wchar_t __cdecl towupper(wchar_t c);
IMPORT int __cdecl iswalpha(wchar_t c);
IMPORT long __cdecl wcstol(const wchar_t* text, wchar_t** end, int base);
IMPORT size_t __cdecl wcstombs(char* to, const wchar_t* from, size_t count);
IMPORT char* __cdecl _itoa(int value, char* to, int radix);
IMPORT char* __cdecl _ultoa(unsigned long value, char* to, int radix);
IMPORT int* __cdecl _errno(void);

static int checks, failures;
#define CHECK(expr)                                                          \
    do {                                                                     \
        ++checks;                                                            \
        if (!(expr)) {                                                       \
            ++failures;                                                      \
            printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #expr);           \
        }                                                                    \
    } while (0)
#define CHECK_EQ(actual, expected)                                                            \
    do {                                                                                      \
        long long a_ = (long long)(actual), e_ = (long long)(expected);                       \
        ++checks;                                                                             \
        if (a_ != e_) {                                                                       \
            ++failures;                                                                       \
            printf("FAIL %s:%d: %s is %lld, not %lld\n", __FILE__, __LINE__, #actual, a_, e_); \
        }                                                                                     \
    } while (0)
#define CHECK_TEXT(actual, expected)                                                    \
    do {                                                                                \
        const char* a_ = (actual);                                                      \
        ++checks;                                                                       \
        if (a_ == 0 || strcmp(a_, (expected)) != 0) {                                   \
            ++failures;                                                                 \
            printf("FAIL %s:%d: %s is \"%s\", not \"%s\"\n", __FILE__, __LINE__, #actual, \
                   a_ ? a_ : "(null)", (expected));                                     \
        }                                                                               \
    } while (0)

/* Returns the program's exit code after the family's summary line. */
static int Finish(const char* family) {
    printf("%s: %d checks, %d failed\n", family, checks, failures);
    return failures != 0;
}

#endif
