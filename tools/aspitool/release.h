// The Windows release the tool runs on and whether its process is elevated:
// what a user must know to read a scan or a check, since under UAC a
// program without elevation may reach CD and DVD drives but no other unit.
#ifndef ASPITOOL_RELEASE_H
#define ASPITOOL_RELEASE_H

#include "json.h"

#include <cstdint>
#include <string>

namespace aspitool {

enum class Elevation {
    NoUac,                  // a release before Vista: no elevation at all
    Elevated,               // an elevated administrator (or UAC turned off)
    FilteredAdministrator,  // an administrator's program run without elevation
    StandardUser,           // a standard user
    Unknown,                // the token could not be read
};

struct ReleaseFacts {
    bool known = false;  // GetVersionExA answered
    uint32_t major = 0, minor = 0, build = 0;
    std::string servicePack;
    bool wow64 = false;  // a 32-bit process on 64-bit Windows
    Elevation elevation = Elevation::Unknown;
};

// Returns the facts of the running system, read once.
const ReleaseFacts& CurrentRelease();
// Returns true when the process runs under UAC without elevation, so that
// units other than CD and DVD drives are most likely out of its reach.
bool LacksElevation(const ReleaseFacts& facts);
// Returns the release in words: "Windows 7 Service Pack 1 (6.1.7601), 64-bit
// (this 32-bit program runs under WOW64)".
std::string ReleaseText(const ReleaseFacts& facts);
// Returns the elevation in words, empty before Vista.
std::string ElevationText(const ReleaseFacts& facts);
// Returns {"version", "name", "service_pack", "wow64", "uac", "elevated",
// "elevation"} for the JSON documents.
Json ReleaseJson(const ReleaseFacts& facts);
// Returns what a user without elevation is told about units the process
// may not send commands to.
std::string ElevationAdvice();

}  // namespace aspitool

#endif
