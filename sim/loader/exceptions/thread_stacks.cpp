// Signal stacks per thread and the program's main stack. A signal stack
// is mapped per thread, never from the heap: the sanitizer's runtime
// unmaps whatever signal stack a thread has when it ends, so the one a
// thread had before is put back first and ours unmapped by us.
#include "sim/loader/exceptions/thread_stacks.h"

#include "sim/kernel/teb.h"
#include "sim/loader/pe/pe_format.h"
#include "sim/loader/process.h"

#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace sim {
namespace {

// Handlers and filters of the program run on the signal stack when the
// exception is a fault, and they may call the runtime's heaviest
// functions (formatted output), in the sanitizer build too.
const size_t SignalStackSize = 512 * 1024;
const size_t PageSize = 4096;
// The host's code needs far more stack than the same code on Windows (the
// sanitizer build above all), so no stack is smaller than this.
const size_t MinimumStackSize = 2u * 1024u * 1024u;
// NT rounds a reserve up to its allocation granularity.
const size_t AllocationGranularity = 64 * 1024;

struct SignalStack {
    void* Base = nullptr;
    stack_t Previous = {};
    unsigned short Selector = 0;

    ~SignalStack() {
        if (Base == nullptr) return;
        sigaltstack(&Previous, nullptr);
        munmap(Base, SignalStackSize);
    }
};

thread_local SignalStack signalStack;

// Returns the stack reserve in the program's EXE header, 0 outside a
// program's process.
size_t ProgramStackReserve() {
    if (!IsProgramProcess()) return 0;
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
    uint32_t newHeader = 0;
    std::memcpy(&newHeader, base + pe::DosNewHeaderOffset, sizeof newHeader);
    pe::OptionalHeader32 optional;
    std::memcpy(&optional, base + newHeader + 4 + sizeof(pe::FileHeader),
                offsetof(pe::OptionalHeader32, Directories));
    return optional.SizeOfStackReserve;
}

// Returns `size` rounded up to the allocation granularity.
size_t RoundToGranularity(size_t size) {
    return (size + AllocationGranularity - 1) / AllocationGranularity * AllocationGranularity;
}

struct StackSwitch {
    const std::function<DWORD()>* Run;
    DWORD Result;
    const void* OldBottom;
    size_t OldSize;
    void* FakeStack;
};

// Returns nothing; runs the program on its stack, called with that stack
// in place. The sanitizer is told of each change of stack.
extern "C" __attribute__((used, visibility("hidden"))) void ptaspi_run_on_program_stack(
    StackSwitch* change) {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_finish_switch_fiber(change->FakeStack, &change->OldBottom, &change->OldSize);
#endif
    change->Result = (*change->Run)();
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_start_switch_fiber(&change->FakeStack, change->OldBottom, change->OldSize);
#endif
}

// Returns once ptaspi_run_on_program_stack(change) has run on the stack
// whose top is `top`.
__attribute__((noinline)) void SwitchStackAndRun(StackSwitch* change, void* top) {
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "movl %1, %%esp\n\t"
        "subl $12, %%esp\n\t"
        "pushl %0\n\t"
        "call ptaspi_run_on_program_stack\n\t"
        "movl %%esi, %%esp\n\t"
        :
        : "r"(change), "r"(top)
        : "esi", "eax", "ecx", "edx", "memory", "cc");
}

// Returns nothing; puts a 32-bit value into the calling thread's block.
void PutInBlock(size_t offset, uintptr_t value) {
    const uint32_t word = static_cast<uint32_t>(value);
    std::memcpy(CurrentThreadEnvironment() + offset, &word, sizeof word);
}

}  // namespace

void PrepareThreadForExceptions() {
    if (!IsProgramProcess() || signalStack.Base != nullptr) return;
    CurrentThreadEnvironment();
    unsigned short selector = 0;
    __asm__ volatile("movw %%fs, %w0" : "=r"(selector));
    signalStack.Selector = selector;
    void* base = mmap(nullptr, SignalStackSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) return;
    stack_t stack;
    stack.ss_sp = base;
    stack.ss_size = SignalStackSize;
    stack.ss_flags = 0;
    if (sigaltstack(&stack, &signalStack.Previous) != 0) {
        munmap(base, SignalStackSize);
        return;
    }
    if (signalStack.Previous.ss_flags & SS_DISABLE) {
        signalStack.Previous = stack_t();
        signalStack.Previous.ss_flags = SS_DISABLE;
    }
    signalStack.Base = base;
}

bool OnSignalStack(uintptr_t address, size_t size) {
    const auto base = reinterpret_cast<uintptr_t>(signalStack.Base);
    return base != 0 && address >= base && address - base <= SignalStackSize &&
           size <= SignalStackSize - (address - base);
}

size_t SignalStackLeft(uintptr_t address) {
    return OnSignalStack(address, 0) ? address - reinterpret_cast<uintptr_t>(signalStack.Base) : 0;
}

unsigned short ThreadEnvironmentSelector() { return signalStack.Selector; }

DWORD RunOnProgramStack(const std::function<DWORD()>& run) {
    const size_t reserve = ProgramStackReserve();
    if (reserve == 0) return run();
    const size_t size = std::max(RoundToGranularity(reserve), MinimumStackSize);
    // The lowest page is the guard that a stack overflow reaches.
    void* mapped = mmap(nullptr, size + PageSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (mapped == MAP_FAILED) return run();
    mprotect(mapped, PageSize, PROT_NONE);
    unsigned char* low = static_cast<unsigned char*>(mapped) + PageSize;
    unsigned char* top = low + size;
    uint32_t oldBase = 0, oldLimit = 0;
    std::memcpy(&oldBase, CurrentThreadEnvironment() + TebStackBase, sizeof oldBase);
    std::memcpy(&oldLimit, CurrentThreadEnvironment() + TebStackLimit, sizeof oldLimit);
    PutInBlock(TebStackBase, reinterpret_cast<uintptr_t>(top));
    PutInBlock(TebStackLimit, reinterpret_cast<uintptr_t>(low));
    StackSwitch change = {&run, 0, nullptr, 0, nullptr};
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_start_switch_fiber(&change.FakeStack, low, size);
#endif
    SwitchStackAndRun(&change, top);
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_finish_switch_fiber(change.FakeStack, nullptr, nullptr);
#endif
    PutInBlock(TebStackBase, oldBase);
    PutInBlock(TebStackLimit, oldLimit);
    munmap(mapped, size + PageSize);
    return change.Result;
}

size_t NewThreadStackSize(size_t asked) {
    return std::max(RoundToGranularity(asked), ProgramStackReserve());
}

}  // namespace sim
