// Frame-based exception dispatch as NT does it on i386: every handler of
// the calling thread's fs:[0] chain in turn, innermost first, then the
// unhandled-exception filter, then the one-line report that ends the
// process. RaiseException, RtlUnwind and UnhandledExceptionFilter are
// kernel32's calls over it.
#ifndef PTASPI_SIM_LOADER_EXCEPTIONS_DISPATCH_H
#define PTASPI_SIM_LOADER_EXCEPTIONS_DISPATCH_H

#include "sim/loader/exceptions/exception_records.h"

namespace sim {

// Returns true when a handler of the chain answered
// ExceptionContinueExecution: the thread is to go on with *context, which
// the handler may have changed. False when every frame passed the
// exception on, or the chain is broken (a frame outside the thread's
// stack: ExceptionStackInvalid is then set in the record). A handler that
// continues a noncontinuable exception, or answers what no handler may,
// raises a new exception from here, as NT's dispatcher does.
bool DispatchToFrames(WindowsExceptionRecord* record, WindowsContext* context);
// Returns true when exceptions nest so deep on this thread (handlers
// raising again and again) that one more is reported, not dispatched.
bool DispatchTooDeep();
// Returns true when the program's unhandled-exception filter answers
// EXCEPTION_CONTINUE_EXECUTION (go on with *context); ends the process
// with the exception's code when it answers EXCEPTION_EXECUTE_HANDLER, as
// NT's process start does; false when there is no filter or it passes.
bool OfferToUnhandledFilter(WindowsExceptionRecord* record, WindowsContext* context);
// Never returns: the one-line report of an exception nobody handled, and
// the end of the process.
[[noreturn]] void ReportUnhandledException(const WindowsExceptionRecord& record);
// Never returns: the calling thread goes on with the registers of
// `context` (its general registers, flags, stack and instruction pointer).
[[noreturn]] void ResumeWithContext(const WindowsContext& context);
// Never returns: dispatches an exception raised in software (the thread
// at `context`), resumes when a frame or the filter continues it, and
// reports it otherwise.
[[noreturn]] void RaiseInContext(WindowsExceptionRecord* record, WindowsContext* context);

}  // namespace sim

#endif
