// The class device path mapping on simulated machines: which class devices
// and drive roots are probed, in which order, and which device paths the
// claimed units end with.
#include "discovery/class_devices.h"
#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "discovery_machine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using discovery_test::DiscoveryMachineTest;

// A unit at target `target` of port 0, bus 0, with extra members.
std::string Unit(int target, const std::string& members, const std::string& type = "disk") {
    return R"({"target": )" + std::to_string(target) + R"(, "lun": 0)" +
           (members.empty() ? "" : ", " + members) + R"(, "backend": {"type": ")" + type +
           R"("}})";
}

// A machine with one port (of these members) and one bus of these units.
std::string OnePort(const std::string& units, const std::string& portMembers = "",
                    const std::string& machineMembers = "") {
    return R"({"ports": [{)" + portMembers + (portMembers.empty() ? "" : ", ") +
           R"("buses": [{"units": [)" + units + "]}]}]" +
           (machineMembers.empty() ? "" : ", " + machineMembers) + "}";
}

class ClassDevicesTest : public DiscoveryMachineTest {
protected:
    // Returns the number of CreateFileA calls that the mapping made.
    unsigned Map(const std::string& machine) {
        Install(machine);
        ScanHostAdapters();
        ScanDevices();
        sim::ResetCallCounts();
        RunClean(MapClassDevices);
        return sim::CallCount(sim::Call::CreateFileA);
    }
    static std::string PathOf(int target) {
        const DeviceEntry* entry = FindDevice(0, 0, target, 0);
        EXPECT_NE(entry, nullptr) << "target " << target;
        return entry != nullptr ? entry->DevicePath : "<absent>";
    }
};

TEST_F(ClassDevicesTest, PrefixesAreProbedInOrder) {
    ASSERT_STREQ(ClassDevicePrefixes[0], "PhysicalDrive");
    ASSERT_STREQ(ClassDevicePrefixes[1], "Scanner");
    ASSERT_STREQ(ClassDevicePrefixes[2], "Tape");
    EXPECT_EQ(ClassDevicePrefixes[3], nullptr);
}

TEST_F(ClassDevicesTest, EachClassDeviceGivesItsPathToItsClaimedUnit) {
    const unsigned opens = Map(OnePort(
        Unit(0, R"("class_device": "PhysicalDrive0")") + "," +
        Unit(1, R"("class_device": "PhysicalDrive1")") + "," +
        Unit(2, R"("class_device": "Scanner0")", "scanner") + "," +
        Unit(3, R"("class_device": "Scanner1")", "scanner") + "," +
        Unit(4, R"("class_device": "Tape0")", "tape")));
    EXPECT_EQ(PathOf(0), "\\\\.\\PhysicalDrive0");
    EXPECT_EQ(PathOf(1), "\\\\.\\PhysicalDrive1");
    EXPECT_EQ(PathOf(2), "\\\\.\\Scanner0");
    EXPECT_EQ(PathOf(3), "\\\\.\\Scanner1");
    EXPECT_EQ(PathOf(4), "\\\\.\\Tape0");
    // aspidrv0, PhysicalDrive0-2, Scanner0-2, Tape0-1; no drive roots.
    EXPECT_EQ(opens, 1u + 3u + 3u + 2u);
}

TEST_F(ClassDevicesTest, FirstDriverDeviceOpeningStopsAllProbing) {
    const std::string machine = R"({"ports": [
        {"aspidrv": true, "buses": [{"units": [)" + Unit(0, R"("class_device": "PhysicalDrive0")") + R"(]}]},
        {"buses": [{"units": [)" + Unit(0, R"("class_device": "PhysicalDrive1", "drive": "E")", "cdrom") + R"(]}]}]})";
    EXPECT_EQ(Map(machine), 1u);
    EXPECT_EQ(std::string(FindDevice(0, 0, 0, 0)->DevicePath), "\\\\.\\aspidrv0");
    EXPECT_EQ(std::string(FindDevice(1, 0, 0, 0)->DevicePath), "");
}

