/* A program with a wide entry point (-municode): its arguments and
   command line in UTF-16, as the runtime's wide start-up splits them. */
#include "families.h"

IMPORT wchar_t* WINAPI GetCommandLineW(void);
IMPORT int __cdecl wprintf(const wchar_t* format, ...);

int wmain(int argc, wchar_t** argv) {
    CHECK_EQ(argc, 3);
    CHECK(wcscmp(argv[1], L"first") == 0);
    CHECK(wcscmp(argv[2], L"two words") == 0);
    CHECK(wcsstr(GetCommandLineW(), L"\"two words\"") != 0);
    CHECK_EQ(wprintf(L"%s %S %d\n", argv[1], "narrow", argc), 15);
    return Finish("wmain");
}
