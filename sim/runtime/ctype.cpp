// The Windows runtime's character classification in its default "C"
// locale: one table of type bits for EOF and the 256 byte values, as
// msvcrt exports it (_ctype, _pctype), and the is* functions over it. Bytes
// from 0x80 up are of no class in the "C" locale.
#include "sim/runtime/runtime_entries.h"
#include "sim/runtime/family_entries.h"

#include <cstdint>

namespace {

// msvcrt's type bits.
constexpr uint16_t Upper = 0x0001;
constexpr uint16_t Lower = 0x0002;
constexpr uint16_t Digit = 0x0004;
constexpr uint16_t Space = 0x0008;
constexpr uint16_t Punct = 0x0010;
constexpr uint16_t Control = 0x0020;
constexpr uint16_t Blank = 0x0040;
constexpr uint16_t Hex = 0x0080;
constexpr uint16_t Alpha = 0x0100;

// Returns the type bits of byte `c` in the "C" locale.
constexpr uint16_t TypeOf(int c) {
    if (c < 0x20 || c == 0x7F) {
        return static_cast<uint16_t>(Control | (c >= 0x09 && c <= 0x0D ? Space : 0) |
                                     (c == 0x09 ? Blank : 0));
    }
    if (c == 0x20) return Space | Blank;
    if (c >= '0' && c <= '9') return Digit | Hex;
    if (c >= 'A' && c <= 'Z') return Upper | Alpha | (c <= 'F' ? Hex : 0);
    if (c >= 'a' && c <= 'z') return Lower | Alpha | (c <= 'f' ? Hex : 0);
    if (c < 0x7F) return Punct;
    return 0;
}

}  // namespace

constexpr TypeTable::TypeTable() : Bits() {
    for (int c = 0; c < 256; ++c) Bits[c + 1] = TypeOf(c);
}

// Writable, as msvcrt's table is data a program may reach.
TypeTable rt_ctype_table;
uint16_t* rt_pctype = &rt_ctype_table.Bits[1];

namespace {

// Returns the bits of `c` that `mask` selects: 0 for EOF and for values
// outside the bytes (the debug runtime asserts on those; the release one
// reads outside its table, which the simulator does not imitate).
int Classify(int c, int mask) {
    if (c < -1 || c > 255) return 0;
    return rt_ctype_table.Bits[c + 1] & mask;
}

}  // namespace

// Returns the bits of `c` that `mask` selects.
RUNTIME_ENTRY int rt_isctype(int c, int mask) { return Classify(c, mask); }
// Each returns nonzero when `c` is of its class.
RUNTIME_ENTRY int rt_isalpha(int c) { return Classify(c, Alpha | Upper | Lower); }
RUNTIME_ENTRY int rt_isupper(int c) { return Classify(c, Upper); }
RUNTIME_ENTRY int rt_islower(int c) { return Classify(c, Lower); }
RUNTIME_ENTRY int rt_isdigit(int c) { return Classify(c, Digit); }
RUNTIME_ENTRY int rt_isxdigit(int c) { return Classify(c, Hex); }
RUNTIME_ENTRY int rt_isspace(int c) { return Classify(c, Space); }
RUNTIME_ENTRY int rt_ispunct(int c) { return Classify(c, Punct); }
RUNTIME_ENTRY int rt_isalnum(int c) { return Classify(c, Alpha | Upper | Lower | Digit); }
RUNTIME_ENTRY int rt_isprint(int c) {
    return c == ' ' ? Blank : Classify(c, Punct | Upper | Lower | Digit | Alpha);
}
RUNTIME_ENTRY int rt_isgraph(int c) { return Classify(c, Punct | Upper | Lower | Digit | Alpha); }
RUNTIME_ENTRY int rt_iscntrl(int c) { return Classify(c, Control); }
// Returns nonzero for a value below 0x80.
RUNTIME_ENTRY int rt_isascii(int c) { return static_cast<unsigned>(c) < 0x80; }
// Returns the lower case of an ASCII upper-case letter, anything else
// unchanged.
RUNTIME_ENTRY int rt_tolower(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }
// Returns `c` made lower case without a check ('A'..'Z' only are meant).
RUNTIME_ENTRY int rt_tolower_unchecked(int c) { return c - 'A' + 'a'; }
// Returns `c` made upper case without a check.
RUNTIME_ENTRY int rt_toupper_unchecked(int c) { return c - 'a' + 'A'; }
// Returns the address of _pctype, the table indexed by byte.
RUNTIME_ENTRY uint16_t** rt_p_pctype(void) { return &rt_pctype; }
// Returns the table indexed by byte (__pctype_func).
RUNTIME_ENTRY uint16_t* rt_pctype_func(void) { return rt_pctype; }
