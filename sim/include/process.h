// The simulated platform's C runtime thread functions (<process.h>).
#ifndef PTASPI_SIM_PROCESS_H
#define PTASPI_SIM_PROCESS_H

#include <errno.h>  /* the Windows runtime declares errno with <stdlib.h> */
#include <stdint.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void(__cdecl* _beginthread_proc_type)(void*);

// Returns the new thread's handle, or (uintptr_t)-1 with errno set.
uintptr_t __cdecl _beginthread(_beginthread_proc_type start, unsigned stack_size, void* arg);
// Ends the calling thread and closes the handle that _beginthread returned.
void __cdecl _endthread(void) __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

#endif
