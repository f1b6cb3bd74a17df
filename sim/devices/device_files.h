// The file object that CreateFileA makes for a device of the running
// machine: what it reaches and the access and sharing it was opened with.
#ifndef PTASPI_SIM_DEVICE_FILES_H
#define PTASPI_SIM_DEVICE_FILES_H

#include "sim/kernel/handles.h"
#include "sim/machine/live_machine.h"

#include <windows.h>

#include <memory>
#include <string>

namespace sim {

struct DeviceFile : KernelObject {
    DeviceFile() : KernelObject(ObjectKind::File) {}
    // Gives back the file's part of its device's sharing state.
    ~DeviceFile() override;

    std::string Path;  // as given to CreateFileA
    std::string Name;  // lower case, after \\.\ ("scsi0:", "cdrom0", "e:")
    DWORD DesiredAccess = 0;
    DWORD ShareMode = 0;
    bool CanRead = false;   // the access mask grants reading
    bool CanWrite = false;  // the access mask grants writing
    bool CountsForSharing = false;
    std::shared_ptr<LiveMachine> Machine;
    DeviceTarget Target;
    // The file pointer (ReadFile, WriteFile, SetFilePointer on a disk).
    uint64_t FilePointer = 0;
};

// Returns 0 when the file's device still answers, otherwise the error its
// operations fail with: 6 when its machine has ended, 1 when the device
// was removed.
DWORD DeviceGoneError(const DeviceFile& file);

}  // namespace sim

#endif
