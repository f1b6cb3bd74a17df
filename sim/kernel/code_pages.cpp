// kernel32's code page conversions. Code pages 1252 and 437 map each byte
// to one UTF-16 unit; the way back maps only the characters the code page
// holds (no best-fit mapping) and puts the default character for the
// others. UTF-8 decodes invalid sequences to U+FFFD, or fails them with
// 1113 when the caller asks, as NT since Vista does.
#include "sim/kernel/code_pages.h"

#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"

#include <cstring>
#include <vector>

namespace sim {
namespace {

const UINT AnsiCodePage = 1252;
const UINT OemCodePage = 437;
const UINT AsciiCodePage = 20127;
const WCHAR Replacement = 0xFFFD;

// Bytes 0x80-0x9F of code page 1252; the rest of its upper half is Latin-1.
const WCHAR Ansi80[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Bytes 0x80-0xFF of code page 437.
const WCHAR Oem80[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Returns the code page that `codePage` names (CP_ACP and the others
// resolved), 0 for one the machine does not have.
UINT Resolve(UINT codePage) {
    switch (codePage) {
        case CP_ACP:
        case CP_THREAD_ACP:
        case AnsiCodePage:
            return AnsiCodePage;
        case CP_OEMCP:
        case OemCodePage:
            return OemCodePage;
        case AsciiCodePage:
        case CP_UTF8:
            return codePage;
        default:
            return 0;
    }
}

// Returns the UTF-16 unit of `byte` in a single-byte code page.
WCHAR DecodeByte(UINT codePage, unsigned char byte) {
    if (byte < 0x80) return byte;
    if (codePage == AsciiCodePage) return byte & 0x7F;  // as NT does: the high bit dropped
    if (codePage == OemCodePage) return Oem80[byte - 0x80];
    return byte < 0xA0 ? Ansi80[byte - 0x80] : byte;
}

// Returns the byte of `unit` in a single-byte code page; false when the
// code page lacks it.
bool EncodeUnit(UINT codePage, WCHAR unit, unsigned char* byte) {
    if (unit < 0x80) {
        *byte = static_cast<unsigned char>(unit);
        return true;
    }
    if (codePage == AsciiCodePage) return false;
    for (unsigned i = 0; i < 128; ++i) {
        const WCHAR mapped = codePage == OemCodePage ? Oem80[i]
                             : i < 32                ? Ansi80[i]
                                                     : static_cast<WCHAR>(0x80 + i);
        if (mapped == unit) {
            *byte = static_cast<unsigned char>(0x80 + i);
            return true;
        }
    }
    return false;
}

// Returns false at an invalid sequence; otherwise the code point that
// begins at bytes[*at], *at moved past it.
bool DecodeUtf8(const unsigned char* bytes, size_t length, size_t* at, unsigned* point) {
    const unsigned char lead = bytes[*at];
    unsigned count = 0;
    unsigned value = 0;
    if (lead < 0x80) {
        *point = lead;
        ++*at;
        return true;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        count = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 2;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 3;
        value = lead & 0x07;
    } else {
        ++*at;
        return false;
    }
    size_t next = *at + 1;
    for (unsigned i = 0; i < count; ++i, ++next) {
        if (next >= length || (bytes[next] & 0xC0) != 0x80) {
            *at = next;
            return false;
        }
        value = (value << 6) | (bytes[next] & 0x3F);
    }
    *at = next;
    const unsigned smallest[] = {0, 0x80, 0x800, 0x10000};
    if (value < smallest[count] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return false;
    }
    *point = value;
    return true;
}

// Returns nothing; appends the UTF-8 bytes of the code point.
void EncodeUtf8(unsigned point, std::string* out) {
    if (point < 0x80) {
        out->push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (point >> 6)));
        out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (point >> 12)));
        out->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (point >> 18)));
        out->push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

// Returns false at a lone surrogate (then U+FFFD in *point); otherwise
// the code point that begins at units[*at], *at moved past it.
bool DecodeUtf16(const WCHAR* units, size_t length, size_t* at, unsigned* point) {
    const unsigned first = units[(*at)++];
    if (first < 0xD800 || first > 0xDFFF) {
        *point = first;
        return true;
    }
    if (first <= 0xDBFF && *at < length && units[*at] >= 0xDC00 && units[*at] <= 0xDFFF) {
        *point = 0x10000 + ((first - 0xD800) << 10) + (units[(*at)++] - 0xDC00);
        return true;
    }
    *point = Replacement;
    return false;
}

// Returns 0 after setting the last error.
int Fail(DWORD error) {
    SetLastErrorCode(error);
    return 0;
}

}  // namespace

