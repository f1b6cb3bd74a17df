// The Windows runtime's string functions beyond the few the library
// needs, with msvcrt's behaviour in the "C" locale: case ignored for ASCII
// letters only, strtok's position kept per thread.
#include "sim/runtime/family_entries.h"
#include "sim/runtime/errno_values.h"

#include <cstdlib>
#include <cstring>

namespace {

// Returns the ASCII lower case of `c`.
int Lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// The rest of the text strtok works through, one per thread as in msvcrt.
thread_local char* tokenRest = nullptr;

}  // namespace

// Returns `to`, holding a copy of `from`.
RUNTIME_ENTRY char* rt_strcpy(char* to, const char* from) { return std::strcpy(to, from); }
// Returns `to`: `count` bytes, the text then NULs, not terminated when the
// text is as long as `count` or longer.
RUNTIME_ENTRY char* rt_strncpy(char* to, const char* from, size_t count) {
    return std::strncpy(to, from, count);
}
// Returns `to`, with `from` appended.
RUNTIME_ENTRY char* rt_strcat(char* to, const char* from) { return std::strcat(to, from); }
// Returns `to`, with at most `count` bytes of `from` and a NUL appended.
RUNTIME_ENTRY char* rt_strncat(char* to, const char* from, size_t count) {
    return std::strncat(to, from, count);
}
// Returns the first byte of `text` that is in `set`, or null.
RUNTIME_ENTRY const char* rt_strpbrk(const char* text, const char* set) {
    return std::strpbrk(text, set);
}
// Returns the length of the start of `text` made only of bytes in `set`.
RUNTIME_ENTRY size_t rt_strspn(const char* text, const char* set) {
    return std::strspn(text, set);
}
// Returns the length of the start of `text` without any byte of `set`.
RUNTIME_ENTRY size_t rt_strcspn(const char* text, const char* set) {
    return std::strcspn(text, set);
}
// Returns the first occurrence of `part` in `text` (`text` for an empty
// part), or null.
RUNTIME_ENTRY const char* rt_strstr(const char* text, const char* part) {
    return std::strstr(text, part);
}
// Returns the next token of `text` (null: of the text the last call on
// this thread worked on), cut at the first separator, or null when only
// separators are left.
RUNTIME_ENTRY char* rt_strtok(char* text, const char* separators) {
    char* at = text != nullptr ? text : tokenRest;
    if (at == nullptr) return nullptr;
    at += std::strspn(at, separators);
    if (*at == '\0') {
        tokenRest = nullptr;
        return nullptr;
    }
    char* end = at + std::strcspn(at, separators);
    if (*end != '\0') {
        *end = '\0';
        tokenRest = end + 1;
    } else {
        tokenRest = end;
    }
    return at;
}
// Returns a copy of `text` from the runtime's heap (free releases it), or
// null with errno ENOMEM; null for null.
RUNTIME_ENTRY char* rt_strdup(const char* text) {
    if (text == nullptr) return nullptr;
    char* copy = static_cast<char*>(std::malloc(std::strlen(text) + 1));
    if (copy == nullptr) {
        sim::SetProgramErrno(sim::WindowsENOMEM);
        return nullptr;
    }
    return std::strcpy(copy, text);
}
// Returns the sign of the first difference of the texts with ASCII
// letters compared as lower case.
RUNTIME_ENTRY int rt_stricmp(const char* lhs, const char* rhs) {
    for (;; ++lhs, ++rhs) {
        const int a = Lower(static_cast<unsigned char>(*lhs));
        const int b = Lower(static_cast<unsigned char>(*rhs));
        if (a != b || a == 0) return a - b;
    }
}
// Returns `text` with its ASCII letters made lower case in place.
RUNTIME_ENTRY char* rt_strlwr(char* text) {
    for (char* p = text; *p != '\0'; ++p) *p = static_cast<char>(Lower(static_cast<unsigned char>(*p)));
    return text;
}
// Returns `text` with its ASCII letters made upper case in place.
RUNTIME_ENTRY char* rt_strupr(char* text) {
    for (char* p = text; *p != '\0'; ++p) {
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - ('a' - 'A'));
    }
    return text;
}
// Returns what strcmp returns: the "C" locale collates by byte value.
RUNTIME_ENTRY int rt_strcoll(const char* lhs, const char* rhs) { return std::strcmp(lhs, rhs); }
