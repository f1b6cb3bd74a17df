// The device scan on simulated machines (entries, their order and device
// paths), the lookups by host adapter number, and SetDevicePath's refusals.
#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "discovery_machine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using discovery_test::DiscoveryMachineTest;

std::string Unit(int target, bool claimed = false, int lun = 0) {
    return R"({"target": )" + std::to_string(target) + R"(, "lun": )" + std::to_string(lun) +
           R"(, "claimed": )" + (claimed ? "true" : "false") +
           R"(, "backend": {"type": "processor"}})";
}

// Returns a port object whose one bus holds these units, after extra members.
std::string Bus(const std::string& units, const std::string& members = "") {
    return "{" + members + R"("buses": [{"units": [)" + units + "]}]}";
}

std::string Ports(const std::string& ports) { return R"({"ports": [)" + ports + "]}"; }

class DeviceTableTest : public DiscoveryMachineTest {
protected:
    void Scan(const std::string& machine) {
        Install(machine);
        RunClean([] {
            ScanHostAdapters();
            ScanDevices();
        });
    }
    static void ExpectEntry(int index, int port, int pathId, int target, int lun) {
        SCOPED_TRACE(testing::Message() << "entry " << index);
        ASSERT_LT(index, DeviceTable.Count);
        const DeviceEntry& entry = DeviceTable.Entries[index];
        EXPECT_EQ(entry.PortNumber, port);
        EXPECT_EQ(entry.PathId, pathId);
        EXPECT_EQ(entry.TargetId, target);
        EXPECT_EQ(entry.Lun, lun);
        EXPECT_EQ(entry.DeviceType, 0x03);  // processor
        EXPECT_EQ(entry.DesiredAccess, 0xC0000000UL);
        EXPECT_EQ(entry.ShareMode, 3UL);
    }
    static std::string PathOf(int index) { return DeviceTable.Entries[index].DevicePath; }
};

TEST_F(DeviceTableTest, ListsUnitsByPortThenBusThenChainOrder) {
    Scan(Ports(R"({"buses": [{"units": [)" + Unit(5) + "," + Unit(1) + "," + Unit(1, false, 1) +
               R"(]}, {"units": []}, {"units": [)" + Unit(2) + R"(]}]},)" + Bus(Unit(0))));
    ASSERT_EQ(DeviceTable.Count, 5);
    ExpectEntry(0, 0, 0, 5, 0);
    ExpectEntry(1, 0, 0, 1, 0);
    ExpectEntry(2, 0, 0, 1, 1);
    ExpectEntry(3, 0, 2, 2, 0);
    ExpectEntry(4, 1, 0, 0, 0);
}

TEST_F(DeviceTableTest, DriverPathThatOpensServesEveryUnitOfItsPortOnly) {
    const std::string units = Unit(0) + "," + Unit(1, true);
    Scan(Ports(Bus(units) + "," + Bus(units, R"("aspidrv": true, )")));
    ASSERT_EQ(DeviceTable.Count, 4);
    EXPECT_EQ(PathOf(0), "\\\\.\\scsi0:");
    EXPECT_EQ(PathOf(1), "");  // claimed
    EXPECT_EQ(PathOf(2), "\\\\.\\aspidrv1");
    EXPECT_EQ(PathOf(3), "\\\\.\\aspidrv1");
}

TEST_F(DeviceTableTest, PortsThatDoNotOpenOrAnswerOrHaveNoBusesContributeNothing) {
    Install(Ports(Bus(Unit(0)) + "," + Bus(Unit(1), R"("inquiry_error": 31, )") +
                  R"(, {"buses": []}, )" + Bus(Unit(2))));
    ScanHostAdapters();
    ASSERT_EQ(PortCount, 4);
    sim::RemoveDevice("scsi0:");  // vanishes between the two scans
    RunClean(ScanDevices);
    ASSERT_EQ(DeviceTable.Count, 1);
    ExpectEntry(0, 3, 0, 2, 0);
}

TEST_F(DeviceTableTest, HostAdapterNumbersReachTheUnitsOfTheirPortAndBusOnly) {
    // Port 0 is atapi and port 1's bus 2 has no device map key: neither
    // gets a host adapter, but their units are listed.
    Scan(Ports(Bus(Unit(0), R"("driver": "atapi", )") + R"(, {"buses": [{"units": [)" + Unit(1) +
               R"(]}, {"units": [)" + Unit(1) + R"(]}, {"device_map": false, "units": [)" +
               Unit(2) + "]}]}," + Bus(Unit(1))));
    ASSERT_EQ(DeviceTable.Count, 5);
    ASSERT_EQ(AdapterCount, 3);
    EXPECT_EQ(FindDevice(0, 0, 0, 0), &DeviceTable.Entries[0]);
    EXPECT_EQ(FindDevice(1, 2, 2, 0), &DeviceTable.Entries[3]);
    AdapterMap[3] = AdapterMap[0];  // a stale entry past the count is not used
    const struct {
        int ha, target, entry;  // entry -1: none
    } cases[] = {{0, 1, 1},  {1, 1, 2},  {2, 1, 4},    {0x101, 1, 2},  // low 8 bits count
                 {0, 0, -1}, {0, 2, -1}, {3, 1, -1}, {255, 1, -1}, {-1, 1, -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(FindDeviceForHa(c.ha, c.target, 0),
                  c.entry < 0 ? nullptr : &DeviceTable.Entries[c.entry])
            << "ha " << c.ha << " target " << c.target;
    }
}

TEST_F(DeviceTableTest, SetDevicePathChangesNothingForAnAbsentUnitOrAPathThatDoesNotFit) {
    Scan(Ports(Bus(Unit(1, true))));
    const std::string longest(DevicePathLength - 1, 'p');
    SetDevicePath(0, 0, 1, 0, longest.c_str());
    EXPECT_EQ(PathOf(0), longest);
    DeviceTableState before;
    memcpy(&before, &DeviceTable, sizeof before);
    SetDevicePath(0, 0, 2, 0, "\\\\.\\PhysicalDrive0");
    SetDevicePath(1, 0, 1, 0, "\\\\.\\PhysicalDrive0");
    SetDevicePath(0, 0, 1, 0, std::string(DevicePathLength, 'q').c_str());
    EXPECT_EQ(memcmp(&before, &DeviceTable, sizeof before), 0);
}

}  // namespace
