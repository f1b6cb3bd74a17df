// The iSCSI backend is a placeholder: no initiator is built in yet, so the
// unit behaves as one that does not answer. Both pass-through controls fail
// with ERROR_IO_DEVICE (the port driver's answer when a target never
// responds) before a command reaches it; a command that reaches it anyway
// ends with CHECK CONDITION, ABORTED COMMAND, LOGICAL UNIT COMMUNICATION
// FAILURE rather than a success that moved nothing.
#include "sim/units/common_commands.h"
#include "sim/units/device_types.h"

#include <mutex>
#include <vector>

namespace sim::units {

namespace {

class IscsiBackend : public UnitBackend {
public:
    DWORD PlatformErrorFor(const ScsiCommand&, bool) override { return ERROR_IO_DEVICE; }

    void Execute(const ScsiCommand&, ScsiOutcome& outcome) override {
        outcome = ScsiOutcome();
        std::lock_guard<std::mutex> hold(mutex_);
        CheckCondition(pendingSense_, outcome, SenseCommunicationFailure);
    }

private:
    std::mutex mutex_;
    std::vector<uint8_t> pendingSense_;
};

}  // namespace

std::unique_ptr<UnitBackend> CreateIscsiBackend(const UnitConfig&, std::string&) {
    return std::make_unique<IscsiBackend>();
}

}  // namespace sim::units
