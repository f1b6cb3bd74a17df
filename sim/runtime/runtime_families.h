// The runtime's families added for programs built by others with
// mingw-w64 (C and C++, with winpthreads) and the MSVC way: threads of
// _beginthreadex, time, wide characters and strings, setjmp, the wide
// start-up, the rest of stdio (wide streams, printing into memory) and
// of the low-level file status. Wide characters are UTF-16 (uint16_t), as
// on Windows; FILE pointers are void*, as programs hand them over.
#ifndef PTASPI_SIM_RUNTIME_RUNTIME_FAMILIES_H
#define PTASPI_SIM_RUNTIME_RUNTIME_FAMILIES_H

#include "sim/runtime/runtime_entries.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Threads (sim/kernel/thread_creation.cpp).
RUNTIME_ENTRY uintptr_t rt_beginthreadex(void* security, unsigned stack_size,
                                         unsigned(__attribute__((stdcall)) * start)(void*),
                                         void* arglist, unsigned initflag, unsigned* thrdaddr);
RUNTIME_ENTRY void rt_endthreadex(unsigned code) __attribute__((noreturn));

// Time (time_family.cpp). Broken-down times are msvcrt's struct tm.
extern long rt_timezone_value;
extern int rt_daylight_value;
extern long rt_dstbias_value;
extern char* rt_tzname_value[2];
RUNTIME_ENTRY void rt_tzset(void);
RUNTIME_ENTRY long* rt_p_timezone(void);
RUNTIME_ENTRY int* rt_p_daylight(void);
RUNTIME_ENTRY long* rt_p_dstbias(void);
RUNTIME_ENTRY char** rt_p_tzname(void);
RUNTIME_ENTRY int32_t rt_time32(int32_t* t);
RUNTIME_ENTRY int64_t rt_time64(int64_t* t);
RUNTIME_ENTRY long rt_clock(void);
RUNTIME_ENTRY void* rt_gmtime32(const int32_t* t);
RUNTIME_ENTRY void* rt_gmtime64(const int64_t* t);
RUNTIME_ENTRY void* rt_localtime32(const int32_t* t);
RUNTIME_ENTRY void* rt_localtime64(const int64_t* t);
RUNTIME_ENTRY int32_t rt_mktime32(void* tm);
RUNTIME_ENTRY int64_t rt_mktime64(void* tm);
RUNTIME_ENTRY int32_t rt_mkgmtime32(void* tm);
RUNTIME_ENTRY int64_t rt_mkgmtime64(void* tm);
RUNTIME_ENTRY double rt_difftime32(int32_t end, int32_t start);
RUNTIME_ENTRY double rt_difftime64(int64_t end, int64_t start);
RUNTIME_ENTRY char* rt_asctime(const void* tm);
RUNTIME_ENTRY char* rt_ctime32(const int32_t* t);
RUNTIME_ENTRY char* rt_ctime64(const int64_t* t);
RUNTIME_ENTRY size_t rt_strftime(char* to, size_t size, const char* format, const void* tm);
RUNTIME_ENTRY size_t rt_wcsftime(uint16_t* to, size_t size, const uint16_t* format,
                                 const void* tm);
struct WindowsTimeb32;
struct WindowsTimeb64;
RUNTIME_ENTRY void rt_ftime32(WindowsTimeb32* timeptr);
RUNTIME_ENTRY void rt_ftime64(WindowsTimeb64* timeptr);
RUNTIME_ENTRY char* rt_strdate(char* to);
RUNTIME_ENTRY char* rt_strtime(char* to);

