// The exception dispatcher and kernel32's exception calls. Handlers are
// called through a thunk that keeps the registers the caller's convention
// promises, whatever the handler does with them; a thread resumes from a
// context through a thunk that loads every general register at once.
#include "sim/loader/exceptions/dispatch.h"
#include "sim/loader/exceptions/vectored_handlers.h"

#include "sim/kernel/process_info.h"
#include "sim/kernel/teb.h"
#include "sim/loader/exceptions/thread_stacks.h"

#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

// ptaspi_call_exception_routine(routine, record, frame, context, dispatcher):
// returns what the routine returns, with ebx, esi, edi, ebp and esp as
// they were, whatever it did with them.
// ptaspi_resume(words, esp): loads edi, esi, ebp, ebx, edx, ecx, eax,
// eflags and eip from `words` (9 of them, not on the stack) and goes on
// at eip with `esp`. The words are copied just below the new stack
// pointer first, where nothing lives on i386.
__asm__(R"(
    .text
    .globl ptaspi_call_exception_routine
    .hidden ptaspi_call_exception_routine
    .type ptaspi_call_exception_routine, @function
ptaspi_call_exception_routine:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl 24(%ebp)
    pushl 20(%ebp)
    pushl 16(%ebp)
    pushl 12(%ebp)
    call *8(%ebp)
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .size ptaspi_call_exception_routine, .-ptaspi_call_exception_routine

    .globl ptaspi_resume
    .hidden ptaspi_resume
    .type ptaspi_resume, @function
ptaspi_resume:
    movl 4(%esp), %esi
    movl 8(%esp), %edi
    subl $36, %edi
    movl %edi, %esp
    movl $9, %ecx
    cld
    rep movsl
    popl %edi
    popl %esi
    popl %ebp
    popl %ebx
    popl %edx
    popl %ecx
    popl %eax
    popfl
    ret
    .size ptaspi_resume, .-ptaspi_resume
)");

extern "C" int ptaspi_call_exception_routine(sim::ExceptionRoutine routine,
                                             sim::WindowsExceptionRecord* record,
                                             sim::RegistrationRecord* frame,
                                             sim::WindowsContext* context, void* dispatcher);
extern "C" [[noreturn]] void ptaspi_resume(const uint32_t* words, uint32_t esp);

