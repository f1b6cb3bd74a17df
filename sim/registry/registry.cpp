// The platform's four registry functions over the simulated tree. Each
// returns its error code and leaves the thread's last error alone, as the
// registry functions of Win32 do. Key handles live in the process's one
// handle table, as on NT.
#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/machine/live_machine.h"
#include "sim/registry/registry_tree.h"
#include "sim/sim.h"

#include <windows.h>

#include <cstring>
#include <iterator>

namespace sim {
namespace {

using namespace registry;

// Windows answers a path that starts with a backslash with this.
constexpr LONG ErrorBadPathname = 161;

// Every access right that lets a handle change a key or its security:
// KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_CREATE_LINK, DELETE, WRITE_DAC,
// WRITE_OWNER, and the generic write and all rights (KEY_WRITE and
// KEY_ALL_ACCESS are made of these and of read rights).
constexpr REGSAM WriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK |
                               0x00010000UL | 0x00040000UL | 0x00080000UL | GENERIC_WRITE |
                               GENERIC_ALL;

// Returns the key behind a handle, or null when the handle is not valid
// or names another kind of object (NT's type mismatch, reported as 6).
std::shared_ptr<RegKey> KeyOf(RegistryState& state, HKEY handle) {
    if (handle == HKEY_LOCAL_MACHINE) return state.root;
    auto object = LookupHandleOf<KeyObject>(reinterpret_cast<HANDLE>(handle), ObjectKind::Key);
    return object ? object->Key : nullptr;
}

// Returns true when the machine's user is a limited one. HKEY_LOCAL_MACHINE
// and every key below it grant such users read access only (the default
// security of HARDWARE, SOFTWARE and SYSTEM), so an open that asks for any
// write right is refused with 5, while KEY_READ is granted.
bool UserIsLimited() {
    std::lock_guard<std::mutex> guard(MachineLock());
    std::shared_ptr<LiveMachine> machine = CurrentMachineLocked();
    return machine && machine->Config.user == UserKind::Limited;
}

}  // namespace

size_t OpenRegistryKeyCount() { return OpenHandleCount(ObjectKind::Key); }

}  // namespace sim

using sim::Call;

// Returns 0 with a new handle, 2 for a missing key, 5 for write access
// that the user is not granted, 6 for a handle that is not open, 161 for
// a path that starts with a backslash.
extern "C" LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                     REGSAM samDesired, PHKEY phkResult) {
    (void)ulOptions;
    DWORD fault = 0;
    if (sim::TakeFault(Call::RegOpenKeyExA, lpSubKey != nullptr ? lpSubKey : "", &fault)) {
        if (phkResult != nullptr) *phkResult = nullptr;
        return static_cast<LONG>(fault);
    }
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    const bool limited = sim::UserIsLimited();
    std::shared_ptr<sim::registry::RegKey> key;
    {
        sim::registry::RegistryState& state = sim::registry::State();
        std::lock_guard<std::mutex> guard(state.lock);
        std::shared_ptr<sim::registry::RegKey> from = sim::KeyOf(state, hKey);
        if (!from) return ERROR_INVALID_HANDLE;
        const std::string path = lpSubKey != nullptr ? lpSubKey : "";
        if (!path.empty() && path[0] == '\\') return sim::ErrorBadPathname;
        key = sim::registry::FindKey(from, path);
        if (!key) return ERROR_FILE_NOT_FOUND;
    }
    // The access check is made on the key found, so a missing key is 2
    // whatever the access asked for.
    if (limited && (samDesired & sim::WriteRights) != 0) return ERROR_ACCESS_DENIED;
    HANDLE handle = sim::InsertHandle(std::make_shared<sim::registry::KeyObject>(key));
    *phkResult = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

// Returns 0 with the value (or only its size and type when lpData is
// NULL), 2 for a missing value, 234 with the size needed when it does not fit.
extern "C" LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                        LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    DWORD fault = 0;
    if (sim::TakeFault(Call::RegQueryValueExA, lpValueName != nullptr ? lpValueName : "",
                       &fault)) {
        return static_cast<LONG>(fault);
    }
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::registry::RegistryState& state = sim::registry::State();
    std::lock_guard<std::mutex> guard(state.lock);
    std::shared_ptr<sim::registry::RegKey> key = sim::KeyOf(state, hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    const sim::registry::RegValue* value = sim::registry::FindValue(*key, lpValueName != nullptr ? lpValueName : "");
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr) *lpType = value->type;
    const DWORD size = static_cast<DWORD>(value->data.size());
    if (lpData == nullptr) {
        if (lpcbData != nullptr) *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size > 0) std::memcpy(lpData, value->data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

// Returns 0 with the subkey's name, 259 past the last subkey, 234 when the
// name and its NUL do not fit the buffer.
extern "C" LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                     LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                     PFILETIME lpftLastWriteTime) {
    DWORD fault = 0;
    if (sim::TakeFault(Call::RegEnumKeyExA, "", &fault)) return static_cast<LONG>(fault);
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
        (lpClass != nullptr && lpcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::registry::RegistryState& state = sim::registry::State();
    std::lock_guard<std::mutex> guard(state.lock);
    std::shared_ptr<sim::registry::RegKey> key = sim::KeyOf(state, hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    if (dwIndex >= key->children.size()) return ERROR_NO_MORE_ITEMS;
    auto child = key->children.begin();
    std::advance(child, dwIndex);
    const std::string& name = child->second->name;
    // The buffer holds the name and its NUL.
    if (name.size() >= *lpcchName) return ERROR_MORE_DATA;
    if (lpClass != nullptr && *lpcchClass < 1) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass != nullptr) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != nullptr) {
        // 1 January 2000, as every key of the simulated machine was written then.
        lpftLastWriteTime->dwLowDateTime = 0x256D4000UL;
        lpftLastWriteTime->dwHighDateTime = 0x01BF53EBUL;
    }
    return ERROR_SUCCESS;
}

// Returns 0, or 6 for a handle that is not open. A predefined key is never
// closed. Any other value goes to the kernel's close as it is, as NT's
// RegCloseKey hands it to NtClose, which closes a handle of any kind: a
// stale key handle whose value was reused closes that other object.
extern "C" LONG WINAPI RegCloseKey(HKEY hKey) {
    // HKEY_CLASSES_ROOT (0x80000000) up to HKEY_DYN_DATA (0x80000006).
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(hKey);
    if (value >= 0x80000000UL && value <= 0x80000006UL) return ERROR_SUCCESS;
    if (!sim::RemoveHandle(reinterpret_cast<HANDLE>(hKey))) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}
