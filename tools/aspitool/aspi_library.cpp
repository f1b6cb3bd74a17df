#include "aspi_library.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace aspitool {
namespace {

// Returns the export `name` of `module` as a function pointer of type T, or
// null. The detour through void (*)(void) keeps the compiler from warning
// about a cast between unrelated function types, which this one is by
// design: GetProcAddress knows no types.
template <typename T>
T ResolveExport(HMODULE module, const char* name) {
    FARPROC proc = GetProcAddress(module, name);
    if (proc == nullptr) return nullptr;
    return reinterpret_cast<T>(reinterpret_cast<void (*)(void)>(proc));
}

// Returns the reason a load failed with `code`, in words.
std::string LoadFailureReason(DWORD code) {
    switch (code) {
    case 2:
    case 3:
    case 126:
        return "file not found, or a DLL it needs is missing";
    case 5:
        return "access denied";
    case 127:
        return "a function it imports is missing from this system";
    case 193:
        return "not a library for this build (a 32-bit Windows DLL, or on Linux the shared "
               "object of this build)";
    case 1114:
        return "its entry routine refused to start";
    default:
        return "";
    }
}

}  // namespace

bool LoadAspiLibrary(const std::string& path, AspiLibrary& library, std::string& error) {
    // A path with a folder in it is not searched for: a file that is not
    // there can be named as such.
    if (path.find_first_of("/\\") != std::string::npos) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) {
            error = "cannot load the ASPI library '" + path + "': " +
                    (errno == ENOENT ? std::string("file not found") : std::strerror(errno));
            return false;
        }
        std::fclose(file);
    }
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        const DWORD code = GetLastError();
        const std::string reason = LoadFailureReason(code);
        error = "cannot load the ASPI library '" + path + "': " +
                (reason.empty() ? "" : reason + " ") + "(error " + std::to_string(code) + ")";
        return false;
    }
    GETASPI32SUPPORTINFO getSupportInfo =
        ResolveExport<GETASPI32SUPPORTINFO>(module, "GetASPI32SupportInfo");
    SENDASPI32COMMAND sendCommand = ResolveExport<SENDASPI32COMMAND>(module, "SendASPI32Command");
    if (getSupportInfo == nullptr || sendCommand == nullptr) {
        error = "cannot use '" + path + "': missing export " +
                (getSupportInfo == nullptr ? "GetASPI32SupportInfo" : "SendASPI32Command") +
                ", so it is no ASPI library";
        FreeLibrary(module);
        return false;
    }
    library.module = module;
    library.getSupportInfo = getSupportInfo;
    library.sendCommand = sendCommand;
    return true;
}

void UnloadAspiLibrary(AspiLibrary& library) {
    if (library.module != nullptr) FreeLibrary(library.module);
    library = AspiLibrary();
}

}  // namespace aspitool
