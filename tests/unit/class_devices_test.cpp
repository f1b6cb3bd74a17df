// The class device path mapping on simulated machines: which class devices
// and drive roots are probed, and which device paths claimed units end with.
#include "discovery/class_devices.h"
#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "discovery_machine.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <string>

namespace {

using discovery_test::DiscoveryMachineTest;
using Parts = std::initializer_list<std::string>;

std::string Join(Parts parts) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ",") + part;
    return text;
}

// A unit at target `target`, lun 0, with extra members.
std::string Unit(int target, const std::string& members, const std::string& type = "disk") {
    return R"({"target": )" + std::to_string(target) + R"(, "lun": 0)" +
           (members.empty() ? "" : ", " + members) + R"(, "backend": {"type": ")" + type +
           R"("}})";
}

// A claimed unit that class device `device` reports.
std::string Class(int target, const std::string& device, const std::string& more = "",
                  const std::string& type = "disk") {
    return Unit(target, R"("class_device": ")" + device + "\"" + (more.empty() ? "" : ", " + more),
                type);
}

std::string Port(Parts units, const std::string& members = "") {
    return "{" + members + R"("buses": [{"units": [)" + Join(units) + "]}]}";
}

std::string Machine(Parts ports, const std::string& members = "") {
    return R"({"ports": [)" + Join(ports) + "]" + (members.empty() ? "" : ", " + members) + "}";
}

// Returns the unit's device path without the "\\.\" that every path starts with.
std::string PathOf(int port, int target) {
    const DeviceEntry* entry = FindDevice(port, 0, target, 0);
    EXPECT_NE(entry, nullptr) << "port " << port << " target " << target;
    if (entry == nullptr) return "<absent>";
    const std::string path = entry->DevicePath;
    return path.compare(0, 4, "\\\\.\\") == 0 ? path.substr(4) : path;
}

class ClassDevicesTest : public DiscoveryMachineTest {
protected:
    // Returns the number of CreateFileA calls that the mapping made.
    unsigned Map(const std::string& machine, bool failDriveList = false) {
        Install(machine);
        ScanHostAdapters();
        ScanDevices();
        sim::ResetCallCounts();
        if (failDriveList) {
            sim::FailCall(sim::Call::GetLogicalDriveStringsA, 1, ERROR_NOT_ENOUGH_MEMORY);
        }
        RunClean(MapClassDevices);
        return sim::CallCount(sim::Call::CreateFileA);
    }
    // Returns nothing: starts over with no machine and empty tables.
    void Reset() {
        sim::UninstallMachine();
        SetUp();
    }
};

