// The version, token and WOW64 queries, answered from the running
// machine's release and user.
//
// GetVersionExA/W and GetVersion answer what each release reports to a
// program without a compatibility manifest (GetVersionEx: from Windows 8.1
// on, a program not manifested for the release gets Windows 8's 6.2). The
// process token (OpenProcessToken, GetTokenInformation) has an elevation
// state from Windows Vista on (TokenElevation, TokenElevationType): an
// administrator of the machine file runs elevated (TokenElevationTypeFull);
// a "standard" user is taken as the common case the format names, an
// administrator whose program runs with the filtered token
// (TokenElevationTypeLimited); a limited account has a token that UAC never
// split (TokenElevationTypeDefault). Before Vista the two classes do not
// exist and fail with 87. IsWow64Process tells a 32-bit program on 7, 10
// and 11 x64 that it runs under WOW64.
#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"
#include "sim/machine/live_machine.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace sim {
namespace {

struct ReleaseVersion {
    WindowsRelease release;
    DWORD major;
    DWORD minor;
    DWORD build;
    const char* servicePack;  // szCSDVersion
    WORD servicePackMajor;
    WORD suiteMask;
};

// Each release as its last service pack reports it to an unmanifested program.
const ReleaseVersion versions[] = {
    {WindowsRelease::Nt4, 4, 0, 1381, "Service Pack 6", 6, 0},
    {WindowsRelease::W2000, 5, 0, 2195, "Service Pack 4", 4, 0},
    {WindowsRelease::Xp, 5, 1, 2600, "Service Pack 3", 3, VER_SUITE_SINGLEUSERTS},
    {WindowsRelease::Seven, 6, 1, 7601, "Service Pack 1", 1, VER_SUITE_SINGLEUSERTS},
    {WindowsRelease::Ten, 6, 2, 9200, "", 0, VER_SUITE_SINGLEUSERTS},
    {WindowsRelease::Eleven, 6, 2, 9200, "", 0, VER_SUITE_SINGLEUSERTS},
};

// The process token's object; every token of the process is the same.
struct TokenObject : KernelObject {
    TokenObject() : KernelObject(ObjectKind::Token) {}
};

// Returns the running machine's release and user (the default machine's
// when none runs).
void CurrentReleaseAndUser(WindowsRelease& release, UserKind& user) {
    std::lock_guard<std::mutex> guard(MachineLock());
    std::shared_ptr<LiveMachine> machine = CurrentMachineLocked();
    const Machine fallback;
    const Machine& config = machine ? machine->Config : fallback;
    release = config.windows;
    user = config.user;
}

// Returns the version row of the running machine's release.
const ReleaseVersion& CurrentVersion() {
    WindowsRelease release;
    UserKind user;
    CurrentReleaseAndUser(release, user);
    for (const ReleaseVersion& row : versions) {
        if (row.release == release) return row;
    }
    return versions[1];
}

// Returns FALSE after setting the last error.
BOOL Fail(DWORD error) {
    SetLastErrorCode(error);
    return FALSE;
}

// Returns TRUE with the fixed part of either OSVERSIONINFO form filled, or
// FALSE with 122 when the size the caller stated is neither form's.
template <class Info, class InfoEx, class Char>
BOOL FillVersion(Info* info, Char* servicePackOut) {
    if (info == nullptr) return Fail(ERROR_NOACCESS);
    const DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(Info) && size != sizeof(InfoEx)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    const ReleaseVersion& row = CurrentVersion();
    info->dwMajorVersion = row.major;
    info->dwMinorVersion = row.minor;
    info->dwBuildNumber = row.build;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(servicePackOut, 0, sizeof info->szCSDVersion);
    for (size_t i = 0; row.servicePack[i] != '\0'; ++i) {
        servicePackOut[i] = static_cast<Char>(static_cast<unsigned char>(row.servicePack[i]));
    }
    if (size == sizeof(InfoEx)) {
        InfoEx* extended = reinterpret_cast<InfoEx*>(info);
        extended->wServicePackMajor = row.servicePackMajor;
        extended->wServicePackMinor = 0;
        extended->wSuiteMask = row.suiteMask;
        extended->wProductType = VER_NT_WORKSTATION;
        extended->wReserved = 0;
    }
    return TRUE;
}

}  // namespace
}  // namespace sim

using namespace sim;

static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "OSVERSIONINFOEXA");
static_assert(offsetof(OSVERSIONINFOEXA, wServicePackMajor) == 148, "wServicePackMajor");
static_assert(offsetof(OSVERSIONINFOEXA, wProductType) == 154, "wProductType");
static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW");
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW");
static_assert(offsetof(OSVERSIONINFOEXW, wServicePackMajor) == 276, "wServicePackMajor");
static_assert(sizeof(TOKEN_ELEVATION) == 4, "TOKEN_ELEVATION");
static_assert(sizeof(TOKEN_ELEVATION_TYPE) == 4, "TOKEN_ELEVATION_TYPE");

