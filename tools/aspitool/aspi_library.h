// The ASPI library as aspitool uses it: loaded at run time, reached only
// through its two exports, resolved by name.
#ifndef ASPITOOL_ASPI_LIBRARY_H
#define ASPITOOL_ASPI_LIBRARY_H

#include <ptaspi32.h>

#include <string>

namespace aspitool {

struct AspiLibrary {
    HMODULE module = nullptr;
    GETASPI32SUPPORTINFO getSupportInfo = nullptr;
    SENDASPI32COMMAND sendCommand = nullptr;
};

// Returns the library name to load when --library is not given: the one
// built beside the tool.
std::string DefaultLibraryPath();

// Returns true when the library at `path` is loaded and both exports are
// resolved into `library`; otherwise false with `error` set and nothing
// left loaded.
bool LoadAspiLibrary(const std::string& path, AspiLibrary& library, std::string& error);
// Unloads a library that LoadAspiLibrary loaded; returns nothing.
void UnloadAspiLibrary(AspiLibrary& library);

}  // namespace aspitool

#endif
