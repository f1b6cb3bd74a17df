#include "sim/devices/device_io.h"

#include "sim/devices/disk_class.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"
#include "sim/sim.h"

namespace sim {

namespace {

bool IsPhysicalDrive(const DeviceFile& file) {
    return file.Target.Kind == DeviceKind::Unit && file.Name.rfind("physicaldrive", 0) == 0;
}

// Returns TRUE or FALSE with the last error, for either direction.
BOOL Move(HANDLE handle, uint8_t* buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped,
          bool write) {
    std::shared_ptr<DeviceFile> file = LookupHandleOf<DeviceFile>(handle, ObjectKind::File);
    if (!file) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Without overlapped I/O NT requires the count's place.
    if (done == nullptr || overlapped != nullptr) {
        SetLastErrorCode(overlapped != nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOACCESS);
        return FALSE;
    }
    *done = 0;
    DWORD error = DeviceGoneError(*file);
    if (error == 0 && !IsPhysicalDrive(*file)) error = ERROR_INVALID_FUNCTION;
    if (error == 0 && buffer == nullptr && length != 0) error = ERROR_NOACCESS;
    DWORD moved = 0;
    if (error == 0) {
        error = write ? DiskClassWrite(*file, buffer, length, moved) : DiskClassRead(*file, buffer, length, moved);
    }
    *done = moved;
    if (error != 0) {
        SetLastErrorCode(error);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

bool IsDeviceFileHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> object = LookupHandle(handle);
    return object && object->Kind == ObjectKind::File;
}

BOOL ReadDeviceFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped) {
    return Move(handle, static_cast<uint8_t*>(buffer), length, done, overlapped, false);
}

BOOL WriteDeviceFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped) {
    return Move(handle, const_cast<uint8_t*>(static_cast<const uint8_t*>(buffer)), length, done, overlapped,
                true);
}

}  // namespace sim

using namespace sim;

// Returns the low 32 bits of the new position (the high ones in
// *lpDistanceToMoveHigh), or INVALID_SET_FILE_POINTER with the last error
// set; a position whose low bits are all ones is told apart by the last
// error being 0, as NT documents.
extern "C" DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod) {
    ExitIfTerminated();
    std::shared_ptr<DeviceFile> file = LookupHandleOf<DeviceFile>(hFile, ObjectKind::File);
    DWORD error = file ? DeviceGoneError(*file) : ERROR_INVALID_HANDLE;
    if (error == 0 && !IsPhysicalDrive(*file)) error = ERROR_INVALID_FUNCTION;
    // Without the high part the distance is a signed 32-bit value.
    const int64_t distance = lpDistanceToMoveHigh != nullptr
                                 ? static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32 |
                                                        static_cast<uint32_t>(lDistanceToMove))
                                 : static_cast<int64_t>(lDistanceToMove);
    uint64_t position = 0;
    if (error == 0) error = DiskClassSeek(*file, distance, dwMoveMethod, position);
    // Without the high part, a position past 4 GiB cannot be returned.
    if (error == 0 && lpDistanceToMoveHigh == nullptr && position > 0xFFFFFFFEull) error = ERROR_INVALID_PARAMETER;
    if (error != 0) {
        SetLastErrorCode(error);
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(position >> 32);
    SetLastErrorCode(0);
    return static_cast<DWORD>(position);
}
