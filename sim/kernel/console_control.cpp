#include "sim/kernel/console_control.h"

#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace sim {
namespace {

struct ControlHandlers {
    std::mutex Lock;
    std::vector<PHANDLER_ROUTINE> Handlers;  // in the order registered
    bool IgnoreCtrlC = false;  // SetConsoleCtrlHandler(NULL, TRUE)
};

// Returns the process's handlers, made once and never destroyed.
ControlHandlers& Handlers() {
    static auto* handlers = new ControlHandlers;
    return *handlers;
}

// Returns nothing; the thread that delivers a control event: the handlers
// from the last registered to the first, until one takes the event; with
// none that does, the process ends as NT's default handler ends it.
void RunControlHandlers(void* argument) {
    const DWORD event = static_cast<DWORD>(reinterpret_cast<uintptr_t>(argument));
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        ControlHandlers& state = Handlers();
        std::lock_guard<std::mutex> hold(state.Lock);
        if (event == CTRL_C_EVENT && state.IgnoreCtrlC) return;
        handlers = state.Handlers;
    }
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
        if ((*it)(event)) return;
    }
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

bool DeliverConsoleControl(DWORD event) {
    return StartProcessThread(RunControlHandlers,
                              reinterpret_cast<void*>(static_cast<uintptr_t>(event)));
}

}  // namespace sim

// Returns TRUE once `HandlerRoutine` is added to the process's control
// handlers or removed from them (its last registration); a null routine
// makes the process ignore Ctrl-C (Add TRUE) or heed it again. FALSE with
// 87 for the removal of a routine that is not registered.
extern "C" BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    sim::ExitIfTerminated();
    sim::ControlHandlers& state = sim::Handlers();
    std::lock_guard<std::mutex> hold(state.Lock);
    if (HandlerRoutine == nullptr) {
        state.IgnoreCtrlC = Add != FALSE;
        return TRUE;
    }
    if (Add) {
        state.Handlers.push_back(HandlerRoutine);
        return TRUE;
    }
    for (auto it = state.Handlers.rbegin(); it != state.Handlers.rend(); ++it) {
        if (*it == HandlerRoutine) {
            state.Handlers.erase(std::next(it).base());
            return TRUE;
        }
    }
    sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return FALSE;
}
