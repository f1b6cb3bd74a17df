// What `aspitool scan --json` must report for a machine file, worked out
// from the file itself: the host adapter numbering (every bus of every port
// whose driver is not an "atapi" one), the adapter limits and each unit's
// INQUIRY identity.
#ifndef PTASPI_TESTS_TOOL_EXPECTED_SCAN_H
#define PTASPI_TESTS_TOOL_EXPECTED_SCAN_H

#include <nlohmann/json.hpp>

namespace tooltest {

// Returns the "adapters" array the scan must print for `machine`. Handles
// the members the tool tests use: ports with a driver name and the default
// image path, buses with or without an initiator id, units that state their
// vendor, product and revision.
nlohmann::json ExpectedAdapters(const nlohmann::json& machine);

}  // namespace tooltest

#endif
