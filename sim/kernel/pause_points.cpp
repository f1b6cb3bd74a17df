#include "sim/kernel/pause_points.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace sim {
namespace {

const int PointCount = static_cast<int>(PausePoint::Count);

struct PauseState {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Paused[PointCount] = {};
    bool Resumed[PointCount] = {};
};

PauseState& State() {
    static PauseState* state = new PauseState;  // outlives every thread
    return *state;
}

// The points at which the calling thread is to stop next, one bit each: a
// thread-local word, so that the calls that pass a point pay one load.
thread_local unsigned pauseAsked = 0;

unsigned Bit(PausePoint point) { return 1u << static_cast<int>(point); }

}  // namespace

void PauseAtNext(PausePoint point) { pauseAsked |= Bit(point); }

bool WaitForPauseAt(PausePoint point, DWORD limitMs) {
    PauseState& state = State();
    std::unique_lock<std::mutex> lock(state.Lock);
    const int index = static_cast<int>(point);
    return state.Changed.wait_for(lock, std::chrono::milliseconds(limitMs),
                                  [&] { return state.Paused[index]; });
}

void ResumePaused(PausePoint point) {
    PauseState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Resumed[static_cast<int>(point)] = true;
    state.Changed.notify_all();
}

void PauseIfAsked(PausePoint point) {
    if ((pauseAsked & Bit(point)) == 0) return;
    pauseAsked &= ~Bit(point);
    PauseState& state = State();
    const int index = static_cast<int>(point);
    std::unique_lock<std::mutex> lock(state.Lock);
    state.Paused[index] = true;
    state.Changed.notify_all();
    state.Changed.wait(lock, [&] { return state.Resumed[index]; });
    state.Paused[index] = false;
    state.Resumed[index] = false;
}

}  // namespace sim
