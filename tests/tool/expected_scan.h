// What `aspitool scan --json` must report for a machine file, worked out
// from the file itself: every bus of every port whose driver is not an
// "atapi" one is a host adapter, with the port's limits and each unit's
// INQUIRY identity.
#ifndef PTASPI_TESTS_TOOL_EXPECTED_SCAN_H
#define PTASPI_TESTS_TOOL_EXPECTED_SCAN_H

#include <nlohmann/json.hpp>

namespace tooltest {

// Returns the "adapters" array the scan must print for `machine`, for the
// members the tool tests use: driver names with the default image path,
// buses with or without an initiator id, units stating their identity.
nlohmann::json ExpectedAdapters(const nlohmann::json& machine);

}  // namespace tooltest

#endif
