// The process's start-up state in UTF-16, for programs built with wide
// entry points (wmain): the command line and the start-up information.
#include "sim/kernel/code_pages.h"
#include "sim/kernel/win32_families.h"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <vector>

// Returns the command line in UTF-16, converted from the ANSI one once, at
// the first call; the same buffer for the whole run.
extern "C" LPWSTR WINAPI GetCommandLineW(void) {
    static std::once_flag once;
    static std::vector<WCHAR>* text = nullptr;
    std::call_once(once, [] {
        const char* narrow = GetCommandLineA();
        const int length = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
        text = new std::vector<WCHAR>(length > 0 ? length : 1, 0);
        if (length > 0) MultiByteToWideChar(CP_ACP, 0, narrow, -1, text->data(), length);
    });
    return text->data();
}

// Returns nothing; the structure (STARTUPINFOW, 68 bytes, as
// STARTUPINFOA) says that the process was started with no window or
// standard handle settings, as a console's child is.
extern "C" void WINAPI GetStartupInfoW(void* lpStartupInfo) {
    static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOW has the same layout");
    std::memset(lpStartupInfo, 0, sizeof(STARTUPINFOA));
    static_cast<STARTUPINFOA*>(lpStartupInfo)->cb = sizeof(STARTUPINFOA);
}
