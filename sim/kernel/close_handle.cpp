// CloseHandle for every kind of object in the handle table. Objects are
// reference counted: closing the last handle of an object that a thread
// still waits on leaves the object alive for that wait, and a device's own
// cleanup runs in its destructor once nobody uses it any more.
#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"

#include <windows.h>

// Returns TRUE once the handle is closed; FALSE with 6 if it was not open.
extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::CloseHandle, nullptr, &error)) {
        sim::SetLastErrorCode(error);
        return FALSE;
    }
    // The process pseudo-handle, INVALID_HANDLE_VALUE, is never in the
    // table, so closing it fails like any other handle that is not open:
    // a caller that closes the result of a failed open learns of it.
    // The calling thread's pseudo-handle needs no closing: closing it
    // does nothing (GetCurrentThread).
    if (hObject == reinterpret_cast<HANDLE>(-2)) return TRUE;
    if (!sim::RemoveHandle(hObject)) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
