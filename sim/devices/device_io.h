// ReadFile, WriteFile and SetFilePointer on device files: the class
// drivers that serve them (the disk's) get the request; other devices
// refuse it as a driver without read and write routines does.
#ifndef PTASPI_SIM_DEVICE_IO_H
#define PTASPI_SIM_DEVICE_IO_H

#include <windows.h>

namespace sim {

// Returns true when `handle` is a device file; the other functions are
// then what ReadFile and WriteFile do with it.
bool IsDeviceFileHandle(HANDLE handle);
BOOL ReadDeviceFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped);
BOOL WriteDeviceFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped);

}  // namespace sim

#endif
