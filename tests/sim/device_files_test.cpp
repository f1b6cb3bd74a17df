// The device namespace behind CreateFileA: which names open, the access
// and sharing rules, removed devices and handles that outlive their machine.
#include "devices_test_support.h"

namespace {

using devices_test::ReadWrite;
using devices_test::ShareBoth;

class DeviceFilesTest : public devices_test::DevicesTest {};

constexpr DWORD Read = GENERIC_READ;
constexpr DWORD NotFound = ERROR_FILE_NOT_FOUND;
constexpr DWORD Denied = ERROR_ACCESS_DENIED;
constexpr DWORD Shared = ERROR_SHARING_VIOLATION;

const char* const namespaceMachine = R"({
  "ports": [
    {"aspidrv": true, "buses": [{"units": [
      {"target": 0, "lun": 0, "class_device": "PhysicalDrive0",
       "backend": {"type": "disk", "blocks": 16}},
      {"target": 1, "lun": 0, "class_device": "CdRom0", "drive": "E",
       "backend": {"type": "cdrom"}},
      {"target": 3, "lun": 0, "class_device": "CdRom1", "drive": "G", "access": "read-only",
       "backend": {"type": "cdrom"}},
      {"target": 4, "lun": 0, "class_device": "CdRom2", "drive": "H", "access": "none",
       "backend": {"type": "cdrom"}}
    ]}]},
    {"device": false, "buses": [{"units": [
      {"target": 0, "lun": 0, "class_device": "Scanner0", "backend": {"type": "scanner"}}
    ]}]},
    {"open_error": 21}
  ],
  "drives": [{"letter": "C", "type": "fixed"}, {"letter": "F", "type": "cdrom"}]
})";

const char* const limitedMachine = R"({
  "user": "limited",
  "ports": [
    {"aspidrv": true, "buses": [{"units": [
      {"target": 0, "lun": 0, "class_device": "CdRom0", "drive": "E",
       "backend": {"type": "cdrom"}}
    ]}]}
  ],
  "drives": [{"letter": "C", "type": "fixed"}]
})";

