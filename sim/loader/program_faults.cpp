// Fault reports of a program's process. The signal handler takes no lock
// and calls nothing that may wait, so that a fault anywhere, even inside
// the dynamic linker or the allocator, ends in its report rather than a
// hang: image names come from a fixed table, other code's names from
// /proc/self/maps read with plain system calls.
#include "sim/loader/program_faults.h"

#include "sim/loader/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace sim {
namespace {

struct ImageRange {
    std::atomic<uintptr_t> Base{0};  // 0: a free entry; set last, once the rest is filled
    uint32_t Size = 0;
    char Name[64] = {};
};

const unsigned RangeCount = 256;
ImageRange ranges[RangeCount];

// One page per stop, so that a data import read or written at some offset
// is still named.
const uintptr_t StopSpan = 4096;
const unsigned StopCount = 4096;

struct Stops {
    std::mutex Lock;  // the writers'; the handler reads without it
    uintptr_t Region = 0;
    std::atomic<unsigned> Made{0};
    const char* Names[StopCount] = {};
    std::map<std::string, unsigned> ByName;
};

// Returns the stop table, created once and never destroyed.
Stops& StopTable() {
    static auto* stops = new Stops;
    return *stops;
}

std::mutex rangeWriters;

// A buffer for /proc/self/maps, static: the handler runs on a small stack.
char maps[1 << 17];

// Returns the text of a signal-safe formatter: `text` appended at `at`.
void Append(char* line, size_t* at, size_t size, const char* text) {
    while (*text != '\0' && *at + 1 < size) line[(*at)++] = *text++;
    line[*at] = '\0';
}

// Returns nothing; appends `value` in hexadecimal, 8 digits when `full`.
void AppendHex(char* line, size_t* at, size_t size, uintptr_t value, bool full) {
    char digits[11] = "0x";
    int count = 0;
    char reversed[8];
    do {
        reversed[count++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0 || (full && count < 8));
    for (int i = 0; i < count; ++i) digits[2 + i] = reversed[count - 1 - i];
    digits[2 + count] = '\0';
    Append(line, at, size, digits);
}

// Returns the index of the stop that holds `address`, or StopCount.
unsigned StopAt(uintptr_t address) {
    const Stops& stops = StopTable();
    const uintptr_t region = stops.Region;
    if (region == 0 || address < region) return StopCount;
    const uintptr_t index = (address - region) / StopSpan;
    return index < stops.Made.load(std::memory_order_acquire) ? static_cast<unsigned>(index)
                                                             : StopCount;
}

// Returns the value of the hexadecimal number at *text, moving past it.
uintptr_t ReadHex(const char** text) {
    uintptr_t value = 0;
    for (;; ++*text) {
        const char c = **text;
        if (c >= '0' && c <= '9') {
            value = value * 16 + uintptr_t(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            value = value * 16 + uintptr_t(c - 'a' + 10);
        } else {
            return value;
        }
    }
}

// Returns true with the file that holds `address` and where its first
// mapping begins, from /proc/self/maps; false for memory of no file.
bool FindMappedFile(uintptr_t address, const char** name, size_t* nameLength, uintptr_t* start) {
    const int file = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (file < 0) return false;
    size_t length = 0;
    ssize_t got;
    while (length + 1 < sizeof maps &&
           (got = read(file, maps + length, sizeof maps - 1 - length)) > 0) {
        length += static_cast<size_t>(got);
    }
    close(file);
    maps[length] = '\0';
    // Each line: "start-end perms offset dev inode path".
    const char* path = nullptr;
    size_t pathLength = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (const char* line = maps; *line != '\0';) {
            const char* end = std::strchr(line, '\n');
            if (end == nullptr) end = line + std::strlen(line);
            const char* at = line;
            const uintptr_t low = ReadHex(&at);
            ++at;
            const uintptr_t high = ReadHex(&at);
            const char* slash = static_cast<const char*>(std::memchr(line, '/', size_t(end - line)));
            if (slash != nullptr) {
                const size_t size = size_t(end - slash);
                if (pass == 0 && address >= low && address < high) {
                    path = slash;
                    pathLength = size;
                    break;
                }
                if (pass == 1 && size == pathLength && std::memcmp(slash, path, size) == 0) {
                    *start = low;  // the first line of the file is its lowest mapping
                    *name = path;
                    *nameLength = pathLength;
                    for (const char* c = path; c < path + pathLength; ++c) {
                        if (*c == '/') {
                            *name = c + 1;
                            *nameLength = size_t(path + pathLength - (c + 1));
                        }
                    }
                    return true;
                }
            }
            line = *end == '\0' ? end : end + 1;
        }
        if (path == nullptr) return false;
    }
    return false;
}

// Returns nothing; appends "(module+0xoffset)" for `address`.
void AppendPlace(char* line, size_t* at, size_t size, uintptr_t address) {
    Append(line, at, size, "(");
    for (const ImageRange& range : ranges) {
        const uintptr_t base = range.Base.load(std::memory_order_acquire);
        if (base != 0 && address >= base && address - base < range.Size) {
            Append(line, at, size, range.Name);
            Append(line, at, size, "+");
            AppendHex(line, at, size, address - base, false);
            Append(line, at, size, ")");
            return;
        }
    }
    const char* name = nullptr;
    size_t nameLength = 0;
    uintptr_t start = 0;
    if (FindMappedFile(address, &name, &nameLength, &start)) {
        char text[128];
        const size_t copied = nameLength < sizeof text - 1 ? nameLength : sizeof text - 1;
        std::memcpy(text, name, copied);
        text[copied] = '\0';
        Append(line, at, size, text);
        Append(line, at, size, "+");
        AppendHex(line, at, size, address - start, false);
    } else {
        Append(line, at, size, "no module");
    }
    Append(line, at, size, ")");
}

// Returns NT's name and code of the exception a signal stands for.
const char* ExceptionName(int signal, const siginfo_t* info, uintptr_t address, uintptr_t stack) {
    switch (signal) {
        case SIGILL:
            return info->si_code == ILL_PRVOPC ? "privileged instruction (0xC0000096)"
                                               : "illegal instruction (0xC000001D)";
        case SIGFPE:
            if (info->si_code == FPE_INTDIV) return "integer division by zero (0xC0000094)";
            if (info->si_code == FPE_INTOVF) return "integer overflow (0xC0000095)";
            return "floating-point fault (0xC0000090)";
        case SIGTRAP:
            return "breakpoint (0x80000003)";
        default:
            // A fault just below the stack pointer is the stack's end.
            if (address + 65536 >= stack && address <= stack + 4096 && address != 0) {
                return "stack overflow (0xC00000FD)";
            }
            return "access violation (0xC0000005)";
    }
}

// Never returns: writes the fault's report and ends the process.
void ReportFault(int signal, siginfo_t* info, void* context) {
    const auto* machine = static_cast<ucontext_t*>(context);
    const uintptr_t pc = static_cast<uintptr_t>(machine->uc_mcontext.gregs[REG_EIP]);
    const uintptr_t stack = static_cast<uintptr_t>(machine->uc_mcontext.gregs[REG_ESP]);
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    const std::string& program = ProgramPath();
    const char* programName = std::strrchr(program.c_str(), '/');
    programName = programName != nullptr ? programName + 1 : program.c_str();
    static char line[1024];
    size_t at = 0;
    Append(line, &at, sizeof line, program_invocation_short_name);
    Append(line, &at, sizeof line, ": ");
    const unsigned stop =
        signal == SIGSEGV || signal == SIGBUS ? StopAt(address) : StopCount;
    if (stop != StopCount) {
        // The call of a stop faults at the stop itself, its return address
        // on the stack; a use as data faults in the code that uses it.
        const bool called = pc == address;
        Append(line, &at, sizeof line, programName);
        Append(line, &at, sizeof line, called ? " called " : " used ");
        Append(line, &at, sizeof line, StopTable().Names[stop]);
        Append(line, &at, sizeof line, ", which the simulator does not provide, ");
        uint32_t caller = 0;
        if (called) std::memcpy(&caller, reinterpret_cast<const void*>(stack), sizeof caller);
        Append(line, &at, sizeof line, called ? "from " : "at ");
        AppendHex(line, &at, sizeof line, called ? caller : pc, true);
        Append(line, &at, sizeof line, " ");
        AppendPlace(line, &at, sizeof line, called ? caller : pc);
    } else {
        Append(line, &at, sizeof line, ExceptionName(signal, info, address, stack));
        Append(line, &at, sizeof line, " at ");
        AppendHex(line, &at, sizeof line, pc, true);
        Append(line, &at, sizeof line, " ");
        AppendPlace(line, &at, sizeof line, pc);
        const long trap = machine->uc_mcontext.gregs[REG_TRAPNO];
        if ((signal == SIGSEGV || signal == SIGBUS) && trap == 14) {
            // A page fault: bit 1 of the error code marks a write, bit 4 a
            // fetch of an instruction.
            const long code = machine->uc_mcontext.gregs[REG_ERR];
            Append(line, &at, sizeof line,
                   (code & 16) != 0 ? ", executing " : (code & 2) != 0 ? ", writing " : ", reading ");
            AppendHex(line, &at, sizeof line, address, true);
        }
    }
    Append(line, &at, sizeof line, "\n");
    for (size_t done = 0; done < at;) {
        const ssize_t put = write(STDERR_FILENO, line + done, at - done);
        if (put <= 0) break;
        done += static_cast<size_t>(put);
    }
    _exit(ProgramFaultExitCode);
}

}  // namespace

void RegisterImageRange(const void* base, uint32_t size, const char* name) {
    std::lock_guard<std::mutex> guard(rangeWriters);
    for (ImageRange& range : ranges) {
        if (range.Base.load() != 0) continue;
        range.Size = size;
        std::snprintf(range.Name, sizeof range.Name, "%s", name);
        range.Base.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
        return;
    }
}

void ForgetImageRange(const void* base) {
    std::lock_guard<std::mutex> guard(rangeWriters);
    for (ImageRange& range : ranges) {
        if (range.Base.load() == reinterpret_cast<uintptr_t>(base)) range.Base.store(0);
    }
}

const void* MissingImportStop(const std::string& name) {
    Stops& stops = StopTable();
    std::lock_guard<std::mutex> guard(stops.Lock);
    if (stops.Region == 0) {
        // Address space only: the pages are never accessible.
        void* region = mmap(nullptr, StopSpan * StopCount, PROT_NONE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (region == MAP_FAILED) return nullptr;
        stops.Region = reinterpret_cast<uintptr_t>(region);
    }
    auto known = stops.ByName.find(name);
    unsigned index;
    if (known != stops.ByName.end()) {
        index = known->second;
    } else {
        index = stops.Made.load();
        if (index == StopCount) return nullptr;
        stops.Names[index] = strdup(name.c_str());
        stops.ByName[name] = index;
        stops.Made.store(index + 1, std::memory_order_release);
    }
    return reinterpret_cast<const void*>(stops.Region + index * StopSpan);
}

void InstallFaultReports() {
    // The main thread reports on a stack of its own, so that a stack
    // overflow is reported too.
    static char alternateStack[1 << 16];
    stack_t stack;
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    stack.ss_flags = 0;
    sigaltstack(&stack, nullptr);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = ReportFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP}) sigaction(signal, &action, nullptr);
}

}  // namespace sim
