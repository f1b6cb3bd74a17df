// The runtime's part in structured exception handling, as code built by
// Microsoft's compiler expects it of msvcrt: the frame handlers that
// __try/__except and __try/__finally compile to (_except_handler3, and
// _except_handler4_common behind the start-up code's _except_handler4),
// their unwind helpers, _XcptFilter, which the start-up code wraps main
// in, and the floating-point control word calls the start-up code makes.
#include "sim/loader/exceptions/exception_records.h"
#include "sim/runtime/exception_support.h"
#include "sim/runtime/runtime_entries.h"

#include <windows.h>

#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

// ptaspi_call_in_frame(code, frameEbp): returns what the filter or
// __finally block at `code` returns, run with ebp the frame's, as the
// compiler's code expects; ebx, esi and edi are kept, which such blocks
// need not do.
// ptaspi_enter_handler(code, frameEbp): never returns; goes on at the
// __except block `code` with the frame's ebp and its saved stack pointer.
__asm__(R"(
    .text
    .globl ptaspi_call_in_frame
    .hidden ptaspi_call_in_frame
    .type ptaspi_call_in_frame, @function
ptaspi_call_in_frame:
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 20(%esp), %eax
    movl 24(%esp), %ebp
    call *%eax
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .size ptaspi_call_in_frame, .-ptaspi_call_in_frame

    .globl ptaspi_enter_handler
    .hidden ptaspi_enter_handler
    .type ptaspi_enter_handler, @function
ptaspi_enter_handler:
    movl 4(%esp), %eax
    movl 8(%esp), %ebp
    movl -24(%ebp), %esp
    jmp *%eax
    .size ptaspi_enter_handler, .-ptaspi_enter_handler
)");

extern "C" int ptaspi_call_in_frame(const void* code, uint32_t frameEbp);
extern "C" [[noreturn]] void ptaspi_enter_handler(const void* code, uint32_t frameEbp);

namespace sim {

// The frame the compiler builds: a registration record with the scope
// table and the current try level, below the function's saved ebp; the
// exception pointers at ebp-0x14 and the stack pointer at ebp-0x18.
struct CompilerFrame {
    RegistrationRecord Registration;
    uintptr_t ScopeTable;  // encoded with the security cookie in EH4 frames
    int TryLevel;
};
static_assert(sizeof(CompilerFrame) == 16, "the frame ends where the saved ebp is");

namespace {

// One entry of a frame's scope table: a filter and its __except block,
// or (no filter) a __finally block.
struct ScopeEntry {
    int EnclosingLevel;
    const void* Filter;
    const void* Handler;
};
static_assert(sizeof(ScopeEntry) == 12, "scope table entry");

// The header of an EH4 scope table: where the function's security
// cookies are, relative to its ebp (-2: none), then the entries.
struct Eh4Header {
    int GsCookieOffset;
    int GsCookieXorOffset;
    int EhCookieOffset;
    int EhCookieXorOffset;
};

const int Eh3TopLevel = -1;
const int Eh4TopLevel = -2;
const int NoCookie = -2;

// Returns the ebp of the function that built `frame`.
uint32_t FrameEbp(const CompilerFrame* frame) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(frame)) + 16;
}

// Returns nothing; runs the __finally blocks of `frame` from its current
// try level out to `stop` (not included), each with the level set to its
// enclosing one first, so that a block that faults is not run again.
void LocalUnwind(CompilerFrame* frame, const ScopeEntry* table, int stop, int top) {
    while (frame->TryLevel != top && frame->TryLevel != stop) {
        const ScopeEntry& entry = table[frame->TryLevel];
        frame->TryLevel = entry.EnclosingLevel;
        if (entry.Filter == nullptr) ptaspi_call_in_frame(entry.Handler, FrameEbp(frame));
    }
}

typedef void(__attribute__((fastcall)) * CookieCheck)(uintptr_t cookie);

// Returns nothing when the EH4 frame's cookies are intact; the check the
// start-up code gives ends the process otherwise.
void CheckCookies(const Eh4Header& header, uint32_t ebp, CookieCheck check) {
    if (header.GsCookieOffset != NoCookie) {
        uintptr_t cookie;
        std::memcpy(&cookie, reinterpret_cast<const void*>(uintptr_t(ebp + header.GsCookieOffset)),
                    sizeof cookie);
        check(cookie ^ (ebp + header.GsCookieXorOffset));
    }
    uintptr_t cookie;
    std::memcpy(&cookie, reinterpret_cast<const void*>(uintptr_t(ebp + header.EhCookieOffset)),
                sizeof cookie);
    check(cookie ^ (ebp + header.EhCookieXorOffset));
}

