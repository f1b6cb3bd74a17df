// The record of I/O controls that no driver of the machine knows: what a
// program sent that the simulator does not model, found by running it
// rather than by reading its code.
#include "sim/devices/port_driver.h"
#include "sim/sim.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>

namespace sim {
namespace {

struct UnknownControls {
    std::mutex Lock;
    std::deque<UnknownControlRecord> Records;  // oldest first, at most LoggedRequestLimit
};

// Returns the process's one record, never destroyed (threads may still
// send controls while the process ends).
UnknownControls& State() {
    static UnknownControls* state = new UnknownControls;
    return *state;
}

std::atomic<bool> reporting{false};

// Returns what a control code's fields are, in CTL_CODE's terms.
std::string DescribeCode(DWORD code) {
    char text[96];
    std::snprintf(text, sizeof text, "device type 0x%lX, function 0x%lX, method %lu, access %lu",
                  static_cast<unsigned long>(code >> 16),
                  static_cast<unsigned long>((code >> 2) & 0xFFF),
                  static_cast<unsigned long>(code & 3), static_cast<unsigned long>((code >> 14) & 3));
    return text;
}

}  // namespace

void RecordUnknownControl(const DeviceFile& file, DWORD code) {
    {
        std::lock_guard<std::mutex> guard(State().Lock);
        if (State().Records.size() == LoggedRequestLimit) State().Records.pop_front();
        State().Records.push_back({file.Path, code});
    }
    if (reporting.load()) {
        std::fprintf(stderr, "ntrun: unknown I/O control 0x%08lX (%s) sent to %s: failed with 1\n",
                     static_cast<unsigned long>(code), DescribeCode(code).c_str(),
                     file.Path.c_str());
    }
}

std::vector<UnknownControlRecord> UnknownControlLog() {
    std::lock_guard<std::mutex> guard(State().Lock);
    return std::vector<UnknownControlRecord>(State().Records.begin(), State().Records.end());
}

void ClearUnknownControlLog() {
    std::lock_guard<std::mutex> guard(State().Lock);
    State().Records.clear();
}

void ReportUnknownControls(bool on) { reporting.store(on); }

}  // namespace sim
