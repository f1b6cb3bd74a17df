#include "sim/runtime/print_format.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

enum class Size { Default, Short, Long, Wide64 };

struct Conversion {
    std::string Flags;
    bool HasWidth = false;
    int Width = 0;
    bool HasPrecision = false;
    int Precision = 0;
    Size Length = Size::Default;
    bool Narrow = false;  // 'h' on c, s, C, S
    bool Wide = false;    // 'l' or 'w' on c, s
};

bool HasFlag(const Conversion& conversion, char flag) {
    return conversion.Flags.find(flag) != std::string::npos;
}

// Returns the conversion's C library spelling up to the letter: flags,
// width and precision, all as numbers.
std::string HostConversionText(const Conversion& conversion, bool withWidth) {
    std::string text = "%" + conversion.Flags;
    if (withWidth && conversion.HasWidth) text += std::to_string(conversion.Width);
    if (conversion.HasPrecision) text += "." + std::to_string(conversion.Precision);
    return text;
}

// How the '0' flag pads: text gets zeros in front (this runtime pads any
// conversion so), numbers after their sign.
enum class ZeroFill { None, Front, AfterSign };

// Returns nothing; pads `body` to the width: on the right for '-', with
// zeros for '0', else with spaces in front.
void Pad(std::string& out, const Conversion& conversion, std::string body, ZeroFill zeros) {
    if (conversion.HasWidth && static_cast<int>(body.size()) < conversion.Width) {
        const size_t missing = static_cast<size_t>(conversion.Width) - body.size();
        if (HasFlag(conversion, '-')) {
            body.append(missing, ' ');
        } else if (zeros != ZeroFill::None && HasFlag(conversion, '0')) {
            const bool signed_ = zeros == ZeroFill::AfterSign && !body.empty() &&
                                 std::strchr("+- ", body[0]) != nullptr;
            body.insert(signed_ ? 1 : 0, missing, '0');
        } else {
            body.insert(0, missing, ' ');
        }
    }
    out += body;
}

// Returns `value` printed by the C library with `conversion`, at any width.
template <typename Value>
std::string Printed(const std::string& conversion, Value value) {
    const int length = std::snprintf(nullptr, 0, conversion.c_str(), value);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(&text[0], text.size(), conversion.c_str(), value);
    text.resize(static_cast<size_t>(length));
    return text;
}

// Returns the text of a wide (16-bit) character in the "C" locale.
char NarrowOf(uint16_t c) { return c < 256 ? static_cast<char>(c) : '?'; }

// Returns the Windows runtime's text of a NaN without its sign: "1.#IND"
// for the one the processor makes of an invalid operation (the negative
// quiet NaN with no payload), "1.#QNAN" for every other (a signalling NaN
// arrives quieted, having passed through the x87 registers).
std::string NanText(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits == 0xFFF8000000000000ull ? "1.#IND" : "1.#QNAN";
}

// Returns nothing; appends a floating-point conversion.
void PutFloat(std::string& out, const Conversion& conversion, char letter, double value) {
    const int precision = conversion.HasPrecision ? conversion.Precision : 6;
    std::string body;
    if (!std::isfinite(value)) {
        const bool negative = std::signbit(value);
        if (negative) {
            body = "-";
        } else if (HasFlag(conversion, '+')) {
            body = "+";
        } else if (HasFlag(conversion, ' ')) {
            body = " ";
        }
        std::string digits = std::isinf(value) ? "1.#INF" : NanText(value);
        if (letter != 'g' && letter != 'G') {
            const int shown = static_cast<int>(digits.size()) - 2;
            if (precision > shown) digits.append(static_cast<size_t>(precision - shown), '0');
            if (letter == 'e' || letter == 'E') digits += letter == 'e' ? "e+000" : "E+000";
        }
        Pad(out, conversion, body + digits, ZeroFill::None);
        return;
    }
    Conversion unpadded = conversion;
    unpadded.HasPrecision = true;
    unpadded.Precision = precision;
    body = Printed(HostConversionText(unpadded, false) + letter, value);
    // Three exponent digits at least.
    const size_t mark = body.find_first_of("eE");
    if (mark != std::string::npos && mark + 4 == body.size()) body.insert(mark + 2, "0");
    Pad(out, conversion, body, ZeroFill::AfterSign);
}

}  // namespace

