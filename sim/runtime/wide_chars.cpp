// The runtime's wide-character family (UTF-16 wchar_t, as on Windows) in
// the "C" locale: classification (ASCII by the _ctype table, Latin-1 by
// its own letters, nothing above), case mapping of ASCII letters only,
// the wcs* string functions, conversions between wide and multibyte text
// (code page 1252's first 256 characters, one byte each), collation as
// plain comparison, and the integer-to-text conversions (_itoa and kin).
#include "sim/runtime/runtime_families.h"

#include "sim/runtime/errno_values.h"
#include "sim/runtime/family_entries.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

typedef uint16_t WideChar;

const int TypeUpper = 0x1, TypeLower = 0x2, TypeDigit = 0x4, TypeSpace = 0x8, TypePunct = 0x10,
          TypeControl = 0x20, TypeBlank = 0x40, TypeHex = 0x80, TypeAlpha = 0x100;

// Returns the type bits of a Latin-1 character above ASCII, as Windows'
// Unicode tables class them.
int LatinType(int c) {
    if (c < 0xA0) return TypeControl;
    if (c == 0xA0) return TypeSpace | TypeBlank;
    if (c == 0xD7 || c == 0xF7 || c < 0xC0) {
        return (c == 0xAA || c == 0xB5 || c == 0xBA) ? TypeAlpha | TypeLower : TypePunct;
    }
    return TypeAlpha | (c <= 0xDE ? TypeUpper : TypeLower);
}

// Returns the type bits of `c`.
int WideType(unsigned c) {
    if (c < 0x80) return rt_isctype(static_cast<int>(c), 0x1FF);
    if (c < 0x100) return LatinType(static_cast<int>(c));
    return 0;
}

size_t WideLength(const WideChar* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

int Compare(const WideChar* a, const WideChar* b, size_t count, bool ignoreCase) {
    for (size_t i = 0; i < count; ++i) {
        unsigned x = a[i], y = b[i];
        if (ignoreCase) {
            x = rt_towlower(x);
            y = rt_towlower(y);
        }
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
    return 0;
}

// Returns the digits of `value` in `radix` (2 to 36), with a '-' for a
// negative signed value in radix 10 only, as _itoa writes them.
std::string Digits(uint64_t value, bool negative, int radix) {
    if (radix < 2 || radix > 36) return std::string();
    std::string text;
    do {
        const int digit = static_cast<int>(value % radix);
        text.insert(text.begin(), static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10));
        value /= radix;
    } while (value != 0);
    if (negative) text.insert(text.begin(), '-');
    return text;
}

char* StoreDigits(const std::string& text, char* to) {
    std::memcpy(to, text.c_str(), text.size() + 1);
    return to;
}

WideChar* StoreWideDigits(const std::string& text, WideChar* to) {
    for (size_t i = 0; i <= text.size(); ++i) to[i] = static_cast<unsigned char>(text[i]);
    return to;
}

}  // namespace