TEST_F(ClassDevicesTest, OnePortMachinesEndWithTheseDevicePaths) {
    const std::string drives =
        R"("drives": [{"letter": "C", "type": "fixed"}, {"letter": "D", "type": "removable"},
                      {"letter": "F", "type": "remote"}, {"letter": "H", "type": "ramdisk"},
                      {"letter": "K", "type": "cdrom"}])";
    const std::string cdromE = Unit(0, R"("drive": "E")", "cdrom");
    // Each prefix's numbering ends after this many missing numbers in a row.
    const unsigned m = MaxMissingClassNumbers;
    const std::string pastGap = "PhysicalDrive" + std::to_string(m + 1);
    struct Case {
        const char* name;
        std::string machine;
        std::map<int, std::string> paths;  // by target
        unsigned opens;                     // 0: not counted
        bool failDriveList;
    } const cases[] = {
        // aspidrv0, PhysicalDrive0-1 and m missing, Scanner0-1 and m
        // missing, Tape0 and m missing; no drive roots.
        {"every class device",
         Machine({Port({Class(0, "PhysicalDrive0"), Class(1, "PhysicalDrive1"),
                        Class(2, "Scanner0", "", "scanner"), Class(3, "Scanner1", "", "scanner"),
                        Class(4, "Tape0", "", "tape")})}),
         {{0, "PhysicalDrive0"}, {1, "PhysicalDrive1"}, {2, "Scanner0"}, {3, "Scanner1"},
          {4, "Tape0"}},
         1 + (2 + m) + (2 + m) + (1 + m), false},
        // PhysicalDrive1 is missing (a disk removed); 2 is still mapped.
        {"numbering goes on past a missing device",
         Machine({Port({Class(0, "PhysicalDrive0"), Class(2, "PhysicalDrive2"),
                        Class(3, "Scanner0", "", "scanner")})}),
         {{0, "PhysicalDrive0"}, {2, "PhysicalDrive2"}, {3, "Scanner0"}},
         1 + (3 + m) + (1 + m) + m, false},
        {"numbering goes on past m - 1 missing numbers in a row",
         Machine({Port({Class(0, "PhysicalDrive0"), Class(1, "PhysicalDrive" + std::to_string(m))})}),
         {{0, "PhysicalDrive0"}, {1, "PhysicalDrive" + std::to_string(m)}}, 0, false},
        {"numbering ends after m missing numbers in a row",
         Machine({Port({Class(0, "PhysicalDrive0"), Class(1, pastGap)})}),
         {{0, "PhysicalDrive0"}, {1, ""}}, 0, false},
        {"numbering ends at a device refusing the open",
         Machine({Port({Class(0, "PhysicalDrive0", R"("access": "none")"),
                        Class(1, "PhysicalDrive1")})}),
         {{0, ""}, {1, ""}}, 0, false},
        {"a device without address does not end numbering",
         Machine({Port({Class(0, "PhysicalDrive0", R"("address_error": 1)"),
                        Class(1, "PhysicalDrive1")})}),
         {{0, ""}, {1, "PhysicalDrive1"}}, 0, false},
        // aspidrv0, m missing numbers of each prefix, then only the CD-ROM
        // roots E:, G: and K: (which opens without an address).
        {"only CD-ROM roots, by letter and colon",
         Machine({Port({cdromE, Unit(1, R"("drive": "G")", "cdrom")})}, drives),
         {{0, "E:"}, {1, "G:"}}, 1 + 3 * m + 3, false},
        // aspidrv0, PhysicalDrive0 and m missing, m Scanner and m Tape
        // numbers, and no drive root.
        {"a failed drive list skips the CD-ROM pass",
         Machine({Port({cdromE, Class(1, "PhysicalDrive0")})}),
         {{0, ""}, {1, "PhysicalDrive0"}}, 1 + (1 + m) + m + m, true},
        {"the last class device reporting a unit wins",
         Machine({Port({Class(0, "Scanner0", R"("drive": "E")", "cdrom"),
                        Class(1, "PhysicalDrive0")})}),
         {{0, "E:"}, {1, "PhysicalDrive0"}}, 0, false},
        // Two units at one address stand for one unit with two names: both
        // report that address, and lookups reach the first.
        {"PhysicalDrive, then Scanner, then Tape",
         Machine({Port({Class(0, "Tape0", "", "tape"), Class(0, "PhysicalDrive0"),
                        Class(1, "PhysicalDrive1"), Class(1, "Scanner0", "", "scanner"),
                        Class(2, "Scanner1", "", "scanner"), Class(2, "Tape1", "", "tape")})}),
         {{0, "Tape0"}, {1, "Scanner0"}, {2, "Tape1"}}, 0, false},
        {"an unclaimed unit keeps its port path",
         Machine({Port({Class(0, "PhysicalDrive0", R"("claimed": false)")})}),
         {{0, "scsi0:"}}, 0, false},
        {"a claimed unit without class device keeps no path",
         Machine({Port({Unit(0, "", "tape"), Class(1, "Tape0", "", "tape")})}),
         {{0, ""}, {1, "Tape0"}}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        const unsigned opens = Map(c.machine, c.failDriveList);
        for (const auto& path : c.paths) EXPECT_EQ(PathOf(0, path.first), path.second);
        if (c.opens != 0) {
            EXPECT_EQ(opens, c.opens);
        }
        if (c.failDriveList) {
            EXPECT_EQ(sim::CallCount(sim::Call::GetDriveTypeA), 0u);
        }
    }
}

TEST_F(ClassDevicesTest, OnlyTheFirstPortsDriverDeviceStopsAllProbing) {
    EXPECT_EQ(Map(Machine({Port({Class(0, "PhysicalDrive0")}, R"("aspidrv": true, )"),
                           Port({Class(0, "PhysicalDrive1", R"("drive": "E")", "cdrom")})})),
              1u);
    EXPECT_EQ(PathOf(0, 0), "aspidrv0");
    EXPECT_EQ(PathOf(1, 0), "");

    // aspidrv1 serves port 1, but class paths still replace it for claimed units.
    Reset();
    Map(Machine({Port({Class(0, "PhysicalDrive0")}),
                 Port({Class(0, "PhysicalDrive1"), Class(1, "PhysicalDrive2", R"("claimed": false)")},
                      R"("aspidrv": true, )")}));
    EXPECT_EQ(PathOf(0, 0), "PhysicalDrive0");
    EXPECT_EQ(PathOf(1, 0), "PhysicalDrive1");
    EXPECT_EQ(PathOf(1, 1), "aspidrv1");
}

TEST_F(ClassDevicesTest, ProbeReportsTheOpenNotTheAddress) {
    Install(Machine({Port({Class(0, "PhysicalDrive0", R"("address_error": 1)"),
                           Class(1, "Tape0", R"("access": "none")", "tape")})}));
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
    const struct {
        int port, target;
        const char* path;
    } expected[] = {{0, 0, "PhysicalDrive0"}, {0, 1, "D:"}, {1, 0, "PhysicalDrive1"},
                    {1, 2, "scsi1:"}, {1, 3, "E:"}, {1, 5, "Tape0"}, {1, 6, "Scanner0"},
                    {2, 1, "PhysicalDrive2"}};
    for (const auto& unit : expected) EXPECT_EQ(PathOf(unit.port, unit.target), unit.path);
}

}  // namespace