namespace sim {
namespace {

const DWORD StatusInvalidUnwindTarget = 0xC0000029;
const DWORD StatusBadStack = 0xC0000028;

// Returns the head of the calling thread's chain.
RegistrationRecord* ChainHead() {
    RegistrationRecord* head;
    std::memcpy(&head, CurrentThreadEnvironment() + TebExceptionList, sizeof head);
    return head;
}

// Returns nothing; the chain begins at `head`.
void SetChainHead(RegistrationRecord* head) {
    std::memcpy(CurrentThreadEnvironment() + TebExceptionList, &head, sizeof head);
}

// Returns true when a registration record at `frame` lies where NT
// accepts one: aligned, on the thread's stack (or the signal stack that
// handlers of a fault run on).
bool FrameIsSound(const RegistrationRecord* frame) {
    const auto address = reinterpret_cast<uintptr_t>(frame);
    if ((address & 3) != 0) return false;
    if (OnSignalStack(address, sizeof *frame)) return true;
    uint32_t base = 0, limit = 0;
    std::memcpy(&base, CurrentThreadEnvironment() + TebStackBase, sizeof base);
    std::memcpy(&limit, CurrentThreadEnvironment() + TebStackLimit, sizeof limit);
    return address >= limit && address + sizeof *frame <= base;
}

// Never returns: raises the exception `code` about the record `cause`, an
// exception no handler can continue, from the dispatcher itself.
[[noreturn]] void RaiseDispatcherError(DWORD code, WindowsExceptionRecord* cause,
                                       const WindowsContext& context) {
    WindowsExceptionRecord record;
    std::memset(&record, 0, sizeof record);
    record.ExceptionCode = code;
    record.ExceptionFlags = ExceptionNoncontinuable;
    record.ExceptionRecord = cause;
    record.ExceptionAddress = reinterpret_cast<void*>(uintptr_t(context.Eip));
    WindowsContext copy = context;
    RaiseInContext(&record, &copy);
}

// The nesting of dispatches on this thread: a handler that raises again
// while it runs starts a dispatch of its own. Past this many, or with
// less room than this left on the signal stack, an exception is reported
// at once rather than dispatched beyond the stack's end.
thread_local int dispatchDepth = 0;
const int MaximumNesting = 32;
const size_t LeastHandlerRoom = 64 * 1024;

// Where RaiseException and RtlUnwind save their caller's registers: the
// first nine words are in the order ptaspi_resume loads them.
struct CallerState {
    uint32_t Edi, Esi, Ebp, Ebx, Edx, Ecx, Eax, EFlags, Eip;
    uint32_t Arguments[4];
};
static_assert(sizeof(CallerState) == 52, "nine registers, then the four arguments");

// Returns the context of the caller as it will be when the stdcall
// function whose entry saved `state` has returned.
WindowsContext CallerContext(const CallerState& state) {
    WindowsContext context;
    std::memset(&context, 0, sizeof context);
    context.ContextFlags = ContextI386Full;
    context.Edi = state.Edi;
    context.Esi = state.Esi;
    context.Ebp = state.Ebp;
    context.Ebx = state.Ebx;
    context.Edx = state.Edx;
    context.Ecx = state.Ecx;
    context.Eax = state.Eax;
    context.EFlags = state.EFlags;
    context.Eip = state.Eip;
    context.Esp = static_cast<DWORD>(reinterpret_cast<uintptr_t>(&state.Arguments[4]));
    unsigned short cs, ds, es, fs, gs, ss;
    __asm__("movw %%cs, %w0\n\tmovw %%ds, %w1\n\tmovw %%es, %w2\n\t"
            "movw %%fs, %w3\n\tmovw %%gs, %w4\n\tmovw %%ss, %w5"
            : "=r"(cs), "=r"(ds), "=r"(es), "=r"(fs), "=r"(gs), "=r"(ss));
    context.SegCs = cs;
    context.SegDs = ds;
    context.SegEs = es;
    context.SegFs = fs;
    context.SegGs = gs;
    context.SegSs = ss;
    return context;
}

}  // namespace

bool DispatchToFrames(WindowsExceptionRecord* record, WindowsContext* context) {
    struct DepthHold {
        DepthHold() { ++dispatchDepth; }
        ~DepthHold() { --dispatchDepth; }
    } hold;
    // NT's dispatcher offers an exception to the vectored handlers first,
    // then to the frames, and lets the continue handlers see what a frame
    // continued (RtlDispatchException; AddVectoredExceptionHandler).
    if (CallVectoredExceptionHandlers(record, context)) return true;
    for (RegistrationRecord* frame = ChainHead(); frame != ChainEnd; frame = frame->Next) {
        if (!FrameIsSound(frame)) {
            record->ExceptionFlags |= ExceptionStackInvalid;
            return false;
        }
        const int disposition =
            ptaspi_call_exception_routine(frame->Handler, record, frame, context, nullptr);
        switch (disposition) {
            case ExceptionContinueExecution:
                if ((record->ExceptionFlags & ExceptionNoncontinuable) != 0) {
                    RaiseDispatcherError(StatusNoncontinuableException, record, *context);
                }
                CallVectoredContinueHandlers(record, context);
                return true;
            case ExceptionContinueSearch:
                break;
            case ExceptionNestedException:
                record->ExceptionFlags |= ExceptionNestedCall;
                break;
            default:
                RaiseDispatcherError(StatusInvalidDisposition, record, *context);
        }
    }
    return false;
}

bool OfferToUnhandledFilter(WindowsExceptionRecord* record, WindowsContext* context) {
    WindowsExceptionPointers pointers = {record, context};
    const LONG verdict =
        UnhandledExceptionFilter(reinterpret_cast<_EXCEPTION_POINTERS*>(&pointers));
    if (verdict == FilterExecuteHandler) ExitProcess(record->ExceptionCode);
    return verdict == FilterContinueExecution;
}

void ResumeWithContext(const WindowsContext& context) {
    // Not on the stack: the words are copied to where the new stack
    // pointer leaves room, which may be where this frame lies.
    static thread_local uint32_t words[9];
    const uint32_t values[9] = {context.Edi, context.Esi, context.Ebp,    context.Ebx, context.Edx,
                                context.Ecx, context.Eax, context.EFlags, context.Eip};
    std::memcpy(words, values, sizeof words);
#if defined(__SANITIZE_ADDRESS__)
    // The frames left behind never return to unpoison their shadow.
    __asan_handle_no_return();
#endif
    ptaspi_resume(words, context.Esp);
}

bool DispatchTooDeep() {
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return dispatchDepth >= MaximumNesting ||
           (OnSignalStack(here, 0) && SignalStackLeft(here) < LeastHandlerRoom);
}

void RaiseInContext(WindowsExceptionRecord* record, WindowsContext* context) {
    if (DispatchTooDeep()) ReportUnhandledException(*record);
    if (DispatchToFrames(record, context)) ResumeWithContext(*context);
    // A program's exception nobody took: NT's process start hands it to
    // the unhandled-exception filter, which may still continue it.
    if ((record->ExceptionFlags & ExceptionStackInvalid) == 0 &&
        OfferToUnhandledFilter(record, context)) {
        if ((record->ExceptionFlags & ExceptionNoncontinuable) != 0) {
            RaiseDispatcherError(StatusNoncontinuableException, record, *context);
        }
        ResumeWithContext(*context);
    }
    ReportUnhandledException(*record);
}

}  // namespace sim

