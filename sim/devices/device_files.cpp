// CreateFileA over the \\.\ device namespace of the running machine.
#include "sim/devices/device_files.h"

#include "sim/devices/cdrom_exclusive_access.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/threads.h"

#include <cstdio>
#include <cstring>

namespace sim {
namespace {

constexpr DWORD FileReadData = 0x0001;
constexpr DWORD FileWriteData = 0x0002;
constexpr DWORD FileAppendData = 0x0004;
constexpr DWORD ValidShareBits = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Returns the number that `text` spells in plain decimal (no sign, no
// leading zeros, as the object manager's names are), or -1.
long ParseDeviceNumber(const std::string& text) {
    if (text.empty() || text.size() > 6) return -1;
    if (text.size() > 1 && text[0] == '0') return -1;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Returns true when `text` begins with `prefix`.
bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// Returns the sharing key of the unit at `index`: its class device and
// drive letter share it.
std::string UnitShareKey(size_t index) { return "unit:" + std::to_string(index); }

// Returns true with the device that the lower-case name reaches on the
// machine; false when the machine has no such device.
bool ResolveDeviceLocked(const LiveMachine& machine, const std::string& name,
                         DeviceTarget& target) {
    const std::vector<PortConfig>& ports = machine.Config.ports;
    if (StartsWith(name, "scsi") && name.size() > 5 && name.back() == ':') {
        long n = ParseDeviceNumber(name.substr(4, name.size() - 5));
        if (n < 0 || static_cast<size_t>(n) >= ports.size() || !ports[n].device) return false;
        target.Kind = DeviceKind::Port;
        target.Port = static_cast<int>(n);
        target.ShareKey = "port:" + std::to_string(n);
        return true;
    }
    if (StartsWith(name, "aspidrv")) {
        long n = ParseDeviceNumber(name.substr(7));
        if (n < 0 || static_cast<size_t>(n) >= ports.size() || !ports[n].aspidrv) return false;
        target.Kind = DeviceKind::AspiDrv;
        target.Port = static_cast<int>(n);
        target.ShareKey = "aspidrv:" + std::to_string(n);
        return true;
    }
    if (name.size() == 2 && name[1] == ':' && name[0] >= 'a' && name[0] <= 'z') {
        const char letter = static_cast<char>(name[0] - 'a' + 'A');
        for (size_t i = 0; i < machine.Units.size(); ++i) {
            const auto& drive = machine.Units[i]->Config.drive;
            if (drive && (*drive == letter || *drive == name[0])) {
                target.Kind = DeviceKind::Unit;
                target.Unit = machine.Units[i];
                target.Port = machine.Units[i]->Port;
                target.ShareKey = UnitShareKey(i);
                return true;
            }
        }
        for (const DriveConfig& drive : machine.Config.drives) {
            if (drive.letter == letter || drive.letter == name[0]) {
                target.Kind = DeviceKind::Volume;
                target.Letter = letter;
                target.ShareKey = std::string("volume:") + letter;
                return true;
            }
        }
        return false;
    }
    for (size_t i = 0; i < machine.Units.size(); ++i) {
        for (const std::string& classDevice : machine.Units[i]->Config.classDevices) {
            if (LowerDeviceName(classDevice) != name) continue;
            target.Kind = DeviceKind::Unit;
            target.Unit = machine.Units[i];
            target.Port = machine.Units[i]->Port;
            target.ShareKey = UnitShareKey(i);
            return true;
        }
    }
    return false;
}

// Returns true when the open reaches a CD-ROM drive: a unit of peripheral
// type 5 (as the port driver reports it) or a listed CD-ROM drive root.
bool ReachesCdRomLocked(const LiveMachine& machine, const DeviceTarget& target) {
    if (target.Kind == DeviceKind::Unit) {
        const UnitConfig& unit = target.Unit->Config;
        return IsCdRomPeripheral(unit.inquiryData.empty() ? unit.inquiry.peripheral
                                                          : unit.inquiryData[0]);
    }
    if (target.Kind != DeviceKind::Volume) return false;
    for (const DriveConfig& drive : machine.Config.drives) {
        if (drive.letter == target.Letter) return drive.kind == DriveKind::CdRom;
    }
    return false;
}

// Returns the error with which a standard user's open is refused, or 0.
// The device interfaces of port devices, the outside driver, disks, tapes,
// scanners and volumes grant reading and writing to administrators only,
// while any user may open them asking for neither (to query attributes);
// CD-ROM drives grant what the removable storage policy allows.
DWORD StandardUserErrorLocked(const LiveMachine& machine, const DeviceTarget& target, bool read,
                              bool write) {
    if (!read && !write) return 0;
    if (!ReachesCdRomLocked(machine, target)) return ERROR_ACCESS_DENIED;
    switch (machine.Config.opticalAccess) {
    case UnitAccess::ReadWrite:
        return 0;
    case UnitAccess::ReadOnly:
        return write ? ERROR_ACCESS_DENIED : 0;
    case UnitAccess::None:
        break;
    }
    return ERROR_ACCESS_DENIED;
}

// Returns the error with which the security check refuses the open, or 0.
DWORD AccessErrorLocked(const LiveMachine& machine, const DeviceTarget& target, bool read,
                        bool write) {
    if (machine.Config.user == UserKind::Limited && write) return ERROR_ACCESS_DENIED;
    if (machine.Config.user == UserKind::Standard) {
        const DWORD denied = StandardUserErrorLocked(machine, target, read, write);
        if (denied != 0) return denied;
    }
    if (target.Kind == DeviceKind::Unit) {
        const UnitAccess access = target.Unit->Config.access;
        if (access == UnitAccess::None) return ERROR_ACCESS_DENIED;
        if (access == UnitAccess::ReadOnly && write) return ERROR_ACCESS_DENIED;
    }
    return 0;
}

// Returns true when an open with this access and sharing may join the
// device's open files: the new open must share what the others do, and
// the others must share what the new one does.
bool SharingAllows(const ShareState& state, bool read, bool write, DWORD share) {
    const bool shareRead = (share & FILE_SHARE_READ) != 0;
    const bool shareWrite = (share & FILE_SHARE_WRITE) != 0;
    if (read && state.SharedRead < state.OpenCount) return false;
    if (write && state.SharedWrite < state.OpenCount) return false;
    if (state.Readers != 0 && !shareRead) return false;
    if (state.Writers != 0 && !shareWrite) return false;
    return true;
}

// Returns INVALID_HANDLE_VALUE with `error` as the last error.
HANDLE FailOpen(DWORD error) {
    SetLastErrorCode(error);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

DeviceFile::~DeviceFile() {
    if (!Machine) return;
    std::lock_guard<std::mutex> guard(MachineLock());
    ReleaseExclusiveLockLocked(*this);
    if (!CountsForSharing) return;
    auto found = Machine->Sharing.find(Target.ShareKey);
    if (found == Machine->Sharing.end()) return;
    const bool shareRead = (ShareMode & FILE_SHARE_READ) != 0;
    const bool shareWrite = (ShareMode & FILE_SHARE_WRITE) != 0;
    ShareState& state = found->second;
    --state.OpenCount;
    if (CanRead) --state.Readers;
    if (CanWrite) --state.Writers;
    if (shareRead) --state.SharedRead;
    if (shareWrite) --state.SharedWrite;
    if (state.OpenCount == 0) Machine->Sharing.erase(found);
}

DWORD DeviceGoneError(const DeviceFile& file) {
    std::lock_guard<std::mutex> guard(MachineLock());
    if (!file.Machine || file.Machine->Ended) return ERROR_INVALID_HANDLE;
    if (file.Machine->Removed.count(file.Name) != 0) return ERROR_INVALID_FUNCTION;
    return 0;
}

}  // namespace sim

using namespace sim;

// Returns a handle to the device the \\.\ name reaches, or
// INVALID_HANDLE_VALUE with the last error: the fault injected, 2 for no
// such device, 5 refused by the security check, the port's open error, 32
// refused by the sharing of handles already open.
extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess,
                                     DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                                     DWORD dwCreationDisposition, DWORD, HANDLE) {
    ExitIfTerminated();
    DWORD fault = 0;
    if (TakeFault(Call::CreateFileA, lpFileName, &fault)) return FailOpen(fault);
    if (lpFileName == nullptr) return FailOpen(ERROR_PATH_NOT_FOUND);
    if (dwCreationDisposition < 1 || dwCreationDisposition > 5) {
        return FailOpen(ERROR_INVALID_PARAMETER);
    }
    if ((dwShareMode & ~ValidShareBits) != 0) return FailOpen(ERROR_INVALID_PARAMETER);

    const std::string path = lpFileName;
    if (path.compare(0, 4, "\\\\.\\") != 0) return FailOpen(ERROR_FILE_NOT_FOUND);
    const std::string name = LowerDeviceName(path.substr(4));
    const bool read = (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL | FileReadData)) != 0;
    const bool write =
        (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL | FileWriteData | FileAppendData)) != 0;

