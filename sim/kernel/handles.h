// The simulated kernel's one handle table: files (devices), events,
// mutexes and threads share it, as on Windows. Objects are reference
// counted, so a thread still waiting on an object keeps it alive after the
// last handle to it is closed.
#ifndef PTASPI_SIM_HANDLES_H
#define PTASPI_SIM_HANDLES_H

#include <windows.h>

#include <cstddef>
#include <memory>

namespace sim {

enum class ObjectKind { File, Event, Mutex, Thread };

struct KernelObject {
    explicit KernelObject(ObjectKind kind) : Kind(kind) {}
    virtual ~KernelObject() = default;
    const ObjectKind Kind;
};

// Returns the new handle (never null nor INVALID_HANDLE_VALUE).
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// Returns the object behind the handle, or null for an invalid handle.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
// Returns the object when the handle is valid and of that kind, else null.
template <class T>
std::shared_ptr<T> LookupHandleOf(HANDLE handle, ObjectKind kind) {
    std::shared_ptr<KernelObject> object = LookupHandle(handle);
    if (!object || object->Kind != kind) return nullptr;
    return std::static_pointer_cast<T>(object);
}
// Returns false when the handle is not open.
bool RemoveHandle(HANDLE handle);
// Returns the number of open handles (every kind), so that tests see leaks.
size_t OpenHandleCount();
// Returns the number of open handles of one kind.
size_t OpenHandleCount(ObjectKind kind);
// Closes every handle (between tests); objects die with their last user.
void CloseAllHandles();

// Per-thread last error, shared by every simulated function.
void SetLastErrorCode(DWORD error);
DWORD LastErrorCode();

}  // namespace sim

#endif
