// The start of a program's process, in NT's order: the EXE checked and
// mapped, its imports bound (DLLs that are not the simulator's loaded from
// the program's folder or the current one, what the simulator lacks bound
// to stops), every DLL attached, the program's TLS callbacks, then its
// entry point with the process environment block, as NT's process start
// calls it. Its return value is the exit code, as ExitProcess's would be.
#include "sim/process/program.h"

#include "sim/kernel/host_paths.h"
#include "sim/kernel/teb.h"
#include "sim/loader/exceptions/thread_stacks.h"
#include "sim/loader/pe/pe_format.h"
#include "sim/loader/pe/system_dlls.h"
#include "sim/loader/process.h"
#include "sim/loader/program_faults.h"
#include "sim/loader/program_loader.h"
#include "sim/process/exit_status.h"
#include "sim/process/process.h"
#include "sim/process/signals.h"
#include "sim/runtime/command_line.h"

#include <windows.h>

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim {
namespace {

const uint16_t MachineAmd64 = 0x8664;
const uint16_t OptionalMagicPe32Plus = 0x020B;
const uint16_t SubsystemGui = 2;
const uint16_t SubsystemConsole = 3;

struct ImportRecord {
    std::string Importer;
    std::string Import;  // "DLL!function"
    bool Provided;
};

// The imports bound while the program starts, when asked for; guarded by
// the loader lock, under which imports are bound.
bool recording = false;
std::vector<ImportRecord> records;
// Set when the imports are only listed: a DLL found nowhere is listed as
// missing rather than refused.
bool listingOnly = false;

// ImportFallback::Bind: what is missing is bound to its stop.
const void* BindImport(const char* dll, const std::string& function, const void* found) {
    const std::string name = std::string(dll) + "!" + function;
    if (recording) records.push_back({ImportingModuleName(), name, found != nullptr});
    return found != nullptr ? found : MissingImportStop(name);
}

// Returns the folders a program's process looks for a DLL in, in the
// order NT's loader searched them before safe DLL search mode (NT 4, 2000,
// XP before SP2), the order SearchProgramDll follows: the program's folder,
// the current folder, the system folder, the 16-bit system folder, the
// Windows folder (the last three hold the system DLLs alone here).
std::string SearchedFolders() {
    const std::string& program = ProgramPath();
    std::string folders = WindowsPath(program.substr(0, program.rfind('/')));
    char current[PATH_MAX];
    if (getcwd(current, sizeof current) != nullptr) folders += ", " + WindowsPath(current);
    return folders + ", C:\\WINNT\\system32, C:\\WINNT\\system, C:\\WINNT";
}

// ImportFallback::FindDll: a DLL found nowhere stops the process from
// starting, as NT's loader refuses it (STATUS_DLL_NOT_FOUND), naming the
// DLL and the folders searched; when only imports are listed, its imports
// are listed as missing instead.
bool FindProgramDll(const char* name, const PeImage** image, DWORD* error,
                    std::string* message) {
    if (!FindDllForImport(name, image, error, message)) return false;
    if (*image != nullptr || listingOnly) return true;
    *error = ERROR_MOD_NOT_FOUND;
    *message = "the DLL " + std::string(name) + " that " + ImportingModuleName() +
               " imports was found nowhere (searched, in order: " + SearchedFolders() + ")";
    return false;
}

const ImportFallback programImports = {FindProgramDll, BindImport};

// Returns true with sizeof(T) bytes at `offset` copied to *out.
template <class T>
bool ReadAt(const std::vector<unsigned char>& bytes, size_t offset, T* out) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(out, bytes.data() + offset, sizeof(T));
    return true;
}

// Returns what the entry point returned. It is called as NT's process
// start calls it, with the process environment block as its one argument;
// the stack is restored whether it pops that argument or not.
__attribute__((noinline)) DWORD CallProgramEntry(void* entry, void* argument) {
    DWORD result;
    __asm__ volatile(
        "movl %%esp, %%edi\n\t"
        "pushl %2\n\t"
        "call *%1\n\t"
        "movl %%edi, %%esp\n\t"
        : "=a"(result)
        : "r"(entry), "r"(argument)
        : "edi", "ecx", "edx", "memory", "cc");
    return result;
}

// Returns 126 after the one-line reason why `path` does not start.
int Refuse(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, path.c_str(),
                 reason.c_str());
    return ProgramRefusedStatus;
}

