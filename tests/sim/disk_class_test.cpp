// The disk class driver's requests on \\.\PhysicalDriveN: the geometry,
// length, device number and capacity controls with their buffer and access
// rules, and ReadFile, WriteFile and SetFilePointer in whole sectors.
#include "devices_test_support.h"

#include "sim/devices/disk_class.h"

namespace {

const char* const diskMachine = R"({"ports": [{"buses": [{"units": [
    {"target": 0, "lun": 0, "class_device": "PhysicalDrive3", "backend": {"type": "disk", "blocks": 40000}},
    {"target": 1, "lun": 0, "class_device": "Tape0", "backend": {"type": "tape"}}]}]}]})";

uint64_t Le64(const uint8_t* bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

class DiskClass : public devices_test::DevicesTest {};

TEST_F(DiskClass, ControlsAnswerTheGeometryLengthNumberAndCapacity) {
    Install(diskMachine);
    HANDLE disk = Open("PhysicalDrive3", 0);  // no access: the controls that need none
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    uint8_t out[128] = {};
    DWORD returned = 0;
    ASSERT_EQ(Control(disk, sim::IoctlDiskGetDriveGeometry, out, 24, &returned), 0u);
    EXPECT_EQ(returned, 24u);
    EXPECT_EQ(Le64(out), 40000u / (255 * 63));
    EXPECT_EQ(out[8], 12) << "FixedMedia";
    EXPECT_EQ(out[12] | out[16] << 8 | out[20] << 16 | out[21] << 24, 255 | 63 << 8 | 512 << 16);
    EXPECT_EQ(Control(disk, sim::IoctlDiskGetDriveGeometry, out, 23), DWORD(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_EQ(Control(disk, sim::IoctlDiskGetDriveGeometryEx, out, sizeof out, &returned), 0u);
    EXPECT_EQ(returned, 112u);
    EXPECT_EQ(Le64(out + 24), 40000u * 512);
    EXPECT_EQ(out[36], 2) << "a blank disk's partition style is raw";
    ASSERT_EQ(Control(disk, sim::IoctlDiskGetDriveGeometryEx, out, 32, &returned), 0u);
    EXPECT_EQ(returned, 32u);
    ASSERT_EQ(Control(disk, sim::IoctlStorageGetDeviceNumber, out, 12, &returned), 0u);
    EXPECT_EQ(out[0] | out[4] << 8 | out[8] << 16, 7 | 3 << 8);
    // Length and capacity need read access.
    EXPECT_EQ(Control(disk, sim::IoctlDiskGetLengthInfo, out, 8), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Control(disk, sim::IoctlStorageReadCapacity, out, 32), DWORD(ERROR_ACCESS_DENIED));
    HANDLE reader = Open("PhysicalDrive3", GENERIC_READ);
    ASSERT_EQ(Control(reader, sim::IoctlDiskGetLengthInfo, out, 8, &returned), 0u);
    EXPECT_EQ(Le64(out), 40000u * 512);
    ASSERT_EQ(Control(reader, sim::IoctlStorageReadCapacity, out, 32, &returned), 0u);
    EXPECT_EQ(Le64(out + 16) << 16 | out[8] | out[9] << 8, uint64_t(40000) << 16 | 512);
    // Not a disk: the tape's class device knows none of them.
    HANDLE tape = Open("Tape0", 0);
    EXPECT_EQ(Control(tape, sim::IoctlDiskGetDriveGeometry, out, 24), DWORD(ERROR_INVALID_FUNCTION));
}

TEST_F(DiskClass, ReadAndWriteMoveWholeSectorsAtTheFilePointer) {
    Install(diskMachine);
    HANDLE disk = Open("PhysicalDrive3");
    std::vector<uint8_t> data(1536), back(1536);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + 5);
    DWORD moved = 0;
    ASSERT_EQ(SetFilePointer(disk, 1024, nullptr, FILE_BEGIN), 1024u);
    ASSERT_TRUE(WriteFile(disk, data.data(), 1536, &moved, nullptr));
    EXPECT_EQ(moved, 1536u);
    EXPECT_EQ(SetFilePointer(disk, 0, nullptr, FILE_CURRENT), 2560u) << "moved past what was written";
    ASSERT_EQ(SetFilePointer(disk, -1536, nullptr, FILE_CURRENT), 1024u);
    ASSERT_TRUE(ReadFile(disk, back.data(), 1536, &moved, nullptr));
    EXPECT_EQ(back, data);
    // Part of a sector, at or from a sector's middle: 87.
    SetFilePointer(disk, 0, nullptr, FILE_BEGIN);
    EXPECT_FALSE(ReadFile(disk, back.data(), 100, &moved, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    SetFilePointer(disk, 10, nullptr, FILE_BEGIN);
    EXPECT_FALSE(ReadFile(disk, back.data(), 512, &moved, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    // Past the end: the sector is not found; before the start: a negative seek.
    ASSERT_EQ(SetFilePointer(disk, -512, nullptr, FILE_END), 40000u * 512 - 512);
    EXPECT_FALSE(ReadFile(disk, back.data(), 1024, &moved, nullptr));
    EXPECT_EQ(GetLastError(), 27u);
    EXPECT_EQ(SetFilePointer(disk, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), 131u);
    // A handle without write access cannot write.
    HANDLE reader = Open("PhysicalDrive3", GENERIC_READ);
    EXPECT_FALSE(WriteFile(reader, data.data(), 512, &moved, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    // The tape's class device serves no ReadFile here.
    EXPECT_FALSE(ReadFile(Open("Tape0", GENERIC_READ), back.data(), 512, &moved, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
}

}  // namespace
