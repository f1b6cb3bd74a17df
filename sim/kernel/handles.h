// The simulated kernel's one handle table: files (devices), events,
// mutexes, threads and registry keys share it, as on NT, where an HKEY
// other than a predefined one is a handle of the process's table. Objects
// are reference counted, so a thread still waiting on an object keeps it
// alive after the last handle to it is closed. Values are reused as NT
// reuses them (see handles.cpp).
#ifndef PTASPI_SIM_HANDLES_H
#define PTASPI_SIM_HANDLES_H

#include <windows.h>

#include <cstddef>
#include <memory>

namespace sim {

// Stream: a standard handle of the process, over one of the host's own.
enum class ObjectKind { File, Event, Mutex, Thread, Key, Semaphore, Stream, Token };

struct KernelObject : std::enable_shared_from_this<KernelObject> {
    explicit KernelObject(ObjectKind kind) : Kind(kind) {}
    virtual ~KernelObject() = default;
    const ObjectKind Kind;
};

// Returns the new handle (never null nor INVALID_HANDLE_VALUE): the value
// freed last when there is one, else the next unused multiple of 4.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// Returns the object behind the handle, or null for an invalid handle. The
// two low bits of the value are ignored, as NT ignores them.
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
// Closes every handle (between tests); objects die with their last user,
// and values are handed out from 4 again.
void CloseAllHandles();

// Per-thread last error, shared by every simulated function. Win32 sets it
// when a call fails and, unless a function documents a value for success,
// leaves it alone when a call succeeds.
void SetLastErrorCode(DWORD error);
DWORD LastErrorCode();

}  // namespace sim

#endif
