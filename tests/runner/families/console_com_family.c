/* The console and COM's entry points: console functions refuse a standard
   handle redirected to a file (6), and COM answers every class as one
   nobody registered, counting apartments as COM does. */
#include "families.h"

typedef struct {
    DWORD Data1;
    WORD Data2, Data3;
    unsigned char Data4[8];
} Guid;

IMPORT HANDLE WINAPI GetStdHandle(DWORD which);
IMPORT BOOL WINAPI GetConsoleMode(HANDLE console, DWORD* mode);
IMPORT BOOL WINAPI WriteConsoleA(HANDLE console, const void* text, DWORD count, DWORD* written,
                                 void* reserved);
IMPORT BOOL WINAPI SetConsoleOutputCP(unsigned codePage);
IMPORT unsigned WINAPI GetConsoleOutputCP(void);
IMPORT LONG WINAPI CoInitialize(void* reserved);
IMPORT LONG WINAPI CoInitializeEx(void* reserved, DWORD model);
IMPORT void WINAPI CoUninitialize(void);
IMPORT LONG WINAPI CoCreateInstance(const Guid* clsid, void* outer, DWORD context, const Guid* iid,
                                    void** object);
IMPORT void* WINAPI CoTaskMemAlloc(size_t bytes);
IMPORT void WINAPI CoTaskMemFree(void* block);

enum {
    StdOutput = (DWORD)-11,
    ClassNotRegistered = (LONG)0x80040154,
    NotInitialized = (LONG)0x800401F0,
    ChangedMode = (LONG)0x80010106,
    Multithreaded = 0,
};

int main(void) {
    /* The test runs the program with its output redirected to a file. */
    DWORD mode = 0, written = 0;
    HANDLE out = GetStdHandle(StdOutput);
    SetLastError(0);
    CHECK(!GetConsoleMode(out, &mode));
    CHECK_EQ(GetLastError(), 6);
    CHECK(!WriteConsoleA(out, "x", 1, &written, 0));
    CHECK_EQ(GetLastError(), 6);
    CHECK(!SetConsoleOutputCP(12345));
    CHECK_EQ(GetLastError(), 87);
    CHECK(SetConsoleOutputCP(65001));
    CHECK_EQ(GetConsoleOutputCP(), 65001);

    {
        const Guid clsid = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        const Guid iid = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}; /* IUnknown */
        void* object = (void*)1;
        CHECK_EQ(CoCreateInstance(&clsid, 0, 1, &iid, &object), NotInitialized);
        CHECK(object == 0);
        CHECK_EQ(CoInitialize(0), 0);
        CHECK_EQ(CoInitialize(0), 1);
        CHECK_EQ(CoInitializeEx(0, Multithreaded), ChangedMode);
        object = (void*)1;
        CHECK_EQ(CoCreateInstance(&clsid, 0, 1, &iid, &object), ClassNotRegistered);
        CHECK(object == 0);
        CoUninitialize();
        CoUninitialize();
        CHECK_EQ(CoInitializeEx(0, Multithreaded), 0);
        CoUninitialize();
        void* block = CoTaskMemAlloc(64);
        CHECK(block != 0);
        CoTaskMemFree(block);
    }
    return Finish("console-com");
}
