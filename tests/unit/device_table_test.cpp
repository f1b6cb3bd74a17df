// The device scan on simulated machines (entries, their order and device
// paths), and the lookups that reach entries by host adapter number and
// the path updates that the class device mapping makes.
#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "discovery_machine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using discovery_test::DiscoveryMachineTest;

std::string Unit(int target, int lun, bool claimed, const std::string& extra = "") {
    return R"({"target": )" + std::to_string(target) + R"(, "lun": )" + std::to_string(lun) +
           R"(, "claimed": )" + (claimed ? "true" : "false") + extra +
           R"(, "backend": {"type": "processor"}})";
}

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
        ASSERT_LT(index, DeviceTable.Count);
        const DeviceEntry& entry = DeviceTable.Entries[index];
        EXPECT_EQ(entry.PortNumber, port) << "entry " << index;
        EXPECT_EQ(entry.PathId, pathId) << "entry " << index;
        EXPECT_EQ(entry.TargetId, target) << "entry " << index;
        EXPECT_EQ(entry.Lun, lun) << "entry " << index;
        EXPECT_EQ(entry.DesiredAccess, 0xC0000000UL) << "entry " << index;
        EXPECT_EQ(entry.ShareMode, 3UL) << "entry " << index;
    }
    static std::string PathOf(int index) { return DeviceTable.Entries[index].DevicePath; }
};

// --- The scan ----------------------------------------------------------------------

TEST_F(DeviceTableTest, ListsUnitsByPortThenBusThenChainOrder) {
    Scan(R"({"ports": [
        {"buses": [{"units": [)" + Unit(5, 0, false) + "," + Unit(1, 0, false) + "," + Unit(1, 1, false) + R"(]},
                   {"units": []},
                   {"units": [)" + Unit(2, 0, false) + R"(]}]},
        {"buses": [{"units": [)" + Unit(0, 0, false) + R"(]}]}]})");
    ASSERT_EQ(DeviceTable.Count, 5);
    ExpectEntry(0, 0, 0, 5, 0);
    ExpectEntry(1, 0, 0, 1, 0);
    ExpectEntry(2, 0, 0, 1, 1);
    ExpectEntry(3, 0, 2, 2, 0);
    ExpectEntry(4, 1, 0, 0, 0);
}

TEST_F(DeviceTableTest, RecordsTypeByteAndClaimAsReported) {
    Scan(R"({"ports": [{"buses": [{"units": [
        {"target": 0, "lun": 0, "claimed": false, "inquiry": {"peripheral": "0x7F"},
         "backend": {"type": "scripted", "responses": []}},
        {"target": 1, "lun": 0, "backend": {"type": "cdrom"}}]}]}]})");
    ASSERT_EQ(DeviceTable.Count, 2);
    EXPECT_EQ(DeviceTable.Entries[0].DeviceType, 0x7F);
    EXPECT_EQ(DeviceTable.Entries[0].DeviceClaimed, 0UL);
    EXPECT_EQ(DeviceTable.Entries[1].DeviceType, 0x05);
    EXPECT_NE(DeviceTable.Entries[1].DeviceClaimed, 0UL);
}

TEST_F(DeviceTableTest, WithoutDriverPathUnclaimedUnitsGetThePortPathAndClaimedNone) {
    Scan(R"({"ports": [{"buses": []}, {"buses": [{"units": [)" + Unit(0, 0, false) + "," +
         Unit(1, 0, true) + R"(]}]}]})");
    ASSERT_EQ(DeviceTable.Count, 2);
    EXPECT_EQ(PathOf(0), "\\\\.\\scsi1:");
    EXPECT_EQ(PathOf(1), "");
}

TEST_F(DeviceTableTest, DriverPathThatOpensServesEveryUnitOfItsPortOnly) {
    Scan(R"({"ports": [
        {"buses": [{"units": [)" + Unit(0, 0, false) + "," + Unit(1, 0, true) + R"(]}]},
        {"aspidrv": true, "buses": [{"units": [)" + Unit(0, 0, false) + "," + Unit(1, 0, true) + R"(]}]}]})");
    ASSERT_EQ(DeviceTable.Count, 4);
    EXPECT_EQ(PathOf(0), "\\\\.\\scsi0:");
    EXPECT_EQ(PathOf(1), "");
    EXPECT_EQ(PathOf(2), "\\\\.\\aspidrv1");
    EXPECT_EQ(PathOf(3), "\\\\.\\aspidrv1");
}