void FormatWindows(std::string& out, const char* format, va_list arguments) {
    va_list args;
    va_copy(args, arguments);
    const size_t start = out.size();
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        Conversion conversion;
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) conversion.Flags += *p++;
        if (*p == '*') {
            conversion.HasWidth = true;
            conversion.Width = va_arg(args, int);
            if (conversion.Width < 0) {
                conversion.Flags += '-';
                conversion.Width = -conversion.Width;
            }
            ++p;
        } else {
            for (; *p >= '0' && *p <= '9'; ++p) {
                conversion.HasWidth = true;
                conversion.Width = conversion.Width * 10 + (*p - '0');
            }
        }
        if (*p == '.') {
            ++p;
            conversion.HasPrecision = true;
            if (*p == '*') {
                conversion.Precision = va_arg(args, int);
                if (conversion.Precision < 0) conversion.HasPrecision = false;
                ++p;
            } else {
                for (; *p >= '0' && *p <= '9'; ++p) conversion.Precision = conversion.Precision * 10 + (*p - '0');
            }
        }
        for (;;) {
            if (*p == 'h') {
                conversion.Length = Size::Short;
                conversion.Narrow = true;
            } else if (*p == 'l') {
                if (conversion.Length == Size::Long) {
                    conversion.Length = Size::Wide64;
                } else {
                    conversion.Length = Size::Long;
                }
                conversion.Wide = true;
            } else if (*p == 'w') {
                conversion.Wide = true;
            } else if (*p == 'L') {
                // long double is double to this runtime
            } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
                conversion.Length = Size::Wide64;
                p += 2;
            } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
                conversion.Length = Size::Long;
                p += 2;
            } else if (*p == 'I') {
                conversion.Length = Size::Long;
            } else {
                break;
            }
            ++p;
        }
        const char letter = *p;
        if (letter == '\0') break;
        switch (letter) {
        case 'd':
        case 'i': {
            long long value = conversion.Length == Size::Wide64 ? va_arg(args, long long) : va_arg(args, int);
            if (conversion.Length == Size::Short) value = static_cast<short>(value);
            // Whole numbers print as in the C library, width included.
            out += Printed(HostConversionText(conversion, true) + "lld", value);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            unsigned long long value = conversion.Length == Size::Wide64 ? va_arg(args, unsigned long long)
                                                                   : va_arg(args, unsigned);
            if (conversion.Length == Size::Short) value = static_cast<unsigned short>(value);
            out += Printed(HostConversionText(conversion, true) + "ll" + letter, value);
            break;
        }
        case 'p': {
            Conversion hex = conversion;
            hex.HasPrecision = true;
            hex.Precision = 8;
            const unsigned long long value = reinterpret_cast<uintptr_t>(va_arg(args, void*));
            out += Printed(HostConversionText(hex, true) + "llX", value);
            break;
        }
        case 'c':
        case 'C': {
            const int value = va_arg(args, int);
            const bool wide = letter == 'C' ? !conversion.Narrow : conversion.Wide;
            Pad(out, conversion, std::string(1, wide ? NarrowOf(static_cast<uint16_t>(value))
                                                : static_cast<char>(value)),
                ZeroFill::Front);
            break;
        }
        case 's':
        case 'S': {
            const bool wide = letter == 'S' ? !conversion.Narrow : conversion.Wide;
            const void* text = va_arg(args, const void*);
            std::string body;
            const size_t limit = conversion.HasPrecision ? static_cast<size_t>(conversion.Precision) : SIZE_MAX;
            if (text == nullptr) {
                body = "(null)";
                if (body.size() > limit) body.resize(limit);
            } else if (wide) {
                for (auto c = static_cast<const uint16_t*>(text); *c != 0 && body.size() < limit; ++c) {
                    body += NarrowOf(*c);
                }
            } else {
                const char* c = static_cast<const char*>(text);
                body.assign(c, strnlen(c, limit));
            }
            Pad(out, conversion, body, ZeroFill::Front);
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'g':
        case 'G':
            PutFloat(out, conversion, letter, va_arg(args, double));
            break;
        case 'n': {
            void* target = va_arg(args, void*);
            const size_t count = out.size() - start;
            if (conversion.Length == Size::Short) {
                *static_cast<short*>(target) = static_cast<short>(count);
            } else {
                *static_cast<int*>(target) = static_cast<int>(count);
            }
            break;
        }
        default:
            out += letter;  // '%' too
            break;
        }
    }
    va_end(args);
}

}  // namespace sim
