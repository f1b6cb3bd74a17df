// The worker's last step: the signal that lets an unload go on, given so
// that no instruction of this library runs on the worker after it.
#include "execution/request_queue.h"

#include <process.h>

void SignalAndEndWorker(HANDLE workerLeft) {
    // Through the import table's entries, never through stubs in this
    // image, which the unload is about to unmap.
    BOOL(WINAPI* const setEvent)(HANDLE) = SetEvent;
    void(__cdecl* const endThread)(void) = _endthread;
    // The stack that SetEvent finds on entry is that of a call from
    // _endthread's entry point: its return address is _endthread, and its
    // one argument the event, which it pops as it returns. _endthread then
    // finds a return address of its own above them, never used, since it
    // never returns. The stack is first aligned as for an ordinary call,
    // with the argument on a 16-byte boundary.
    __asm__ volatile(
        "andl $-16, %%esp\n\t"
        "subl $8, %%esp\n\t"
        "pushl $0\n\t"
        "pushl %1\n\t"
        "pushl %2\n\t"
        "jmp *%0"
        :
        : "r"(setEvent), "r"(workerLeft), "r"(endThread)
        : "memory");
    __builtin_unreachable();
}