TEST_F(DeviceTableTest, PortThatDoesNotOpenOrAnswerContributesNothing) {
    Install(R"({"ports": [
        {"buses": [{"units": [)" + Unit(0, 0, false) + R"(]}]},
        {"inquiry_error": 31, "buses": [{"units": [)" + Unit(1, 0, false) + R"(]}]},
        {"buses": [{"units": [)" + Unit(2, 0, false) + R"(]}]}]})");
    ScanHostAdapters();
    ASSERT_EQ(PortCount, 3);
    // Port 0's device vanishes between the two scans.
    sim::RemoveDevice("scsi0:");
    RunClean(ScanDevices);
    ASSERT_EQ(DeviceTable.Count, 1);
    ExpectEntry(0, 2, 0, 2, 0);
}

TEST_F(DeviceTableTest, PortWithoutBusesContributesNothing) {
    Scan(R"({"ports": [{"buses": []}, {"buses": [{"units": [)" + Unit(3, 0, false) + R"(]}]}]})");
    ASSERT_EQ(DeviceTable.Count, 1);
    ExpectEntry(0, 1, 0, 3, 0);
}

TEST_F(DeviceTableTest, UnitsOfPortsAndBusesWithoutHostAdapterAreListed) {
    // Port 0 is atapi (no host adapter); port 1's bus 1 has no device map
    // key, so it gets no host adapter either, but its units are reported.
    Scan(R"({"ports": [
        {"driver": "atapi", "buses": [{"units": [)" + Unit(0, 0, false) + R"(]}]},
        {"buses": [{"units": [)" + Unit(1, 0, false) + R"(]},
                   {"device_map": false, "units": [)" + Unit(2, 0, false) + R"(]}]}]})");
    ASSERT_EQ(DeviceTable.Count, 3);
    ASSERT_EQ(AdapterCount, 1);
    EXPECT_EQ(FindDevice(0, 0, 0, 0), &DeviceTable.Entries[0]);
    EXPECT_EQ(FindDevice(1, 1, 2, 0), &DeviceTable.Entries[2]);
    EXPECT_EQ(FindDeviceForHa(0, 1, 0), &DeviceTable.Entries[1]);
    EXPECT_EQ(FindDeviceForHa(0, 0, 0), nullptr);
    EXPECT_EQ(FindDeviceForHa(1, 2, 0), nullptr);
}

TEST_F(DeviceTableTest, DuplicateAddressesAreListedAndTheFirstIsFound) {
    Scan(R"({"ports": [{"buses": [{"units": [
        {"target": 4, "lun": 0, "claimed": false, "inquiry": {"peripheral": 3}, "backend": {"type": "scripted", "responses": []}},
        {"target": 4, "lun": 0, "claimed": false, "inquiry": {"peripheral": 8}, "backend": {"type": "scripted", "responses": []}}]}]}]})");
    ASSERT_EQ(DeviceTable.Count, 2);
    EXPECT_EQ(FindDeviceForHa(0, 4, 0), &DeviceTable.Entries[0]);
    EXPECT_EQ(FindDeviceForHa(0, 4, 0)->DeviceType, 3);
}

TEST_F(DeviceTableTest, MoreThanAHundredUnitsFillTheTableAndNoMore) {
    std::string units;
    for (int target = 0; target < 60; ++target) {
        units += (target ? "," : "") + Unit(target, 0, false);
    }
    const std::string port = R"({"buses": [{"units": [)" + units + "]}]}";
    Scan(R"({"ports": [)" + port + "," + port + "]}");
    EXPECT_EQ(DeviceTable.Count, MaxDeviceEntries);
    ExpectEntry(99, 1, 0, 39, 0);
    EXPECT_EQ(DeviceTable.LookupCache.Word, 0UL);
}

// --- FindDeviceForHa ------------------------------------------------------------------

