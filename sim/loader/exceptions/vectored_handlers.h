// Vectored exception handlers (AddVectoredExceptionHandler and its
// continue handlers): process-wide handlers that NT's dispatcher calls
// before any frame of the thread's fs:[0] chain.
#ifndef PTASPI_SIM_LOADER_EXCEPTIONS_VECTORED_HANDLERS_H
#define PTASPI_SIM_LOADER_EXCEPTIONS_VECTORED_HANDLERS_H

#include "sim/loader/exceptions/exception_records.h"

namespace sim {

// Returns true when a vectored exception handler answered
// EXCEPTION_CONTINUE_EXECUTION (the thread goes on with *context, after
// the continue handlers ran); false when each passed the exception on.
// Handlers are called in their list's order.
bool CallVectoredExceptionHandlers(WindowsExceptionRecord* record, WindowsContext* context);
// Returns nothing once every vectored continue handler has seen the
// exception a handler continued, in its list's order, until one answers
// EXCEPTION_CONTINUE_EXECUTION.
void CallVectoredContinueHandlers(WindowsExceptionRecord* record, WindowsContext* context);

}  // namespace sim

#endif
