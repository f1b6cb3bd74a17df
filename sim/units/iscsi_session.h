// Sessions to real iSCSI targets for the iscsi backend. Units of one target
// (same portal, target name and initiator) share one session; commands on
// a session run one at a time, each bounded by a deadline, on libiscsi's
// asynchronous interface driven by our own poll loop so that nothing waits
// past its limit. A session that loses its connection or times out a
// command is marked broken, and the next command logs in afresh.
#ifndef PTASPI_SIM_ISCSI_SESSION_H
#define PTASPI_SIM_ISCSI_SESSION_H

#include "sim/units/unit.h"

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

// Returns nothing: runs one command on the session's LUN `lun` and fills
// the outcome. A broken session first logs in again within
// `reconnectSeconds`; a command still running after `limitSeconds` fails
// with ERROR_SEM_TIMEOUT, one whose connection fails with
// ERROR_DEVICE_NOT_CONNECTED. `error` (may be null) gets libiscsi's message
// for either.
void RunIscsiCommand(IscsiSession& session, int lun, const ScsiCommand& command,
                     uint32_t limitSeconds, uint32_t reconnectSeconds, ScsiOutcome& outcome,
                     std::string* error);

// Returns the seconds a command may run: the caller's TimeOutValue (0: no
// limit of its own) bounded by the unit's `timeout_s`.
uint32_t IscsiCommandLimit(uint32_t commandSeconds, uint32_t unitSeconds);

// Returns the data bytes that moved for a transfer of `length` bytes that
// ended with `status`, from the target's residual report (libiscsi's
// scsi_residual: 0 none, 1 underflow, 2 overflow): an underflow moved
// less, an overflow the whole buffer; no report, the whole buffer for a
// command that succeeded and nothing for one that did not.
uint32_t IscsiBytesMoved(uint32_t length, uint8_t status, int residualStatus, size_t residual);

// Returns the sense bytes of a CHECK CONDITION's data segment, which
// carries a two-byte big-endian SenseLength before them; none when the
// segment is too short for what it announces.
std::vector<uint8_t> IscsiSenseBytes(const uint8_t* segment, size_t size);

// Returns true for the peripheral device types (byte 0, bits 0-4) that
// NT's class drivers claim: disk, tape, WORM, CD-ROM, scanner, optical.
bool ClaimedByClassDriver(uint8_t peripheral);

}  // namespace sim::units

#endif
