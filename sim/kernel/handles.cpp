#include "sim/kernel/handles.h"

#include <mutex>
#include <unordered_map>

namespace sim {
namespace {

struct HandleTable {
    std::mutex Lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> Objects;
    uintptr_t NextValue = 0x40;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // outlives every thread
    return *table;
}

thread_local DWORD lastError = 0;

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    // Handle values are multiples of 4, as on Windows, and never reused
    // while the process lives, so a stale handle never names a new object.
    uintptr_t value = table.NextValue;
    table.NextValue += 4;
    table.Objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    auto found = table.Objects.find(reinterpret_cast<uintptr_t>(handle));
    if (found == table.Objects.end()) return nullptr;
    return found->second;
}

bool RemoveHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> object;  // destroyed outside the lock
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    auto found = table.Objects.find(reinterpret_cast<uintptr_t>(handle));
    if (found == table.Objects.end()) return false;
    object = std::move(found->second);
    table.Objects.erase(found);
    return true;
}

size_t OpenHandleCount() {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    return table.Objects.size();
}

size_t OpenHandleCount(ObjectKind kind) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    size_t count = 0;
    for (const auto& entry : table.Objects) {
        if (entry.second->Kind == kind) ++count;
    }
    return count;
}

void CloseAllHandles() {
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> closed;
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    closed.swap(table.Objects);
}

void SetLastErrorCode(DWORD error) { lastError = error; }
DWORD LastErrorCode() { return lastError; }

}  // namespace sim

extern "C" DWORD WINAPI GetLastError(void) { return sim::LastErrorCode(); }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { sim::SetLastErrorCode(dwErrCode); }
