// The two lists of vectored handlers, each process-wide, with a handler
// added first or last as the caller asks. A handle is the list entry's
// address; entries are never freed, so a handler being called while another
// thread removes it stays valid for that call, as NT's reference count
// keeps it.
#include "sim/loader/exceptions/vectored_handlers.h"

#include "sim/kernel/win32_families.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

namespace sim {
namespace {

struct VectoredEntry {
    VectoredHandler Handler;
};

struct HandlerList {
    std::mutex Lock;
    std::deque<VectoredEntry*> Entries;
};

HandlerList& ExceptionHandlers() {
    static auto* list = new HandlerList;
    return *list;
}

HandlerList& ContinueHandlers() {
    static auto* list = new HandlerList;
    return *list;
}

// Returns the entry made for `handler`, first or last in `list`; null with
// 87 for no handler.
PVOID AddHandler(HandlerList& list, ULONG first, VectoredHandler handler) {
    if (handler == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* entry = new VectoredEntry{handler};
    std::lock_guard<std::mutex> guard(list.Lock);
    if (first != 0) {
        list.Entries.push_front(entry);
    } else {
        list.Entries.push_back(entry);
    }
    return entry;
}

// Returns nonzero once the entry `handle` is off `list`, 0 when it is not
// on it.
ULONG RemoveHandler(HandlerList& list, PVOID handle) {
    std::lock_guard<std::mutex> guard(list.Lock);
    auto found = std::find(list.Entries.begin(), list.Entries.end(), handle);
    if (found == list.Entries.end()) return 0;
    list.Entries.erase(found);
    return 1;
}

// Returns true when a handler of `list` answered EXCEPTION_CONTINUE_EXECUTION.
bool CallList(HandlerList& list, WindowsExceptionRecord* record, WindowsContext* context) {
    std::vector<VectoredEntry*> entries;
    {
        std::lock_guard<std::mutex> guard(list.Lock);
        entries.assign(list.Entries.begin(), list.Entries.end());
    }
    WindowsExceptionPointers pointers = {record, context};
    for (VectoredEntry* entry : entries) {
        const LONG verdict =
            entry->Handler(reinterpret_cast<_EXCEPTION_POINTERS*>(&pointers));
        if (verdict == FilterContinueExecution) return true;
    }
    return false;
}

}  // namespace

bool CallVectoredExceptionHandlers(WindowsExceptionRecord* record, WindowsContext* context) {
    if (!CallList(ExceptionHandlers(), record, context)) return false;
    CallVectoredContinueHandlers(record, context);
    return true;
}

void CallVectoredContinueHandlers(WindowsExceptionRecord* record, WindowsContext* context) {
    CallList(ContinueHandlers(), record, context);
}

}  // namespace sim

// Returns the handler's handle, for RemoveVectoredExceptionHandler.
extern "C" PVOID WINAPI AddVectoredExceptionHandler(ULONG First, VectoredHandler Handler) {
    return sim::AddHandler(sim::ExceptionHandlers(), First, Handler);
}

// Returns nonzero once the handler is removed, 0 for an unknown handle.
extern "C" ULONG WINAPI RemoveVectoredExceptionHandler(PVOID Handle) {
    return sim::RemoveHandler(sim::ExceptionHandlers(), Handle);
}

// Returns the continue handler's handle.
extern "C" PVOID WINAPI AddVectoredContinueHandler(ULONG First, VectoredHandler Handler) {
    return sim::AddHandler(sim::ContinueHandlers(), First, Handler);
}

// Returns nonzero once the continue handler is removed, 0 for an unknown
// handle.
extern "C" ULONG WINAPI RemoveVectoredContinueHandler(PVOID Handle) {
    return sim::RemoveHandler(sim::ContinueHandlers(), Handle);
}
