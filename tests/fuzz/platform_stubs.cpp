// Stand-ins for the platform calls that the discovery sources under fuzzing
// reference, so that the fuzz target builds without the simulator. Only
// wsprintfA is reached by the inquiry walk; it formats as the platform's
// does for the "%d" and "%s" conversions the library uses.
#include <windows.h>

#include <cstdarg>
#include <cstdio>

extern "C" int WINAPIV wsprintfA(LPSTR out, LPCSTR format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // The platform's output limit is 1024 characters.
    const int written = vsnprintf(out, 1025, format, arguments);
    va_end(arguments);
    return written;
}
