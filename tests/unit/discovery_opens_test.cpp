// What discovery opens and asks, and how: every device opened read-only and
// sharing reads, no port beyond the tenth or beyond the host adapter scan's
// count, and one inquiry data request per port.
#include "discovery/class_devices.h"
#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "discovery_machine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using discovery_test::DiscoveryMachineTest;

// The error of a fault that no real call reports.
constexpr DWORD Untouched = 0x20000001;

std::string Unit(int target, const std::string& members, const std::string& type = "disk") {
    return R"({"target": )" + std::to_string(target) + R"(, "lun": 0, )" + members +
           R"("backend": {"type": ")" + type + R"("}})";
}

// Returns "\\.\" followed by name.
std::string Device(const std::string& name) { return "\\\\.\\" + name; }

// Returns nothing: from now on the first open of the device fails with
// Untouched, so that NotOpened can tell whether anyone opened it.
void Watch(const std::string& name) {
    sim::FailCall(sim::Call::CreateFileA, 1, Untouched, 1, Device(name));
}

// Returns true when the watched device was not opened since Watch.
bool NotOpened(const std::string& name) {
    HANDLE device = CreateFileA(Device(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return GetLastError() == Untouched;
    CloseHandle(device);
    return false;
}

class DiscoveryOpensTest : public DiscoveryMachineTest {};

TEST_F(DiscoveryOpensTest, EveryOpenReadsOnlyAndSharesReading) {
    const std::string units0 = Unit(0, R"("class_device": "PhysicalDrive0", )") + "," +
                               Unit(1, R"("class_device": "Scanner0", )", "scanner") + "," +
                               Unit(2, R"("class_device": "Tape0", )", "tape") + "," +
                               Unit(3, R"("drive": "E", )", "cdrom") + "," +
                               Unit(4, "", "processor");
    const struct {
        std::string ports;
        LONG portCount;
        std::vector<std::string> devices;  // every device that discovery opens
        std::vector<std::string> paths;    // by port, then target
    } machines[] = {
        {R"({"buses": [{"units": [)" + units0 + R"(]}]}, {"aspidrv": true, "buses": [{"units": [)" +
             Unit(0, R"("class_device": "PhysicalDrive1", )") + "," + Unit(1, "", "processor") +
             "]}]}",
         2,
         {"scsi0:", "scsi1:", "aspidrv1", "PhysicalDrive0", "Scanner0", "Tape0", "E:",
          "PhysicalDrive1"},
         {"PhysicalDrive0", "Scanner0", "Tape0", "E:", "scsi0:", "PhysicalDrive1", "aspidrv1"}},
        // aspidrv0 opens, so no class device is probed.
        {R"({"aspidrv": true, "buses": [{"units": [)" +
             Unit(0, R"("class_device": "PhysicalDrive0", )") + "]}]}",
         1,
         {"scsi0:", "aspidrv0", "PhysicalDrive0"},
         {"aspidrv0"}},
    };
    for (const auto& machine : machines) {
        for (const bool limited : {true, false}) {
            SCOPED_TRACE(machine.devices[1] + (limited ? ", limited user" : ", held open"));
            SetUp();
            Install(std::string(R"({"user": ")") + (limited ? "limited" : "administrator") +
                    R"(", "ports": [)" + machine.ports + "]}");
            std::vector<HANDLE> held;
            for (const std::string& name : limited ? std::vector<std::string>() : machine.devices) {
                held.push_back(CreateFileA(Device(name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
                ASSERT_NE(held.back(), INVALID_HANDLE_VALUE) << name;
            }
            RunClean([] {
                ScanHostAdapters();
                ScanDevices();
                MapClassDevices();
            });
            for (HANDLE handle : held) CloseHandle(handle);
            EXPECT_EQ(PortCount, machine.portCount);
            EXPECT_EQ(AdapterCount, PortCount);
            ASSERT_EQ(DeviceTable.Count, static_cast<LONG>(machine.paths.size()));
            for (size_t i = 0; i < machine.paths.size(); ++i) {
                EXPECT_EQ(DeviceTable.Entries[i].DevicePath, Device(machine.paths[i])) << i;
            }
            TearDown();
        }
    }
}

TEST_F(DiscoveryOpensTest, NoPortBeyondTheTenthOrTheRecordedPortsIsOpened) {
    std::string eleven;
    for (int port = 0; port <= 10; ++port) eleven += (port ? "," : "") + std::string("{}");
    const struct {
        std::string ports;
        LONG portCount, entries;
        std::vector<std::string> unopened;
        bool watchHostAdapterScan;  // else only the device scan is watched
    } cases[] = {
        {eleven, 10, 0, {"scsi10:"}, true},
        // Port 1 opens but has no device map key: the host adapter scan ends there.
        {R"({"buses": [{"units": [)" + Unit(0, "", "processor") +
             R"(]}]}, {"device_map": false, "buses": [{"units": [)" + Unit(1, "", "processor") +
             R"(]}]}, {"buses": [{"units": [)" + Unit(2, "", "processor") + "]}]}",
         1, 1, {"scsi1:", "scsi2:"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.unopened.front());
        SetUp();
        Install(R"({"ports": [)" + c.ports + "]}");
        const auto watch = [&c] {
            for (const std::string& name : c.unopened) Watch(name);
        };
        if (c.watchHostAdapterScan) watch();
        ScanHostAdapters();
        EXPECT_EQ(PortCount, c.portCount);
        if (!c.watchHostAdapterScan) watch();
        ScanDevices();
        for (const std::string& name : c.unopened) EXPECT_TRUE(NotOpened(name)) << name;
        EXPECT_EQ(DeviceTable.Count, c.entries);
        TearDown();
    }
}

TEST_F(DiscoveryOpensTest, EachPortIsAskedForItsInquiryDataOnceEvenWhenItFails) {
    Install(R"({"ports": [{}, {"inquiry_error": 122}, {}]})");
    ScanHostAdapters();
    ASSERT_EQ(PortCount, 3);
    sim::ResetCallCounts();
    RunClean(ScanDevices);
    EXPECT_EQ(sim::CallCount(sim::Call::DeviceIoControl), 3u);
}

}  // namespace

namespace {

TEST_F(DiscoveryOpensTest, OpensRefusedForReadingAreMadeAgainAskingForNoAccess) {
    // A port device refused to the host adapter scan, the same port device
    // refused to the device scan, and a class device refused to the
    // mapping: each is opened again and serves its controls.
    for (const std::string refused : {"scsi1:", "scsi0:", "PhysicalDrive0"}) {
        SCOPED_TRACE(refused);
        SetUp();
        Install(R"({"ports": [{"buses": [{"units": [)" +
                Unit(0, R"("class_device": "PhysicalDrive0", )") + R"(]}]}, {"buses": [{}]}]})");
        const bool deviceScan = refused == "scsi0:";
        if (!deviceScan) sim::FailCall(sim::Call::CreateFileA, 1, ERROR_ACCESS_DENIED, 1, Device(refused));
        ScanHostAdapters();
        if (deviceScan) sim::FailCall(sim::Call::CreateFileA, 1, ERROR_ACCESS_DENIED, 1, Device(refused));
        RunClean([] {
            ScanDevices();
            MapClassDevices();
        });
        EXPECT_EQ(PortCount, 2);
        EXPECT_EQ(AdapterCount, 2);
        ASSERT_EQ(DeviceTable.Count, 1);
        EXPECT_EQ(DeviceTable.Entries[0].DevicePath, Device("PhysicalDrive0"));
        TearDown();
    }
}

}  // namespace

namespace {

TEST_F(DiscoveryOpensTest, WithoutElevationTheOutsideDriverCountsAsAbsent) {
    // A standard user may open the outside driver's device only asking for
    // no access, which carries no command: the CD-ROM drive is still
    // reached through its drive letter, which this user may use.
    Install(R"({"windows": "10", "user": "standard", "ports": [{"aspidrv": true, "buses": [{"units": [)" +
            Unit(0, R"("drive": "E", )", "cdrom") + "]}]}]}");
    RunClean([] {
        ScanHostAdapters();
        ScanDevices();
        MapClassDevices();
    });
    EXPECT_EQ(AdapterCount, 1);
    ASSERT_EQ(DeviceTable.Count, 1);
    EXPECT_EQ(DeviceTable.Entries[0].DevicePath, Device("E:"));
}

}  // namespace
