// The part of msvcrt.dll that the Windows build's start-up code and the
// library import. Each function is cdecl, as in the Windows runtime, and
// realigns the stack on entry: code built for Windows keeps it aligned to
// 4 bytes only, where the Linux i386 ABI promises 16.
#include "sim/runtime/msvcrt.h"

#include <process.h>
#include <windows.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#define RUNTIME_ENTRY extern "C" __attribute__((cdecl, force_align_arg_pointer))

namespace sim {
namespace {

// The Windows runtime's FILE is 32 bytes on 32-bit; _iob holds stdin,
// stdout and stderr in that order, and code reaches them as &_iob[n].
struct WindowsFile {
    unsigned char Bytes[32];
};
WindowsFile iob[3];

// Returns the Linux stream behind a Windows runtime stream, or null when
// `stream` is not one of _iob's standard output streams.
FILE* StreamOf(void* stream) {
    if (stream == &iob[1]) return stdout;
    if (stream == &iob[2]) return stderr;
    return nullptr;
}

// The Windows runtime's lock numbers run below this.
const int LockCount = 64;

// Returns the recursive lock of one number, created once, never destroyed.
std::recursive_mutex& RuntimeLock(int number) {
    static auto* locks = new std::recursive_mutex[LockCount];
    return locks[number];
}

typedef void(__cdecl* Initializer)(void);

}  // namespace
}  // namespace sim

