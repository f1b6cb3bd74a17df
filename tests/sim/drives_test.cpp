// Drive roots: GetLogicalDriveStringsA's list and GetDriveTypeA's answers.
#include "devices_test_support.h"

#include <string>

namespace {

class DrivesTest : public devices_test::DevicesTest {};

const char* const drivesMachine = R"({
  "ports": [
    {"buses": [{"units": [
      {"target": 0, "lun": 0, "class_device": "CdRom0", "drive": "E",
       "backend": {"type": "cdrom"}},
      {"target": 1, "lun": 0, "class_device": "CdRom1", "drive": "G",
       "backend": {"type": "cdrom", "medium": false}}]}]}
  ],
  "drives": [
    {"letter": "Z", "type": "remote"}, {"letter": "C", "type": "fixed"},
    {"letter": "F", "type": "cdrom"}, {"letter": "D", "type": "removable"},
    {"letter": "R", "type": "ramdisk"}
  ]
})";

// Returns the list as a string with its NULs kept.
std::string Roots(DWORD length, const char* buffer) { return std::string(buffer, length + 1); }

TEST_F(DrivesTest, RootsAreListedInLetterOrderWhenTheyFit) {
    Install(drivesMachine);
    char buffer[128];
    memset(buffer, 'x', sizeof buffer);
    // Too small a buffer gets the length needed and nothing written.
    EXPECT_EQ(GetLogicalDriveStringsA(28, buffer), 29u);
    EXPECT_EQ(GetLogicalDriveStringsA(0, nullptr), 29u);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x'));
    const DWORD length = GetLogicalDriveStringsA(29, buffer);
    ASSERT_EQ(length, 28u);
    EXPECT_EQ(Roots(length, buffer), std::string("C:\\\0D:\\\0E:\\\0F:\\\0G:\\\0R:\\\0Z:\\\0\0", 29));
    EXPECT_EQ(buffer[29], 'x') << "nothing past the closing NUL";
}

TEST_F(DrivesTest, MachineWithoutDrivesListsNothing) {
    Install(R"({"ports": [{}]})");
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetLogicalDriveStringsA(0, nullptr), 1u);
    EXPECT_EQ(GetLogicalDriveStringsA(sizeof buffer, buffer), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeA(nullptr), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
}

TEST_F(DrivesTest, TypesFollowTheUnitsAndTheList) {
    Install(drivesMachine);
    struct Case {
        const char* root;
        UINT type;
    };
    for (const Case& c : {Case{"C:\\", DRIVE_FIXED}, Case{"D:\\", DRIVE_REMOVABLE},
                          Case{"E:\\", DRIVE_CDROM}, Case{"e:\\", DRIVE_CDROM},
                          Case{"F:\\", DRIVE_CDROM}, Case{"G:\\", DRIVE_CDROM},
                          Case{"R:\\", DRIVE_RAMDISK}, Case{"Z:\\", DRIVE_REMOTE},
                          Case{"E:", DRIVE_NO_ROOT_DIR}, Case{"H:\\", DRIVE_NO_ROOT_DIR},
                          Case{"E:\\x", DRIVE_NO_ROOT_DIR}, Case{"E", DRIVE_NO_ROOT_DIR},
                          Case{"", DRIVE_NO_ROOT_DIR}, Case{"1:\\", DRIVE_NO_ROOT_DIR}}) {
        EXPECT_EQ(GetDriveTypeA(c.root), c.type) << c.root;
    }
    // Null: the current directory's root, on the first fixed drive.
    EXPECT_EQ(GetDriveTypeA(nullptr), static_cast<UINT>(DRIVE_FIXED));
}

TEST_F(DrivesTest, RemovedDriveLeavesTheList) {
    Install(drivesMachine);
    sim::RemoveDevice("e:");
    char buffer[128];
    const DWORD length = GetLogicalDriveStringsA(sizeof buffer, buffer);
    EXPECT_EQ(Roots(length, buffer),
              std::string("C:\\\0D:\\\0F:\\\0G:\\\0R:\\\0Z:\\\0\0", 25));
    EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    // The unit's class device is another name and still there.
    EXPECT_EQ(OpenError("CdRom0"), 0u);
}

TEST_F(DrivesTest, InjectedFaultsFailBothCalls) {
    Install(drivesMachine);
    char buffer[128];
    sim::FailCall(sim::Call::GetLogicalDriveStringsA, 1, 21);
    SetLastError(0);
    EXPECT_EQ(GetLogicalDriveStringsA(sizeof buffer, buffer), 0u);
    EXPECT_EQ(GetLastError(), 21u);
    EXPECT_EQ(GetLogicalDriveStringsA(sizeof buffer, buffer), 28u);

    sim::FailCall(sim::Call::GetDriveTypeA, 2, 21);
    EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_CDROM));
    SetLastError(0);
    EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_UNKNOWN));
    EXPECT_EQ(GetLastError(), 21u);
    EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_CDROM));
}

TEST_F(DrivesTest, OnlyAUnitsDriveHasAnAddress) {
    Install(drivesMachine);
    SCSI_ADDRESS address = {};
    HANDLE listed = Open("F:", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(listed, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Control(listed, IOCTL_SCSI_GET_ADDRESS, &address, sizeof address),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    HANDLE unit = Open("G:", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(unit, INVALID_HANDLE_VALUE);
    ASSERT_EQ(Control(unit, IOCTL_SCSI_GET_ADDRESS, &address, sizeof address), 0u);
    EXPECT_EQ(address.TargetId, 1);
}

}  // namespace
