// Faults of a program's process. The signal handler turns a fault into
// NT's exception record and context; one in the program's own code is
// dispatched to the program's handlers, which may call anything, since no
// lock of the simulator is held there. Everything else, and what nobody
// takes, ends in a report that takes no lock and calls nothing that may
// wait, so that a fault anywhere, even inside the dynamic linker or the
// allocator, ends in its report rather than a hang: image names come from
// a fixed table, other code's names from /proc/self/maps read with plain
// system calls.
#include "sim/loader/program_faults.h"

#include "sim/kernel/misuse.h"
#include "sim/kernel/teb.h"
#include "sim/loader/exceptions/dispatch.h"
#include "sim/loader/exceptions/thread_stacks.h"
#include "sim/loader/process.h"

#include <windows.h>

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

// Returns nothing; appends the name of an exception code, with the code,
// as the report gives it.
void AppendExceptionName(char* line, size_t* at, size_t size, DWORD code) {
    static const struct {
        DWORD Code;
        const char* Name;
    } names[] = {
        {0x80000003, "breakpoint"},
        {0x80000004, "single step"},
        {0xC0000005, "access violation"},
        {0xC000001D, "illegal instruction"},
        {0xC0000025, "noncontinuable exception"},
        {0xC0000026, "invalid disposition"},
        {0xC0000027, "unwind"},
        {0xC0000028, "bad stack"},
        {0xC0000029, "invalid unwind target"},
        {0xC000008C, "array bounds exceeded"},
        {0xC000008E, "floating-point division by zero"},
        {0xC000008F, "floating-point inexact result"},
        {0xC0000090, "floating-point invalid operation"},
        {0xC0000091, "floating-point overflow"},
        {0xC0000093, "floating-point underflow"},
        {0xC0000094, "integer division by zero"},
        {0xC0000095, "integer overflow"},
        {0xC0000096, "privileged instruction"},
        {0xC00000FD, "stack overflow"},
    };
    const char* name = "exception";
    for (const auto& known : names) {
        if (known.Code == code) name = known.Name;
    }
    Append(line, at, size, name);
    Append(line, at, size, " (0x");
    char digits[9];
    for (int i = 0; i < 8; ++i) digits[i] = "0123456789ABCDEF"[(code >> (28 - 4 * i)) & 0xF];
    digits[8] = '\0';
    Append(line, at, size, digits);
    Append(line, at, size, ")");
}

// Returns the value of the general register `number` (the encoding's
// order: eax, ecx, edx, ebx, esp, ebp, esi, edi), or of its low byte
// register (al, cl, dl, bl, ah, ch, dh, bh) when `byte`.
uint32_t RegisterValue(const greg_t* registers, unsigned number, bool byte) {
    static const int order[8] = {REG_EAX, REG_ECX, REG_EDX, REG_EBX,
                                 REG_ESP, REG_EBP, REG_ESI, REG_EDI};
    if (!byte) return uint32_t(registers[order[number & 7]]);
    const uint32_t word = uint32_t(registers[order[number & 3]]);
    return number < 4 ? word & 0xFF : (word >> 8) & 0xFF;
}