TEST_F(DeviceFilesTest, OpenRulesFollowTheMachine) {
    Install(namespaceMachine);
    struct Case {
        const char* name;
        DWORD access, error;
    };
    const Case cases[] = {
        // Names open without regard to case.
        {"scsi0:", Read, 0}, {"SCSI0:", Read, 0}, {"aspidrv0", Read, 0}, {"ASPIDRV0", Read, 0},
        {"PhysicalDrive0", Read, 0}, {"PHYSICALDRIVE0", Read, 0}, {"cdrom0", Read, 0},
        {"e:", Read, 0}, {"C:", Read, 0}, {"f:", Read, 0},
        // Unknown or malformed names.
        {"scsi3:", Read, NotFound}, {"scsi00:", Read, NotFound}, {"scsi0", Read, NotFound},
        {"scsi:", Read, NotFound}, {"scsi-1:", Read, NotFound}, {"aspidrv", Read, NotFound},
        {"PhysicalDrive1", Read, NotFound}, {"PhysicalDrive", Read, NotFound},
        {"Tape0", Read, NotFound}, {"CdRom3", Read, NotFound}, {"D:", Read, NotFound},
        {"E:\\", Read, NotFound}, {"EE:", Read, NotFound}, {"", Read, NotFound},
        {"nul", Read, NotFound},
        // `device` false hides the port but not its class devices; aspidrvN
        // exists only for a port that has it; a port's own open error.
        {"scsi1:", Read, NotFound}, {"Scanner0", Read, 0}, {"aspidrv1", Read, NotFound},
        {"scsi2:", Read, 21},
        // Unit access rules bind the class device and drive, not the port.
        {"CdRom1", ReadWrite, Denied}, {"G:", GENERIC_WRITE, Denied}, {"CdRom1", Read, 0},
        {"G:", Read, 0}, {"CdRom2", Read, Denied}, {"H:", 0, Denied}, {"H:", ReadWrite, Denied},
        {"scsi0:", ReadWrite, 0}, {"aspidrv0", ReadWrite, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OpenError(c.name, c.access), c.error) << c.name << " access " << c.access;
    }
    SetLastError(0);
    EXPECT_EQ(CreateFileA("C:\\boot.ini", Read, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), NotFound);
    EXPECT_EQ(CreateFileA(nullptr, Read, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    for (DWORD share : {0x100ul, 0ul}) {  // bad share mode, then bad disposition
        SetLastError(0);
        EXPECT_EQ(CreateFileA("\\\\.\\scsi0:", Read, share, nullptr, share ? OPEN_EXISTING : 0, 0,
                              nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    sim::UninstallMachine();
    EXPECT_EQ(OpenError("scsi0:"), NotFound) << "no machine, no devices";
    EXPECT_EQ(OpenError("C:"), NotFound);
}

TEST_F(DeviceFilesTest, LimitedUserCannotOpenAnyDeviceForWriting) {
    Install(limitedMachine);
    for (const char* name : {"scsi0:", "aspidrv0", "CdRom0", "E:", "C:"}) {
        EXPECT_EQ(OpenError(name, GENERIC_WRITE), Denied) << name;
        EXPECT_EQ(OpenError(name, ReadWrite), Denied) << name;
        EXPECT_EQ(OpenError(name, Read), 0u) << name;
        EXPECT_EQ(OpenError(name, 0), 0u) << name;
    }
}

TEST_F(DeviceFilesTest, SharingFollowsTheNtRule) {
    Install(namespaceMachine);
    HANDLE reader = Open("CdRom0", Read, FILE_SHARE_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    struct Case {
        const char* name;
        DWORD access, share, error;
    };
    for (const Case& c : {
             Case{"CdRom0", ReadWrite, ShareBoth, Shared},        // the reader shares no writing
             Case{"CdRom0", Read, FILE_SHARE_WRITE, Shared},      // a newcomer refuses the reader
             Case{"CdRom0", Read, FILE_SHARE_READ, 0},            // readers sharing reading
             Case{"E:", ReadWrite, ShareBoth, Shared},            // the drive is the same device
             Case{"E:", Read, ShareBoth, 0},
             Case{"PhysicalDrive0", ReadWrite, 0, 0},             // another device
             Case{"CdRom0", 0, 0, 0},  // neither reading nor writing takes no part
         }) {
        EXPECT_EQ(OpenError(c.name, c.access, c.share), c.error) << c.name;
    }
    ASSERT_TRUE(CloseHandle(reader));
    EXPECT_EQ(OpenError("CdRom0", ReadWrite, ShareBoth), 0u);

    // The port driver shares its device with every open.
    HANDLE exclusive = Open("scsi0:", ReadWrite, 0);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenError("scsi0:", Read, FILE_SHARE_READ), 0u);
    EXPECT_EQ(OpenError("SCSI0:", ReadWrite, 0), 0u);
    // The outside driver and the class devices are devices of their own.
    EXPECT_EQ(OpenError("aspidrv0", ReadWrite, 0), 0u);
    EXPECT_EQ(OpenError("CdRom0", ReadWrite, 0), 0u);
    ASSERT_TRUE(CloseHandle(exclusive));
    EXPECT_EQ(OpenError("scsi0:", Read, FILE_SHARE_READ), 0u);
}

TEST_F(DeviceFilesTest, SharingIsReleasedWhenTheMachineIsReplaced) {
    Install(namespaceMachine);
    HANDLE exclusive = Open("CdRom0", ReadWrite, 0);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    Install(namespaceMachine);
    EXPECT_EQ(OpenError("CdRom0", ReadWrite, 0), 0u);
    EXPECT_TRUE(CloseHandle(exclusive));
}

TEST_F(DeviceFilesTest, RemovedDeviceNamesNoLongerOpen) {
    Install(namespaceMachine);
    HANDLE early = Open("CdRom0");
    HANDLE byLetter = Open("E:");
    ASSERT_NE(early, INVALID_HANDLE_VALUE);
    ASSERT_NE(byLetter, INVALID_HANDLE_VALUE);
    sim::RemoveDevice("cdrom0");
    sim::RemoveDevice("SCSI0:");
    EXPECT_EQ(OpenError("CdRom0"), NotFound);
    EXPECT_EQ(OpenError("scsi0:"), NotFound);
    // Other names of the same unit still work.
    EXPECT_EQ(OpenError("E:"), 0u);
    EXPECT_EQ(OpenError("aspidrv0"), 0u);
    // A handle opened under the removed name finds its device gone.
    SCSI_ADDRESS address = {};
    EXPECT_EQ(Control(early, IOCTL_SCSI_GET_ADDRESS, &address, sizeof address),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(Control(byLetter, IOCTL_SCSI_GET_ADDRESS, &address, sizeof address), 0u);
    EXPECT_EQ(address.TargetId, 1);
    // A fresh machine brings the device back.
    Install(namespaceMachine);
    EXPECT_EQ(OpenError("CdRom0"), 0u);
}

TEST_F(DeviceFilesTest, HandlesOutlivingTheirMachineFailWithoutHarm) {
    Install(namespaceMachine);
    const size_t before = sim::OpenHandleCount(sim::ObjectKind::File);
    HANDLE port = Open("scsi0:");
    HANDLE disk = Open("PhysicalDrive0");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::OpenHandleCount(sim::ObjectKind::File), before + 2);
    sim::UninstallMachine();
    IO_SCSI_CAPABILITIES capabilities = {};
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, &capabilities, sizeof capabilities),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    Install(namespaceMachine);
    SCSI_ADDRESS address = {};
    EXPECT_EQ(Control(disk, IOCTL_SCSI_GET_ADDRESS, &address, sizeof address),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_TRUE(CloseHandle(disk));
    EXPECT_EQ(sim::OpenHandleCount(sim::ObjectKind::File), before);
}

TEST_F(DeviceFilesTest, InjectedFaultsComeFirst) {
    Install(namespaceMachine);
    sim::FailCall(sim::Call::CreateFileA, 2, 1117, 1, "\\\\.\\SCSI0:");
    EXPECT_EQ(OpenError("scsi0:"), 0u);
    EXPECT_EQ(OpenError("CdRom0"), 0u);  // another subject does not count
    EXPECT_EQ(OpenError("scsi0:"), 1117u);
    EXPECT_EQ(OpenError("scsi0:"), 0u);
    // Even a name that does not exist fails with the injected error.
    sim::FailCall(sim::Call::CreateFileA, 1, 8);
    EXPECT_EQ(OpenError("nothing"), 8u);
}

}  // namespace
