// Sessions to real iSCSI targets for the iscsi backend. Units of one target
// (same portal, target name and initiator) share one session; commands on
// a session run one at a time, on libiscsi's asynchronous interface driven
// by our own poll loop, each within one deadline from its start that
// covers its wait for the session, a new login and the command itself. A
// session that loses its connection or times out a command is marked
// broken, and the next command logs in afresh.
#ifndef PTASPI_SIM_ISCSI_SESSION_H
#define PTASPI_SIM_ISCSI_SESSION_H

#include "sim/units/unit.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim::units {

// Where a unit is: libiscsi's reading of its URL.
struct IscsiAddress {
    std::string portal;  // HOST:PORT
    std::string target;  // the target's IQN
    int lun = 0;
};

struct IscsiSession;

// Returns false with libiscsi's message unless `url` is an iSCSI URL
// naming a portal, a target and a LUN.
bool ParseIscsiUrl(const std::string& url, IscsiAddress& address, std::string& error);

// Returns the logged-in session to the address's target, shared with every
// unit of the same target and initiator, or null with libiscsi's message
// when it cannot be reached or refuses the login within `timeoutSeconds`.
std::shared_ptr<IscsiSession> OpenIscsiSession(const IscsiAddress& address,
                                               const std::string& initiator,
                                               uint32_t timeoutSeconds, std::string& error);

// Ends the waits of one unit's commands for good once the unit is
// released: the session's turn, a login, a target that stays silent.
struct IscsiCancel {
    IscsiCancel();
    ~IscsiCancel();
    IscsiCancel(const IscsiCancel&) = delete;
    IscsiCancel& operator=(const IscsiCancel&) = delete;
    int Fd;  // an eventfd, readable once fired
    std::atomic<bool> Fired{false};
};

// Returns nothing: fires `cancel` and wakes the unit's command if it waits
// for its turn on `session`.
void CancelIscsiWaits(IscsiSession& session, IscsiCancel& cancel);

// Returns nothing: runs one command on the session's LUN `lun` and fills
// the outcome. The command ends within `limitSeconds` of this call, its
// wait for the session and a new login included: past that it fails with
// ERROR_SEM_TIMEOUT; a login that fails, a lost connection or a fired
// `cancel` (may be null) fail it with ERROR_DEVICE_NOT_CONNECTED. A
// connection that died while the session was idle is found before the
// command is sent, and the session logs in again. `error` (may be null)
// gets a message for each failure.
void RunIscsiCommand(IscsiSession& session, int lun, const ScsiCommand& command,
                     uint32_t limitSeconds, IscsiCancel* cancel, ScsiOutcome& outcome,
                     std::string* error);

// Returns the seconds a command may run: the caller's TimeOutValue (0: no
// limit of its own) bounded by the unit's `timeout_s`.
uint32_t IscsiCommandLimit(uint32_t commandSeconds, uint32_t unitSeconds);

// Returns the data bytes that moved for a transfer of `length` bytes, as
// the target reports them: the length less an underflow's residual, the
// whole buffer for an overflow or no residual (libiscsi's scsi_residual:
// 0 none, 1 underflow, 2 overflow), whatever the status. A data-in
// transfer of which no byte arrived moved nothing: targets refuse a
// command with CHECK CONDITION and no residual.
uint32_t IscsiBytesMoved(uint32_t length, int residualStatus, size_t residual, bool noneArrived);

// Returns the sense bytes of a CHECK CONDITION's data segment, which
// carries a two-byte big-endian SenseLength before them; none when the
// segment is too short for what it announces.
std::vector<uint8_t> IscsiSenseBytes(const uint8_t* segment, size_t size);

// Returns true for the peripheral device types (byte 0, bits 0-4) that
// NT's class drivers claim: disk, tape, WORM, CD-ROM, scanner, optical.
bool ClaimedByClassDriver(uint8_t peripheral);

}  // namespace sim::units

#endif