// Returns true with the divisor of the DIV or IDIV instruction at the
// faulting address in *divisor; false when the instruction is none.
// NT tells a division by zero from a quotient that does not fit (INT_MIN
// / -1) by the divisor, so the instruction is decoded as its trap
// handler does.
bool DivisorOf(const greg_t* registers, uint32_t* divisor) {
    const auto* code = reinterpret_cast<const unsigned char*>(registers[REG_EIP]);
    bool operand16 = false;
    for (int i = 0; i < 4 && (*code == 0x66 || *code == 0x2E || *code == 0x36 || *code == 0x3E ||
                              *code == 0x26 || *code == 0xF0);
         ++i, ++code) {
        operand16 = operand16 || *code == 0x66;
    }
    const unsigned char opcode = *code++;
    if (opcode != 0xF6 && opcode != 0xF7) return false;
    const unsigned char modrm = *code++;
    const unsigned mod = modrm >> 6, reg = (modrm >> 3) & 7, rm = modrm & 7;
    if (reg != 6 && reg != 7) return false;
    const bool byte = opcode == 0xF6;
    const uint32_t mask = byte ? 0xFF : operand16 ? 0xFFFF : 0xFFFFFFFF;
    if (mod == 3) {
        *divisor = RegisterValue(registers, rm, byte) & mask;
        return true;
    }
    uint32_t address = 0;
    if (rm == 4) {
        const unsigned char sib = *code++;
        const unsigned scale = sib >> 6, index = (sib >> 3) & 7, base = sib & 7;
        if (index != 4) address += RegisterValue(registers, index, false) << scale;
        if (base == 5 && mod == 0) {
            int32_t displacement;
            std::memcpy(&displacement, code, 4);
            code += 4;
            address += uint32_t(displacement);
        } else {
            address += RegisterValue(registers, base, false);
        }
    } else if (rm == 5 && mod == 0) {
        std::memcpy(&address, code, 4);
        code += 4;
    } else {
        address = RegisterValue(registers, rm, false);
    }
    if (mod == 1) address += uint32_t(int32_t(int8_t(*code)));
    if (mod == 2) {
        int32_t displacement;
        std::memcpy(&displacement, code, 4);
        address += uint32_t(displacement);
    }
    uint32_t value = 0;
    std::memcpy(&value, reinterpret_cast<const void*>(uintptr_t(address)), byte ? 1 : operand16 ? 2 : 4);
    *divisor = value & mask;
    return true;
}

// Returns true when the instruction at the faulting address is one only
// the kernel may run: NT reports those as privileged instructions, any
// other general protection fault as an access violation.
bool IsPrivilegedInstruction(const greg_t* registers) {
    const auto* code = reinterpret_cast<const unsigned char*>(registers[REG_EIP]);
    for (int i = 0; i < 4 && (*code == 0x66 || *code == 0xF3 || *code == 0xF2 || *code == 0x2E ||
                              *code == 0x3E || *code == 0x26 || *code == 0x36);
         ++i) {
        ++code;
    }
    const unsigned char first = code[0];
    if (first == 0xF4 || first == 0xFA || first == 0xFB) return true;  // hlt, cli, sti
    if ((first >= 0xE4 && first <= 0xE7) || (first >= 0xEC && first <= 0xEF) ||
        (first >= 0x6C && first <= 0x6F)) {
        return true;  // in, out, ins, outs
    }
    if (first != 0x0F) return false;
    const unsigned char second = code[1];
    const unsigned reg = (code[2] >> 3) & 7;
    switch (second) {
        case 0x00: return reg == 2 || reg == 3;  // lldt, ltr
        case 0x01: return reg == 2 || reg == 3 || reg == 6 || reg == 7;  // lgdt, lidt, lmsw, invlpg
        case 0x06: case 0x08: case 0x09: case 0x30: case 0x32:  // clts, invd, wbinvd, wrmsr, rdmsr
        case 0x20: case 0x21: case 0x22: case 0x23:  // moves of control and debug registers
            return true;
        default: return false;
    }
}

// Returns true when `address` is where the faulting thread's stack ends:
// just below its stack pointer, or in the guard below its stack's limit.
bool IsStackEnd(uintptr_t address, uintptr_t stackPointer) {
    if (address == 0) return false;
    if (address + 65536 >= stackPointer && address <= stackPointer + 4096) return true;
    uint32_t limit = 0;
    std::memcpy(&limit, CurrentThreadEnvironment() + TebStackLimit, sizeof limit);
    return limit != 0 && address < limit + 4096 && address + 65536 >= limit;
}

