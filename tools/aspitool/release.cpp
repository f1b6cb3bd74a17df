#include "release.h"

#include "system_calls.h"

#include <cstdio>
#include <cstring>

namespace aspitool {
namespace {

// TOKEN_INFORMATION_CLASS values, from Vista on: older headers lack them.
const int TokenElevationTypeClass = 18;
const int TokenElevationClass = 20;
const DWORD ElevationTypeLimited = 3;

// Returns how the process token says it runs.
Elevation ReadElevation(const SystemCalls& calls) {
    if (calls.openProcessToken == nullptr || calls.getTokenInformation == nullptr) {
        return Elevation::NoUac;
    }
    HANDLE token = nullptr;
    if (!calls.openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return Elevation::Unknown;
    DWORD elevated = 0, type = 0, returned = 0;
    Elevation result = Elevation::Unknown;
    if (!calls.getTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(TokenElevationClass),
                                   &elevated, sizeof elevated, &returned)) {
        // Before Vista the class does not exist.
        if (GetLastError() == ERROR_INVALID_PARAMETER) result = Elevation::NoUac;
    } else if (elevated != 0) {
        result = Elevation::Elevated;
    } else if (calls.getTokenInformation(token,
                                         static_cast<TOKEN_INFORMATION_CLASS>(TokenElevationTypeClass),
                                         &type, sizeof type, &returned) &&
               type == ElevationTypeLimited) {
        result = Elevation::FilteredAdministrator;
    } else {
        result = Elevation::StandardUser;
    }
    CloseHandle(token);
    return result;
}

ReleaseFacts ReadReleaseFacts() {
    SystemCalls calls;
    LoadSystemCalls(calls);
    ReleaseFacts facts;
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (calls.getVersionEx != nullptr && calls.getVersionEx(&version)) {
        facts.known = true;
        facts.major = version.dwMajorVersion;
        facts.minor = version.dwMinorVersion;
        facts.build = version.dwBuildNumber;
        version.szCSDVersion[sizeof version.szCSDVersion - 1] = '\0';
        facts.servicePack = version.szCSDVersion;
    }
    BOOL wow64 = FALSE;
    facts.wow64 = calls.isWow64Process != nullptr &&
                  calls.isWow64Process(GetCurrentProcess(), &wow64) && wow64;
    facts.elevation = ReadElevation(calls);
    return facts;
}

// Returns the release's name for its version numbers.
std::string ReleaseName(const ReleaseFacts& facts) {
    const uint32_t version = facts.major * 100 + facts.minor;
    switch (version) {
    case 400: return "Windows NT 4.0";
    case 500: return "Windows 2000";
    case 501: return "Windows XP";
    case 502: return "Windows XP x64 or Server 2003";
    case 600: return "Windows Vista";
    case 601: return "Windows 7";
    // Windows 8.1, 10 and 11 report 6.2 to programs not declared for them.
    case 602: return "Windows 8 or later";
    case 603: return "Windows 8.1";
    case 1000: return "Windows 10 or 11";
    default: return "Windows NT " + std::to_string(facts.major) + "." + std::to_string(facts.minor);
    }
}

}  // namespace

const ReleaseFacts& CurrentRelease() {
    static const ReleaseFacts facts = ReadReleaseFacts();
    return facts;
}

bool LacksElevation(const ReleaseFacts& facts) {
    return facts.elevation == Elevation::FilteredAdministrator ||
           facts.elevation == Elevation::StandardUser;
}

std::string ReleaseText(const ReleaseFacts& facts) {
    if (!facts.known) return "unknown (GetVersionExA failed)";
    std::string text = ReleaseName(facts);
    if (!facts.servicePack.empty()) text += " " + facts.servicePack;
    text += " (" + std::to_string(facts.major) + "." + std::to_string(facts.minor) + "." +
            std::to_string(facts.build) + ")";
    if (facts.wow64) text += ", 64-bit (this 32-bit program runs under WOW64)";
    return text;
}

std::string ElevationText(const ReleaseFacts& facts) {
    switch (facts.elevation) {
    case Elevation::NoUac: return "";
    case Elevation::Elevated: return "elevated";
    case Elevation::FilteredAdministrator:
        return "not elevated (an administrator's program run without elevation)";
    case Elevation::StandardUser: return "not elevated (a standard user)";
    case Elevation::Unknown: return "unknown (the process token could not be read)";
    }
    return "";
}

Json ReleaseJson(const ReleaseFacts& facts) {
    Json json = Json::Object();
    json.Set("version", facts.known ? Json::Text(std::to_string(facts.major) + "." +
                                                 std::to_string(facts.minor) + "." +
                                                 std::to_string(facts.build))
                                    : Json::Null());
    json.Set("name", facts.known ? Json::Text(ReleaseName(facts)) : Json::Null());
    json.Set("service_pack", Json::Text(facts.servicePack));
    json.Set("wow64", Json::Boolean(facts.wow64));
    const bool uac = facts.elevation != Elevation::NoUac;
    json.Set("uac", Json::Boolean(uac));
    const bool known = uac && facts.elevation != Elevation::Unknown;
    json.Set("elevated", known ? Json::Boolean(facts.elevation == Elevation::Elevated) : Json::Null());
    const char* kind = facts.elevation == Elevation::Elevated                ? "elevated"
                       : facts.elevation == Elevation::FilteredAdministrator ? "filtered_administrator"
                       : facts.elevation == Elevation::StandardUser          ? "standard_user"
                                                                             : nullptr;
    json.Set("elevation", kind != nullptr ? Json::Text(kind) : Json::Null());
    return json;
}

std::string ElevationAdvice() {
    return "this process runs without elevation, and Windows lets it send commands to CD and "
           "DVD drives at most; from a command prompt started with 'Run as administrator' every "
           "unit is reached";
}

}  // namespace aspitool
