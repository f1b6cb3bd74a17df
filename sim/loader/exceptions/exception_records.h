// The structures of frame-based exception handling on 32-bit Windows, as
// programs and their runtime read and write them: the exception record,
// the i386 context, the registration records of the fs:[0] chain, and
// the values handlers and filters answer with.
#ifndef PTASPI_SIM_LOADER_EXCEPTIONS_EXCEPTION_RECORDS_H
#define PTASPI_SIM_LOADER_EXCEPTIONS_EXCEPTION_RECORDS_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace sim {

struct WindowsContext {
    DWORD ContextFlags;
    DWORD DebugRegisters[6];
    unsigned char FloatSave[112];
    DWORD SegGs, SegFs, SegEs, SegDs;
    DWORD Edi, Esi, Ebx, Edx, Ecx, Eax;
    DWORD Ebp, Eip, SegCs, EFlags, Esp, SegSs;
    unsigned char ExtendedRegisters[512];
};
static_assert(sizeof(WindowsContext) == 716, "CONTEXT on i386");
static_assert(offsetof(WindowsContext, SegGs) == 0x8C, "CONTEXT.SegGs");
static_assert(offsetof(WindowsContext, Edi) == 0x9C, "CONTEXT.Edi");
static_assert(offsetof(WindowsContext, Eax) == 0xB0, "CONTEXT.Eax");
static_assert(offsetof(WindowsContext, Ebp) == 0xB4, "CONTEXT.Ebp");
static_assert(offsetof(WindowsContext, Eip) == 0xB8, "CONTEXT.Eip");
static_assert(offsetof(WindowsContext, EFlags) == 0xC0, "CONTEXT.EFlags");
static_assert(offsetof(WindowsContext, Esp) == 0xC4, "CONTEXT.Esp");
static_assert(offsetof(WindowsContext, ExtendedRegisters) == 0xCC, "CONTEXT.ExtendedRegisters");

const DWORD ExceptionMaximumParameters = 15;

struct WindowsExceptionRecord {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    WindowsExceptionRecord* ExceptionRecord;
    void* ExceptionAddress;
    DWORD NumberParameters;
    ULONG_PTR ExceptionInformation[ExceptionMaximumParameters];
};
static_assert(sizeof(WindowsExceptionRecord) == 80, "EXCEPTION_RECORD on i386");
static_assert(offsetof(WindowsExceptionRecord, ExceptionAddress) == 12, "ExceptionAddress");
static_assert(offsetof(WindowsExceptionRecord, ExceptionInformation) == 20, "ExceptionInformation");

struct WindowsExceptionPointers {
    WindowsExceptionRecord* ExceptionRecord;
    WindowsContext* ContextRecord;
};
static_assert(sizeof(WindowsExceptionPointers) == 8, "EXCEPTION_POINTERS on i386");

struct RegistrationRecord;
// A handler of the chain: cdecl, as the system calls it.
typedef int(__attribute__((cdecl)) * ExceptionRoutine)(WindowsExceptionRecord* record,
                                                       RegistrationRecord* frame,
                                                       WindowsContext* context,
                                                       void* dispatcherContext);

// One frame of the chain that %fs:0 heads; programs build them on their
// stacks, the innermost first.
struct RegistrationRecord {
    RegistrationRecord* Next;
    ExceptionRoutine Handler;
};
static_assert(sizeof(RegistrationRecord) == 8, "EXCEPTION_REGISTRATION_RECORD on i386");

// The end of the chain.
RegistrationRecord* const ChainEnd = reinterpret_cast<RegistrationRecord*>(~uintptr_t(0));

// ExceptionFlags.
const DWORD ExceptionNoncontinuable = 0x01;
const DWORD ExceptionUnwinding = 0x02;
const DWORD ExceptionExitUnwind = 0x04;
const DWORD ExceptionStackInvalid = 0x08;
const DWORD ExceptionNestedCall = 0x10;
const DWORD ExceptionTargetUnwind = 0x20;
const DWORD ExceptionUnwind = ExceptionUnwinding | ExceptionExitUnwind | ExceptionTargetUnwind;

// What a handler of the chain returns.
const int ExceptionContinueExecution = 0;
const int ExceptionContinueSearch = 1;
const int ExceptionNestedException = 2;
const int ExceptionCollidedUnwind = 3;

// What a filter returns.
const LONG FilterExecuteHandler = 1;
const LONG FilterContinueSearch = 0;
const LONG FilterContinueExecution = -1;

// The codes the dispatcher itself raises or reports.
const DWORD StatusAccessViolation = 0xC0000005;
const DWORD StatusNoncontinuableException = 0xC0000025;
const DWORD StatusInvalidDisposition = 0xC0000026;
const DWORD StatusUnwind = 0xC0000027;
const DWORD StatusStackOverflow = 0xC00000FD;

const DWORD ContextI386Full = 0x00010007;  // control, integer and segment registers

}  // namespace sim

#endif
