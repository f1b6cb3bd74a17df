// Drive roots of the running machine: the drive letters its units declare
// (CD-ROM drives) and the drives it lists.
#include "sim/machine/live_machine.h"

#include "sim/kernel/faults.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/handles.h"

#include <cstring>
#include <map>

namespace sim {
namespace {

// Returns every drive letter of the running machine with its root's type,
// in letter order, leaving out drives whose device was removed.
std::map<char, UINT> DriveTypes() {
    std::map<char, UINT> types;
    std::lock_guard<std::mutex> guard(MachineLock());
    std::shared_ptr<LiveMachine> machine = CurrentMachineLocked();
    if (!machine) return types;
    auto add = [&](char letter, UINT type) {
        if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
        if (letter < 'A' || letter > 'Z') return;
        const std::string name = LowerDeviceName(std::string(1, letter) + ":");
        if (machine->Removed.count(name) != 0) return;
        types.emplace(letter, type);  // a unit's drive wins over a listed one
    };
    for (const auto& unit : machine->Units) {
        if (unit->Config.drive) add(*unit->Config.drive, DRIVE_CDROM);
    }
    for (const DriveConfig& drive : machine->Config.drives) {
        UINT type = DRIVE_FIXED;
        switch (drive.kind) {
        case DriveKind::Fixed: type = DRIVE_FIXED; break;
        case DriveKind::Removable: type = DRIVE_REMOVABLE; break;
        case DriveKind::Remote: type = DRIVE_REMOTE; break;
        case DriveKind::CdRom: type = DRIVE_CDROM; break;
        case DriveKind::RamDisk: type = DRIVE_RAMDISK; break;
        }
        add(drive.letter, type);
    }
    return types;
}

}  // namespace
}  // namespace sim

using namespace sim;

// Returns the length of the root list without its closing NUL; when the
// buffer cannot hold the list with that NUL, the length it needs, and
// nothing is written.
extern "C" DWORD WINAPI GetLogicalDriveStringsA(DWORD nBufferLength, LPSTR lpBuffer) {
    ExitIfTerminated();
    DWORD error = 0;
    if (TakeFault(Call::GetLogicalDriveStringsA, nullptr, &error)) {
        SetLastErrorCode(error);
        return 0;
    }
    const std::map<char, UINT> types = DriveTypes();
    const DWORD length = static_cast<DWORD>(types.size() * 4);  // "X:\" and its NUL each
    if (nBufferLength < length + 1) return length + 1;          // nothing written
    if (lpBuffer == nullptr) {
        SetLastErrorCode(ERROR_NOACCESS);
        return 0;
    }
    char* at = lpBuffer;
    for (const auto& drive : types) {
        at[0] = drive.first;
        at[1] = ':';
        at[2] = '\\';
        at[3] = '\0';
        at += 4;
    }
    *at = '\0';
    return length;
}

// Returns the type of the drive whose root is named, DRIVE_NO_ROOT_DIR for
// a name that is no root of the machine. The root needs its trailing
// backslash, as documented ("D:\"); "D:" is no root. A null name stands
// for the root of the current directory, which the simulated process has
// on its first fixed drive (none: DRIVE_NO_ROOT_DIR).
extern "C" UINT WINAPI GetDriveTypeA(LPCSTR lpRootPathName) {
    ExitIfTerminated();
    DWORD error = 0;
    if (TakeFault(Call::GetDriveTypeA, nullptr, &error)) {
        SetLastErrorCode(error);
        return DRIVE_UNKNOWN;
    }
    const std::map<char, UINT> types = DriveTypes();
    if (lpRootPathName == nullptr) {
        for (const auto& drive : types) {
            if (drive.second == DRIVE_FIXED) return DRIVE_FIXED;
        }
        return DRIVE_NO_ROOT_DIR;
    }
    if (strlen(lpRootPathName) != 3 || lpRootPathName[1] != ':' || lpRootPathName[2] != '\\') {
        return DRIVE_NO_ROOT_DIR;
    }
    char letter = lpRootPathName[0];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    auto found = types.find(letter);
    return found == types.end() ? static_cast<UINT>(DRIVE_NO_ROOT_DIR) : found->second;
}