// Returns nothing; the record says which exception a signal stands for,
// as NT's trap handlers would have raised it, and the context holds the
// registers NT's would (for a breakpoint, the address of the int3).
void DescribeSignal(int signal, const siginfo_t* info, ucontext_t* machine,
                    WindowsExceptionRecord* record, WindowsContext* context) {
    greg_t* registers = machine->uc_mcontext.gregs;
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    std::memset(record, 0, sizeof *record);
    std::memset(context, 0, sizeof *context);
    uintptr_t pc = static_cast<uintptr_t>(registers[REG_EIP]);
    DWORD code = StatusAccessViolation;
    switch (signal) {
        case SIGILL:
            code = info->si_code == ILL_PRVOPC ? 0xC0000096 : 0xC000001D;
            break;
        case SIGFPE:
            switch (info->si_code) {
                case FPE_INTDIV:
                case FPE_INTOVF: {
                    uint32_t divisor = 0;
                    code = DivisorOf(registers, &divisor) && divisor != 0 ? 0xC0000095 : 0xC0000094;
                    break;
                }
                case FPE_FLTDIV: code = 0xC000008E; break;
                case FPE_FLTOVF: code = 0xC0000091; break;
                case FPE_FLTUND: code = 0xC0000093; break;
                case FPE_FLTRES: code = 0xC000008F; break;
                case FPE_FLTSUB: code = 0xC000008C; break;
                default: code = 0xC0000090; break;
            }
            break;
        case SIGTRAP:
            if (info->si_code == TRAP_TRACE) {
                code = 0x80000004;
            } else {
                code = 0x80000003;
                // The trap leaves the instruction pointer past the int3.
                if (pc != 0 && *reinterpret_cast<const unsigned char*>(pc - 1) == 0xCC) --pc;
            }
            break;
        default: {
            const long trap = registers[REG_TRAPNO];
            if (trap == 13 && IsPrivilegedInstruction(registers)) {
                code = 0xC0000096;
                break;
            }
            const uintptr_t stackPointer = static_cast<uintptr_t>(registers[REG_ESP]);
            code = trap == 14 && IsStackEnd(address, stackPointer) ? StatusStackOverflow
                                                                   : StatusAccessViolation;
            record->NumberParameters = 2;
            if (trap == 14) {
                // A page fault: bit 1 of the error code marks a write, bit 4
                // a fetch of an instruction (NT's 8).
                const long error = registers[REG_ERR];
                record->ExceptionInformation[0] = (error & 16) != 0 ? 8 : (error & 2) != 0 ? 1 : 0;
                record->ExceptionInformation[1] = address;
            } else {
                // Any other protection fault: NT knows no address.
                record->ExceptionInformation[1] = ~ULONG_PTR(0);
            }
            break;
        }
    }
    record->ExceptionCode = code;
    record->ExceptionAddress = reinterpret_cast<void*>(pc);
    context->ContextFlags = ContextI386Full;
    context->SegGs = DWORD(registers[REG_GS]);
    context->SegFs = DWORD(registers[REG_FS]);
    context->SegEs = DWORD(registers[REG_ES]);
    context->SegDs = DWORD(registers[REG_DS]);
    context->Edi = DWORD(registers[REG_EDI]);
    context->Esi = DWORD(registers[REG_ESI]);
    context->Ebx = DWORD(registers[REG_EBX]);
    context->Edx = DWORD(registers[REG_EDX]);
    context->Ecx = DWORD(registers[REG_ECX]);
    context->Eax = DWORD(registers[REG_EAX]);
    context->Ebp = DWORD(registers[REG_EBP]);
    context->Eip = DWORD(pc);
    context->SegCs = DWORD(registers[REG_CS]);
    context->EFlags = DWORD(registers[REG_EFL]);
    context->Esp = DWORD(registers[REG_ESP]);
    context->SegSs = DWORD(registers[REG_SS]);
}

// Returns nothing; the thread goes on with the context's registers once
// the signal handler returns.
void ResumeFromSignal(const WindowsContext& context, ucontext_t* machine) {
    greg_t* registers = machine->uc_mcontext.gregs;
    registers[REG_EDI] = greg_t(context.Edi);
    registers[REG_ESI] = greg_t(context.Esi);
    registers[REG_EBX] = greg_t(context.Ebx);
    registers[REG_EDX] = greg_t(context.Edx);
    registers[REG_ECX] = greg_t(context.Ecx);
    registers[REG_EAX] = greg_t(context.Eax);
    registers[REG_EBP] = greg_t(context.Ebp);
    registers[REG_EIP] = greg_t(context.Eip);
    registers[REG_EFL] = greg_t(context.EFlags);
    registers[REG_ESP] = greg_t(context.Esp);
}

