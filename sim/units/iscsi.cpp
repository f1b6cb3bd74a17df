// The iscsi backend: a real logical unit reached over iSCSI. Creating it
// logs in to the target (or joins the session another unit of that target
// holds) and reads the unit's INQUIRY data, so that a machine whose unit
// cannot be reached is refused when it is installed, not at its first
// command. Commands go to the target as they come; only the sense of a
// CHECK CONDITION whose caller took no sense bytes is kept here, because
// the target hands it over with the status and forgets it, while that
// caller may still ask for it with REQUEST SENSE as it would of a unit on
// a parallel bus. The unit's next command of any kind ends it.
#include "sim/units/common_commands.h"
#include "sim/units/device_types.h"
#include "sim/units/iscsi_session.h"
#include "sim/units/sense.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace sim::units {

namespace {

class IscsiBackend : public UnitBackend {
public:
    IscsiBackend(std::shared_ptr<IscsiSession> session, int lun, uint32_t timeoutSeconds,
                 std::vector<uint8_t> inquiry, std::string serial)
        : session_(std::move(session)),
          lun_(lun),
          timeoutSeconds_(timeoutSeconds),
          inquiry_(std::move(inquiry)),
          serial_(std::move(serial)) {}

    void Execute(const ScsiCommand& command, ScsiOutcome& outcome) override {
        outcome = ScsiOutcome();
        std::shared_ptr<IscsiSession> session;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            std::vector<uint8_t> pending;
            pending.swap(pendingSense_);
            if (command.cdb[0] == OpRequestSense && !pending.empty()) {
                AnswerRequestSense(pending, command, outcome);
                return;
            }
            session = session_;
        }
        if (!session) {  // released: the machine that had the unit is gone
            outcome.platformError = ERROR_DEVICE_NOT_CONNECTED;
            return;
        }
        ++running_;
        RunIscsiCommand(*session, lun_, command,
                        IscsiCommandLimit(command.timeoutSeconds, timeoutSeconds_), &cancel_,
                        outcome, nullptr);
        --running_;
        if (!outcome.sense.empty() && command.senseLength == 0) {
            std::lock_guard<std::mutex> hold(mutex_);
            pendingSense_ = outcome.sense;
        }
    }

    // Drops this unit's hold on the session, ending a command that waits
    // for the target; the last unit's drop logs out.
    void Release() override {
        std::shared_ptr<IscsiSession> session;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            session.swap(session_);
        }
        if (session) CancelIscsiWaits(*session, cancel_);
    }

    // Returns the commands waiting for the target, which Release ends.
    size_t HangingCommands() override { return running_; }

    const std::vector<uint8_t>* RealInquiry() const override { return &inquiry_; }
    const std::string* RealSerial() const override { return &serial_; }

private:
    std::mutex mutex_;
    std::shared_ptr<IscsiSession> session_;
    const int lun_;
    const uint32_t timeoutSeconds_;
    const std::vector<uint8_t> inquiry_;
    const std::string serial_;
    std::vector<uint8_t> pendingSense_;
    IscsiCancel cancel_;
    std::atomic<size_t> running_{0};
};

// Returns nothing: sends INQUIRY (of VPD page `page` when `vital`) for
// `data`'s size to the unit, and fills `outcome` (and `why`, may be null).
void RunInquiry(IscsiSession& session, int lun, uint32_t timeoutSeconds, bool vital, uint8_t page,
                std::vector<uint8_t>& data, ScsiOutcome& outcome, std::string* why) {
    ScsiCommand inquiry;
    const uint8_t cdb[6] = {OpInquiry, static_cast<uint8_t>(vital ? 1 : 0), page, 0,
                            static_cast<uint8_t>(data.size()), 0};
    std::copy(cdb, cdb + sizeof cdb, inquiry.cdb);
    inquiry.cdbLength = sizeof cdb;
    inquiry.direction = DataDirection::In;
    inquiry.data = data.data();
    inquiry.dataLength = static_cast<uint32_t>(data.size());
    RunIscsiCommand(session, lun, inquiry, timeoutSeconds, nullptr, outcome, why);
}