std::string Utf8FromWide(LPCWSTR text) {
    std::string out;
    if (text == nullptr) return out;
    size_t length = 0;
    while (text[length] != 0) ++length;
    for (size_t at = 0; at < length;) {
        unsigned point;
        DecodeUtf16(text, length, &at, &point);
        EncodeUtf8(point, &out);
    }
    return out;
}

}  // namespace sim

// Returns the machine's ANSI code page.
extern "C" UINT WINAPI GetACP(void) { return sim::AnsiCodePage; }

// Returns the machine's OEM code page.
extern "C" UINT WINAPI GetOEMCP(void) { return sim::OemCodePage; }

// Returns FALSE: every code page of the machine has single bytes only;
// FALSE with 87 for a code page it does not have.
extern "C" BOOL WINAPI IsDBCSLeadByteEx(UINT CodePage, BYTE TestChar) {
    (void)TestChar;
    sim::ExitIfTerminated();
    if (sim::Resolve(CodePage) == 0) sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// Returns the number of UTF-16 units written (or needed, when
// cchWideChar is 0), a terminating NUL included when cbMultiByte is -1;
// 0 with 87, 1004, 122 or 1113 set.
extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                          int cbMultiByte, LPWSTR lpWideCharStr,
                                          int cchWideChar) {
    sim::ExitIfTerminated();
    const UINT codePage = sim::Resolve(CodePage);
    if (codePage == 0 || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 ||
        cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar != 0)) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    if (codePage == CP_UTF8 && (dwFlags & ~MB_ERR_INVALID_CHARS) != 0) {
        return sim::Fail(ERROR_INVALID_FLAGS);
    }
    const size_t length =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    std::vector<WCHAR> units;
    for (size_t at = 0; at < length;) {
        if (codePage != CP_UTF8) {
            units.push_back(sim::DecodeByte(codePage, bytes[at++]));
            continue;
        }
        unsigned point;
        if (!sim::DecodeUtf8(bytes, length, &at, &point)) {
            if ((dwFlags & MB_ERR_INVALID_CHARS) != 0) {
                return sim::Fail(ERROR_NO_UNICODE_TRANSLATION);
            }
            point = sim::Replacement;
        }
        if (point >= 0x10000) {
            units.push_back(static_cast<WCHAR>(0xD800 + ((point - 0x10000) >> 10)));
            units.push_back(static_cast<WCHAR>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<WCHAR>(point));
        }
    }
    const int needed = static_cast<int>(units.size());
    if (cchWideChar == 0) return needed;
    if (needed > cchWideChar) return sim::Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(lpWideCharStr, units.data(), units.size() * sizeof(WCHAR));
    return needed;
}

// Returns the number of bytes written (or needed, when cbMultiByte is 0),
// a terminating NUL included when cchWideChar is -1; 0 with 87, 1004, 122
// or 1113 set. *lpUsedDefaultChar says whether a character the code page
// lacks was replaced.
extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                          int cchWideChar, LPSTR lpMultiByteStr,
                                          int cbMultiByte, LPCSTR lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar) {
    sim::ExitIfTerminated();
    const UINT codePage = sim::Resolve(CodePage);
    if (codePage == 0 || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
        cbMultiByte < 0 || (lpMultiByteStr == nullptr && cbMultiByte != 0)) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    if (codePage == CP_UTF8) {
        // UTF-8 has no default character: NT refuses both pointers.
        if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
            return sim::Fail(ERROR_INVALID_PARAMETER);
        }
        if ((dwFlags & ~WC_ERR_INVALID_CHARS) != 0) return sim::Fail(ERROR_INVALID_FLAGS);
    }
    size_t length = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[length] != 0) ++length;
        ++length;
    } else {
        length = static_cast<size_t>(cchWideChar);
    }
    std::string bytes;
    bool usedDefault = false;
    for (size_t at = 0; at < length;) {
        if (codePage == CP_UTF8) {
            unsigned point;
            if (!sim::DecodeUtf16(lpWideCharStr, length, &at, &point) &&
                (dwFlags & WC_ERR_INVALID_CHARS) != 0) {
                return sim::Fail(ERROR_NO_UNICODE_TRANSLATION);
            }
            sim::EncodeUtf8(point, &bytes);
            continue;
        }
        unsigned char byte;
        if (!sim::EncodeUnit(codePage, lpWideCharStr[at++], &byte)) {
            byte = lpDefaultChar != nullptr ? static_cast<unsigned char>(*lpDefaultChar) : '?';
            usedDefault = true;
        }
        bytes.push_back(static_cast<char>(byte));
    }
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    const int needed = static_cast<int>(bytes.size());
    if (cbMultiByte == 0) return needed;
    if (needed > cbMultiByte) return sim::Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(lpMultiByteStr, bytes.data(), bytes.size());
    return needed;
}
