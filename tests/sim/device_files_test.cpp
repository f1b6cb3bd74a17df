// The device namespace behind CreateFileA: which names open, the access
// and sharing rules, removed devices and handles that outlive their machine.
#include "devices_test_support.h"

namespace {

class DeviceFilesTest : public devices_test::DevicesTest {};

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

constexpr DWORD ReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD ShareBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;

TEST_F(DeviceFilesTest, NamesOpenWithoutRegardToCase) {
    Install(namespaceMachine);
    for (const char* name : {"scsi0:", "SCSI0:", "Scsi0:", "aspidrv0", "ASPIDRV0",
                             "PhysicalDrive0", "physicaldrive0", "PHYSICALDRIVE0", "CdRom0",
                             "cdrom0", "E:", "e:", "C:", "c:", "F:", "f:"}) {
        EXPECT_EQ(OpenError(name), 0u) << name;
    }
}

TEST_F(DeviceFilesTest, UnknownNamesFailWithFileNotFound) {
    Install(namespaceMachine);
    for (const char* name : {"scsi3:", "scsi00:", "scsi0", "scsi:", "scsi-1:", "aspidrv1",
                             "aspidrv2", "aspidrv", "PhysicalDrive1", "PhysicalDrive", "Tape0",
                             "CdRom3", "D:", "Z:", "E:\\", "EE:", "", "nul"}) {
        EXPECT_EQ(OpenError(name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
    }
    SetLastError(0);
    EXPECT_EQ(CreateFileA("C:\\boot.ini", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(DeviceFilesTest, PortSettingsDecideWhetherThePortDeviceOpens) {
    Install(namespaceMachine);
    // `device` false hides the port device but not the class devices behind it.
    EXPECT_EQ(OpenError("scsi1:"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenError("Scanner0"), 0u);
    EXPECT_EQ(OpenError("scsi2:"), 21u);
    // aspidrvN exists only for a port that has it.
    EXPECT_EQ(OpenError("aspidrv0"), 0u);
    EXPECT_EQ(OpenError("aspidrv1"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DeviceFilesTest, NoMachineMeansNoDevices) {
    sim::UninstallMachine();
    EXPECT_EQ(OpenError("scsi0:"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenError("C:"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DeviceFilesTest, LimitedUserCannotOpenAnyDeviceForWriting) {
    Install(limitedMachine);
    for (const char* name : {"scsi0:", "aspidrv0", "CdRom0", "E:", "C:"}) {
        EXPECT_EQ(OpenError(name, GENERIC_WRITE), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << name;
        EXPECT_EQ(OpenError(name, ReadWrite), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << name;
        EXPECT_EQ(OpenError(name, GENERIC_READ), 0u) << name;
        EXPECT_EQ(OpenError(name, 0), 0u) << name;
    }
}

TEST_F(DeviceFilesTest, UnitAccessRulesApplyToClassDeviceAndDriveOnly) {
    Install(namespaceMachine);
    // read-only: write opens refused, read opens allowed.
    for (const char* name : {"CdRom1", "G:"}) {
        EXPECT_EQ(OpenError(name, ReadWrite), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << name;
        EXPECT_EQ(OpenError(name, GENERIC_WRITE), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << name;
        EXPECT_EQ(OpenError(name, GENERIC_READ), 0u) << name;
    }
    // none: every open refused, even one asking for nothing.
    for (const char* name : {"CdRom2", "H:"}) {
        for (DWORD access : {ReadWrite, static_cast<DWORD>(GENERIC_READ), 0ul}) {
            EXPECT_EQ(OpenError(name, access), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << name;
        }
    }
    // The port and the outside driver follow the user setting only.
    EXPECT_EQ(OpenError("scsi0:", ReadWrite), 0u);
    EXPECT_EQ(OpenError("aspidrv0", ReadWrite), 0u);
}

TEST_F(DeviceFilesTest, SharingFollowsTheNtRule) {
    Install(namespaceMachine);
    DWORD error = 0;
    HANDLE reader = Open("CdRom0", GENERIC_READ, FILE_SHARE_READ, &error);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    // The open handle does not share writing: a writer is refused.
    EXPECT_EQ(OpenError("CdRom0", ReadWrite, ShareBoth),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // A new open that does not share reading refuses the open reader.
    EXPECT_EQ(OpenError("CdRom0", GENERIC_READ, FILE_SHARE_WRITE),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Readers that share reading get along.
    EXPECT_EQ(OpenError("CdRom0", GENERIC_READ, FILE_SHARE_READ), 0u);
    // The drive letter is the same device as the class device.
    EXPECT_EQ(OpenError("E:", ReadWrite, ShareBoth), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(OpenError("E:", GENERIC_READ, ShareBoth), 0u);
    // Another device is not affected.
    EXPECT_EQ(OpenError("PhysicalDrive0", ReadWrite, 0), 0u);
    // An open that neither reads nor writes takes no part in sharing.
    EXPECT_EQ(OpenError("CdRom0", 0, 0), 0u);
    ASSERT_TRUE(CloseHandle(reader));
    EXPECT_EQ(OpenError("CdRom0", ReadWrite, ShareBoth), 0u);
}

TEST_F(DeviceFilesTest, ExclusiveOpenRefusesEveryOtherOpen) {
    Install(namespaceMachine);
    HANDLE exclusive = Open("scsi0:", ReadWrite, 0);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenError("scsi0:", GENERIC_READ, ShareBoth),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(OpenError("SCSI0:", GENERIC_WRITE, ShareBoth),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // The outside driver and the class devices are devices of their own.
    EXPECT_EQ(OpenError("aspidrv0", ReadWrite, 0), 0u);
    EXPECT_EQ(OpenError("CdRom0", ReadWrite, 0), 0u);
    ASSERT_TRUE(CloseHandle(exclusive));
    EXPECT_EQ(OpenError("scsi0:", GENERIC_READ, FILE_SHARE_READ), 0u);
}

TEST_F(DeviceFilesTest, SharingIsReleasedWhenTheMachineIsReplaced) {
    Install(namespaceMachine);
    HANDLE exclusive = Open("CdRom0", ReadWrite, 0);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    Install(namespaceMachine);
    EXPECT_EQ(OpenError("CdRom0", ReadWrite, 0), 0u);
    EXPECT_TRUE(CloseHandle(exclusive));
}

TEST_F(DeviceFilesTest, InvalidArgumentsAreRefused) {
    Install(namespaceMachine);
    SetLastError(0);
    EXPECT_EQ(CreateFileA("\\\\.\\scsi0:", GENERIC_READ, 0x100, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateFileA("\\\\.\\scsi0:", GENERIC_READ, 0, nullptr, 0, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(DeviceFilesTest, RemovedDeviceNamesNoLongerOpen) {
    Install(namespaceMachine);
    HANDLE early = Open("CdRom0");
    ASSERT_NE(early, INVALID_HANDLE_VALUE);
    HANDLE byLetter = Open("E:");
    ASSERT_NE(byLetter, INVALID_HANDLE_VALUE);
    sim::RemoveDevice("cdrom0");
    sim::RemoveDevice("SCSI0:");
    EXPECT_EQ(OpenError("CdRom0"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenError("scsi0:"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // Other names of the same unit still work.
    EXPECT_EQ(OpenError("E:"), 0u);
    EXPECT_EQ(OpenError("aspidrv0"), 0u);
    // A handle opened under the removed name finds its device gone.
    SCSI_ADDRESS address = {};
    EXPECT_EQ(Control(early, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(Control(byLetter, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address), 0u);
    EXPECT_EQ(address.TargetId, 1);
    EXPECT_TRUE(CloseHandle(early));
    EXPECT_TRUE(CloseHandle(byLetter));
    // A fresh machine brings the device back.
    Install(namespaceMachine);
    EXPECT_EQ(OpenError("CdRom0"), 0u);
}

TEST_F(DeviceFilesTest, HandlesOutlivingTheirMachineFailWithoutHarm) {
    Install(namespaceMachine);
    HANDLE port = Open("scsi0:");
    HANDLE disk = Open("PhysicalDrive0");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    sim::UninstallMachine();
    IO_SCSI_CAPABILITIES capabilities = {};
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, &capabilities,
                      sizeof capabilities),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    Install(namespaceMachine);
    SCSI_ADDRESS address = {};
    EXPECT_EQ(Control(disk, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_TRUE(CloseHandle(disk));
    EXPECT_EQ(sim::OpenHandleCount(sim::ObjectKind::File), 0u);
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

TEST_F(DeviceFilesTest, SuccessfulOpenClearsLastErrorAndCountsAHandle) {
    Install(namespaceMachine);
    const size_t before = sim::OpenHandleCount(sim::ObjectKind::File);
    DWORD error = 0xDEAD;
    HANDLE handle = Open("E:", GENERIC_READ, FILE_SHARE_READ, &error);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(sim::OpenHandleCount(sim::ObjectKind::File), before + 1);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(sim::OpenHandleCount(sim::ObjectKind::File), before);
}

}  // namespace
