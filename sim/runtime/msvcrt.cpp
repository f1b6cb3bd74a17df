// The subset of msvcrt.dll that the Windows builds of the library and of
// aspitool import, with the Windows runtime's behaviour: its FILE layout,
// text-mode streams, errno numbers, command-line splitting and exit
// sequence. Streams live in streams.cpp, start-up and exit in
// process_state.cpp; this file holds the plain functions and the table.
#include "sim/runtime/msvcrt.h"

#include "sim/runtime/runtime_entries.h"
#include "sim/runtime/family_entries.h"
#include "sim/runtime/runtime_families.h"
#include "sim/runtime/errno_values.h"
#include "sim/runtime/exception_support.h"
#include "sim/runtime/streams.h"

#include <process.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace sim {
namespace {

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

// Returns nothing once every non-null initializer in [first, last) ran.
RUNTIME_ENTRY void rt_initterm(sim::Initializer* first, sim::Initializer* last) {
    for (; first < last; ++first) {
        if (*first != nullptr) (*first)();
    }
}

// Returns once the calling thread holds the runtime lock `number`; a
// number the runtime does not have is its fatal lock error.
RUNTIME_ENTRY void rt_lock(int number) {
    if (number < 0 || number >= sim::LockCount) rt_amsg_exit(17);
    sim::RuntimeLock(number).lock();
}

// Returns nothing; gives up one hold of the runtime lock `number`.
RUNTIME_ENTRY void rt_unlock(int number) {
    if (number < 0 || number >= sim::LockCount) rt_amsg_exit(17);
    sim::RuntimeLock(number).unlock();
}

// Returns the number that begins `text`, 0 when none does.
RUNTIME_ENTRY int rt_atoi(const char* text) { return std::atoi(text); }

// Returns the upper case of an ASCII lower-case letter, anything else unchanged
// (the "C" locale, the runtime's default).
RUNTIME_ENTRY int rt_toupper(int c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

// Returns a new block, or null with errno ENOMEM when memory runs out.
RUNTIME_ENTRY void* rt_malloc(size_t size) {
    void* block = std::malloc(size);
    if (block == nullptr) sim::SetProgramErrno(sim::WindowsENOMEM);
    return block;
}
// Returns a new zeroed block, or null with errno ENOMEM.
RUNTIME_ENTRY void* rt_calloc(size_t count, size_t size) {
    void* block = std::calloc(count, size);
    if (block == nullptr) sim::SetProgramErrno(sim::WindowsENOMEM);
    return block;
}
// Returns the block resized (perhaps moved), or null with the old one kept
// and errno ENOMEM; a size of 0 frees the block and returns null.
RUNTIME_ENTRY void* rt_realloc(void* block, size_t size) {
    if (block != nullptr && size == 0) {
        std::free(block);
        return nullptr;
    }
    void* moved = std::realloc(block, size);
    if (moved == nullptr) sim::SetProgramErrno(sim::WindowsENOMEM);
    return moved;
}
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
// Returns the first byte `value` in the block, or null.
RUNTIME_ENTRY const void* rt_memchr(const void* block, int value, size_t size) {
    return std::memchr(block, value, size);
}
// Returns the sign of the first difference of the blocks (bytes unsigned).
RUNTIME_ENTRY int rt_memcmp(const void* lhs, const void* rhs, size_t size) {
    return std::memcmp(lhs, rhs, size);
}
// Returns the length of the text.
RUNTIME_ENTRY size_t rt_strlen(const char* text) { return std::strlen(text); }
// Returns the length of a wide text in 16-bit characters (wchar_t is 16
// bits on Windows).
RUNTIME_ENTRY size_t rt_wcslen(const uint16_t* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}
// Returns the sign of the first difference of the texts.
RUNTIME_ENTRY int rt_strcmp(const char* lhs, const char* rhs) { return std::strcmp(lhs, rhs); }
// Returns the sign of the first difference in the first `count` characters.
RUNTIME_ENTRY int rt_strncmp(const char* lhs, const char* rhs, size_t count) {
    return std::strncmp(lhs, rhs, count);
}
// Returns the first occurrence of `c` in the text (its end for 0), or null.
RUNTIME_ENTRY const char* rt_strchr(const char* text, int c) { return std::strchr(text, c); }
// Returns the last occurrence of `c` in the text, or null.
RUNTIME_ENTRY const char* rt_strrchr(const char* text, int c) { return std::strrchr(text, c); }
// Returns what _strnicmp returns: the comparison without ASCII case.
RUNTIME_ENTRY int rt_strnicmp(const char* lhs, const char* rhs, size_t count) {
    return _strnicmp(lhs, rhs, count);
}

// Returns the new thread's handle, or (uintptr_t)-1 with errno set. The
// handle closes itself when the thread ends, so a program must not wait
// on it unless it knows the thread is still running.
RUNTIME_ENTRY uintptr_t rt_beginthread(_beginthread_proc_type start, unsigned stack, void* arg) {
    const uintptr_t handle = _beginthread(start, stack, arg);
    if (handle == static_cast<uintptr_t>(-1)) sim::SetProgramErrnoFromHost();
    return handle;
}

// Never returns.
RUNTIME_ENTRY void rt_endthread(void) { _endthread(); }

#define FUNCTION(name, entry) {name, reinterpret_cast<const void*>(&entry)}
#define VARIABLE(name, variable) {name, static_cast<const void*>(variable)}

// In the byte order of the names, as a DLL's export table is.
const sim::NamedExport runtimeExports[] = {
    FUNCTION("__getmainargs", rt_getmainargs),
    VARIABLE("__initenv", &rt_initenv),
    VARIABLE("__mb_cur_max", &rt_mb_cur_max),
    FUNCTION("__p__acmdln", rt_p_acmdln),
    FUNCTION("__p__commode", rt_p_commode),
    FUNCTION("__p__fmode", rt_p_fmode),
    FUNCTION("__set_app_type", rt_set_app_type),
    FUNCTION("__setusermatherr", rt_setusermatherr),
    FUNCTION("_amsg_exit", rt_amsg_exit),
    FUNCTION("_beginthread", rt_beginthread),
    FUNCTION("_cexit", rt_cexit),
    FUNCTION("_close", rt_close),
    FUNCTION("_endthread", rt_endthread),
    FUNCTION("_errno", rt_errno),
    FUNCTION("_exit", rt_exit_at_once),
    FUNCTION("_fileno", rt_fileno),
    FUNCTION("_initterm", rt_initterm),
    VARIABLE("_iob", sim::ProgramStreams),
    FUNCTION("_isatty", rt_isatty),
    FUNCTION("_lock", rt_lock),
    FUNCTION("_onexit", rt_onexit),
    FUNCTION("_read", rt_read),
    FUNCTION("_strnicmp", rt_strnicmp),
    FUNCTION("_unlock", rt_unlock),
    FUNCTION("abort", rt_abort),
    FUNCTION("atoi", rt_atoi),
    FUNCTION("calloc", rt_calloc),
    FUNCTION("exit", rt_exit),
    FUNCTION("fclose", rt_fclose),
    FUNCTION("feof", rt_feof),
    FUNCTION("ferror", rt_ferror),
    FUNCTION("fflush", rt_fflush),
    FUNCTION("fopen", rt_fopen),
    FUNCTION("fprintf", rt_fprintf),
    FUNCTION("fputc", rt_fputc),
    FUNCTION("fputs", rt_fputs),
    FUNCTION("fread", rt_fread),
    FUNCTION("free", rt_free),
    FUNCTION("fseek", rt_fseek),
    FUNCTION("ftell", rt_ftell),
    FUNCTION("fwrite", rt_fwrite),
    FUNCTION("localeconv", rt_localeconv),
    FUNCTION("malloc", rt_malloc),
    FUNCTION("memchr", rt_memchr),
    FUNCTION("memcmp", rt_memcmp),
    FUNCTION("memcpy", rt_memcpy),
    FUNCTION("memmove", rt_memmove),
    FUNCTION("memset", rt_memset),
    FUNCTION("printf", rt_printf),
    FUNCTION("putchar", rt_putchar),
    FUNCTION("puts", rt_puts),
    FUNCTION("realloc", rt_realloc),
    FUNCTION("setlocale", rt_setlocale),
    FUNCTION("signal", rt_signal),
    FUNCTION("strchr", rt_strchr),
    FUNCTION("strcmp", rt_strcmp),
    FUNCTION("strerror", rt_strerror),
    FUNCTION("strlen", rt_strlen),
    FUNCTION("strncmp", rt_strncmp),
    FUNCTION("strrchr", rt_strrchr),
    FUNCTION("toupper", rt_toupper),
    FUNCTION("vfprintf", rt_vfprintf),
    FUNCTION("vprintf", rt_vprintf),
    FUNCTION("wcslen", rt_wcslen),
    // Structured exception handling and the floating-point control word,
    // for code built by Microsoft's compiler and its start-up code.
    FUNCTION("__fpecode", rt_fpecode),
    FUNCTION("__pxcptinfoptrs", rt_pxcptinfoptrs),
    FUNCTION("_XcptFilter", rt_XcptFilter),
    VARIABLE("_adjust_fdiv", &rt_adjust_fdiv),
    FUNCTION("_control87", rt_control87),
    FUNCTION("_controlfp", rt_controlfp),
    FUNCTION("_except_handler3", rt_except_handler3),
    FUNCTION("_except_handler4_common", rt_except_handler4_common),
    FUNCTION("_global_unwind2", rt_global_unwind2),
    FUNCTION("_initterm_e", rt_initterm_e),
    FUNCTION("_local_unwind2", rt_local_unwind2),
    // For programs that nobody here wrote (sg3_utils' Windows tools), by
    // family, each whole: appended as one block, in the byte order of the
    // names within it. Character classification:
    FUNCTION("__isascii", rt_isascii),
    FUNCTION("__p__pctype", rt_p_pctype),
    FUNCTION("__pctype_func", rt_pctype_func),
    VARIABLE("_ctype", &rt_ctype_table),
    FUNCTION("_isctype", rt_isctype),
    VARIABLE("_pctype", &rt_pctype),
    FUNCTION("_tolower", rt_tolower_unchecked),
    FUNCTION("_toupper", rt_toupper_unchecked),
    FUNCTION("isalnum", rt_isalnum),
    FUNCTION("isalpha", rt_isalpha),
    FUNCTION("iscntrl", rt_iscntrl),
    FUNCTION("isdigit", rt_isdigit),
    FUNCTION("isgraph", rt_isgraph),
    FUNCTION("islower", rt_islower),
    FUNCTION("isprint", rt_isprint),
    FUNCTION("ispunct", rt_ispunct),
    FUNCTION("isspace", rt_isspace),
    FUNCTION("isupper", rt_isupper),
    FUNCTION("isxdigit", rt_isxdigit),
    FUNCTION("tolower", rt_tolower),
    // Strings:
    FUNCTION("_strdup", rt_strdup),
    FUNCTION("_stricmp", rt_stricmp),
    FUNCTION("_strlwr", rt_strlwr),
    FUNCTION("_strupr", rt_strupr),
    FUNCTION("strcat", rt_strcat),
    FUNCTION("strcoll", rt_strcoll),
    FUNCTION("strcpy", rt_strcpy),
    FUNCTION("strcspn", rt_strcspn),
    FUNCTION("strncat", rt_strncat),
    FUNCTION("strncpy", rt_strncpy),
    FUNCTION("strpbrk", rt_strpbrk),
    FUNCTION("strspn", rt_strspn),
    FUNCTION("strstr", rt_strstr),
    FUNCTION("strtok", rt_strtok),
    // Number conversions, sorting and searching:
    FUNCTION("_atoi64", rt_atoi64),
    FUNCTION("_strtoi64", rt_strtoi64),
    FUNCTION("_strtoui64", rt_strtoui64),
    FUNCTION("abs", rt_abs),
    FUNCTION("atof", rt_atof),
    FUNCTION("atol", rt_atol),
    FUNCTION("bsearch", rt_bsearch),
    FUNCTION("labs", rt_labs),
    FUNCTION("qsort", rt_qsort),
    FUNCTION("strtod", rt_strtod),
    FUNCTION("strtol", rt_strtol),
    FUNCTION("strtoul", rt_strtoul),
    // The environment and the arguments:
    FUNCTION("__p___argc", rt_p___argc),
    FUNCTION("__p___argv", rt_p___argv),
    FUNCTION("_putenv", rt_putenv),
    FUNCTION("getenv", rt_getenv),
    // Character reads and error messages on streams:
    FUNCTION("fgetc", rt_fgetc),
    FUNCTION("fgets", rt_fgets),
    FUNCTION("getc", rt_fgetc),
    FUNCTION("getchar", rt_getchar),
    FUNCTION("perror", rt_perror),
    FUNCTION("ungetc", rt_ungetc),
    // Low-level files:
    FUNCTION("_creat", rt_creat),
    FUNCTION("_fstati64", rt_fstati64),
    FUNCTION("_lseek", rt_lseek),
    FUNCTION("_lseeki64", rt_lseeki64),
    FUNCTION("_open", rt_open),
    FUNCTION("_setmode", rt_setmode),
    FUNCTION("_stati64", rt_stati64),
    FUNCTION("_write", rt_write),
    // Threads of _beginthreadex:
    FUNCTION("_beginthreadex", rt_beginthreadex),
    FUNCTION("_endthreadex", rt_endthreadex),
    // Time (the plain names are the 32-bit forms, as in msvcrt.dll):
    FUNCTION("__p__daylight", rt_p_daylight),
    FUNCTION("__p__dstbias", rt_p_dstbias),
    FUNCTION("__p__timezone", rt_p_timezone),
    FUNCTION("__p__tzname", rt_p_tzname),
    FUNCTION("_ctime32", rt_ctime32),
    FUNCTION("_ctime64", rt_ctime64),
    FUNCTION("_difftime32", rt_difftime32),
    FUNCTION("_difftime64", rt_difftime64),
    FUNCTION("_ftime", rt_ftime32),
    FUNCTION("_ftime32", rt_ftime32),
    FUNCTION("_ftime64", rt_ftime64),
    FUNCTION("_gmtime32", rt_gmtime32),
    FUNCTION("_gmtime64", rt_gmtime64),
    FUNCTION("_localtime32", rt_localtime32),
    FUNCTION("_localtime64", rt_localtime64),
    FUNCTION("_mkgmtime", rt_mkgmtime32),
    FUNCTION("_mkgmtime32", rt_mkgmtime32),
    FUNCTION("_mkgmtime64", rt_mkgmtime64),
    FUNCTION("_mktime32", rt_mktime32),
    FUNCTION("_mktime64", rt_mktime64),
    FUNCTION("_strdate", rt_strdate),
    FUNCTION("_strtime", rt_strtime),
    FUNCTION("_time32", rt_time32),
    FUNCTION("_time64", rt_time64),
    FUNCTION("_tzset", rt_tzset),
    FUNCTION("asctime", rt_asctime),
    FUNCTION("clock", rt_clock),
    FUNCTION("ctime", rt_ctime32),
    FUNCTION("difftime", rt_difftime32),
    FUNCTION("gmtime", rt_gmtime32),
    FUNCTION("localtime", rt_localtime32),
    FUNCTION("mktime", rt_mktime32),
    FUNCTION("strftime", rt_strftime),
    FUNCTION("time", rt_time32),
    FUNCTION("wcsftime", rt_wcsftime),
    // Wide characters and strings, multibyte conversions, integers as text:
    FUNCTION("_i64toa", rt_i64toa),
    FUNCTION("_itoa", rt_itoa),
    FUNCTION("_itow", rt_itow),
    FUNCTION("_ltoa", rt_ltoa),
    FUNCTION("_ui64toa", rt_ui64toa),
    FUNCTION("_ultoa", rt_ultoa),
    FUNCTION("_ultow", rt_ultow),
    FUNCTION("_wcsdup", rt_wcsdup),
    FUNCTION("_wcsicmp", rt_wcsicmp),
    FUNCTION("_wcslwr", rt_wcslwr),
    FUNCTION("_wcsnicmp", rt_wcsnicmp),
    FUNCTION("_wcsupr", rt_wcsupr),
    FUNCTION("_wtoi", rt_wtoi),
    FUNCTION("_wtol", rt_wcstol_base10),
    FUNCTION("iswalnum", rt_iswalnum),
    FUNCTION("iswalpha", rt_iswalpha),
    FUNCTION("iswascii", rt_iswascii),
    FUNCTION("iswcntrl", rt_iswcntrl),
    FUNCTION("iswctype", rt_iswctype),
    FUNCTION("iswdigit", rt_iswdigit),
    FUNCTION("iswgraph", rt_iswgraph),
    FUNCTION("iswlower", rt_iswlower),
    FUNCTION("iswprint", rt_iswprint),
    FUNCTION("iswpunct", rt_iswpunct),
    FUNCTION("iswspace", rt_iswspace),
    FUNCTION("iswupper", rt_iswupper),
    FUNCTION("iswxdigit", rt_iswxdigit),
    FUNCTION("mblen", rt_mblen),
    FUNCTION("mbstowcs", rt_mbstowcs),
    FUNCTION("mbtowc", rt_mbtowc),
    FUNCTION("strxfrm", rt_strxfrm),
    FUNCTION("towlower", rt_towlower),
    FUNCTION("towupper", rt_towupper),
    FUNCTION("wcscat", rt_wcscat),
    FUNCTION("wcschr", rt_wcschr),
    FUNCTION("wcscmp", rt_wcscmp),
    FUNCTION("wcscoll", rt_wcscoll),
    FUNCTION("wcscpy", rt_wcscpy),
    FUNCTION("wcscspn", rt_wcscspn),
    FUNCTION("wcsncat", rt_wcsncat),
    FUNCTION("wcsncmp", rt_wcsncmp),
    FUNCTION("wcsncpy", rt_wcsncpy),
    FUNCTION("wcspbrk", rt_wcspbrk),
    FUNCTION("wcsrchr", rt_wcsrchr),
    FUNCTION("wcsspn", rt_wcsspn),
    FUNCTION("wcsstr", rt_wcsstr),
    FUNCTION("wcstol", rt_wcstol),
    FUNCTION("wcstombs", rt_wcstombs),
    FUNCTION("wcstoul", rt_wcstoul),
    FUNCTION("wcsxfrm", rt_wcsxfrm),
    FUNCTION("wctomb", rt_wctomb),
    // Assertions:
    FUNCTION("_assert", rt_assert),
    FUNCTION("_wassert", rt_wassert),
    // setjmp and longjmp:
    FUNCTION("_setjmp", rt_setjmp),
    FUNCTION("_setjmp3", rt_setjmp3),
    FUNCTION("longjmp", rt_longjmp),
    // The wide start-up:
    FUNCTION("__p__wcmdln", rt_p_wcmdln),
    FUNCTION("__wgetmainargs", rt_wgetmainargs),
    // Low-level file status and length:
    FUNCTION("_filelength", rt_filelength),
    FUNCTION("_filelengthi64", rt_filelengthi64),
    FUNCTION("_get_osfhandle", rt_get_osfhandle),
    FUNCTION("_open_osfhandle", rt_open_osfhandle),
    FUNCTION("_unlink", rt_remove),
    FUNCTION("remove", rt_remove),
    FUNCTION("rename", rt_rename),
    FUNCTION("_fstat", rt_fstat32),
    FUNCTION("_fstat32", rt_fstat32),
    FUNCTION("_fstat64", rt_fstat64),
    FUNCTION("_stat", rt_stat32),
    FUNCTION("_stat32", rt_stat32),
    FUNCTION("_stat64", rt_stat64),
    // Streams, wide streams, printing into memory:
    FUNCTION("_fdopen", rt_fdopen),
    FUNCTION("_scprintf", rt_scprintf),
    FUNCTION("_snprintf", rt_snprintf),
    FUNCTION("_snwprintf", rt_snwprintf),
    FUNCTION("_vscprintf", rt_vscprintf),
    FUNCTION("_vsnprintf", rt_vsnprintf),
    FUNCTION("_vsnwprintf", rt_vsnwprintf),
    FUNCTION("_wfopen", rt_wfopen),
    FUNCTION("clearerr", rt_clearerr),
    FUNCTION("fgetpos", rt_fgetpos),
    FUNCTION("fgetwc", rt_fgetwc),
    FUNCTION("fputwc", rt_fputwc),
    FUNCTION("fputws", rt_fputws),
    FUNCTION("fsetpos", rt_fsetpos),
    FUNCTION("fwprintf", rt_fwprintf),
    FUNCTION("getwc", rt_fgetwc),
    FUNCTION("getwchar", rt_getwchar),
    FUNCTION("putc", rt_putc),
    FUNCTION("putwc", rt_fputwc),
    FUNCTION("putwchar", rt_putwchar),
    FUNCTION("rewind", rt_rewind),
    FUNCTION("setbuf", rt_setbuf),
    FUNCTION("setvbuf", rt_setvbuf),
    FUNCTION("sprintf", rt_sprintf),
    FUNCTION("swprintf", rt_swprintf),
    FUNCTION("ungetwc", rt_ungetwc),
    FUNCTION("vfwprintf", rt_vfwprintf),
    FUNCTION("vsprintf", rt_vsprintf),
    FUNCTION("vswprintf", rt_vswprintf),
    FUNCTION("vwprintf", rt_vwprintf),
    FUNCTION("wprintf", rt_wprintf),
    // Their variables:
    VARIABLE("__winitenv", &rt_winitenv),
    VARIABLE("_daylight", &rt_daylight_value),
    VARIABLE("_dstbias", &rt_dstbias_value),
    VARIABLE("_timezone", &rt_timezone_value),
    VARIABLE("_tzname", rt_tzname_value),
    VARIABLE("_wcmdln", &rt_wcmdln),
};

}  // namespace

namespace sim {

const NamedExport* RuntimeExports(size_t* count) {
    *count = sizeof runtimeExports / sizeof runtimeExports[0];
    return runtimeExports;
}

}  // namespace sim