RUNTIME_ENTRY int rt_iswctype(unsigned c, unsigned mask) { return WideType(c) & static_cast<int>(mask); }
RUNTIME_ENTRY int rt_iswalpha(unsigned c) { return WideType(c) & TypeAlpha; }
RUNTIME_ENTRY int rt_iswupper(unsigned c) { return WideType(c) & TypeUpper; }
RUNTIME_ENTRY int rt_iswlower(unsigned c) { return WideType(c) & TypeLower; }
RUNTIME_ENTRY int rt_iswdigit(unsigned c) { return WideType(c) & TypeDigit; }
RUNTIME_ENTRY int rt_iswxdigit(unsigned c) { return WideType(c) & TypeHex; }
RUNTIME_ENTRY int rt_iswspace(unsigned c) { return WideType(c) & TypeSpace; }
RUNTIME_ENTRY int rt_iswpunct(unsigned c) { return WideType(c) & TypePunct; }
RUNTIME_ENTRY int rt_iswalnum(unsigned c) { return WideType(c) & (TypeAlpha | TypeDigit); }
RUNTIME_ENTRY int rt_iswprint(unsigned c) {
    return c == ' ' || (WideType(c) & (TypeAlpha | TypeDigit | TypePunct)) != 0 ||
           (c >= 0xA0 && c < 0x100);
}
RUNTIME_ENTRY int rt_iswgraph(unsigned c) {
    return (WideType(c) & (TypeAlpha | TypeDigit | TypePunct)) != 0;
}
RUNTIME_ENTRY int rt_iswcntrl(unsigned c) { return WideType(c) & TypeControl; }
RUNTIME_ENTRY int rt_iswascii(unsigned c) { return c < 0x80; }
RUNTIME_ENTRY unsigned rt_towlower(unsigned c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }
RUNTIME_ENTRY unsigned rt_towupper(unsigned c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

RUNTIME_ENTRY WideChar* rt_wcscpy(WideChar* to, const WideChar* from) {
    size_t i = 0;
    do to[i] = from[i]; while (from[i++] != 0);
    return to;
}
RUNTIME_ENTRY WideChar* rt_wcsncpy(WideChar* to, const WideChar* from, size_t count) {
    size_t i = 0;
    for (; i < count && from[i] != 0; ++i) to[i] = from[i];
    for (; i < count; ++i) to[i] = 0;
    return to;
}
RUNTIME_ENTRY WideChar* rt_wcscat(WideChar* to, const WideChar* from) {
    rt_wcscpy(to + WideLength(to), from);
    return to;
}
RUNTIME_ENTRY WideChar* rt_wcsncat(WideChar* to, const WideChar* from, size_t count) {
    WideChar* end = to + WideLength(to);
    size_t i = 0;
    for (; i < count && from[i] != 0; ++i) end[i] = from[i];
    end[i] = 0;
    return to;
}
RUNTIME_ENTRY int rt_wcscmp(const WideChar* a, const WideChar* b) {
    return Compare(a, b, SIZE_MAX, false);
}
RUNTIME_ENTRY int rt_wcsncmp(const WideChar* a, const WideChar* b, size_t count) {
    return Compare(a, b, count, false);
}
RUNTIME_ENTRY int rt_wcsicmp(const WideChar* a, const WideChar* b) {
    return Compare(a, b, SIZE_MAX, true);
}
RUNTIME_ENTRY int rt_wcsnicmp(const WideChar* a, const WideChar* b, size_t count) {
    return Compare(a, b, count, true);
}
RUNTIME_ENTRY int rt_wcscoll(const WideChar* a, const WideChar* b) { return rt_wcscmp(a, b); }
RUNTIME_ENTRY const WideChar* rt_wcschr(const WideChar* text, unsigned c) {
    for (;; ++text) {
        if (*text == c) return text;
        if (*text == 0) return nullptr;
    }
}
RUNTIME_ENTRY const WideChar* rt_wcsrchr(const WideChar* text, unsigned c) {
    const WideChar* found = nullptr;
    for (;; ++text) {
        if (*text == c) found = text;
        if (*text == 0) return found;
    }
}
RUNTIME_ENTRY const WideChar* rt_wcsstr(const WideChar* text, const WideChar* part) {
    const size_t length = WideLength(part);
    for (; *text != 0 || length == 0; ++text) {
        if (Compare(text, part, length, false) == 0) return text;
        if (*text == 0) break;
    }
    return length == 0 ? text : nullptr;
}
RUNTIME_ENTRY size_t rt_wcsspn(const WideChar* text, const WideChar* set) {
    size_t i = 0;
    while (text[i] != 0 && rt_wcschr(set, text[i]) != nullptr) ++i;
    return i;
}
RUNTIME_ENTRY size_t rt_wcscspn(const WideChar* text, const WideChar* set) {
    size_t i = 0;
    while (text[i] != 0 && rt_wcschr(set, text[i]) == nullptr) ++i;
    return i;
}
RUNTIME_ENTRY const WideChar* rt_wcspbrk(const WideChar* text, const WideChar* set) {
    const size_t at = rt_wcscspn(text, set);
    return text[at] != 0 ? text + at : nullptr;
}
RUNTIME_ENTRY WideChar* rt_wcsdup(const WideChar* text) {
    const size_t bytes = (WideLength(text) + 1) * sizeof(WideChar);
    auto* copy = static_cast<WideChar*>(std::malloc(bytes));
    if (copy == nullptr) {
        sim::SetProgramErrno(sim::WindowsENOMEM);
        return nullptr;
    }
    std::memcpy(copy, text, bytes);
    return copy;
}
RUNTIME_ENTRY WideChar* rt_wcslwr(WideChar* text) {
    for (WideChar* at = text; *at != 0; ++at) *at = static_cast<WideChar>(rt_towlower(*at));
    return text;
}
RUNTIME_ENTRY WideChar* rt_wcsupr(WideChar* text) {
    for (WideChar* at = text; *at != 0; ++at) *at = static_cast<WideChar>(rt_towupper(*at));
    return text;
}

// Returns the length of `from`; copies it with its NUL when that fits
// `count` ("C" locale collation is the text itself).
RUNTIME_ENTRY size_t rt_strxfrm(char* to, const char* from, size_t count) {
    const size_t length = std::strlen(from);
    if (length < count) std::memcpy(to, from, length + 1);
    return length;
}
RUNTIME_ENTRY size_t rt_wcsxfrm(WideChar* to, const WideChar* from, size_t count) {
    const size_t length = WideLength(from);
    if (length < count) std::memcpy(to, from, (length + 1) * sizeof(WideChar));
    return length;
}

// Returns the number read from wide text, as strtol reads narrow text.
RUNTIME_ENTRY long rt_wcstol(const WideChar* text, WideChar** end, int base) {
    std::string narrow;
    for (const WideChar* at = text; *at != 0 && *at < 0x80; ++at) narrow += static_cast<char>(*at);
    char* narrowEnd = nullptr;
    const long value = rt_strtol(narrow.c_str(), &narrowEnd, base);
    if (end != nullptr) *end = const_cast<WideChar*>(text) + (narrowEnd - narrow.c_str());
    return value;
}
RUNTIME_ENTRY unsigned long rt_wcstoul(const WideChar* text, WideChar** end, int base) {
    std::string narrow;
    for (const WideChar* at = text; *at != 0 && *at < 0x80; ++at) narrow += static_cast<char>(*at);
    char* narrowEnd = nullptr;
    const unsigned long value = rt_strtoul(narrow.c_str(), &narrowEnd, base);
    if (end != nullptr) *end = const_cast<WideChar*>(text) + (narrowEnd - narrow.c_str());
    return value;
}
RUNTIME_ENTRY int rt_wtoi(const WideChar* text) {
    return static_cast<int>(rt_wcstol(text, nullptr, 10));
}

// Returns the bytes `c` takes in the "C" locale (1), or -1 with EILSEQ for
// a character above 255; the byte in *to.
RUNTIME_ENTRY int rt_wctomb(char* to, WideChar c) {
    if (to == nullptr) return 0;  // no shift states
    if (c > 0xFF) {
        sim::SetProgramErrno(sim::WindowsEILSEQ);
        return -1;
    }
    *to = static_cast<char>(c);
    return 1;
}
// Returns the bytes of the character at `from` (1, or 0 for NUL), its
// wide value in *to.
RUNTIME_ENTRY int rt_mbtowc(WideChar* to, const char* from, size_t count) {
    if (from == nullptr || count == 0) return 0;
    if (to != nullptr) *to = static_cast<unsigned char>(*from);
    return *from != '\0' ? 1 : 0;
}
RUNTIME_ENTRY int rt_mblen(const char* from, size_t count) {
    if (from == nullptr || count == 0) return 0;
    return *from != '\0' ? 1 : 0;
}
// Returns the characters converted (the NUL not counted), or (size_t)-1
// with EILSEQ for one above 255.
RUNTIME_ENTRY size_t rt_wcstombs(char* to, const WideChar* from, size_t count) {
    size_t i = 0;
    for (; to == nullptr || i < count; ++i) {
        if (from[i] > 0xFF) {
            sim::SetProgramErrno(sim::WindowsEILSEQ);
            return static_cast<size_t>(-1);
        }
        if (to != nullptr) to[i] = static_cast<char>(from[i]);
        if (from[i] == 0) break;
    }
    return i;
}
RUNTIME_ENTRY size_t rt_mbstowcs(WideChar* to, const char* from, size_t count) {
    size_t i = 0;
    for (; to == nullptr || i < count; ++i) {
        if (to != nullptr) to[i] = static_cast<unsigned char>(from[i]);
        if (from[i] == '\0') break;
    }
    return i;
}

RUNTIME_ENTRY char* rt_itoa(int value, char* to, int radix) {
    const bool negative = radix == 10 && value < 0;
    const uint64_t magnitude = negative ? uint64_t(-(int64_t)value) : uint64_t(unsigned(value));
    return StoreDigits(Digits(magnitude, negative, radix), to);
}
RUNTIME_ENTRY char* rt_ltoa(long value, char* to, int radix) { return rt_itoa(value, to, radix); }
RUNTIME_ENTRY char* rt_ultoa(unsigned long value, char* to, int radix) {
    return StoreDigits(Digits(value, false, radix), to);
}
RUNTIME_ENTRY char* rt_i64toa(int64_t value, char* to, int radix) {
    const bool negative = radix == 10 && value < 0;
    const uint64_t magnitude = negative ? uint64_t(0) - uint64_t(value) : uint64_t(value);
    return StoreDigits(Digits(magnitude, negative, radix), to);
}
RUNTIME_ENTRY char* rt_ui64toa(uint64_t value, char* to, int radix) {
    return StoreDigits(Digits(value, false, radix), to);
}
RUNTIME_ENTRY WideChar* rt_itow(int value, WideChar* to, int radix) {
    const bool negative = radix == 10 && value < 0;
    const uint64_t magnitude = negative ? uint64_t(-(int64_t)value) : uint64_t(unsigned(value));
    return StoreWideDigits(Digits(magnitude, negative, radix), to);
}
RUNTIME_ENTRY WideChar* rt_ultow(unsigned long value, WideChar* to, int radix) {
    return StoreWideDigits(Digits(value, false, radix), to);
}
RUNTIME_ENTRY long rt_wcstol_base10(const WideChar* text) { return rt_wcstol(text, nullptr, 10); }
