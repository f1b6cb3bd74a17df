// The runtime's functions for programs that nobody here wrote, by family:
// character classification (ctype.cpp), strings (strings.cpp), number
// conversions and sorting (conversions.cpp), the environment and the
// arguments (environment.cpp), character reads (stream_chars.cpp) and
// low-level files (file_descriptors.cpp). Each family is whole, so that
// the next program finds its neighbours too.
#ifndef PTASPI_SIM_RUNTIME_FAMILY_ENTRIES_H
#define PTASPI_SIM_RUNTIME_FAMILY_ENTRIES_H

#include "sim/runtime/runtime_entries.h"

#include <cstdint>

// msvcrt's _ctype: the type bits of EOF, then of the 256 byte values.
struct TypeTable {
    uint16_t Bits[257];
    constexpr TypeTable();
};
extern TypeTable rt_ctype_table;
extern uint16_t* rt_pctype;

RUNTIME_ENTRY int rt_isctype(int c, int mask);
RUNTIME_ENTRY int rt_isalpha(int c);
RUNTIME_ENTRY int rt_isupper(int c);
RUNTIME_ENTRY int rt_islower(int c);
RUNTIME_ENTRY int rt_isdigit(int c);
RUNTIME_ENTRY int rt_isxdigit(int c);
RUNTIME_ENTRY int rt_isspace(int c);
RUNTIME_ENTRY int rt_ispunct(int c);
RUNTIME_ENTRY int rt_isalnum(int c);
RUNTIME_ENTRY int rt_isprint(int c);
RUNTIME_ENTRY int rt_isgraph(int c);
RUNTIME_ENTRY int rt_iscntrl(int c);
RUNTIME_ENTRY int rt_isascii(int c);
RUNTIME_ENTRY int rt_tolower(int c);
RUNTIME_ENTRY int rt_tolower_unchecked(int c);
RUNTIME_ENTRY int rt_toupper_unchecked(int c);
RUNTIME_ENTRY uint16_t** rt_p_pctype(void);
RUNTIME_ENTRY uint16_t* rt_pctype_func(void);

RUNTIME_ENTRY char* rt_strcpy(char* to, const char* from);
RUNTIME_ENTRY char* rt_strncpy(char* to, const char* from, size_t count);
RUNTIME_ENTRY char* rt_strcat(char* to, const char* from);
RUNTIME_ENTRY char* rt_strncat(char* to, const char* from, size_t count);
RUNTIME_ENTRY const char* rt_strpbrk(const char* text, const char* set);
RUNTIME_ENTRY size_t rt_strspn(const char* text, const char* set);
RUNTIME_ENTRY size_t rt_strcspn(const char* text, const char* set);
RUNTIME_ENTRY const char* rt_strstr(const char* text, const char* part);
RUNTIME_ENTRY char* rt_strtok(char* text, const char* separators);
RUNTIME_ENTRY char* rt_strdup(const char* text);
RUNTIME_ENTRY int rt_stricmp(const char* lhs, const char* rhs);
RUNTIME_ENTRY char* rt_strlwr(char* text);
RUNTIME_ENTRY char* rt_strupr(char* text);
RUNTIME_ENTRY int rt_strcoll(const char* lhs, const char* rhs);

RUNTIME_ENTRY long rt_strtol(const char* text, char** end, int base);
RUNTIME_ENTRY unsigned long rt_strtoul(const char* text, char** end, int base);
RUNTIME_ENTRY int64_t rt_strtoi64(const char* text, char** end, int base);
RUNTIME_ENTRY uint64_t rt_strtoui64(const char* text, char** end, int base);
RUNTIME_ENTRY double rt_strtod(const char* text, char** end);
RUNTIME_ENTRY long rt_atol(const char* text);
RUNTIME_ENTRY int64_t rt_atoi64(const char* text);
RUNTIME_ENTRY double rt_atof(const char* text);
RUNTIME_ENTRY int rt_abs(int value);
RUNTIME_ENTRY long rt_labs(long value);
// The program's comparison function, cdecl.
typedef int(__attribute__((cdecl)) * RuntimeCompare)(const void*, const void*);
RUNTIME_ENTRY void rt_qsort(void* base, size_t count, size_t size, RuntimeCompare compare);
RUNTIME_ENTRY void* rt_bsearch(const void* key, const void* base, size_t count, size_t size,
                               RuntimeCompare compare);

RUNTIME_ENTRY char* rt_getenv(const char* name);
RUNTIME_ENTRY int rt_putenv(const char* assignment);
RUNTIME_ENTRY int* rt_p___argc(void);
RUNTIME_ENTRY char*** rt_p___argv(void);

RUNTIME_ENTRY int rt_fgetc(void* stream);
RUNTIME_ENTRY char* rt_fgets(char* text, int size, void* stream);
RUNTIME_ENTRY int rt_getchar(void);
RUNTIME_ENTRY int rt_ungetc(int c, void* stream);
RUNTIME_ENTRY void rt_perror(const char* prefix);

RUNTIME_ENTRY int rt_open(const char* path, int flags, ...);
RUNTIME_ENTRY int rt_creat(const char* path, int permission);
RUNTIME_ENTRY int rt_write(int descriptor, const void* data, unsigned count);
RUNTIME_ENTRY int64_t rt_lseeki64(int descriptor, int64_t offset, int origin);
RUNTIME_ENTRY long rt_lseek(int descriptor, long offset, int origin);
RUNTIME_ENTRY int rt_setmode(int descriptor, int mode);
struct WindowsStat64;
RUNTIME_ENTRY int rt_fstati64(int descriptor, WindowsStat64* status);
RUNTIME_ENTRY int rt_stati64(const char* path, WindowsStat64* status);

#endif
