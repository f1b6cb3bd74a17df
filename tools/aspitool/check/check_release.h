// What the check report says of the system it ran on: the release, the
// process's elevation, and the units that a process without elevation
// could not send commands to.
#ifndef ASPITOOL_CHECK_RELEASE_H
#define ASPITOOL_CHECK_RELEASE_H

#include "check.h"

#include <string>

namespace aspitool {

// Returns the report's lines about the release and the elevation, each
// ending in a newline.
std::string ReleaseLines();
// Returns the line (with its newline) naming the units the library could
// not reach when the process runs without elevation; empty otherwise.
std::string UnreachedLine(const CheckRun& run);
// Returns nothing; adds "windows" (the release and the elevation) and
// "unreached" to the report's JSON document.
void AddReleaseJson(const CheckRun& run, Json& document);
// Returns the words a skip adds for a unit the library cannot reach: why,
// when the process runs without elevation; empty otherwise.
std::string UnreachableReason();

}  // namespace aspitool

#endif
