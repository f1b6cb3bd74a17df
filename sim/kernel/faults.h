// Fault injection: a test makes chosen calls of platform functions fail
// with a chosen error. Every simulated function that can fail asks
// TakeFault once per call, before it does anything else.
#ifndef PTASPI_SIM_FAULTS_H
#define PTASPI_SIM_FAULTS_H

#include <windows.h>

#include <string>

namespace sim {

enum class Call {
    CreateFileA,
    CloseHandle,
    DeviceIoControl,
    RegOpenKeyExA,
    RegQueryValueExA,
    RegEnumKeyExA,
    GetLogicalDriveStringsA,
    GetDriveTypeA,
    CreateEventA,
    CreateMutexA,
    WaitForSingleObject,
    WaitForMultipleObjects,
    ReleaseMutex,
    SetEvent,
    ResetEvent,
    BeginThread,
    TerminateThread,
    VirtualAlloc,
    VirtualLock,
    VirtualUnlock,
    VirtualFree,
    LoadLibraryA,
    DuplicateHandle,
    EndThread,
    Count
};

const char* CallName(Call call);

// From now on, the calls of `call` whose subject matches are counted; the
// nth of them (1: the next one) and the `times` - 1 after it fail with
// `error`. The subject is the path for CreateFileA, the key path or value
// name for the registry calls, the control code in hex ("0x4D014") for
// DeviceIoControl, and empty for the rest; an empty `subject` matches all,
// otherwise the comparison ignores case.
void FailCall(Call call, unsigned nth, DWORD error, unsigned times = 1,
              const std::string& subject = std::string());
// Removes every pending fault.
void ClearFaults();
// Returns true, with the error to report, when this call must fail.
bool TakeFault(Call call, const char* subject, DWORD* error);
// From now on, the nth call of `call` (1: the next one) holds its calling
// thread for `holdMs` once the call has done its work, just before it
// returns into its caller (a call that never returns, _endthread, as it is
// entered): the worst a scheduler can do, a thread that loses the
// processor at that instruction for that long.
void HoldCaller(Call call, unsigned nth, DWORD holdMs);
// Returns once the calling thread has been held as a HoldCaller asked of
// this call, at once when none did. Every call that can be held asks once.
void HoldIfAsked(Call call);
// Returns how many times `call` was made since the last ResetCallCounts.
unsigned CallCount(Call call);
void ResetCallCounts();

}  // namespace sim

#endif
