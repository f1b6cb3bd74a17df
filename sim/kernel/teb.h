// The thread environment block: what code built for Windows finds through
// %fs. Linux i386 keeps its own thread pointer in %gs, so %fs is free; each
// thread that may run such code gets an LDT entry whose base is its own
// block, and %fs is loaded with that entry's selector.
#ifndef PTASPI_SIM_TEB_H
#define PTASPI_SIM_TEB_H

#include <windows.h>

#include <cstddef>

namespace sim {

// The offsets of the fields the simulator fills, as on 32-bit NT.
const size_t TebExceptionList = 0x00;  // head of the SEH chain; 0xFFFFFFFF: empty
const size_t TebStackBase = 0x04;      // the stack's top (highest address)
const size_t TebStackLimit = 0x08;     // its lowest address
const size_t TebSelf = 0x18;
const size_t TebProcessId = 0x20;
const size_t TebThreadId = 0x24;
const size_t TebThreadLocalStoragePointer = 0x2C;  // the program's implicit TLS blocks
const size_t TebProcessBlock = 0x30;
const size_t TebTlsSlots = 0xE10;      // the first 64 slots of TlsGetValue
const DWORD TebTlsSlotCount = 64;
const size_t TebTlsExpansionSlots = 0xF94;  // the address of the 1024 others
const DWORD TebTlsExpansionSlotCount = 1024;
// Where the expansion slots lie in the simulator's blocks: the second page.
const size_t TebTlsExpansionArea = 0x1000;

// Returns the calling thread's environment block, made and loaded into %fs
// the first time; null when the system refuses an LDT entry.
unsigned char* CurrentThreadEnvironment();
// Returns the number of environment blocks that exist, one per thread that
// has one and has not ended.
size_t ThreadEnvironmentCount();
// Returns the number of environment blocks that carry the thread id
// `threadId`: 1 while that thread lives and has one, 0 once it has ended.
size_t ThreadEnvironmentCount(DWORD threadId);
// Returns nothing; the 32-bit field at `offset` is zero in every thread's
// block.
void ClearInEveryThread(size_t offset);

}  // namespace sim

#endif