// Returns false with a message unless the unit answers a standard INQUIRY
// as a logical unit that exists; `data` gets its 36 bytes.
bool ReadRealInquiry(IscsiSession& session, int lun, uint32_t timeoutSeconds,
                     std::vector<uint8_t>& data, std::string& error) {
    data.assign(StandardInquiryLength, 0);
    ScsiOutcome outcome;
    std::string why;
    RunInquiry(session, lun, timeoutSeconds, false, 0, data, outcome, &why);
    const std::string what = "INQUIRY of LUN " + std::to_string(lun);
    if (outcome.platformError != 0) {
        error = what + " failed: " + why;
        return false;
    }
    if (outcome.status != StatusGood || outcome.bytesMoved < 5) {
        error = what + " failed with status " + std::to_string(outcome.status);
        return false;
    }
    if ((data[0] >> 5) == 3) {
        error = "the target has no logical unit " + std::to_string(lun);
        return false;
    }
    return true;
}

// Returns the unit's serial number from its VPD page 0x80, as the port
// driver reads it when it finds the unit; empty when the unit has no such
// page or does not answer.
std::string ReadRealSerial(IscsiSession& session, int lun, uint32_t timeoutSeconds) {
    std::vector<uint8_t> page(255, 0);
    ScsiOutcome outcome;
    RunInquiry(session, lun, timeoutSeconds, true, 0x80, page, outcome, nullptr);
    if (outcome.platformError != 0 || outcome.status != StatusGood || outcome.bytesMoved < 4 ||
        page[1] != 0x80) {
        return std::string();
    }
    size_t end = 4 + static_cast<size_t>(page[3]);
    if (end > outcome.bytesMoved) end = outcome.bytesMoved;
    std::string serial(page.begin() + 4, page.begin() + end);
    // The field is ASCII; a NUL would end the descriptor's string early.
    serial.erase(std::find(serial.begin(), serial.end(), '\0'), serial.end());
    return serial;
}

// A target reports UNIT ATTENTION (power on, reset) to every new session
// until a command other than INQUIRY takes it. On a machine that has
// booted, the class drivers' and the port's own first commands have taken
// it long before an application runs, so the install takes it here the
// same way. Returns false when the unit still reports it after a few tries.
bool ClearUnitAttention(IscsiSession& session, int lun, uint32_t timeoutSeconds) {
    const int tries = 4;
    for (int i = 0; i < tries; ++i) {
        ScsiCommand testUnitReady;
        testUnitReady.cdbLength = 6;
        testUnitReady.direction = DataDirection::None;
        ScsiOutcome outcome;
        RunIscsiCommand(session, lun, testUnitReady, timeoutSeconds, nullptr, outcome, nullptr);
        const bool attention = outcome.platformError == 0 &&
                               outcome.status == StatusCheckCondition &&
                               outcome.sense.size() > 2 &&
                               (outcome.sense[2] & 0x0F) == SenseKeyUnitAttention;
        if (!attention) return true;
    }
    return false;
}

}  // namespace

std::unique_ptr<UnitBackend> CreateIscsiBackend(const UnitConfig& unit, std::string& error) {
    const BackendConfig& config = unit.backend;
    IscsiAddress address;
    std::string why;
    std::shared_ptr<IscsiSession> session;
    std::vector<uint8_t> inquiry;
    if (!ParseIscsiUrl(config.url, address, why) ||
        !(session = OpenIscsiSession(address, config.initiator, config.timeoutSeconds, why)) ||
        !ReadRealInquiry(*session, address.lun, config.timeoutSeconds, inquiry, why)) {
        error = config.url + ": " + why;
        return nullptr;
    }
    if (!ClearUnitAttention(*session, address.lun, config.timeoutSeconds)) {
        error = config.url + ": the unit reports UNIT ATTENTION to every TEST UNIT READY";
        return nullptr;
    }
    std::string serial = ReadRealSerial(*session, address.lun, config.timeoutSeconds);
    return std::make_unique<IscsiBackend>(std::move(session), address.lun, config.timeoutSeconds,
                                          std::move(inquiry), std::move(serial));
}

}  // namespace sim::units