// Returns true when `address` lies in a mapped image.
bool InImage(uintptr_t address) {
    for (const ImageRange& range : ranges) {
        const uintptr_t base = range.Base.load(std::memory_order_acquire);
        if (base != 0 && address >= base && address - base < range.Size) return true;
    }
    return false;
}

// The thread that is reporting, 0 while none is.
std::atomic<pid_t> reportingThread{0};

// Returns nothing once this thread may write the one report of the
// process; a second report from it ends the process at once, and another
// thread that wants to report meanwhile waits for that end.
void TakeReport() {
    pid_t none = 0;
    const pid_t self = gettid();
    if (!reportingThread.compare_exchange_strong(none, self)) {
        if (none == self) _exit(ProgramFaultExitCode);
        for (;;) pause();
    }
}

// Never returns: writes `line` and ends the process with the fault code.
[[noreturn]] void EndWithReport(const char* line, size_t length) {
    for (size_t done = 0; done < length;) {
        const ssize_t put = write(STDERR_FILENO, line + done, length - done);
        if (put <= 0) break;
        done += static_cast<size_t>(put);
    }
    _exit(ProgramFaultExitCode);
}

// Returns the short name of the program's file.
const char* ProgramName() {
    const std::string& program = ProgramPath();
    const char* name = std::strrchr(program.c_str(), '/');
    return name != nullptr ? name + 1 : program.c_str();
}

// Never returns: the report of a call or use of a missing import's stop.
[[noreturn]] void ReportStop(unsigned stop, uintptr_t pc, uintptr_t address, uintptr_t stack) {
    TakeReport();
    static char line[1024];
    size_t at = 0;
    Append(line, &at, sizeof line, program_invocation_short_name);
    Append(line, &at, sizeof line, ": ");
    // The call of a stop faults at the stop itself, its return address
    // on the stack; a use as data faults in the code that uses it.
    const bool called = pc == address;
    Append(line, &at, sizeof line, ProgramName());
    Append(line, &at, sizeof line, called ? " called " : " used ");
    Append(line, &at, sizeof line, StopTable().Names[stop]);
    Append(line, &at, sizeof line, ", which the simulator does not provide, ");
    uint32_t caller = 0;
    if (called) std::memcpy(&caller, reinterpret_cast<const void*>(stack), sizeof caller);
    Append(line, &at, sizeof line, called ? "from " : "at ");
    AppendHex(line, &at, sizeof line, called ? caller : pc, true);
    Append(line, &at, sizeof line, " ");
    AppendPlace(line, &at, sizeof line, called ? caller : pc);
    Append(line, &at, sizeof line, "\n");
    EndWithReport(line, at);
}

}  // namespace
}  // namespace sim

// The selector of the host's thread pointer, the same in every thread,
// which the entry of the signal handler puts back before any of the
// host's code runs: a program may have loaded anything into %gs.
extern "C" {
__attribute__((used, visibility("hidden"))) uint16_t ptaspi_host_gs = 0;
}