// Returns what a frame handler returns: the frame's filters asked from
// the innermost try level out; the first that takes the exception has
// every frame above unwound, then its own inner levels, and its __except
// block runs; one that continues the exception continues it. An unwind
// runs the frame's __finally blocks.
int HandleFrame(WindowsExceptionRecord* record, CompilerFrame* frame, WindowsContext* context,
                const ScopeEntry* table, int top, const Eh4Header* header, CookieCheck check) {
    const uint32_t ebp = FrameEbp(frame);
    if (header != nullptr) CheckCookies(*header, ebp, check);
    if ((record->ExceptionFlags & ExceptionUnwind) != 0) {
        LocalUnwind(frame, table, top, top);
        return ExceptionContinueSearch;
    }
    WindowsExceptionPointers pointers = {record, context};
    WindowsExceptionPointers* pointersAddress = &pointers;
    std::memcpy(reinterpret_cast<void*>(uintptr_t(ebp - 0x14)), &pointersAddress,
                sizeof pointersAddress);
    for (int level = frame->TryLevel; level != top; level = table[level].EnclosingLevel) {
        const ScopeEntry& entry = table[level];
        if (entry.Filter == nullptr) continue;
        const int verdict = ptaspi_call_in_frame(entry.Filter, ebp);
        if (verdict < 0) return ExceptionContinueExecution;
        if (verdict == 0) continue;
        RtlUnwind(frame, nullptr, record, nullptr);
        LocalUnwind(frame, table, level, top);
        frame->TryLevel = entry.EnclosingLevel;
        if (header != nullptr) CheckCookies(*header, ebp, check);
#if defined(__SANITIZE_ADDRESS__)
        // The frames between here and the __except block never return.
        __asan_handle_no_return();
#endif
        ptaspi_enter_handler(entry.Handler, ebp);
    }
    return ExceptionContinueSearch;
}

// The runtime's own per-thread record of the exception a signal handler
// runs for, which the signal's handler reads through _pxcptinfoptrs.
thread_local void* currentExceptionPointers = nullptr;
thread_local int floatingPointCode = 0x80;  // _FPE_INVALID, the runtime's start value

// _XcptFilter's table: which exceptions stand for which signal, and the
// _FPE_ code a floating-point one hands its handler.
struct SignalOfException {
    DWORD Code;
    int Signal;
    int FloatingPointCode;
};
const SignalOfException exceptionSignals[] = {
    {0xC0000005, 11, 0},    {0xC000001D, 4, 0},     {0xC0000096, 4, 0},
    {0xC000008D, 8, 0x82},  {0xC000008E, 8, 0x83},  {0xC000008F, 8, 0x86},
    {0xC0000090, 8, 0x81},  {0xC0000091, 8, 0x84},  {0xC0000092, 8, 0x8A},
    {0xC0000093, 8, 0x85},
};

const uintptr_t SignalDefault = 0;
const uintptr_t SignalIgnore = 1;
const uintptr_t SignalGet = 2;

// The x87 control word's fields and the runtime's abstract bits for them.
struct ControlBit {
    unsigned Abstract;
    unsigned Hardware;
};
const ControlBit exceptionMasks[] = {
    {0x10, 0x01},     // _EM_INVALID
    {0x80000, 0x02},  // _EM_DENORMAL
    {0x08, 0x04},     // _EM_ZERODIVIDE
    {0x04, 0x08},     // _EM_OVERFLOW
    {0x02, 0x10},     // _EM_UNDERFLOW
    {0x01, 0x20},     // _EM_INEXACT
};
const unsigned RoundingMask = 0x300;    // _MCW_RC, the same bits shifted
const unsigned PrecisionMask = 0x30000;  // _MCW_PC
const unsigned InfinityMask = 0x40000;   // _MCW_IC

// Returns the runtime's abstract form of an x87 control word.
unsigned AbstractControl(unsigned short word) {
    unsigned value = 0;
    for (const ControlBit& bit : exceptionMasks) {
        if ((word & bit.Hardware) != 0) value |= bit.Abstract;
    }
    value |= static_cast<unsigned>((word >> 10) & 3) << 8;  // rounding: the same order
    switch ((word >> 8) & 3) {  // precision: 24, -, 53, 64 bits
        case 0: value |= 0x20000; break;
        case 2: value |= 0x10000; break;
        default: break;
    }
    if ((word & 0x1000) != 0) value |= InfinityMask;
    return value;
}

// Returns the x87 control word for the abstract form `value`, the bits
// the runtime does not describe kept from `word`.
unsigned short HardwareControl(unsigned value, unsigned short word) {
    unsigned result = word & ~0x1F3Fu;
    for (const ControlBit& bit : exceptionMasks) {
        if ((value & bit.Abstract) != 0) result |= bit.Hardware;
    }
    result |= ((value & RoundingMask) >> 8) << 10;
    const unsigned precision = value & PrecisionMask;
    result |= (precision == 0x20000 ? 0u : precision == 0x10000 ? 2u : 3u) << 8;
    if ((value & InfinityMask) != 0) result |= 0x1000;
    return static_cast<unsigned short>(result);
}

}  // namespace
}  // namespace sim

// Returns what a frame handler returns, for a frame of __try blocks that
// the compiler built with an EH3 scope table.
RUNTIME_ENTRY int rt_except_handler3(sim::WindowsExceptionRecord* record,
                                     sim::CompilerFrame* frame, sim::WindowsContext* context,
                                     void* /*dispatcher*/) {
    const auto* table = reinterpret_cast<const sim::ScopeEntry*>(frame->ScopeTable);
    return sim::HandleFrame(record, frame, context, table, sim::Eh3TopLevel, nullptr, nullptr);
}

