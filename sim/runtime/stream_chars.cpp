// The Windows runtime's character reads over its streams (fgetc, getc,
// getchar, fgets) and perror, built on fread and fputs so that they keep
// the streams' text mode and end-of-file rules.
#include "sim/runtime/family_entries.h"
#include "sim/runtime/errno_values.h"
#include "sim/runtime/streams.h"

#include <cstdio>
#include <string>

// Returns the next byte of the stream as an unsigned char, or EOF at its
// end or on an error.
RUNTIME_ENTRY int rt_fgetc(void* stream) {
    unsigned char c = 0;
    return rt_fread(&c, 1, 1, stream) == 1 ? c : EOF;
}

// Returns `text` holding the next line of the stream with its "\n" (at
// most size - 1 bytes, then a NUL); null when nothing was read before the
// end or an error, or when `size` leaves no room.
RUNTIME_ENTRY char* rt_fgets(char* text, int size, void* stream) {
    if (text == nullptr || size <= 0) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return nullptr;
    }
    int length = 0;
    while (length < size - 1) {
        const int c = rt_fgetc(stream);
        if (c == EOF) break;
        text[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (length == 0 && size > 1) return nullptr;
    text[length] = '\0';
    return text;
}

// Returns what fgetc returns for standard input.
RUNTIME_ENTRY int rt_getchar(void) { return rt_fgetc(&sim::ProgramStreams[0]); }

// Returns nothing once "prefix: message\n" for errno is written to
// standard error (just the message without a prefix).
RUNTIME_ENTRY void rt_perror(const char* prefix) {
    std::string line;
    if (prefix != nullptr && *prefix != '\0') line = std::string(prefix) + ": ";
    line += rt_strerror(*rt_errno());
    line += "\n";
    rt_fputs(line.c_str(), &sim::ProgramStreams[2]);
}
