// KERNEL32's and ADVAPI32's functions, found at run time.
#include "system_calls.h"

namespace aspitool {
namespace {

// Returns the export `name` of `module` as a T, null when either is missing.
template <typename T>
T Resolve(HMODULE module, const char* name) {
    if (module == nullptr) return nullptr;
    FARPROC proc = GetProcAddress(module, name);
    return proc == nullptr ? nullptr : reinterpret_cast<T>(reinterpret_cast<void (*)(void)>(proc));
}

}  // namespace

void LoadSystemCalls(SystemCalls& calls) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    calls.getVersionEx = Resolve<decltype(calls.getVersionEx)>(kernel, "GetVersionExA");
    calls.isWow64Process = Resolve<decltype(calls.isWow64Process)>(kernel, "IsWow64Process");
    // Left loaded: the process ends soon, and the library loads it anyway.
    HMODULE advapi = LoadLibraryA("advapi32.dll");
    calls.openProcessToken = Resolve<decltype(calls.openProcessToken)>(advapi, "OpenProcessToken");
    calls.getTokenInformation =
        Resolve<decltype(calls.getTokenInformation)>(advapi, "GetTokenInformation");
}

}  // namespace aspitool