// RaiseException and RtlUnwind begin in assembly, saving every register of
// their caller (the state a handler's context describes and the one a
// continued exception or a finished unwind goes back to), then go on in
// C++ with the stack realigned.
__asm__(R"(
    .text
    .globl RaiseException
    .type RaiseException, @function
RaiseException:
    pushfl
    pushl %eax
    pushl %ecx
    pushl %edx
    pushl %ebx
    pushl %ebp
    pushl %esi
    pushl %edi
    movl %esp, %eax
    andl $-16, %esp
    subl $12, %esp
    pushl %eax
    call ptaspi_raise_for_caller
    ud2
    .size RaiseException, .-RaiseException

    .globl RtlUnwind
    .type RtlUnwind, @function
RtlUnwind:
    pushfl
    pushl %eax
    pushl %ecx
    pushl %edx
    pushl %ebx
    pushl %ebp
    pushl %esi
    pushl %edi
    movl %esp, %ebx
    andl $-16, %esp
    subl $12, %esp
    pushl %ebx
    call ptaspi_unwind_for_caller
    movl %ebx, %esp
    popl %edi
    popl %esi
    popl %ebp
    popl %ebx
    popl %edx
    popl %ecx
    popl %eax
    popfl
    movl 16(%esp), %eax
    ret $16
    .size RtlUnwind, .-RtlUnwind
)");

// Never returns: RaiseException's work. The record's address is where
// RaiseException returns to, and so is the context's instruction
// pointer: a continued exception returns from RaiseException.
extern "C" __attribute__((used, visibility("hidden"), noreturn)) void ptaspi_raise_for_caller(
    sim::CallerState* state) {
    const DWORD code = state->Arguments[0];
    const DWORD flags = state->Arguments[1];
    DWORD count = state->Arguments[2];
    const auto* arguments = reinterpret_cast<const ULONG_PTR*>(uintptr_t(state->Arguments[3]));
    sim::WindowsExceptionRecord record;
    std::memset(&record, 0, sizeof record);
    record.ExceptionCode = code;
    record.ExceptionFlags = flags & sim::ExceptionNoncontinuable;
    record.ExceptionAddress = reinterpret_cast<void*>(uintptr_t(state->Eip));
    if (arguments == nullptr) count = 0;
    record.NumberParameters = count < sim::ExceptionMaximumParameters ? count
                                                                       : sim::ExceptionMaximumParameters;
    for (DWORD i = 0; i < record.NumberParameters; ++i) {
        record.ExceptionInformation[i] = arguments[i];
    }
    sim::WindowsContext context = sim::CallerContext(*state);
    sim::RaiseInContext(&record, &context);
}

// Returns once every frame of the chain above `TargetFrame` has been
// called with the unwinding flag and taken off the chain. Without a
// target (an exit unwind) every frame is, and the exception then ends
// the process as NT's does.
extern "C" __attribute__((used, visibility("hidden"))) void ptaspi_unwind_for_caller(
    sim::CallerState* state) {
    auto* target = reinterpret_cast<sim::RegistrationRecord*>(uintptr_t(state->Arguments[0]));
    auto* given = reinterpret_cast<sim::WindowsExceptionRecord*>(uintptr_t(state->Arguments[2]));
    sim::WindowsContext context = sim::CallerContext(*state);
    context.Eax = state->Arguments[3];
    sim::WindowsExceptionRecord own;
    std::memset(&own, 0, sizeof own);
    own.ExceptionCode = sim::StatusUnwind;
    own.ExceptionAddress = reinterpret_cast<void*>(uintptr_t(state->Eip));
    sim::WindowsExceptionRecord* record = given != nullptr ? given : &own;
    record->ExceptionFlags |= sim::ExceptionUnwinding;
    if (target == nullptr) record->ExceptionFlags |= sim::ExceptionExitUnwind;
    sim::RegistrationRecord* frame = sim::ChainHead();
    while (frame != sim::ChainEnd) {
        if (frame == target) return;
        // A target below the frame at hand was passed: it is no frame of
        // the chain.
        if (target != nullptr && target < frame) {
            sim::RaiseDispatcherError(sim::StatusInvalidUnwindTarget, record, context);
        }
        if (!sim::FrameIsSound(frame)) sim::RaiseDispatcherError(sim::StatusBadStack, record, context);
        const int disposition =
            ptaspi_call_exception_routine(frame->Handler, record, frame, &context, nullptr);
        if (disposition != sim::ExceptionContinueSearch &&
            disposition != sim::ExceptionCollidedUnwind) {
            sim::RaiseDispatcherError(sim::StatusInvalidDisposition, record, context);
        }
        frame = frame->Next;
        sim::SetChainHead(frame);
    }
    if (target != sim::ChainEnd) {
        record->ExceptionFlags &= ~sim::ExceptionUnwind;
        sim::ReportUnhandledException(*record);
    }
}

// Returns what the program's unhandled-exception filter answers, as
// NT's does once no debugger is attached: EXCEPTION_CONTINUE_SEARCH when
// there is none (NT would then show its fault report; here the caller
// reports) or it is running already on this thread.
extern "C" LONG WINAPI UnhandledExceptionFilter(struct _EXCEPTION_POINTERS* ExceptionInfo) {
    static thread_local bool inFilter = false;
    const LPTOP_LEVEL_EXCEPTION_FILTER filter = sim::CurrentUnhandledExceptionFilter();
    if (filter == nullptr || inFilter) return sim::FilterContinueSearch;
    inFilter = true;
    const LONG verdict = filter(ExceptionInfo);
    inFilter = false;
    return verdict;
}
