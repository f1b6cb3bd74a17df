// The disk class driver's own requests on \\.\PhysicalDriveN: its I/O
// controls (geometry, length, device number, capacity) and ReadFile,
// WriteFile and the file pointer, in whole sectors. Each sends the unit the
// SCSI commands disk.sys sends (READ CAPACITY, READ, WRITE) and maps their
// failure as the class driver does.
#ifndef PTASPI_SIM_DISK_CLASS_H
#define PTASPI_SIM_DISK_CLASS_H

#include "sim/devices/device_files.h"

#include <windows.h>

#include <cstdint>

namespace sim {

constexpr DWORD IoctlDiskGetDriveGeometry = 0x00070000;
constexpr DWORD IoctlDiskGetDriveGeometryEx = 0x000700A0;
constexpr DWORD IoctlDiskGetLengthInfo = 0x0007405C;
constexpr DWORD IoctlStorageGetDeviceNumber = 0x002D1080;
constexpr DWORD IoctlStorageReadCapacity = 0x002D5140;

// Returns true when `file` is a disk's class device and `code` one of the
// disk class driver's controls answered here.
bool IsDiskClassControl(const DeviceFile& file, DWORD code);
// Returns 0 or the control's error, with the bytes to copy back; the I/O
// manager's access check has passed.
DWORD HandleDiskClassControl(const DeviceFile& file, DWORD code, uint8_t* system,
                             DWORD outputLength, DWORD& information);

// Return 0 or the error of ReadFile / WriteFile of `length` bytes at the
// file pointer, which moves past the bytes moved (`moved`).
DWORD DiskClassRead(DeviceFile& file, uint8_t* buffer, DWORD length, DWORD& moved);
DWORD DiskClassWrite(DeviceFile& file, const uint8_t* buffer, DWORD length, DWORD& moved);
// Returns 0 or the error of moving the file pointer by `distance` from
// `method` (FILE_BEGIN, FILE_CURRENT, FILE_END), with the new position.
DWORD DiskClassSeek(DeviceFile& file, int64_t distance, DWORD method, uint64_t& position);

}  // namespace sim

#endif