// Wide characters and strings, conversions (wide_chars.cpp).
RUNTIME_ENTRY int rt_iswctype(unsigned c, unsigned mask);
RUNTIME_ENTRY int rt_iswalpha(unsigned c);
RUNTIME_ENTRY int rt_iswupper(unsigned c);
RUNTIME_ENTRY int rt_iswlower(unsigned c);
RUNTIME_ENTRY int rt_iswdigit(unsigned c);
RUNTIME_ENTRY int rt_iswxdigit(unsigned c);
RUNTIME_ENTRY int rt_iswspace(unsigned c);
RUNTIME_ENTRY int rt_iswpunct(unsigned c);
RUNTIME_ENTRY int rt_iswalnum(unsigned c);
RUNTIME_ENTRY int rt_iswprint(unsigned c);
RUNTIME_ENTRY int rt_iswgraph(unsigned c);
RUNTIME_ENTRY int rt_iswcntrl(unsigned c);
RUNTIME_ENTRY int rt_iswascii(unsigned c);
RUNTIME_ENTRY unsigned rt_towlower(unsigned c);
RUNTIME_ENTRY unsigned rt_towupper(unsigned c);
RUNTIME_ENTRY uint16_t* rt_wcscpy(uint16_t* to, const uint16_t* from);
RUNTIME_ENTRY uint16_t* rt_wcsncpy(uint16_t* to, const uint16_t* from, size_t count);
RUNTIME_ENTRY uint16_t* rt_wcscat(uint16_t* to, const uint16_t* from);
RUNTIME_ENTRY uint16_t* rt_wcsncat(uint16_t* to, const uint16_t* from, size_t count);
RUNTIME_ENTRY int rt_wcscmp(const uint16_t* a, const uint16_t* b);
RUNTIME_ENTRY int rt_wcsncmp(const uint16_t* a, const uint16_t* b, size_t count);
RUNTIME_ENTRY int rt_wcsicmp(const uint16_t* a, const uint16_t* b);
RUNTIME_ENTRY int rt_wcsnicmp(const uint16_t* a, const uint16_t* b, size_t count);
RUNTIME_ENTRY int rt_wcscoll(const uint16_t* a, const uint16_t* b);
RUNTIME_ENTRY const uint16_t* rt_wcschr(const uint16_t* text, unsigned c);
RUNTIME_ENTRY const uint16_t* rt_wcsrchr(const uint16_t* text, unsigned c);
RUNTIME_ENTRY const uint16_t* rt_wcsstr(const uint16_t* text, const uint16_t* part);
RUNTIME_ENTRY size_t rt_wcsspn(const uint16_t* text, const uint16_t* set);
RUNTIME_ENTRY size_t rt_wcscspn(const uint16_t* text, const uint16_t* set);
RUNTIME_ENTRY const uint16_t* rt_wcspbrk(const uint16_t* text, const uint16_t* set);
RUNTIME_ENTRY uint16_t* rt_wcsdup(const uint16_t* text);
RUNTIME_ENTRY uint16_t* rt_wcslwr(uint16_t* text);
RUNTIME_ENTRY uint16_t* rt_wcsupr(uint16_t* text);
RUNTIME_ENTRY size_t rt_strxfrm(char* to, const char* from, size_t count);
RUNTIME_ENTRY size_t rt_wcsxfrm(uint16_t* to, const uint16_t* from, size_t count);
RUNTIME_ENTRY long rt_wcstol(const uint16_t* text, uint16_t** end, int base);
RUNTIME_ENTRY unsigned long rt_wcstoul(const uint16_t* text, uint16_t** end, int base);
RUNTIME_ENTRY int rt_wtoi(const uint16_t* text);
RUNTIME_ENTRY long rt_wcstol_base10(const uint16_t* text);
RUNTIME_ENTRY int rt_wctomb(char* to, uint16_t c);
RUNTIME_ENTRY int rt_mbtowc(uint16_t* to, const char* from, size_t count);
RUNTIME_ENTRY int rt_mblen(const char* from, size_t count);
RUNTIME_ENTRY size_t rt_wcstombs(char* to, const uint16_t* from, size_t count);
RUNTIME_ENTRY size_t rt_mbstowcs(uint16_t* to, const char* from, size_t count);
RUNTIME_ENTRY char* rt_itoa(int value, char* to, int radix);
RUNTIME_ENTRY char* rt_ltoa(long value, char* to, int radix);
RUNTIME_ENTRY char* rt_ultoa(unsigned long value, char* to, int radix);
RUNTIME_ENTRY char* rt_i64toa(int64_t value, char* to, int radix);
RUNTIME_ENTRY char* rt_ui64toa(uint64_t value, char* to, int radix);
RUNTIME_ENTRY uint16_t* rt_itow(int value, uint16_t* to, int radix);
RUNTIME_ENTRY uint16_t* rt_ultow(unsigned long value, uint16_t* to, int radix);

// setjmp and longjmp (jump_buffers.cpp).
RUNTIME_ENTRY int rt_setjmp3(void* buffer, int count, ...);
RUNTIME_ENTRY int rt_setjmp(void* buffer);
RUNTIME_ENTRY void rt_longjmp(void* buffer, int value);

