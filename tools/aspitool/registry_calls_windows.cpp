// ADVAPI32's registry functions, found at run time.
#include "registry_calls.h"

namespace aspitool {
namespace {

// Returns the export `name` of `module` as a T; the detour through
// void (*)(void) is the cast GetProcAddress's untyped result needs.
template <typename T>
T Resolve(HMODULE module, const char* name) {
    FARPROC proc = GetProcAddress(module, name);
    return proc == nullptr ? nullptr : reinterpret_cast<T>(reinterpret_cast<void (*)(void)>(proc));
}

}  // namespace

bool LoadRegistryCalls(RegistryCalls& calls) {
    HMODULE advapi = LoadLibraryA("advapi32.dll");
    if (advapi == nullptr) return false;
    calls.openKey = Resolve<decltype(calls.openKey)>(advapi, "RegOpenKeyExA");
    calls.queryValue = Resolve<decltype(calls.queryValue)>(advapi, "RegQueryValueExA");
    calls.closeKey = Resolve<decltype(calls.closeKey)>(advapi, "RegCloseKey");
    // Left loaded: the process ends soon, and the library loads it anyway.
    return calls.openKey != nullptr && calls.queryValue != nullptr && calls.closeKey != nullptr;
}

}  // namespace aspitool
