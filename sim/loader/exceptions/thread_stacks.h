// The stacks of a program's threads. Each thread handles its faults on a
// signal stack of its own, so that a stack overflow is dispatched like
// any other exception and never kills the host; the program's main
// thread runs on a stack of the size its EXE's header reserves, and that
// size is the default of the threads it starts, as on NT.
#ifndef PTASPI_SIM_LOADER_EXCEPTIONS_THREAD_STACKS_H
#define PTASPI_SIM_LOADER_EXCEPTIONS_THREAD_STACKS_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace sim {

// Returns nothing; the calling thread has its signal stack (given back
// when it ends) and its environment block's selector noted for fault
// handling. Does nothing outside a program's process.
void PrepareThreadForExceptions();
// Returns true when [address, address + size) lies on the calling
// thread's signal stack.
bool OnSignalStack(uintptr_t address, size_t size);
// Returns how many bytes of the calling thread's signal stack lie below
// `address`, 0 when it is not on that stack.
size_t SignalStackLeft(uintptr_t address);
// Returns the selector of the calling thread's environment block as it
// was when the thread was prepared, 0 when it was not.
unsigned short ThreadEnvironmentSelector();
// Returns what `run` returns, run on the program's main stack: the size
// its EXE reserves, but never less than the host's code needs, with the
// environment block's stack fields describing it. In a process that runs
// no program, `run` runs where it is.
DWORD RunOnProgramStack(const std::function<DWORD()>& run);
// Returns the stack size of a new thread that asked for `asked` bytes:
// the EXE's reserve when that is larger, as NT's CreateThread takes the
// request as the stack's commit, not its reserve.
size_t NewThreadStackSize(size_t asked);

}  // namespace sim

#endif
