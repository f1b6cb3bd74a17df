// The platform's text functions that the library uses: USER32's wsprintfA
// (its own small format language and its 1024-character limit, not the C
// runtime's printf) and the C runtime's _strnicmp in the default locale.
#include <windows.h>

#include <cstdarg>
#include <cstring>

namespace {

// wsprintfA never writes more than this, the NUL included.
constexpr size_t OutputLimit = 1024;

// Collects the output, silently dropping what exceeds the limit.
struct Output {
    char* buffer;
    size_t count;
    void Put(char c) {
        if (count < OutputLimit - 1) buffer[count++] = c;
    }
    void Repeat(char c, size_t times) {
        for (size_t i = 0; i < times; ++i) Put(c);
    }
};

struct Conversion {
    bool left = false;   // '-': pad on the right
    bool zero = false;   // '0': pad numbers with zeros
    bool prefix = false; // '#': 0x before hex numbers
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
    char size = 0;       // 'l', 'h' or 0
};

// Returns the number read from the digits at `format`, which is left
// after them; values beyond the output limit are kept at the limit.
size_t ReadCount(const char*& format) {
    size_t value = 0;
    while (*format >= '0' && *format <= '9') {
        value = value * 10 + static_cast<size_t>(*format - '0');
        if (value > OutputLimit) value = OutputLimit;
        ++format;
    }
    return value;
}

// Returns nothing; writes `body` (digits or text) with the sign or prefix
// `lead`, padded to the conversion's width.
void PutField(Output& out, const Conversion& config, const char* lead, const char* body,
              size_t bodyLength, size_t leadingZeros, bool numeric) {
    const size_t leadLength = std::strlen(lead);
    size_t length = leadLength + leadingZeros + bodyLength;
    size_t padding = config.width > length ? config.width - length : 0;
    const bool zeroPad = numeric && config.zero && !config.left && !config.hasPrecision;
    if (!config.left && !zeroPad) out.Repeat(' ', padding);
    for (size_t i = 0; i < leadLength; ++i) out.Put(lead[i]);
    if (zeroPad) out.Repeat('0', padding);
    out.Repeat('0', leadingZeros);
    for (size_t i = 0; i < bodyLength; ++i) out.Put(body[i]);
    if (config.left) out.Repeat(' ', padding);
}

// Returns nothing; writes an integer in base 10 or 16.
void PutNumber(Output& out, const Conversion& config, unsigned long magnitude, bool negative,
               unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[16];
    size_t length = 0;
    unsigned long rest = magnitude;
    do {
        reversed[length++] = digits[rest % base];
        rest /= base;
    } while (rest != 0);
    if (config.hasPrecision && config.precision == 0 && magnitude == 0) length = 0;
    char body[16];
    for (size_t i = 0; i < length; ++i) body[i] = reversed[length - 1 - i];
    const size_t zeros = config.hasPrecision && config.precision > length ? config.precision - length : 0;
    const char* lead = negative ? "-" : "";
    if (base == 16 && config.prefix && magnitude != 0) lead = upper ? "0X" : "0x";
    PutField(out, config, lead, body, length, zeros, true);
}

// Returns the number of characters written, the NUL excluded.
int Format(char* buffer, const char* format, va_list args) {
    Output out{buffer, 0};
    while (*format != '\0') {
        if (*format != '%') {
            out.Put(*format++);
            continue;
        }
        ++format;
        Conversion config;
        for (;; ++format) {
            if (*format == '-') {
                config.left = true;
            } else if (*format == '0') {
                config.zero = true;
            } else if (*format == '#') {
                config.prefix = true;
            } else {
                break;
            }
        }
        config.width = ReadCount(format);
        if (*format == '.') {
            ++format;
            config.hasPrecision = true;
            config.precision = ReadCount(format);
        }
        if (*format == 'l' || *format == 'h') config.size = *format++;
        const char type = *format;
        if (type == '\0') break;
        ++format;
        switch (type) {
        case 'd':
        case 'i': {
            long value = va_arg(args, long);
            if (config.size == 'h') value = static_cast<short>(value);
            const bool negative = value < 0;
            // Negated in unsigned arithmetic, so the most negative value works too.
            const unsigned long magnitude =
                negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
            PutNumber(out, config, magnitude, negative, 10, false);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            unsigned long value = va_arg(args, unsigned long);
            if (config.size == 'h') value = static_cast<unsigned short>(value);
            PutNumber(out, config, value, false, type == 'u' ? 10 : 16, type == 'X');
            break;
        }
        case 'c': {
            const char c = static_cast<char>(va_arg(args, int));
            PutField(out, config, "", &c, 1, 0, false);
            break;
        }
        case 's': {
            const char* text = va_arg(args, const char*);
            if (text == nullptr) text = "(null)";
            const size_t limit = config.hasPrecision ? config.precision : OutputLimit;
            size_t length = 0;
            while (length < limit && text[length] != '\0') ++length;
            PutField(out, config, "", text, length, 0, false);
            break;
        }
        default:
            // Not a conversion: the character stands for itself ("%%" too).
            out.Put(type);
            break;
        }
    }
    buffer[out.count] = '\0';
    return static_cast<int>(out.count);
}

// Returns the byte with A-Z folded to a-z, as the default locale folds.
int Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

}  // namespace

// Returns the count of characters written, the NUL excluded; at most 1023.
extern "C" int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
    va_list args;
    va_start(args, lpFmt);
    const int written = Format(lpOut, lpFmt, args);
    va_end(args);
    return written;
}

// Returns <0, 0 or >0 as the first `count` characters of lhs, folded to
// lower case, sort before, equal or after those of rhs.
extern "C" int __cdecl _strnicmp(const char* lhs, const char* rhs, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const int left = Fold(static_cast<unsigned char>(lhs[i]));
        const int right = Fold(static_cast<unsigned char>(rhs[i]));
        if (left != right) return left - right;
        if (left == 0) return 0;
    }
    return 0;
}
