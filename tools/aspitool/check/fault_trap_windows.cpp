// Faults on Windows are exceptions. A fault that no handler of the library
// takes ends in the unhandled-exception filter, on the faulting thread:
// the library's own worker as much as the tool's guarded threads. The
// filter records the first fault and parks that thread for good, so the
// process goes on and the waiting thread reports it. (A vectored handler
// would also see exceptions the library raises and handles itself, and
// does not exist before Windows XP.)
#include "guarded_run.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace aspitool {
namespace {

DWORD mainThreadId = 0;
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
std::atomic<DWORD> faultCode{0};
std::atomic<uintptr_t> faultAddress{0};
std::atomic<uintptr_t> faultInstruction{0};

// Returns only on the main thread, what the filter before it says; any
// other thread stays here for good.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
    if (GetCurrentThreadId() == mainThreadId) {
        return previousFilter != nullptr ? previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
    }
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    DWORD none = 0;
    // A code of 0 would read as no fault at all.
    const DWORD code = record->ExceptionCode != 0 ? record->ExceptionCode : 0xFFFFFFFFu;
    if (faultCode.compare_exchange_strong(none, code)) {
        if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION &&
            record->NumberParameters >= 2) {
            faultAddress.store(static_cast<uintptr_t>(record->ExceptionInformation[1]));
        }
        faultInstruction.store(reinterpret_cast<uintptr_t>(record->ExceptionAddress));
    }
    for (;;) Sleep(INFINITE);
}

}  // namespace

void InstallFaultTrap() {
    mainThreadId = GetCurrentThreadId();
    previousFilter = SetUnhandledExceptionFilter(OnUnhandledException);
}

bool FaultCaught(std::string& description) {
    const DWORD code = faultCode.load();
    if (code == 0) return false;
    const char* name = code == EXCEPTION_ACCESS_VIOLATION       ? "access violation"
                       : code == EXCEPTION_STACK_OVERFLOW       ? "stack overflow"
                       : code == EXCEPTION_ILLEGAL_INSTRUCTION  ? "illegal instruction"
                       : code == EXCEPTION_INT_DIVIDE_BY_ZERO   ? "division by zero"
                                                                : "exception";
    char text[160];
    std::snprintf(text, sizeof text, "%s (0x%08lX) at address 0x%08lX, instruction at 0x%08lX",
                  name, static_cast<unsigned long>(code),
                  static_cast<unsigned long>(faultAddress.load()),
                  static_cast<unsigned long>(faultInstruction.load()));
    description = text;
    return true;
}

void EnterGuardedThread() {}
void LeaveGuardedThread() {}

void PauseBriefly() { Sleep(1); }

}  // namespace aspitool