TEST_F(ClassDevicesTest, ClassDevicePathReplacesADriverPathOfAnotherPort) {
    const std::string machine = R"({"ports": [
        {"buses": [{"units": [)" + Unit(0, R"("class_device": "PhysicalDrive0")") + R"(]}]},
        {"aspidrv": true, "buses": [{"units": [)" + Unit(0, R"("class_device": "PhysicalDrive1")") + "," +
        Unit(1, R"("claimed": false, "class_device": "PhysicalDrive2")") + R"(]}]}]})";
    Map(machine);
    EXPECT_EQ(std::string(FindDevice(0, 0, 0, 0)->DevicePath), "\\\\.\\PhysicalDrive0");
    EXPECT_EQ(std::string(FindDevice(1, 0, 0, 0)->DevicePath), "\\\\.\\PhysicalDrive1");
    EXPECT_EQ(std::string(FindDevice(1, 0, 1, 0)->DevicePath), "\\\\.\\aspidrv1");
}

TEST_F(ClassDevicesTest, NumberingEndsAtTheFirstDeviceThatDoesNotOpen) {
    const unsigned opens = Map(OnePort(
        Unit(0, R"("class_device": "PhysicalDrive0")") + "," +
        Unit(2, R"("class_device": "PhysicalDrive2")") + "," +
        Unit(3, R"("class_device": "Scanner0")", "scanner")));
    EXPECT_EQ(PathOf(0), "\\\\.\\PhysicalDrive0");
    EXPECT_EQ(PathOf(2), "");  // PhysicalDrive1 is missing, so 2 is never tried
    EXPECT_EQ(PathOf(3), "\\\\.\\Scanner0");
    // aspidrv0, PhysicalDrive0-1, Scanner0-1, Tape0.
    EXPECT_EQ(opens, 1u + 2u + 2u + 1u);
}

TEST_F(ClassDevicesTest, DeviceRefusingTheOpenEndsItsNumberingToo) {
    Map(OnePort(Unit(0, R"("class_device": "PhysicalDrive0", "access": "none")") + "," +
                Unit(1, R"("class_device": "PhysicalDrive1")")));
    EXPECT_EQ(PathOf(0), "");
    EXPECT_EQ(PathOf(1), "");
}

TEST_F(ClassDevicesTest, DeviceThatOpensWithoutAddressDoesNotStopNumbering) {
    Map(OnePort(Unit(0, R"("class_device": "PhysicalDrive0", "address_error": 1)") + "," +
                Unit(1, R"("class_device": "PhysicalDrive1")")));
    EXPECT_EQ(PathOf(0), "");
    EXPECT_EQ(PathOf(1), "\\\\.\\PhysicalDrive1");
}

TEST_F(ClassDevicesTest, OnlyCdRomDriveRootsAreProbedByLetterAndColon) {
    const unsigned opens = Map(OnePort(
        Unit(0, R"("drive": "E")", "cdrom") + "," + Unit(1, R"("drive": "G")", "cdrom"),
        "", R"("drives": [{"letter": "C", "type": "fixed"}, {"letter": "D", "type": "removable"},
                          {"letter": "F", "type": "remote"}, {"letter": "H", "type": "ramdisk"},
                          {"letter": "K", "type": "cdrom"}])"));
    EXPECT_EQ(PathOf(0), "\\\\.\\E:");
    EXPECT_EQ(PathOf(1), "\\\\.\\G:");
    // aspidrv0, PhysicalDrive0, Scanner0, Tape0, then E:, G: and K: (which
    // opens but has no address; the walk goes on past it).
    EXPECT_EQ(opens, 4u + 3u);
}

TEST_F(ClassDevicesTest, LastClassDeviceReportingAUnitWins) {
    Map(OnePort(Unit(0, R"("class_device": "Scanner0", "drive": "E")", "cdrom") + "," +
                Unit(1, R"("class_device": "PhysicalDrive0")")));
    EXPECT_EQ(PathOf(0), "\\\\.\\E:");
    EXPECT_EQ(PathOf(1), "\\\\.\\PhysicalDrive0");
}

TEST_F(ClassDevicesTest, ClassDeviceOfAnUnclaimedUnitLeavesItsPortPath) {
    Map(OnePort(Unit(0, R"("claimed": false, "class_device": "PhysicalDrive0")")));
    EXPECT_EQ(PathOf(0), "\\\\.\\scsi0:");
}

TEST_F(ClassDevicesTest, ClaimedUnitWithoutClassDeviceKeepsAnEmptyPathAndIsStillFound) {
    Map(OnePort(Unit(0, "", "tape") + "," + Unit(1, R"("class_device": "Tape0")", "tape")));
    EXPECT_EQ(PathOf(0), "");
    EXPECT_EQ(FindDeviceForHa(0, 0, 0)->DeviceType, 0x01);
    EXPECT_EQ(PathOf(1), "\\\\.\\Tape0");
}

TEST_F(ClassDevicesTest, FailedDriveListSkipsTheCdRomPass) {
    Install(OnePort(Unit(0, R"("drive": "E")", "cdrom") + "," +
                    Unit(1, R"("class_device": "PhysicalDrive0")")));
    ScanHostAdapters();
    ScanDevices();
    sim::FailCall(sim::Call::GetLogicalDriveStringsA, 1, ERROR_NOT_ENOUGH_MEMORY);
    sim::ResetCallCounts();
    RunClean(MapClassDevices);
    EXPECT_EQ(sim::CallCount(sim::Call::GetDriveTypeA), 0u);
    EXPECT_EQ(PathOf(0), "");
    EXPECT_EQ(PathOf(1), "\\\\.\\PhysicalDrive0");
}

TEST_F(ClassDevicesTest, ProbeReportsTheOpenNotTheAddress) {
    Install(OnePort(Unit(0, R"("class_device": "PhysicalDrive0", "address_error": 1)") + "," +
                    Unit(1, R"("class_device": "Tape0", "access": "none")", "tape")));
    EXPECT_EQ(ProbeClassDevice("PhysicalDrive0"), 0UL);
    EXPECT_EQ(ProbeClassDevice("PhysicalDrive1"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ProbeClassDevice("Tape0"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ProbeClassDevice(std::string(300, 'n').c_str()),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ClassDevicesTest, DefaultMachineEndsWithEveryClaimedUnitMapped) {
    sim::InstallDefaultMachine();
    RunClean([] {
        ScanHostAdapters();
        ScanDevices();
        MapClassDevices();
    });
    ASSERT_EQ(DeviceTable.Count, 8);
    EXPECT_STREQ(FindDevice(0, 0, 0, 0)->DevicePath, "\\\\.\\PhysicalDrive0");
    EXPECT_STREQ(FindDevice(0, 0, 1, 0)->DevicePath, "\\\\.\\D:");
    EXPECT_STREQ(FindDevice(1, 0, 0, 0)->DevicePath, "\\\\.\\PhysicalDrive1");
    EXPECT_STREQ(FindDevice(1, 0, 2, 0)->DevicePath, "\\\\.\\scsi1:");
    EXPECT_STREQ(FindDevice(1, 0, 3, 0)->DevicePath, "\\\\.\\E:");
    EXPECT_STREQ(FindDevice(1, 0, 5, 0)->DevicePath, "\\\\.\\Tape0");
    EXPECT_STREQ(FindDevice(1, 0, 6, 0)->DevicePath, "\\\\.\\Scanner0");
    EXPECT_STREQ(FindDevice(2, 0, 1, 0)->DevicePath, "\\\\.\\PhysicalDrive2");
}

}  // namespace