// Returns 0 once every import recorded is printed, one a line, then a
// count.
int ListImports(const std::string& path) {
    size_t missing = 0;
    for (const ImportRecord& record : records) {
        const size_t bang = record.Import.find('!');
        const bool limited =
            record.Provided && bang != std::string::npos &&
            SystemExportLimited(record.Import.substr(0, bang).c_str(),
                                record.Import.c_str() + bang + 1);
        std::printf("%s: %s %s\n", record.Importer.c_str(), record.Import.c_str(),
                    !record.Provided ? "missing" : limited ? "limited" : "provided");
        missing += record.Provided ? 0 : 1;
    }
    std::printf("%s: %zu imports, %zu missing\n", path.c_str(), records.size(), missing);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

std::string ProgramImageProblem(const std::vector<unsigned char>& bytes) {
    uint16_t magic = 0;
    uint32_t newHeader = 0;
    uint32_t signature = 0;
    if (!ReadAt(bytes, 0, &magic) || magic != pe::DosMagic) {
        return "not a Windows program (no MZ header)";
    }
    if (!ReadAt(bytes, pe::DosNewHeaderOffset, &newHeader) ||
        !ReadAt(bytes, newHeader, &signature) || signature != pe::Signature) {
        return "not a Windows program (an MS-DOS header without a PE image)";
    }
    pe::FileHeader file;
    uint16_t optionalMagic = 0;
    const size_t optionalAt = size_t(newHeader) + 4 + sizeof file;
    if (!ReadAt(bytes, size_t(newHeader) + 4, &file) || !ReadAt(bytes, optionalAt, &optionalMagic)) {
        return "a truncated PE image";
    }
    if (file.Machine == MachineAmd64 || optionalMagic == OptionalMagicPe32Plus) {
        return "a 64-bit image; only 32-bit (PE32, i386) programs run";
    }
    if (file.Machine != pe::MachineI386) {
        char text[80];
        std::snprintf(text, sizeof text, "built for machine 0x%04X, not i386", file.Machine);
        return text;
    }
    if (optionalMagic != pe::OptionalMagicPe32) return "not a PE32 image";
    if ((file.Characteristics & pe::FileDll) != 0) return "a DLL, not a program";
    if ((file.Characteristics & pe::FileExecutable) == 0) return "not marked executable";
    pe::OptionalHeader32 optional;
    std::memset(&optional, 0, sizeof optional);
    const size_t fixedPart = offsetof(pe::OptionalHeader32, Directories);
    if (file.SizeOfOptionalHeader < fixedPart || optionalAt + fixedPart > bytes.size()) {
        return "a truncated PE image";
    }
    std::memcpy(&optional, bytes.data() + optionalAt, fixedPart);
    if (optional.Subsystem == SubsystemGui) {
        return "a GUI program; only console programs run";
    }
    if (optional.Subsystem != SubsystemConsole) {
        return "subsystem " + std::to_string(optional.Subsystem) + ", not a console program";
    }
    if (optional.AddressOfEntryPoint == 0) return "a program without an entry point";
    return std::string();
}

int RunProgram(const ProgramRun& run) {
    struct stat info;
    if (stat(run.Path.c_str(), &info) != 0) {
        std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, run.Path.c_str(),
                     errno == ENOENT ? "no such file" : std::strerror(errno));
        return errno == ENOENT ? ProgramNotFoundStatus : ProgramRefusedStatus;
    }
    if (S_ISDIR(info.st_mode)) return Refuse(run.Path, "a folder, not a program");
    std::ifstream file(run.Path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) return Refuse(run.Path, "cannot be read");
    const std::string problem = ProgramImageProblem(bytes);
    if (!problem.empty()) return Refuse(run.Path, problem);
    char resolved[PATH_MAX];
    if (realpath(run.Path.c_str(), resolved) == nullptr) return Refuse(run.Path, "cannot be read");

    SetProgramPath(resolved);
    std::vector<std::string> words{WindowsPath(resolved)};
    words.insert(words.end(), run.Arguments.begin(), run.Arguments.end());
    SetProcessCommandLine(QuoteCommandLine(words));
    SetImportFallback(&programImports);
    recording = run.ListImports || run.Strict;
    listingOnly = run.ListImports;
    std::string message;
    if (LoadProgramModule(resolved, &message) == nullptr) return Refuse(run.Path, message);
    recording = false;
    if (run.ListImports) return ListImports(run.Path);
    std::string missing;
    size_t missingCount = 0;
    for (const ImportRecord& record : records) {
        if (record.Provided) continue;
        missing += (missingCount++ == 0 ? "" : ", ") + record.Import;
    }
    if (run.Strict && missingCount != 0) {
        return Refuse(run.Path, "imports that the simulator does not provide (" +
                                    std::to_string(missingCount) + "): " + missing);
    }

    // From here on the program's code and its DLLs' run.
    InstallFaultReports();
    ForwardConsoleSignals();
    std::string refused;
    if (!AttachProcessModules(&refused)) {
        // NT ends such a process at once (0xC0000142), detaching nothing.
        Refuse(run.Path, refused + " failed its initialisation (DLL_PROCESS_ATTACH returned FALSE)");
        std::fflush(nullptr);
        _exit(ProgramRefusedStatus);
    }
    uint32_t processBlock = 0;
    std::memcpy(&processBlock, CurrentThreadEnvironment() + TebProcessBlock, sizeof processBlock);
    const DWORD code = RunOnProgramStack([&] {
        return CallProgramEntry(ProgramEntryPoint(), reinterpret_cast<void*>(uintptr_t(processBlock)));
    });
    ExitProcess(code);
}

}  // namespace sim
