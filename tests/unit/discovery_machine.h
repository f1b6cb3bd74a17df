// The discovery tests' fixture: a machine built from JSON, empty tables,
// and a check that a scan left no registry key or handle open.
#ifndef PTASPI_TESTS_UNIT_DISCOVERY_MACHINE_H
#define PTASPI_TESTS_UNIT_DISCOVERY_MACHINE_H

#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace discovery_test {

class DiscoveryMachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFaults();
        memset(&DeviceTable, 0, sizeof DeviceTable);
        memset(PortTable, 0, sizeof PortTable);
        memset(AdapterMap, 0, sizeof AdapterMap);
        memset(PortlessPorts, 0, sizeof PortlessPorts);
        PortlessPortCount = 0;
        PortCount = 0;
        AdapterCount = 0;
    }
    void TearDown() override {
        sim::ClearFaults();
        sim::UninstallMachine();
    }

    static void Install(const std::string& text) {
        sim::Machine machine;
        std::string error;
        ASSERT_TRUE(sim::ParseMachine(text, machine, error)) << error << "\n" << text;
        ASSERT_TRUE(sim::InstallMachine(machine, error)) << error;
    }

    // Returns nothing: runs the scan and checks that it closed what it opened.
    template <class Scan>
    static void RunClean(Scan scan) {
        const size_t keys = sim::OpenRegistryKeyCount();
        const size_t handles = sim::OpenHandleCount();
        scan();
        EXPECT_EQ(sim::OpenRegistryKeyCount(), keys) << "registry key left open";
        EXPECT_EQ(sim::OpenHandleCount(), handles) << "handle left open";
    }
};

}  // namespace discovery_test

#endif