// The wide start-up (wide_startup.cpp).
extern uint16_t** rt_winitenv;
extern uint16_t* rt_wcmdln;
RUNTIME_ENTRY int rt_wgetmainargs(int* argc, uint16_t*** argv, uint16_t*** env, int doWildcard,
                                  void* startInfo);
RUNTIME_ENTRY uint16_t** rt_p_wcmdln(void);

// Low-level file status (file_descriptors.cpp).
struct WindowsStat64Times;
struct WindowsStat32;
RUNTIME_ENTRY int rt_fstat64(int descriptor, WindowsStat64Times* status);
RUNTIME_ENTRY int rt_stat64(const char* path, WindowsStat64Times* status);
RUNTIME_ENTRY int rt_fstat32(int descriptor, WindowsStat32* status);
RUNTIME_ENTRY int rt_stat32(const char* path, WindowsStat32* status);
RUNTIME_ENTRY int64_t rt_filelengthi64(int descriptor);
RUNTIME_ENTRY long rt_filelength(int descriptor);
RUNTIME_ENTRY int rt_remove(const char* path);
RUNTIME_ENTRY int rt_rename(const char* from, const char* to);

// Descriptors and handles, assertions (os_handles.cpp).
RUNTIME_ENTRY intptr_t rt_get_osfhandle(int d);
RUNTIME_ENTRY int rt_open_osfhandle(intptr_t handle, int flags);
RUNTIME_ENTRY void rt_assert(const char* expression, const char* file, unsigned line)
    __attribute__((noreturn));
RUNTIME_ENTRY void rt_wassert(const uint16_t* expression, const uint16_t* file, unsigned line)
    __attribute__((noreturn));

// Streams (streams.cpp).
RUNTIME_ENTRY int rt_putc(int c, void* stream);
RUNTIME_ENTRY int rt_setvbuf(void* stream, char* buffer, int mode, size_t size);
RUNTIME_ENTRY void rt_setbuf(void* stream, char* buffer);
RUNTIME_ENTRY void* rt_fdopen(int d, const char* mode);
RUNTIME_ENTRY void* rt_wfopen(const uint16_t* path, const uint16_t* mode);
RUNTIME_ENTRY int rt_fgetpos(void* stream, int64_t* position);
RUNTIME_ENTRY int rt_fsetpos(void* stream, const int64_t* position);
RUNTIME_ENTRY void rt_rewind(void* stream);
RUNTIME_ENTRY void rt_clearerr(void* stream);
RUNTIME_ENTRY unsigned rt_fputwc(unsigned c, void* stream);
RUNTIME_ENTRY unsigned rt_putwchar(unsigned c);
RUNTIME_ENTRY unsigned rt_fgetwc(void* stream);
RUNTIME_ENTRY unsigned rt_getwchar(void);
RUNTIME_ENTRY unsigned rt_ungetwc(unsigned c, void* stream);
RUNTIME_ENTRY int rt_fputws(const uint16_t* text, void* stream);
RUNTIME_ENTRY int rt_vfwprintf(void* stream, const uint16_t* format, va_list arguments);
RUNTIME_ENTRY int rt_fwprintf(void* stream, const uint16_t* format, ...);
RUNTIME_ENTRY int rt_vwprintf(const uint16_t* format, va_list arguments);
RUNTIME_ENTRY int rt_wprintf(const uint16_t* format, ...);
RUNTIME_ENTRY int rt_vsprintf(char* to, const char* format, va_list arguments);
RUNTIME_ENTRY int rt_sprintf(char* to, const char* format, ...);
RUNTIME_ENTRY int rt_vsnprintf(char* to, size_t count, const char* format, va_list arguments);
RUNTIME_ENTRY int rt_snprintf(char* to, size_t count, const char* format, ...);
RUNTIME_ENTRY int rt_vscprintf(const char* format, va_list arguments);
RUNTIME_ENTRY int rt_scprintf(const char* format, ...);
RUNTIME_ENTRY int rt_vswprintf(uint16_t* to, const uint16_t* format, va_list arguments);
RUNTIME_ENTRY int rt_swprintf(uint16_t* to, const uint16_t* format, ...);
RUNTIME_ENTRY int rt_vsnwprintf(uint16_t* to, size_t count, const uint16_t* format,
                                va_list arguments);
RUNTIME_ENTRY int rt_snwprintf(uint16_t* to, size_t count, const uint16_t* format, ...);

#endif