    auto file = std::make_shared<DeviceFile>();
    {
        std::lock_guard<std::mutex> guard(MachineLock());
        std::shared_ptr<LiveMachine> machine = CurrentMachineLocked();
        if (!machine || machine->Removed.count(name) != 0) return FailOpen(ERROR_FILE_NOT_FOUND);
        DeviceTarget target;
        if (!ResolveDeviceLocked(*machine, name, target)) return FailOpen(ERROR_FILE_NOT_FOUND);
        // The security check comes before the driver sees the open; the
        // driver's own refusal and the sharing check come after it.
        DWORD denied = AccessErrorLocked(*machine, target, read, write);
        if (denied != 0) return FailOpen(denied);
        // The CD-ROM class driver fails every open while the drive is locked.
        denied = ExclusiveOpenErrorLocked(target);
        if (denied != 0) return FailOpen(denied);
        if (target.Kind == DeviceKind::Port && machine->Config.ports[target.Port].openError != 0) {
            return FailOpen(machine->Config.ports[target.Port].openError);
        }
        // An open that neither reads nor writes takes no part in sharing,
        // as on NT: it is neither checked nor counted. Nor does an open of
        // a port device: sharing is checked by file systems and the drivers
        // that choose to, and the SCSI port driver completes every open,
        // so a handle left with a command that never ends bars no later
        // scan of its port.
        const bool counts = (read || write) && target.Kind != DeviceKind::Port;
        if (counts) {
            ShareState& state = machine->Sharing[target.ShareKey];
            if (!SharingAllows(state, read, write, dwShareMode)) {
                if (state.OpenCount == 0) machine->Sharing.erase(target.ShareKey);
                return FailOpen(ERROR_SHARING_VIOLATION);
            }
            ++state.OpenCount;
            if (read) ++state.Readers;
            if (write) ++state.Writers;
            if (dwShareMode & FILE_SHARE_READ) ++state.SharedRead;
            if (dwShareMode & FILE_SHARE_WRITE) ++state.SharedWrite;
        }
        file->Path = path;
        file->Name = name;
        file->DesiredAccess = dwDesiredAccess;
        file->ShareMode = dwShareMode;
        file->CanRead = read;
        file->CanWrite = write;
        file->CountsForSharing = counts;
        file->Machine = machine;
        file->Target = target;
    }
    HANDLE handle = InsertHandle(file);
    // A successful open leaves the last error alone, except for the two
    // dispositions for which CreateFile documents a value on success: 183
    // when the file existed, 0 when it was created. Which of the two a
    // device's open gives is not documented (it depends on what its
    // driver reports); the simulator chooses 0.
    if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS) {
        SetLastErrorCode(ERROR_SUCCESS);
    }
    return handle;
}