namespace {

// Returns the address of the calling thread's errno.
RUNTIME_ENTRY int* rt_errno(void) { return &errno; }

// Returns nothing once every non-null initializer in [first, last) ran.
RUNTIME_ENTRY void rt_initterm(sim::Initializer* first, sim::Initializer* last) {
    for (; first < last; ++first) {
        if (*first != nullptr) (*first)();
    }
}

// Returns once the calling thread holds the runtime lock `number`.
RUNTIME_ENTRY void rt_lock(int number) {
    if (number < 0 || number >= sim::LockCount) std::abort();
    sim::RuntimeLock(number).lock();
}

// Returns nothing; gives up one hold of the runtime lock `number`.
RUNTIME_ENTRY void rt_unlock(int number) {
    if (number < 0 || number >= sim::LockCount) std::abort();
    sim::RuntimeLock(number).unlock();
}

// Never returns: the runtime's fatal error exit.
RUNTIME_ENTRY void rt_amsg_exit(int code) {
    std::fprintf(stderr, "runtime error R60%02d\n", code);
    std::abort();
}

// Never returns.
RUNTIME_ENTRY void rt_abort(void) { std::abort(); }

// Returns the number that begins `text`, 0 when none does.
RUNTIME_ENTRY int rt_atoi(const char* text) { return std::atoi(text); }

// Returns the upper case of an ASCII lower-case letter, anything else unchanged
// (the "C" locale, the runtime's default).
RUNTIME_ENTRY int rt_toupper(int c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

// Returns a new block, or null when memory runs out.
RUNTIME_ENTRY void* rt_malloc(size_t size) { return std::malloc(size); }
// Returns a new zeroed block, or null.
RUNTIME_ENTRY void* rt_calloc(size_t count, size_t size) { return std::calloc(count, size); }
// Returns the block resized (perhaps moved), or null with the old one kept.
RUNTIME_ENTRY void* rt_realloc(void* block, size_t size) { return std::realloc(block, size); }
// Returns nothing; the block is freed.
RUNTIME_ENTRY void rt_free(void* block) { std::free(block); }
// Returns `to`, the bytes copied (the ranges must not overlap).
RUNTIME_ENTRY void* rt_memcpy(void* to, const void* from, size_t size) {
    return std::memcpy(to, from, size);
}
// Returns `to`, the bytes copied (the ranges may overlap).
RUNTIME_ENTRY void* rt_memmove(void* to, const void* from, size_t size) {
    return std::memmove(to, from, size);
}
// Returns `to`, filled with the byte `value`.
RUNTIME_ENTRY void* rt_memset(void* to, int value, size_t size) {
    return std::memset(to, value, size);
}
// Returns the length of the text.
RUNTIME_ENTRY size_t rt_strlen(const char* text) { return std::strlen(text); }
// Returns the sign of the first difference in the first `count` characters.
RUNTIME_ENTRY int rt_strncmp(const char* lhs, const char* rhs, size_t count) {
    return std::strncmp(lhs, rhs, count);
}
// Returns the last occurrence of `c` in the text, or null.
RUNTIME_ENTRY const char* rt_strrchr(const char* text, int c) { return std::strrchr(text, c); }
// Returns what _strnicmp returns: the comparison without ASCII case.
RUNTIME_ENTRY int rt_strnicmp(const char* lhs, const char* rhs, size_t count) {
    return _strnicmp(lhs, rhs, count);
}

// Returns the number of whole items written to stdout or stderr; 0 with
// errno EINVAL for any other stream.
RUNTIME_ENTRY size_t rt_fwrite(const void* data, size_t size, size_t count, void* stream) {
    FILE* target = sim::StreamOf(stream);
    if (target == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return std::fwrite(data, size, count, target);
}

// Returns the number of characters written to stdout or stderr; -1 with
// errno EINVAL for any other stream. Both runtimes pass the arguments on
// i386 as a plain pointer into the caller's stack.
RUNTIME_ENTRY int rt_vfprintf(void* stream, const char* format, va_list arguments) {
    FILE* target = sim::StreamOf(stream);
    if (target == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return std::vfprintf(target, format, arguments);
}

// Returns the new thread's handle, or (uintptr_t)-1 with errno set.
RUNTIME_ENTRY uintptr_t rt_beginthread(_beginthread_proc_type start, unsigned stack, void* arg) {
    return _beginthread(start, stack, arg);
}

// Never returns.
RUNTIME_ENTRY void rt_endthread(void) { _endthread(); }

const sim::NamedExport runtimeExports[] = {
    {"_amsg_exit", reinterpret_cast<const void*>(&rt_amsg_exit)},
    {"_beginthread", reinterpret_cast<const void*>(&rt_beginthread)},
    {"_endthread", reinterpret_cast<const void*>(&rt_endthread)},
    {"_errno", reinterpret_cast<const void*>(&rt_errno)},
    {"_initterm", reinterpret_cast<const void*>(&rt_initterm)},
    {"_iob", static_cast<const void*>(sim::iob)},
    {"_lock", reinterpret_cast<const void*>(&rt_lock)},
    {"_strnicmp", reinterpret_cast<const void*>(&rt_strnicmp)},
    {"_unlock", reinterpret_cast<const void*>(&rt_unlock)},
    {"abort", reinterpret_cast<const void*>(&rt_abort)},
    {"atoi", reinterpret_cast<const void*>(&rt_atoi)},
    {"calloc", reinterpret_cast<const void*>(&rt_calloc)},
    {"free", reinterpret_cast<const void*>(&rt_free)},
    {"fwrite", reinterpret_cast<const void*>(&rt_fwrite)},
    {"malloc", reinterpret_cast<const void*>(&rt_malloc)},
    {"memcpy", reinterpret_cast<const void*>(&rt_memcpy)},
    {"memmove", reinterpret_cast<const void*>(&rt_memmove)},
    {"memset", reinterpret_cast<const void*>(&rt_memset)},
    {"realloc", reinterpret_cast<const void*>(&rt_realloc)},
    {"strlen", reinterpret_cast<const void*>(&rt_strlen)},
    {"strncmp", reinterpret_cast<const void*>(&rt_strncmp)},
    {"strrchr", reinterpret_cast<const void*>(&rt_strrchr)},
    {"toupper", reinterpret_cast<const void*>(&rt_toupper)},
    {"vfprintf", reinterpret_cast<const void*>(&rt_vfprintf)},
};

}  // namespace

namespace sim {

const NamedExport* RuntimeExports(size_t* count) {
    *count = sizeof runtimeExports / sizeof runtimeExports[0];
    return runtimeExports;
}

}  // namespace sim