// Returns TRUE with the release's version; FALSE with 122 for a structure
// size that is neither OSVERSIONINFOA's nor OSVERSIONINFOEXA's.
extern "C" BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    ExitIfTerminated();
    if (lpVersionInformation == nullptr) return sim::Fail(ERROR_NOACCESS);
    return FillVersion<OSVERSIONINFOA, OSVERSIONINFOEXA>(lpVersionInformation,
                                                         lpVersionInformation->szCSDVersion);
}

// Returns TRUE with the release's version; FALSE with 122 for a structure
// size that is neither OSVERSIONINFOW's nor OSVERSIONINFOEXW's.
extern "C" BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    ExitIfTerminated();
    if (lpVersionInformation == nullptr) return sim::Fail(ERROR_NOACCESS);
    return FillVersion<OSVERSIONINFOW, OSVERSIONINFOEXW>(lpVersionInformation,
                                                         lpVersionInformation->szCSDVersion);
}

// Returns the version packed as GetVersion documents it: the major version
// in the low byte, the minor in the next, the build number in the high
// word (bit 31 clear on the NT releases).
extern "C" DWORD WINAPI GetVersion(void) {
    ExitIfTerminated();
    const ReleaseVersion& row = CurrentVersion();
    return row.major | (row.minor << 8) | ((row.build & 0x7FFF) << 16);
}

// Returns TRUE with a handle to the process's token; FALSE with 6 for a
// handle that is not the current process, 998 for a null out pointer.
extern "C" BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD, PHANDLE TokenHandle) {
    ExitIfTerminated();
    if (ProcessHandle != GetCurrentProcess()) return sim::Fail(ERROR_INVALID_HANDLE);
    if (TokenHandle == nullptr) return sim::Fail(ERROR_NOACCESS);
    *TokenHandle = InsertHandle(std::make_shared<TokenObject>());
    return TRUE;
}

// Returns TRUE with the token's type, elevation or elevation type; FALSE
// with 6 for a handle that is no token, 998 for a null ReturnLength, 87
// for a class the release does not have, 122 (and the size needed in
// ReturnLength) for a buffer too small, 120 for a class the simulator does
// not keep (the user's and groups' security identifiers, privileges and
// the rest).
extern "C" BOOL WINAPI GetTokenInformation(HANDLE TokenHandle,
                                           TOKEN_INFORMATION_CLASS TokenInformationClass,
                                           LPVOID TokenInformation, DWORD TokenInformationLength,
                                           PDWORD ReturnLength) {
    ExitIfTerminated();
    if (!LookupHandleOf<TokenObject>(TokenHandle, ObjectKind::Token)) {
        return sim::Fail(ERROR_INVALID_HANDLE);
    }
    if (ReturnLength == nullptr) return sim::Fail(ERROR_NOACCESS);
    WindowsRelease release;
    UserKind user;
    CurrentReleaseAndUser(release, user);
    const bool uac = IsWow64Release(release);
    DWORD value = 0;
    switch (TokenInformationClass) {
    case TokenType:
        value = TokenPrimary;
        break;
    case TokenElevationType:
        if (!uac) return sim::Fail(ERROR_INVALID_PARAMETER);
        value = user == UserKind::Administrator ? TokenElevationTypeFull
                : user == UserKind::Standard    ? TokenElevationTypeLimited
                                                : TokenElevationTypeDefault;
        break;
    case TokenElevation:
        if (!uac) return sim::Fail(ERROR_INVALID_PARAMETER);
        value = user == UserKind::Administrator ? 1 : 0;
        break;
    case TokenIsAppContainer:
        // Windows 8 brought the class; desktop programs are never in one.
        if (release != WindowsRelease::Ten && release != WindowsRelease::Eleven) {
            return sim::Fail(ERROR_INVALID_PARAMETER);
        }
        value = 0;
        break;
    default:
        if (TokenInformationClass < TokenUser || TokenInformationClass > TokenIsAppContainer) {
            return sim::Fail(ERROR_INVALID_PARAMETER);
        }
        return sim::Fail(ERROR_CALL_NOT_IMPLEMENTED);
    }
    *ReturnLength = sizeof value;
    if (TokenInformationLength < sizeof value) return sim::Fail(ERROR_INSUFFICIENT_BUFFER);
    if (TokenInformation == nullptr) return sim::Fail(ERROR_NOACCESS);
    std::memcpy(TokenInformation, &value, sizeof value);
    return TRUE;
}

// Returns TRUE with whether the process runs under WOW64: a 32-bit program
// on 7, 10 and 11 x64 does; FALSE with 6 for a handle that is not the
// current process, 998 for a null out pointer.
extern "C" BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
    ExitIfTerminated();
    if (hProcess != GetCurrentProcess()) return sim::Fail(ERROR_INVALID_HANDLE);
    if (Wow64Process == nullptr) return sim::Fail(ERROR_NOACCESS);
    WindowsRelease release;
    UserKind user;
    CurrentReleaseAndUser(release, user);
    *Wow64Process = IsWow64Release(release) ? TRUE : FALSE;
    return TRUE;
}