TEST_F(DeviceTableTest, HostAdapterNumbersMapToTheirPortAndBus) {
    Scan(R"({"ports": [
        {"buses": [{"units": [)" + Unit(1, 0, false) + R"(]}, {"units": [)" + Unit(1, 0, false) + R"(]}]},
        {"buses": [{"units": [)" + Unit(1, 0, false) + R"(]}]}]})");
    ASSERT_EQ(AdapterCount, 3);
    EXPECT_EQ(FindDeviceForHa(0, 1, 0), &DeviceTable.Entries[0]);
    EXPECT_EQ(FindDeviceForHa(1, 1, 0), &DeviceTable.Entries[1]);
    EXPECT_EQ(FindDeviceForHa(2, 1, 0), &DeviceTable.Entries[2]);
    EXPECT_EQ(FindDeviceForHa(0x101, 1, 0), &DeviceTable.Entries[1]);  // low 8 bits
    EXPECT_EQ(FindDeviceForHa(0, 2, 0), nullptr);
}

TEST_F(DeviceTableTest, HostAdapterAtOrBeyondTheCountFindsNothing) {
    Scan(R"({"ports": [{"buses": [{"units": [)" + Unit(1, 0, false) + R"(]}]}]})");
    ASSERT_EQ(AdapterCount, 1);
    // A stale map entry past the count would reach the unit.
    AdapterMap[1] = AdapterMap[0];
    EXPECT_EQ(FindDeviceForHa(1, 1, 0), nullptr);
    EXPECT_EQ(FindDeviceForHa(255, 1, 0), nullptr);
    EXPECT_EQ(FindDeviceForHa(-1, 1, 0), nullptr);
}

// --- SetDevicePath ------------------------------------------------------------------

TEST_F(DeviceTableTest, SetDevicePathReplacesOnlyClaimedUnitsPaths) {
    Scan(R"({"ports": [
        {"buses": [{"units": [)" + Unit(0, 0, false) + "," + Unit(1, 0, true) + R"(]}]},
        {"aspidrv": true, "buses": [{"units": [)" + Unit(2, 0, true) + "," + Unit(3, 0, false) + R"(]}]}]})");
    ASSERT_EQ(DeviceTable.Count, 4);
    SetDevicePath(0, 0, 0, 0, "\\\\.\\Tape0");
    SetDevicePath(0, 0, 1, 0, "\\\\.\\PhysicalDrive3");
    SetDevicePath(1, 0, 2, 0, "\\\\.\\Scanner1");
    SetDevicePath(1, 0, 3, 0, "\\\\.\\Scanner2");
    EXPECT_EQ(PathOf(0), "\\\\.\\scsi0:");
    EXPECT_EQ(PathOf(1), "\\\\.\\PhysicalDrive3");
    EXPECT_EQ(PathOf(2), "\\\\.\\Scanner1");  // in place of the driver path
    EXPECT_EQ(PathOf(3), "\\\\.\\aspidrv1");
}

TEST_F(DeviceTableTest, SetDevicePathOnAnAbsentUnitChangesNothing) {
    Scan(R"({"ports": [{"buses": [{"units": [)" + Unit(1, 0, true) + R"(]}]}]})");
    DeviceTableState before;
    memcpy(&before, &DeviceTable, sizeof before);
    SetDevicePath(0, 0, 2, 0, "\\\\.\\PhysicalDrive0");
    SetDevicePath(1, 0, 1, 0, "\\\\.\\PhysicalDrive0");
    EXPECT_EQ(memcmp(&before, &DeviceTable, sizeof before), 0);
}

TEST_F(DeviceTableTest, SetDevicePathRefusesAPathThatDoesNotFit) {
    Scan(R"({"ports": [{"buses": [{"units": [)" + Unit(1, 0, true) + R"(]}]}]})");
    const std::string longest(31, 'p');
    SetDevicePath(0, 0, 1, 0, longest.c_str());
    EXPECT_EQ(PathOf(0), longest);
    SetDevicePath(0, 0, 1, 0, std::string(32, 'q').c_str());
    EXPECT_EQ(PathOf(0), longest);
}

TEST_F(DeviceTableTest, SetDevicePathFindsTheUnitThroughTheCache) {
    Scan(R"({"ports": [{"buses": [{"units": [)" + Unit(1, 0, true) + "," + Unit(2, 0, true) + R"(]}]}]})");
    SetDevicePath(0, 0, 2, 0, "\\\\.\\Tape0");
    EXPECT_EQ(DeviceTable.LookupCache.Word, 2UL);
    EXPECT_EQ(FindDevice(0, 0, 2, 0), &DeviceTable.Entries[1]);
}

}  // namespace
