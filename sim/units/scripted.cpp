// The scripted unit: a test's list of responses answers each command, the
// first that fits; INQUIRY and REQUEST SENSE have built-in answers that only
// a response naming their opcode overrides.
#include "sim/kernel/threads.h"
#include "sim/units/common_commands.h"
#include "sim/units/device_types.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace sim::units {

namespace {

// What the unit's delayed and hanging commands wait on; guarded by
// StateLock().
struct WaitState {
    uint64_t Releases = 0;  // Release() calls so far
    size_t Hanging = 0;     // commands blocked in a hang (a terminated caller's included)
    size_t Blocked = 0;     // commands blocked in a hang or a delay
    WaitQueue Waiting;      // the commands blocked, woken by Release()
};

class ScriptedBackend : public UnitBackend {
public:
    ScriptedBackend(const InquiryConfig& inquiry, const std::vector<ScriptedResponse>& responses)
        : inquiry_(inquiry),
          responses_(responses),
          uses_(responses.size(), 0),
          waits_(std::make_shared<WaitState>()) {}

    DWORD PlatformErrorFor(const ScsiCommand& command, bool direct) override {
        std::lock_guard<std::mutex> hold(mutex_);
        int index = FindResponse(command.cdb[0]);
        if (index < 0) return 0;
        const ScriptedResponse& response = responses_[static_cast<size_t>(index)];
        if (response.error != 0) return response.error;
        return direct ? response.directError : response.bufferedError;
    }

    void Execute(const ScsiCommand& command, ScsiOutcome& outcome) override;

    void Release() override {
        StateGuard hold(StateLock());
        ++waits_->Releases;
        SignalQueueLocked(waits_->Waiting);
    }

    size_t HangingCommands() override {
        StateGuard hold(StateLock());
        return waits_->Hanging;
    }

    size_t BlockedCommands() override {
        StateGuard hold(StateLock());
        return waits_->Blocked;
    }

private:
    // Returns the index of the response that answers `opcode`, or -1. A
    // response without an opcode does not answer INQUIRY or REQUEST SENSE,
    // which have answers of their own. Called with mutex_ held.
    int FindResponse(uint8_t opcode) const {
        bool builtIn = opcode == OpInquiry || opcode == OpRequestSense;
        for (size_t i = 0; i < responses_.size(); ++i) {
            const ScriptedResponse& response = responses_[i];
            if (response.opcode ? *response.opcode != opcode : builtIn) continue;
            if (response.times && uses_[i] >= *response.times) continue;
            return static_cast<int>(i);
        }
        return -1;
    }

    std::mutex mutex_;
    const InquiryConfig inquiry_;
    const std::vector<ScriptedResponse> responses_;
    std::vector<uint32_t> uses_;
    std::vector<uint8_t> pendingSense_;
    // Shared, so that a waiting command never reads it from a destroyed
    // backend.
    std::shared_ptr<WaitState> waits_;
};

// Returns true when the wait ended by time or by a Release(), false when
// `limitMs` passed first: waits `delayMs`, or with `hang` without end,
// until `releases` moves past its value at the start, but never longer
// than `limitMs` (INFINITE: no limit). A terminated thread never comes
// back from here.
bool WaitForRelease(const std::shared_ptr<WaitState>& waits, uint32_t delayMs, bool hang,
                    DWORD limitMs) {
    StateHold lock(StateLock());
    const uint64_t start = waits->Releases;
    std::shared_ptr<WaitState> watched = waits;
    const bool cut = hang || (limitMs != INFINITE && delayMs > limitMs);
    const DWORD waitMs = cut ? limitMs : static_cast<DWORD>(delayMs);
    if (hang) ++waits->Hanging;
    ++waits->Blocked;
    const bool released =
        WaitUntil(lock, &watched->Waiting, [watched, start] { return watched->Releases != start; },
                  waitMs);
    --waits->Blocked;
    if (hang) --waits->Hanging;
    return released || !cut;
}

// Returns the milliseconds a command may run, INFINITE for no limit (a
// time-out too long to count in a DWORD of milliseconds is none).
DWORD TimeLimitMs(uint32_t timeoutSeconds) {
    const uint64_t ms = static_cast<uint64_t>(timeoutSeconds) * 1000;
    return timeoutSeconds == 0 || ms >= INFINITE ? INFINITE : static_cast<DWORD>(ms);
}

void ScriptedBackend::Execute(const ScsiCommand& command, ScsiOutcome& outcome) {
    outcome = ScsiOutcome();
    uint8_t status;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> data;
    uint32_t delayMs;
    bool hang;
    DWORD afterError;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        uint8_t opcode = command.cdb[0];
        int index = FindResponse(opcode);
        if (index < 0) {
            if (opcode == OpInquiry) {
                AnswerInquiry(inquiry_, pendingSense_, command, outcome);
            } else if (opcode == OpRequestSense) {
                AnswerRequestSense(pendingSense_, command, outcome);
            } else {
                CheckCondition(pendingSense_, outcome, SenseInvalidOpcode);
            }
            return;
        }
        size_t chosen = static_cast<size_t>(index);
        ++uses_[chosen];
        const ScriptedResponse& response = responses_[chosen];
        status = response.status;
        sense = response.sense;
        data = response.data;
        delayMs = response.delayMs;
        hang = response.hang;
        afterError = response.afterError;
        // The sense is pending from the moment the unit has answered, so
        // that nothing after the wait needs the backend.
        if (!sense.empty()) pendingSense_ = sense;
    }
    // Still running when the caller's time-out passes, the command fails
    // with ERROR_SEM_TIMEOUT at that moment. NT aborts the request and
    // resets the bus with no promise about what the unit did; the simulator
    // chooses the case hardest for the caller: the data has moved.
    const bool timedOut =
        (hang || delayMs > 0) &&
        !WaitForRelease(waits_, delayMs, hang, TimeLimitMs(command.timeoutSeconds));

    outcome.status = status;
    outcome.sense = std::move(sense);
    if (command.direction == DataDirection::In) {
        size_t count = data.size();
        uint32_t capacity = DataInCapacity(command);
        if (count > capacity) count = capacity;
        if (count > 0) std::memcpy(command.data, data.data(), count);
        outcome.bytesMoved = static_cast<uint32_t>(count);
    } else if (status == StatusGood || status == StatusConditionMet) {
        // A unit that accepts a data-out command takes the whole buffer.
        outcome.bytesMoved = DataOutAvailable(command);
    }
    // The command has run: its data moved and its sense is pending, yet the
    // request may fail: a time-out, a bus error, a unit that went away.
    outcome.platformError = timedOut ? static_cast<DWORD>(ERROR_SEM_TIMEOUT) : afterError;
}

}  // namespace

std::unique_ptr<UnitBackend> CreateScriptedBackend(const UnitConfig& config, std::string&) {
    return std::make_unique<ScriptedBackend>(config.inquiry, config.backend.responses);
}

}  // namespace sim::units
