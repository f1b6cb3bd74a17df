// What the runtime keeps of the process: the start-up calls that mingw's and
// Microsoft's start-up code make (arguments, environment, modes), the
// exit paths (exit, _cexit, _exit, abort, fatal errors), signal handlers,
// the "C" locale, errno and its texts.
#include "sim/runtime/command_line.h"
#include "sim/runtime/errno_values.h"
#include "sim/runtime/runtime_entries.h"
#include "sim/runtime/streams.h"

#include <windows.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

extern char** environ;

char** rt_initenv = nullptr;
int rt_mb_cur_max = 1;

struct _startupinfo {
    int newmode;
};

namespace sim {
namespace {

typedef int(__cdecl* ExitFunction)(void);
typedef void(__cdecl* SignalHandler)(int);

// The Windows runtime's signal numbers and special handlers.
constexpr int SignalInterrupt = 2;
constexpr int SignalBreak = 21;
constexpr int SignalAbortCompat = 6;
constexpr int SignalAbort = 22;
constexpr uintptr_t HandlerDefault = 0;
constexpr uintptr_t HandlerIgnore = 1;
constexpr uintptr_t HandlerGet = 2;
constexpr uintptr_t HandlerError = UINTPTR_MAX;
const int signalNumbers[] = {SignalInterrupt, 4, 8, 11, 15, SignalBreak, SignalAbort};
constexpr int SignalSlots = sizeof signalNumbers / sizeof signalNumbers[0];

constexpr int AbortExitCode = 3;
constexpr int FatalErrorExitCode = 255;

struct ProcessState {
    std::recursive_mutex ExitLock;
    std::vector<ExitFunction> ExitFunctions;
    std::mutex SignalLock;
    uintptr_t Handlers[SignalSlots] = {};
    bool ControlHandlerRegistered = false;
    std::mutex ArgumentLock;
    // Every argument and environment block handed out; the program keeps
    // pointers into them until it ends.
    std::vector<std::vector<char*>> PointerBlocks;
    std::vector<std::vector<char>> TextBlocks;
};

// Returns the process's runtime state, made once and never destroyed.
ProcessState& State() {
    static ProcessState* state = new ProcessState;
    return *state;
}

char* commandLinePointer = nullptr;
int appType = 0;
void* userMathErrorHandler = nullptr;
char localeName[] = "C";

// msvcrt's struct lconv: ten strings, then eight one-byte numbers.
struct WindowsLconv {
    char* DecimalPoint;
    char* ThousandsSeparator;
    char* Grouping;
    char* InternationalCurrencySymbol;
    char* CurrencySymbol;
    char* MonetaryDecimalPoint;
    char* MonetaryThousandsSeparator;
    char* MonetaryGrouping;
    char* PositiveSign;
    char* NegativeSign;
    char Numbers[8];
};
static_assert(sizeof(WindowsLconv) == 48, "msvcrt's lconv is 48 bytes");
static_assert(offsetof(WindowsLconv, NegativeSign) == 36, "negative_sign");
static_assert(offsetof(WindowsLconv, Numbers) == 40, "int_frac_digits");
char decimalPoint[] = ".";
char emptyText[] = "";
// The "C" locale's: nothing but the decimal point; CHAR_MAX where a
// number is not available.
WindowsLconv cLocaleConventions = {
    decimalPoint, emptyText, emptyText, emptyText, emptyText, emptyText, emptyText,
    emptyText,    emptyText, emptyText, {CHAR_MAX, CHAR_MAX, CHAR_MAX, CHAR_MAX, CHAR_MAX, CHAR_MAX, CHAR_MAX, CHAR_MAX},
};

thread_local char errorTextBuffer[96];

// Returns the slot of a Windows signal number, or -1 for none.
int SignalSlot(int number) {
    if (number == SignalAbortCompat) number = SignalAbort;
    for (int i = 0; i < SignalSlots; ++i) {
        if (signalNumbers[i] == number) return i;
    }
    return -1;
}

// Returns TRUE when the program's SIGINT (Ctrl-C) or SIGBREAK (Ctrl-Break)
// handler takes the event: SIG_IGN does, and a function does, called with
// the signal's number once its slot is back at SIG_DFL, as the Windows
// runtime resets it; FALSE for SIG_DFL, so the next handler sees it.
BOOL WINAPI RuntimeControlHandler(DWORD event) {
    const int number = event == CTRL_C_EVENT ? SignalInterrupt
                       : event == CTRL_BREAK_EVENT ? SignalBreak : 0;
    if (number == 0) return FALSE;
    uintptr_t handler;
    {
        ProcessState& state = State();
        std::lock_guard<std::mutex> hold(state.SignalLock);
        const int slot = SignalSlot(number);
        handler = state.Handlers[slot];
        if (handler != HandlerDefault && handler != HandlerIgnore) state.Handlers[slot] = HandlerDefault;
    }
    if (handler == HandlerDefault) return FALSE;
    if (handler != HandlerIgnore) reinterpret_cast<SignalHandler>(handler)(number);
    return TRUE;
}

// Returns a NUL-ended array of pointers to copies of `words`, kept for
// the rest of the process.
char** KeptArray(const std::vector<std::string>& words) {
    ProcessState& state = State();
    std::lock_guard<std::mutex> hold(state.ArgumentLock);
    size_t size = 0;
    for (const std::string& word : words) size += word.size() + 1;
    state.TextBlocks.emplace_back(size);
    std::vector<char>& text = state.TextBlocks.back();
    state.PointerBlocks.emplace_back();
    std::vector<char*>& pointers = state.PointerBlocks.back();
    size_t at = 0;
    for (const std::string& word : words) {
        std::memcpy(text.data() + at, word.c_str(), word.size() + 1);
        pointers.push_back(text.data() + at);
        at += word.size() + 1;
    }
    pointers.push_back(nullptr);
    return pointers.data();
}

// Returns once every function registered with _onexit or atexit ran,
// the last registered first; one registered meanwhile runs as well.
void RunExitFunctions() {
    ProcessState& state = State();
    std::lock_guard<std::recursive_mutex> hold(state.ExitLock);
    while (!state.ExitFunctions.empty()) {
        const ExitFunction function = state.ExitFunctions.back();
        state.ExitFunctions.pop_back();
        if (function != nullptr) function();
    }
}

// Never returns: the process ends with `code` and nothing more from the
// runtime, its streams' buffered output lost.
[[noreturn]] void EndAtOnce(int code) {
    DiscardStreamOutput();
    ExitProcess(static_cast<UINT>(code));
}

}  // namespace
}  // namespace sim

