// FormatMessageA over the system's message table for the errors the
// simulated machine reports, with NT's English texts; messages from a
// string, with inserts %1..%99 (optionally %n!format!) taken from a
// va_list or an argument array, %n, %%, %. and %! escapes; the width mask.
#include "sim/kernel/system_info.h"

#include "sim/runtime/print_format.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr DWORD AllocateBuffer = 0x00000100;
constexpr DWORD IgnoreInserts = 0x00000200;
constexpr DWORD FromString = 0x00000400;
constexpr DWORD FromModule = 0x00000800;
constexpr DWORD FromSystem = 0x00001000;
constexpr DWORD ArgumentArray = 0x00002000;
constexpr DWORD MaxWidthMask = 0x000000FF;
constexpr DWORD ErrorMessageNotFound = 317;       // ERROR_MR_MID_NOT_FOUND
constexpr DWORD ErrorResourceLanguageNotFound = 1815;
constexpr DWORD LanguageNeutral = 0;
constexpr DWORD LanguageEnglishUs = 0x0409;
constexpr DWORD LanguageUserDefault = 0x0400;
constexpr DWORD LanguageSystemDefault = 0x0800;

struct SystemMessage {
    DWORD Id;
    const char* Text;
};

// NT's English system messages for the errors the machine reports; each
// ends with the message table's line break.
const SystemMessage systemMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough storage is available to process this command.\r\n"},
    {14, "Not enough storage is available to complete this operation.\r\n"},
    {21, "The device is not ready.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {50, "The request is not supported.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {203, "The system could not find the environment option that was entered.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {288, "Attempt to release mutex not owned by caller.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1167, "The device is not connected.\r\n"},
    {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
};

// Returns the text of insert `number` (from 1): a string, or the argument
// formatted by the printf-style `format` of its "!format!".
std::string Insert(int number, const std::string& format, DWORD flags, va_list* arguments) {
    if (arguments == nullptr) return std::string();
    if ((flags & ArgumentArray) != 0) {
        const DWORD_PTR* array = reinterpret_cast<const DWORD_PTR*>(arguments);
        const DWORD_PTR value = array[number - 1];
        if (format == "s") return value != 0 ? reinterpret_cast<const char*>(value) : "";
        std::string out;
        // On i386 a va_list is a pointer to the arguments: the array's
        // element serves as one.
        va_list single;
        const DWORD_PTR* at = array + number - 1;
        std::memcpy(&single, &at, sizeof single);
        sim::FormatWindows(out, ("%" + format).c_str(), single);
        return out;
    }
    // From a va_list the inserts are taken in order, one argument each.
    va_list& list = *arguments;
    if (format == "s") {
        const char* text = va_arg(list, const char*);
        return text != nullptr ? text : "";
    }
    std::string out;
    va_list copy;
    va_copy(copy, list);
    sim::FormatWindows(out, ("%" + format).c_str(), copy);
    va_end(copy);
    (void)va_arg(list, DWORD_PTR);
    return out;
}

// Returns the message with its escapes and inserts expanded; `maxWidth`
// 0xFF turns the text's own line breaks into spaces.
std::string Expand(const char* source, DWORD flags, va_list* arguments) {
    const DWORD width = flags & MaxWidthMask;
    std::string out;
    for (const char* p = source; *p != '\0'; ++p) {
        if (*p == '\r' && p[1] == '\n' && width == MaxWidthMask) {
            out += ' ';
            ++p;
            continue;
        }
        if (*p != '%' || (flags & IgnoreInserts) != 0) {
            out += *p;
            continue;
        }
        const char next = p[1];
        if (next == '\0') break;
        ++p;
        if (next == 'n') {
            out += "\r\n";
        } else if (next >= '1' && next <= '9') {
            int number = next - '0';
            if (p[1] >= '0' && p[1] <= '9') number = number * 10 + (*++p - '0');
            std::string format = "s";
            if (p[1] == '!') {
                const char* end = std::strchr(p + 2, '!');
                if (end != nullptr) {
                    format.assign(p + 2, end);
                    p = end;
                }
            }
            out += Insert(number, format, flags, arguments);
        } else if (next == '0') {
            return out;  // %0 ends the message without a line break
        } else {
            out += next;  // %%, %., %! and others stand for the character
        }
    }
    return out;
}

}  // namespace

// Returns the number of characters stored, without the NUL; 0 with the
// error set: 317 for a message the system does not have, 1815 for a
// language it does not have, 122 when the buffer is too small, 87 for
// flags that name no source.
extern "C" DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                       DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                                       va_list* Arguments) {
    const char* source = nullptr;
    if ((dwFlags & FromString) != 0) {
        source = static_cast<const char*>(lpSource);
    } else if ((dwFlags & FromSystem) != 0) {
        if (dwLanguageId != LanguageNeutral && dwLanguageId != LanguageEnglishUs &&
            dwLanguageId != LanguageUserDefault && dwLanguageId != LanguageSystemDefault &&
            (dwLanguageId & 0x3FF) != 0x09) {
            SetLastError(ErrorResourceLanguageNotFound);
            return 0;
        }
        for (const SystemMessage& message : systemMessages) {
            if (message.Id == dwMessageId) source = message.Text;
        }
        if (source == nullptr) {
            SetLastError(ErrorMessageNotFound);
            return 0;
        }
    } else if ((dwFlags & FromModule) != 0) {
        // No module here carries a message table.
        SetLastError(ErrorMessageNotFound);
        return 0;
    }
    if (source == nullptr || lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string text = Expand(source, dwFlags, Arguments);
    if ((dwFlags & AllocateBuffer) != 0) {
        const size_t size = text.size() + 1 > nSize ? text.size() + 1 : nSize;
        char* block = static_cast<char*>(LocalAlloc(0, size));
        if (block == nullptr) return 0;
        std::memcpy(block, text.c_str(), text.size() + 1);
        std::memcpy(lpBuffer, &block, sizeof block);
        return static_cast<DWORD>(text.size());
    }
    if (text.size() + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}