// Returns, as the signal handler, once the program's handlers or its
// unhandled-exception filter continued the exception, the thread then
// going on with the context they left; whatever nobody takes, and every
// fault outside the program's images (where a lock of the simulator may
// be held), ends in the report.
extern "C" __attribute__((used, visibility("hidden"))) void ptaspi_on_fault(int signal,
                                                                            siginfo_t* info,
                                                                            void* raw) {
    using namespace sim;
    auto* machine = static_cast<ucontext_t*>(raw);
    greg_t* registers = machine->uc_mcontext.gregs;
    const uintptr_t pc = static_cast<uintptr_t>(registers[REG_EIP]);
    const uintptr_t stack = static_cast<uintptr_t>(registers[REG_ESP]);
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    const unsigned stop = signal == SIGSEGV || signal == SIGBUS ? StopAt(address) : StopCount;
    // A missing import is the simulator's lack, not the program's fault.
    if (stop != StopCount) ReportStop(stop, pc, address, stack);
    WindowsExceptionRecord record;
    WindowsContext context;
    DescribeSignal(signal, info, machine, &record, &context);
    if (InImage(pc) && !DispatchTooDeep()) {
        if (const unsigned short selector = ThreadEnvironmentSelector()) {
            __asm__ volatile("movw %w0, %%fs" : : "r"(selector));
        }
        if (DispatchToFrames(&record, &context) ||
            ((record.ExceptionFlags & ExceptionStackInvalid) == 0 &&
             OfferToUnhandledFilter(&record, &context))) {
            ResumeFromSignal(context, machine);
            return;
        }
    }
    ReportUnhandledException(record);
}

// The handler's entry: %gs first, then the handler proper, with the
// kernel's arguments where they are.
__asm__(R"(
    .text
    .type ptaspi_fault_entry, @function
ptaspi_fault_entry:
    call 1f
1:  popl %ecx
    addl $_GLOBAL_OFFSET_TABLE_+(.-1b), %ecx
    movzwl ptaspi_host_gs@GOTOFF(%ecx), %eax
    movw %ax, %gs
    jmp ptaspi_on_fault
    .size ptaspi_fault_entry, .-ptaspi_fault_entry
)");
extern "C" void ptaspi_fault_entry(int signal, siginfo_t* info, void* raw);

namespace sim {

namespace {

// Never returns: the report of a call NT leaves undefined, made by the
// program's code at `caller`.
void ReportProgramMisuse(const char* text, const void* caller) {
    TakeReport();
    static char line[1024];
    size_t at = 0;
    Append(line, &at, sizeof line, program_invocation_short_name);
    Append(line, &at, sizeof line, ": ");
    Append(line, &at, sizeof line, text);
    Append(line, &at, sizeof line, ", called from ");
    AppendHex(line, &at, sizeof line, reinterpret_cast<uintptr_t>(caller), true);
    Append(line, &at, sizeof line, " ");
    AppendPlace(line, &at, sizeof line, reinterpret_cast<uintptr_t>(caller));
    Append(line, &at, sizeof line, "\n");
    EndWithReport(line, at);
}

}  // namespace

void ReportUnhandledException(const WindowsExceptionRecord& record) {
    TakeReport();
    const uintptr_t pc = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
    static char line[1024];
    size_t at = 0;
    Append(line, &at, sizeof line, program_invocation_short_name);
    Append(line, &at, sizeof line, ": ");
    AppendExceptionName(line, &at, sizeof line, record.ExceptionCode);
    Append(line, &at, sizeof line, " at ");
    AppendHex(line, &at, sizeof line, pc, true);
    Append(line, &at, sizeof line, " ");
    AppendPlace(line, &at, sizeof line, pc);
    const DWORD code = record.ExceptionCode;
    if ((code == StatusAccessViolation || code == StatusStackOverflow) &&
        record.NumberParameters == 2 && record.ExceptionInformation[1] != ~ULONG_PTR(0)) {
        const ULONG_PTR kind = record.ExceptionInformation[0];
        Append(line, &at, sizeof line,
               kind == 8 ? ", executing " : kind == 1 ? ", writing " : ", reading ");
        AppendHex(line, &at, sizeof line, record.ExceptionInformation[1], true);
    }
    Append(line, &at, sizeof line, "\n");
    EndWithReport(line, at);
}

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
    __asm__ volatile("movw %%gs, %w0" : "=r"(ptaspi_host_gs));
    PrepareThreadForExceptions();
    SetMisuseReport(ReportProgramMisuse);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = ptaspi_fault_entry;
    // Not deferred: a handler of the program that faults is dispatched
    // again, as on NT.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP}) sigaction(signal, &action, nullptr);
}

}  // namespace sim
