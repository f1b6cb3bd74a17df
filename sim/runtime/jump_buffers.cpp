// setjmp and longjmp as msvcrt has them on x86: _setjmp3 (what both
// compilers' setjmp becomes) and _setjmp fill msvcrt's _JUMP_BUFFER (the
// callee-saved registers, the stack and return address, the head of the
// fs:[0] chain, the try level and the 'VC20' cookie); longjmp first
// unwinds the frame-based handlers registered since (every frame above the
// saved head is called with the unwinding flag and taken off the chain),
// then goes back with the value, 1 for 0.
#include "sim/runtime/runtime_families.h"

#include "sim/runtime/exception_support.h"

#include <cstdint>

namespace {

struct JumpBuffer {
    uint32_t Ebp, Ebx, Edi, Esi, Esp, Eip, Registration, TryLevel, Cookie, UnwindFunc;
    uint32_t UnwindData[6];
};
static_assert(sizeof(JumpBuffer) == 64, "msvcrt's _JUMP_BUFFER is 16 words");

const uint32_t Vc20Cookie = 0x56433230;

}  // namespace

// Returns nothing; the fields beyond the registers are filled for
// `buffer`, and `arguments` (count of them) taken: the unwind function,
// then the try level, then the unwind data. With none, the try level is
// -1 (no local unwind at longjmp).
extern "C" __attribute__((used, visibility("hidden"), cdecl, force_align_arg_pointer)) void
ptaspi_setjmp_rest(JumpBuffer* buffer, int count, const uint32_t* arguments) {
    buffer->Cookie = Vc20Cookie;
    buffer->UnwindFunc = count >= 1 ? arguments[0] : 0;
    buffer->TryLevel = count >= 2 ? arguments[1] : 0xFFFFFFFF;
    for (int i = 2; i < count && i < 8; ++i) buffer->UnwindData[i - 2] = arguments[i];
}

// Returns nothing once the frames registered after the buffer's head are
// unwound.
extern "C" __attribute__((used, visibility("hidden"), cdecl, force_align_arg_pointer)) void
ptaspi_longjmp_unwind(JumpBuffer* buffer) {
    uint32_t head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    if (head != buffer->Registration && buffer->Registration != 0) {
        rt_global_unwind2(reinterpret_cast<void*>(uintptr_t(buffer->Registration)));
    }
}

// _setjmp3(buffer, count, ...) and _setjmp(buffer): 0 on the way in.
// longjmp(buffer, value): never returns.
__asm__(
    ".text\n"
    ".globl rt_setjmp3\n"
    ".type rt_setjmp3, @function\n"
    "rt_setjmp3:\n"
    "    movl 4(%esp), %edx\n"
    "    movl %ebp, 0(%edx)\n"
    "    movl %ebx, 4(%edx)\n"
    "    movl %edi, 8(%edx)\n"
    "    movl %esi, 12(%edx)\n"
    "    movl %esp, 16(%edx)\n"
    "    movl (%esp), %eax\n"
    "    movl %eax, 20(%edx)\n"
    "    movl %fs:0, %eax\n"
    "    movl %eax, 24(%edx)\n"
    "    leal 12(%esp), %eax\n"
    "    pushl %eax\n"
    "    pushl 12(%esp)\n"
    "    pushl %edx\n"
    "    call ptaspi_setjmp_rest\n"
    "    addl $12, %esp\n"
    "    xorl %eax, %eax\n"
    "    ret\n"
    ".size rt_setjmp3, .-rt_setjmp3\n"
    ".globl rt_setjmp\n"
    ".type rt_setjmp, @function\n"
    "rt_setjmp:\n"
    "    movl 4(%esp), %edx\n"
    "    movl %ebp, 0(%edx)\n"
    "    movl %ebx, 4(%edx)\n"
    "    movl %edi, 8(%edx)\n"
    "    movl %esi, 12(%edx)\n"
    "    movl %esp, 16(%edx)\n"
    "    movl (%esp), %eax\n"
    "    movl %eax, 20(%edx)\n"
    "    movl %fs:0, %eax\n"
    "    movl %eax, 24(%edx)\n"
    "    pushl $0\n"
    "    pushl $0\n"
    "    pushl %edx\n"
    "    call ptaspi_setjmp_rest\n"
    "    addl $12, %esp\n"
    "    xorl %eax, %eax\n"
    "    ret\n"
    ".size rt_setjmp, .-rt_setjmp\n"
    ".globl rt_longjmp\n"
    ".type rt_longjmp, @function\n"
    "rt_longjmp:\n"
    "    movl 4(%esp), %ebx\n"
    "    pushl %ebx\n"
    "    call ptaspi_longjmp_unwind\n"
    "    addl $4, %esp\n"
    "    movl 8(%esp), %eax\n"
    "    testl %eax, %eax\n"
    "    jnz 1f\n"
    "    movl $1, %eax\n"
    "1:\n"
    "    movl %ebx, %edx\n"
    "    movl 0(%edx), %ebp\n"
    "    movl 4(%edx), %ebx\n"
    "    movl 8(%edx), %edi\n"
    "    movl 12(%edx), %esi\n"
    "    movl 16(%edx), %esp\n"
    "    addl $4, %esp\n"
    "    jmp *20(%edx)\n"
    ".size rt_longjmp, .-rt_longjmp\n");