// Returns 0; fills in the arguments split from the command line as the
// Windows runtime splits it, and the environment. Wildcards are not
// expanded.
RUNTIME_ENTRY int rt_getmainargs(int* argc, char*** argv, char*** env, int /*doWildcard*/,
                                 _startupinfo* /*startInfo*/) {
    const std::vector<std::string> words = sim::SplitCommandLine(GetCommandLineA());
    std::vector<std::string> variables;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        // Windows keeps per-drive folders as "=C:=..." entries, never in argv's environment.
        if (**entry != '=') variables.push_back(*entry);
    }
    char** environment = sim::KeptArray(variables);
    if (rt_initenv == nullptr) rt_initenv = environment;
    if (argc != nullptr) *argc = static_cast<int>(words.size());
    if (argv != nullptr) *argv = sim::KeptArray(words);
    if (env != nullptr) *env = environment;
    return 0;
}

// Returns the address of _acmdln, the pointer to the command line.
RUNTIME_ENTRY char** rt_p_acmdln(void) {
    if (sim::commandLinePointer == nullptr) sim::commandLinePointer = GetCommandLineA();
    return &sim::commandLinePointer;
}

// Returns the address of _fmode.
RUNTIME_ENTRY int* rt_p_fmode(void) { return sim::ProgramFileMode(); }

// Returns the address of _commode.
RUNTIME_ENTRY int* rt_p_commode(void) { return sim::ProgramCommitMode(); }

// Returns nothing; notes whether the program is a console or GUI one.
RUNTIME_ENTRY void rt_set_app_type(int type) { sim::appType = type; }

// Returns nothing; notes the program's math error handler (the runtime
// reports no math errors through it).
RUNTIME_ENTRY void rt_setusermatherr(void* handler) { sim::userMathErrorHandler = handler; }

// Returns `function` once it is registered to run at exit.
RUNTIME_ENTRY void* rt_onexit(void* function) {
    sim::ProcessState& state = sim::State();
    std::lock_guard<std::recursive_mutex> hold(state.ExitLock);
    state.ExitFunctions.push_back(reinterpret_cast<sim::ExitFunction>(function));
    return function;
}

// Returns once the exit functions ran and the streams are flushed (and
// every one but the standard three closed), without ending the process.
RUNTIME_ENTRY void rt_cexit(void) {
    std::lock_guard<std::recursive_mutex> hold(sim::State().ExitLock);
    sim::RunExitFunctions();
    sim::FlushAllStreams();
    sim::CloseFileStreams();
}

// Never returns: the exit functions run, the streams are flushed, then
// the process ends with `code` through ExitProcess.
RUNTIME_ENTRY void rt_exit(int code) {
    // Held to the end: a second thread calling exit waits here until the
    // process ends under it, as on Windows.
    sim::State().ExitLock.lock();
    rt_cexit();
    ExitProcess(static_cast<UINT>(code));
}

