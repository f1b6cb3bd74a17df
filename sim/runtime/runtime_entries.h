// The runtime's exported functions, for the export table: cdecl, as in
// the Windows runtime, and realigning the stack on entry, since code built
// for Windows keeps it aligned to 4 bytes only, where the Linux i386 ABI
// promises 16. Pointers to the runtime's FILE are void* here, as programs
// hand them over.
#ifndef PTASPI_SIM_RUNTIME_RUNTIME_ENTRIES_H
#define PTASPI_SIM_RUNTIME_RUNTIME_ENTRIES_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#define RUNTIME_ENTRY extern "C" __attribute__((cdecl, force_align_arg_pointer))

struct _startupinfo;

// Streams and descriptors.
RUNTIME_ENTRY void* rt_fopen(const char* path, const char* mode);
RUNTIME_ENTRY int rt_fclose(void* stream);
RUNTIME_ENTRY int rt_fflush(void* stream);
RUNTIME_ENTRY int rt_ferror(void* stream);
RUNTIME_ENTRY size_t rt_fread(void* data, size_t size, size_t count, void* stream);
RUNTIME_ENTRY size_t rt_fwrite(const void* data, size_t size, size_t count, void* stream);
RUNTIME_ENTRY int rt_fputc(int c, void* stream);
RUNTIME_ENTRY int rt_fputs(const char* text, void* stream);
RUNTIME_ENTRY int rt_vfprintf(void* stream, const char* format, va_list arguments);
RUNTIME_ENTRY int rt_fprintf(void* stream, const char* format, ...);
RUNTIME_ENTRY int rt_vprintf(const char* format, va_list arguments);
RUNTIME_ENTRY int rt_printf(const char* format, ...);
RUNTIME_ENTRY int rt_puts(const char* text);
RUNTIME_ENTRY int rt_putchar(int c);
RUNTIME_ENTRY int rt_feof(void* stream);
RUNTIME_ENTRY int rt_fileno(void* stream);
RUNTIME_ENTRY int rt_fseek(void* stream, long offset, int origin);
RUNTIME_ENTRY long rt_ftell(void* stream);
RUNTIME_ENTRY int rt_read(int descriptor, void* buffer, unsigned count);
RUNTIME_ENTRY int rt_isatty(int descriptor);
RUNTIME_ENTRY int rt_close(int descriptor);

// Start-up, exit and the process's runtime state.
RUNTIME_ENTRY int rt_getmainargs(int* argc, char*** argv, char*** env, int doWildcard,
                                 _startupinfo* startInfo);
RUNTIME_ENTRY char** rt_p_acmdln(void);
RUNTIME_ENTRY int* rt_p_fmode(void);
RUNTIME_ENTRY int* rt_p_commode(void);
RUNTIME_ENTRY void rt_set_app_type(int type);
RUNTIME_ENTRY void rt_setusermatherr(void* handler);
RUNTIME_ENTRY void* rt_onexit(void* function);
RUNTIME_ENTRY void rt_cexit(void);
RUNTIME_ENTRY void rt_exit(int code);
RUNTIME_ENTRY void rt_exit_at_once(int code);
RUNTIME_ENTRY void rt_abort(void);
RUNTIME_ENTRY void rt_amsg_exit(int code);
RUNTIME_ENTRY void* rt_signal(int number, void* handler);
RUNTIME_ENTRY char* rt_setlocale(int category, const char* locale);
RUNTIME_ENTRY void* rt_localeconv(void);
RUNTIME_ENTRY int* rt_errno(void);
RUNTIME_ENTRY char* rt_strerror(int number);

// Data the runtime exports.
extern char** rt_initenv;
extern int rt_mb_cur_max;

#endif
