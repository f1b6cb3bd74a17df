// The runtime's exported functions for structured exception handling and
// the floating-point control word, for the export table.
#ifndef PTASPI_SIM_RUNTIME_EXCEPTION_SUPPORT_H
#define PTASPI_SIM_RUNTIME_EXCEPTION_SUPPORT_H

#include "sim/runtime/runtime_entries.h"

// An initializer of _initterm_e's table: returns 0 when it succeeded.
typedef int(__attribute__((cdecl)) * InitializerWithResult)(void);

namespace sim {
struct WindowsExceptionRecord;
struct WindowsContext;
struct CompilerFrame;
}  // namespace sim

RUNTIME_ENTRY int rt_except_handler3(sim::WindowsExceptionRecord* record,
                                     sim::CompilerFrame* frame, sim::WindowsContext* context,
                                     void* dispatcher);
RUNTIME_ENTRY int rt_except_handler4_common(const uintptr_t* cookie, void* check,
                                            sim::WindowsExceptionRecord* record,
                                            sim::CompilerFrame* frame, sim::WindowsContext* context,
                                            void* dispatcher);
RUNTIME_ENTRY void rt_local_unwind2(sim::CompilerFrame* frame, int stop);
RUNTIME_ENTRY void rt_global_unwind2(void* frame);
RUNTIME_ENTRY int rt_XcptFilter(unsigned long code, void* pointers);
RUNTIME_ENTRY void** rt_pxcptinfoptrs(void);
RUNTIME_ENTRY int* rt_fpecode(void);
RUNTIME_ENTRY unsigned rt_control87(unsigned value, unsigned mask);
RUNTIME_ENTRY unsigned rt_controlfp(unsigned value, unsigned mask);
RUNTIME_ENTRY int rt_initterm_e(InitializerWithResult* first, InitializerWithResult* last);
extern int rt_adjust_fdiv;

#endif