// Never returns: _exit, the process ends with `code` at once.
RUNTIME_ENTRY void rt_exit_at_once(int code) { sim::EndAtOnce(code); }

// Never returns: abort writes the runtime's message to standard error,
// calls the program's SIGABRT handler if it has one, and ends the process
// with exit code 3.
RUNTIME_ENTRY void rt_abort(void) {
    static const char message[] =
        "\r\nThis application has requested the Runtime to terminate it in an unusual way.\n"
        "Please contact the application's support team for more information.\r\n";
    sim::WriteStandardErrorRaw(message, sizeof message - 1);
    uintptr_t handler;
    {
        sim::ProcessState& state = sim::State();
        std::lock_guard<std::mutex> hold(state.SignalLock);
        const int slot = sim::SignalSlot(sim::SignalAbort);
        handler = state.Handlers[slot];
        if (handler != sim::HandlerIgnore) state.Handlers[slot] = sim::HandlerDefault;
    }
    if (handler != sim::HandlerDefault && handler != sim::HandlerIgnore) {
        reinterpret_cast<sim::SignalHandler>(handler)(sim::SignalAbort);
    }
    sim::EndAtOnce(sim::AbortExitCode);
}

// Never returns: a fatal runtime error, "runtime error R60nn" on standard
// error and exit code 255.
RUNTIME_ENTRY void rt_amsg_exit(int code) {
    const char* what = "";
    switch (code) {
    case 8:
        what = "- not enough space for arguments\r\n";
        break;
    case 9:
        what = "- not enough space for environment\r\n";
        break;
    case 16:
        what = "- not enough space for thread data\r\n";
        break;
    case 17:
        what = "- unexpected multithread lock error\r\n";
        break;
    case 24:
        what = "- not enough space for _onexit/atexit table\r\n";
        break;
    case 25:
        what = "- pure virtual function call\r\n";
        break;
    default:
        break;
    }
    char message[128];
    const int length = std::snprintf(message, sizeof message, "\r\nruntime error R60%02d\r\n%s",
                                     code, what);
    if (length > 0) {
        sim::WriteStandardErrorRaw(message, std::min(static_cast<size_t>(length), sizeof message - 1));
    }
    sim::EndAtOnce(sim::FatalErrorExitCode);
}

// Returns the signal's previous handler, or SIG_ERR (-1) with errno EINVAL
// for a number or handler the runtime does not take. The first SIGINT or
// SIGBREAK handler registers the runtime's console control handler, as the
// Windows runtime does, so that Ctrl-C reaches the program's handler.
RUNTIME_ENTRY void* rt_signal(int number, void* handler) {
    const auto action = reinterpret_cast<uintptr_t>(handler);
    const int slot = sim::SignalSlot(number);
    if (slot < 0 || action == 3 || action == 4) {  // SIG_SGE and SIG_ACK are refused
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return reinterpret_cast<void*>(sim::HandlerError);
    }
    sim::ProcessState& state = sim::State();
    std::lock_guard<std::mutex> hold(state.SignalLock);
    if ((number == sim::SignalInterrupt || number == sim::SignalBreak) &&
        !state.ControlHandlerRegistered && SetConsoleCtrlHandler(sim::RuntimeControlHandler, TRUE)) {
        state.ControlHandlerRegistered = true;
    }
    const uintptr_t previous = state.Handlers[slot];
    if (action != sim::HandlerGet) state.Handlers[slot] = action;
    return reinterpret_cast<void*>(previous);
}

// Returns "C" for the locale asked for ("C", or "" for the default, which
// is "C" here) or for a query (null), null for any other locale or a
// category outside LC_ALL (0) to LC_TIME (5).
RUNTIME_ENTRY char* rt_setlocale(int category, const char* locale) {
    if (category < 0 || category > 5) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return nullptr;
    }
    if (locale != nullptr && std::strcmp(locale, "C") != 0 && *locale != '\0') return nullptr;
    return sim::localeName;
}

// Returns the "C" locale's number formatting conventions.
RUNTIME_ENTRY void* rt_localeconv(void) { return &sim::cLocaleConventions; }

// Returns the address of the calling thread's errno.
RUNTIME_ENTRY int* rt_errno(void) { return sim::ProgramErrno(); }

// Returns the Windows runtime's text for errno `number`, in a buffer of
// the calling thread's.
RUNTIME_ENTRY char* rt_strerror(int number) {
    std::snprintf(sim::errorTextBuffer, sizeof sim::errorTextBuffer, "%s",
                  sim::WindowsErrorText(number));
    return sim::errorTextBuffer;
}
