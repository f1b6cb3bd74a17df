/* Child processes: a program starts itself as a child with pipes for its
   standard input and output (inherited handles), reads what the child
   writes until the pipe breaks, and learns its exit code: STILL_ACTIVE
   while it runs, then the child's own. */
#include "families.h"

typedef struct {
    DWORD cb;
    char *Reserved, *Desktop, *Title;
    DWORD X, Y, XSize, YSize, XCountChars, YCountChars, FillAttribute, Flags;
    WORD ShowWindow, Reserved2Count;
    void* Reserved2;
    HANDLE StdInput, StdOutput, StdError;
} StartupInfo;
typedef struct {
    HANDLE Process, Thread;
    DWORD ProcessId, ThreadId;
} ProcessInformation;

IMPORT BOOL WINAPI CreatePipe(HANDLE* read, HANDLE* write, void* attributes, DWORD size);
IMPORT BOOL WINAPI CreateProcessA(const char* application, char* commandLine, void* process,
                                  void* thread, BOOL inherit, DWORD flags, void* environment,
                                  const char* folder, StartupInfo* startup,
                                  ProcessInformation* information);
IMPORT BOOL WINAPI GetExitCodeProcess(HANDLE process, DWORD* code);
IMPORT DWORD WINAPI GetProcessId(HANDLE process);
IMPORT DWORD WINAPI GetModuleFileNameA(HANDLE module, char* path, DWORD size);
IMPORT HANDLE WINAPI GetStdHandle(DWORD which);
IMPORT BOOL WINAPI ReadFile(HANDLE file, void* data, DWORD size, DWORD* done, void* overlapped);
IMPORT BOOL WINAPI WriteFile(HANDLE file, const void* data, DWORD size, DWORD* done,
                             void* overlapped);
IMPORT void __cdecl _assert(const char* expression, const char* file, unsigned line);
IMPORT long __cdecl _get_osfhandle(int descriptor);
IMPORT int __cdecl _open_osfhandle(long handle, int flags);
IMPORT int __cdecl _read(int descriptor, void* data, unsigned size);
IMPORT int __cdecl _close(int descriptor);

enum { StdInput = (DWORD)-10, StdOutput = (DWORD)-11, UseStdHandles = 0x100, StillActive = 259 };

/* The child: echoes what it reads, then ends with 7. */
static int Child(void) {
    char text[64];
    DWORD got = 0, put = 0;
    if (!ReadFile(GetStdHandle(StdInput), text, sizeof text, &got, 0)) return 90;
    WriteFile(GetStdHandle(StdOutput), "child got ", 10, &put, 0);
    WriteFile(GetStdHandle(StdOutput), text, got, &put, 0);
    return 7;
}

int main(int argc, char** argv) {
    char self[600], command[700], text[128];
    HANDLE toChildRead, toChildWrite, fromChildRead, fromChildWrite;
    StartupInfo startup;
    ProcessInformation child;
    DWORD code = 0, got = 0, total = 0, put = 0;
    if (argc > 1 && strcmp(argv[1], "child") == 0) return Child();
    if (argc > 1 && strcmp(argv[1], "assert") == 0) _assert("1 == 2", "checked.c", 12);

    CHECK(GetModuleFileNameA(0, self, sizeof self) > 0);
    sprintf(command, "\"%s\" child", self);
    CHECK(CreatePipe(&toChildRead, &toChildWrite, 0, 0));
    CHECK(CreatePipe(&fromChildRead, &fromChildWrite, 0, 0));
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.Flags = UseStdHandles;
    startup.StdInput = toChildRead;
    startup.StdOutput = fromChildWrite;
    startup.StdError = fromChildWrite;
    CHECK(CreateProcessA(0, command, 0, 0, 1, 0, 0, 0, &startup, &child));
    CHECK(GetProcessId(child.Process) == child.ProcessId);
    CloseHandle(toChildRead);
    CloseHandle(fromChildWrite);
    /* The child waits for its input: it is still running. */
    CHECK(GetExitCodeProcess(child.Process, &code));
    CHECK_EQ(code, StillActive);
    CHECK_EQ(WaitForSingleObject(child.Process, 50), 258);
    CHECK(WriteFile(toChildWrite, "ping", 4, &put, 0));
    CloseHandle(toChildWrite);
    while (total < sizeof text - 1 && ReadFile(fromChildRead, text + total, sizeof text - 1 - total, &got, 0)) {
        total += got;
    }
    /* Once every writer has gone, the read fails as a broken pipe. */
    CHECK_EQ(GetLastError(), 109);
    text[total] = 0;
    CHECK_TEXT(text, "child got ping");
    CHECK_EQ(WaitForSingleObject(child.Process, 10000), 0);
    CHECK(GetExitCodeProcess(child.Process, &code));
    CHECK_EQ(code, 7);
    CHECK_EQ(WaitForSingleObject(child.Thread, 0), 0);
    CloseHandle(child.Thread);
    CloseHandle(child.Process);
    CloseHandle(fromChildRead);

    /* A failed assertion: its line on standard error, then abort's code 3;
       the pipe read through a descriptor over its handle. */
    CHECK(CreatePipe(&fromChildRead, &fromChildWrite, 0, 0));
    startup.StdInput = GetStdHandle(StdInput);
    startup.StdOutput = fromChildWrite;
    startup.StdError = fromChildWrite;
    sprintf(command, "\"%s\" assert", self);
    CHECK(CreateProcessA(0, command, 0, 0, 1, 0, 0, 0, &startup, &child));
    CloseHandle(fromChildWrite);
    {
        int d = _open_osfhandle((long)fromChildRead, 0);
        int read = 0;
        total = 0;
        CHECK(d >= 3);
        while ((read = _read(d, text + total, sizeof text - 1 - total)) > 0) total += read;
        text[total] = 0;
        CHECK(memcmp(text, "Assertion failed: 1 == 2, file checked.c, line 12\n", 50) == 0);
        _close(d);
    }
    CHECK_EQ(WaitForSingleObject(child.Process, 10000), 0);
    CHECK(GetExitCodeProcess(child.Process, &code));
    CHECK_EQ(code, 3);
    CloseHandle(child.Thread);
    CloseHandle(child.Process);
    CloseHandle(fromChildRead);
    CHECK(_get_osfhandle(1) == (long)GetStdHandle(StdOutput));
    CHECK_EQ(_get_osfhandle(77), -1);

    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    sprintf(command, "no_such_program_here");
    SetLastError(0);
    CHECK(!CreateProcessA(0, command, 0, 0, 0, 0, 0, 0, &startup, &child));
    CHECK_EQ(GetLastError(), 2);
    CHECK(!GetExitCodeProcess((HANDLE)(DWORD_PTR)0x7FF0, &code));
    CHECK_EQ(GetLastError(), 6);
    return Finish("processes");
}