// Returns what a frame handler returns, for an EH4 frame: its scope
// table encoded with the image's security cookie, its cookies checked by
// the start-up code's function before and after each step.
RUNTIME_ENTRY int rt_except_handler4_common(const uintptr_t* cookie, void* check,
                                            sim::WindowsExceptionRecord* record,
                                            sim::CompilerFrame* frame, sim::WindowsContext* context,
                                            void* /*dispatcher*/) {
    const uintptr_t tableAddress = frame->ScopeTable ^ *cookie;
    const auto* header = reinterpret_cast<const sim::Eh4Header*>(tableAddress);
    const auto* table = reinterpret_cast<const sim::ScopeEntry*>(tableAddress + sizeof *header);
    return sim::HandleFrame(record, frame, context, table, sim::Eh4TopLevel, header,
                            reinterpret_cast<sim::CookieCheck>(check));
}

// Returns nothing; the __finally blocks of an EH3 frame are run out to
// the try level `stop`, as the compiler's code for leaving a __try early
// asks.
RUNTIME_ENTRY void rt_local_unwind2(sim::CompilerFrame* frame, int stop) {
    const auto* table = reinterpret_cast<const sim::ScopeEntry*>(frame->ScopeTable);
    sim::LocalUnwind(frame, table, stop, sim::Eh3TopLevel);
}

// Returns nothing; every frame above `frame` has been unwound.
RUNTIME_ENTRY void rt_global_unwind2(void* frame) { RtlUnwind(frame, nullptr, nullptr, nullptr); }

// Returns the filter verdict of the start-up code's __except around
// main: an exception that stands for a signal with a handler runs that
// handler (reset to the default first) and continues; one whose signal
// is ignored continues; any other goes to UnhandledExceptionFilter.
RUNTIME_ENTRY int rt_XcptFilter(unsigned long code, void* pointers) {
    const sim::SignalOfException* found = nullptr;
    for (const sim::SignalOfException& entry : sim::exceptionSignals) {
        if (entry.Code == code) found = &entry;
    }
    if (found == nullptr) {
        return UnhandledExceptionFilter(static_cast<_EXCEPTION_POINTERS*>(pointers));
    }
    void* const current = rt_signal(found->Signal, reinterpret_cast<void*>(sim::SignalGet));
    const auto action = reinterpret_cast<uintptr_t>(current);
    if (action == sim::SignalDefault) {
        return UnhandledExceptionFilter(static_cast<_EXCEPTION_POINTERS*>(pointers));
    }
    if (action == sim::SignalIgnore) return sim::FilterContinueExecution;
    rt_signal(found->Signal, reinterpret_cast<void*>(sim::SignalDefault));
    void* const saved = sim::currentExceptionPointers;
    sim::currentExceptionPointers = pointers;
    if (found->Signal == 8) {
        sim::floatingPointCode = found->FloatingPointCode;
        reinterpret_cast<void(__cdecl*)(int, int)>(current)(8, found->FloatingPointCode);
    } else {
        reinterpret_cast<void(__cdecl*)(int)>(current)(found->Signal);
    }
    sim::currentExceptionPointers = saved;
    return sim::FilterContinueExecution;
}

// Returns the address of the calling thread's _pxcptinfoptrs.
RUNTIME_ENTRY void** rt_pxcptinfoptrs(void) { return &sim::currentExceptionPointers; }

// Returns the address of the calling thread's _fpecode.
RUNTIME_ENTRY int* rt_fpecode(void) { return &sim::floatingPointCode; }

// Returns the floating-point control word after its bits in `mask` are
// set from `value`, in the runtime's abstract form (x87 only).
RUNTIME_ENTRY unsigned rt_control87(unsigned value, unsigned mask) {
    unsigned short word = 0;
    __asm__ volatile("fnstcw %0" : "=m"(word));
    const unsigned current = sim::AbstractControl(word);
    const unsigned wanted = (current & ~mask) | (value & mask);
    const unsigned short next = sim::HardwareControl(wanted, word);
    __asm__ volatile("fldcw %0" : : "m"(next));
    return sim::AbstractControl(next);
}

// Returns what _control87 returns, the denormal mask left alone, as the
// runtime documents for x86.
RUNTIME_ENTRY unsigned rt_controlfp(unsigned value, unsigned mask) {
    return rt_control87(value, mask & ~0x80000u);
}

// Returns 0 once every initializer in [first, last) ran, or the first
// non-zero value one returned, the rest not run.
RUNTIME_ENTRY int rt_initterm_e(InitializerWithResult* first, InitializerWithResult* last) {
    for (; first < last; ++first) {
        if (*first == nullptr) continue;
        if (const int result = (*first)()) return result;
    }
    return 0;
}

// Whether the processor has the Pentium's FDIV flaw: it has not.
int rt_adjust_fdiv = 0;
