#include "sim/kernel/handles.h"

#include "sim/kernel/kernel_objects.h"

#include <mutex>
#include <vector>

namespace sim {
namespace {

// The process's handle table, laid out as NT's: entry i holds the handle
// whose value is (i + 1) * 4, so values are multiples of 4 starting at 4.
// Freed entries form a last-in first-out list, as in NT's handle table
// (ExCreateHandle takes the head of the free list, ExDestroyHandle pushes
// the freed entry back onto it): the handle closed last is the next one
// handed out, and a stale or doubled close reaches whatever object took
// the value since.
struct HandleTable {
    std::mutex Lock;
    std::vector<std::shared_ptr<KernelObject>> Entries;
    std::vector<size_t> Free;  // the head of the free list is the back
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // outlives every thread
    return *table;
}

// The kernel ignores the two low bits of a handle value: they are left to
// applications for tagging, so handle 5 names the same entry as handle 4.
const uintptr_t TagBits = 3;

// Returns the entry index that `handle` names, or Entries.size() and more
// for a value outside the table. The table's lock is held.
size_t IndexOf(const HandleTable& table, HANDLE handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle) & ~TagBits;
    if (value == 0) return table.Entries.size();
    return static_cast<size_t>(value / 4 - 1);
}

thread_local DWORD lastError = 0;

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    size_t index = table.Entries.size();
    if (!table.Free.empty()) {
        index = table.Free.back();
        table.Free.pop_back();
        table.Entries[index] = std::move(object);
    } else {
        table.Entries.push_back(std::move(object));
    }
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>((index + 1) * 4));
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    // GetCurrentThread's pseudo-handle names the calling thread.
    if (handle == reinterpret_cast<HANDLE>(-2)) {
        return std::make_shared<ThreadObject>(CurrentThreadRecordShared());
    }
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    const size_t index = IndexOf(table, handle);
    if (index >= table.Entries.size()) return nullptr;
    return table.Entries[index];
}

bool RemoveHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> object;  // destroyed outside the lock
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    const size_t index = IndexOf(table, handle);
    if (index >= table.Entries.size() || !table.Entries[index]) return false;
    object = std::move(table.Entries[index]);
    table.Entries[index] = nullptr;
    table.Free.push_back(index);
    return true;
}

size_t OpenHandleCount() {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    return table.Entries.size() - table.Free.size();
}

size_t OpenHandleCount(ObjectKind kind) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    size_t count = 0;
    for (const auto& entry : table.Entries) {
        if (entry && entry->Kind == kind) ++count;
    }
    return count;
}

void CloseAllHandles() {
    std::vector<std::shared_ptr<KernelObject>> closed;
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.Lock);
    closed.swap(table.Entries);
    table.Free.clear();
}

void SetLastErrorCode(DWORD error) { lastError = error; }
DWORD LastErrorCode() { return lastError; }

}  // namespace sim

extern "C" DWORD WINAPI GetLastError(void) { return sim::LastErrorCode(); }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { sim::SetLastErrorCode(dwErrCode); }
