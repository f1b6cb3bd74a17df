#include "aspi_library.h"

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

}  // namespace

bool LoadAspiLibrary(const std::string& path, AspiLibrary& library, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "cannot load the ASPI library '" + path + "' (error " +
                std::to_string(GetLastError()) + ")";
        return false;
    }
    GETASPI32SUPPORTINFO getSupportInfo =
        ResolveExport<GETASPI32SUPPORTINFO>(module, "GetASPI32SupportInfo");
    SENDASPI32COMMAND sendCommand = ResolveExport<SENDASPI32COMMAND>(module, "SendASPI32Command");
    if (getSupportInfo == nullptr || sendCommand == nullptr) {
        error = "'" + path + "' does not export " +
                (getSupportInfo == nullptr ? "GetASPI32SupportInfo" : "SendASPI32Command") +
                ": it is no ASPI library";
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
