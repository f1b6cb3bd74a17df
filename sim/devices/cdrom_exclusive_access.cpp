// A CD-ROM's exclusive access (IOCTL_CDROM_EXCLUSIVE_ACCESS, and the
// storage documents' "CD-ROM Exclusive Access Mode"): only the holder of
// the lock reaches the device, opens fail while it is locked, the lock ends
// with the holder's handle. The errors are the ones the control's page
// documents: 5 for a device already locked, 122 for a state query whose
// output cannot hold the state, 24 (STATUS_INFO_LENGTH_MISMATCH) for an
// input too small, 1 for a request the driver cannot carry out (an unlock
// by a handle that holds no lock, or the control on a device that is no
// CD-ROM), 87 for a malformed request.
#include "sim/devices/cdrom_exclusive_access.h"

#include "sim/devices/storage_property.h"
#include "sim/machine/live_machine.h"

#include <cstring>
#include <mutex>
#include <string>

namespace sim {
namespace {

constexpr DWORD ErrorBadLength = 24;  // STATUS_INFO_LENGTH_MISMATCH

// Returns true when the unit is a CD-ROM drive, whose class driver keeps
// exclusive access.
bool IsCdRomUnit(const LiveUnit& unit) {
    const UnitConfig& config = unit.Config;
    return IsCdRomPeripheral(config.inquiryData.empty() ? config.inquiry.peripheral
                                                        : config.inquiryData[0]);
}

// Returns true when someone other than `holder` holds the unit locked (null
// `holder`: anyone at all); call with MachineLock() held.
bool LockedAgainstLocked(const LiveUnit& unit, const void* holder) {
    if (unit.Config.exclusiveLock) return true;
    return unit.LockHolder != nullptr && unit.LockHolder != holder;
}

// Returns true when `name` is a caller name the class driver accepts:
// NUL-terminated within the field, not empty, and made only of letters,
// digits, spaces, periods, commas, colons, semicolons, hyphens and
// underscores.
bool ValidCallerName(const UCHAR* name, std::string& out) {
    size_t length = 0;
    while (length < CDROM_EXCLUSIVE_CALLER_LENGTH && name[length] != 0) ++length;
    if (length == 0 || length == CDROM_EXCLUSIVE_CALLER_LENGTH) return false;
    for (size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(name[i]);
        const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alnum && std::strchr(" .,:;-_", c) == nullptr) return false;
    }
    out.assign(reinterpret_cast<const char*>(name), length);
    return true;
}

}  // namespace

DWORD ExclusiveOpenErrorLocked(const DeviceTarget& target) {
    if (target.Kind != DeviceKind::Unit || !IsCdRomUnit(*target.Unit)) return 0;
    return LockedAgainstLocked(*target.Unit, nullptr) ? ERROR_ACCESS_DENIED : 0;
}

DWORD ExclusiveControlError(const DeviceFile& file, DWORD code, const uint8_t* system,
                            DWORD inputLength) {
    if (file.Target.Kind != DeviceKind::Unit || !IsCdRomUnit(*file.Target.Unit)) return 0;
    {
        std::lock_guard<std::mutex> guard(MachineLock());
        if (!LockedAgainstLocked(*file.Target.Unit, &file)) return 0;
    }
    // The state query is how a program learns who holds the lock; a lock
    // or unlock attempt gets the control's own answer.
    if (code == IOCTL_CDROM_EXCLUSIVE_ACCESS) return 0;
    if (code == IOCTL_STORAGE_QUERY_PROPERTY && inputLength >= sizeof(STORAGE_PROPERTY_QUERY)) {
        STORAGE_PROPERTY_QUERY query;
        std::memcpy(&query, system, sizeof query);
        if (query.QueryType == PropertyExistsQuery) return 0;
        if (query.QueryType == PropertyStandardQuery &&
            (query.PropertyId == StorageDeviceProperty ||
             query.PropertyId == StorageAdapterProperty)) {
            return 0;
        }
    }
    return ERROR_ACCESS_DENIED;
}

DWORD HandleExclusiveAccess(const DeviceFile& file, uint8_t* system, DWORD inputLength,
                            DWORD outputLength, DWORD& information) {
    if (file.Target.Kind != DeviceKind::Unit || !IsCdRomUnit(*file.Target.Unit)) {
        return ERROR_INVALID_FUNCTION;
    }
    if (inputLength < sizeof(CDROM_EXCLUSIVE_ACCESS)) return ErrorBadLength;
    CDROM_EXCLUSIVE_ACCESS request;
    std::memcpy(&request, system, sizeof request);
    LiveUnit& unit = *file.Target.Unit;
    std::lock_guard<std::mutex> guard(MachineLock());
    switch (request.RequestType) {
    case ExclusiveAccessQueryState: {
        if (outputLength < sizeof(CDROM_EXCLUSIVE_LOCK_STATE)) return ERROR_INSUFFICIENT_BUFFER;
        CDROM_EXCLUSIVE_LOCK_STATE state;
        std::memset(&state, 0, sizeof state);
        const std::string* caller = unit.Config.exclusiveLock ? &*unit.Config.exclusiveLock
                                    : unit.LockHolder != nullptr ? &unit.LockCaller
                                                                 : nullptr;
        if (caller != nullptr) {
            state.LockState = 1;
            std::memcpy(state.CallerName, caller->data(), caller->size());
        }
        std::memcpy(system, &state, sizeof state);
        information = sizeof state;
        return 0;
    }
    case ExclusiveAccessLockDevice: {
        if (inputLength < sizeof(CDROM_EXCLUSIVE_LOCK)) return ErrorBadLength;
        CDROM_EXCLUSIVE_LOCK lock;
        std::memcpy(&lock, system, sizeof lock);
        std::string caller;
        if (!ValidCallerName(lock.CallerName, caller)) return ERROR_INVALID_PARAMETER;
        if (unit.Config.exclusiveLock || unit.LockHolder != nullptr) return ERROR_ACCESS_DENIED;
        unit.LockHolder = &file;
        unit.LockCaller = caller;
        return 0;
    }
    case ExclusiveAccessUnlockDevice:
        if (unit.LockHolder != &file) return ERROR_INVALID_FUNCTION;
        unit.LockHolder = nullptr;
        unit.LockCaller.clear();
        return 0;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

void ReleaseExclusiveLockLocked(const DeviceFile& file) {
    if (file.Target.Kind != DeviceKind::Unit || !file.Target.Unit) return;
    LiveUnit& unit = *file.Target.Unit;
    if (unit.LockHolder != &file) return;
    unit.LockHolder = nullptr;
    unit.LockCaller.clear();
}

}  // namespace sim
