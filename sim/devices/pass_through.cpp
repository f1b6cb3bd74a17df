// The two pass-through controls: the port driver's checks in their order,
// routing to a unit, one command at a time per unit, and the answer
// written back into the request's header.
#include "sim/devices/port_driver.h"

#include "sim/kernel/kernel_objects.h"
#include "sim/sim.h"
#include "sim/kernel/threads.h"

#include "platform/scsi_port.h"

#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

namespace sim {
namespace {

constexpr uint64_t PageSize = 4096;

struct LogState {
    std::mutex Lock;
    std::deque<PassThroughRecord> Records;  // oldest first, at most LoggedRequestLimit
};

// Returns the process's one pass-through log.
LogState& Log() {
    static LogState* log = new LogState;  // outlives every thread
    return *log;
}

// Holds a unit for one command: later callers of the same unit wait in the
// port driver's queue. A holder terminated meanwhile still runs its command
// to the end, as the port driver cancels no pass-through.
class UnitClaim {
public:
    explicit UnitClaim(LiveUnit& unit) : unit_(unit), self_(CurrentThreadRecordShared()) {
        StateHold lock(StateLock());
        WaitUntil(lock, &unit_.ClaimWaiters, [this] { return !unit_.Busy; }, INFINITE);
        unit_.Busy = true;
        unit_.Holder = self_;
    }
    ~UnitClaim() {
        StateGuard lock(StateLock());
        if (unit_.Holder == self_) {
            unit_.Busy = false;
            unit_.Holder.reset();
            SignalQueueLocked(unit_.ClaimWaiters);
        }
    }
    UnitClaim(const UnitClaim&) = delete;
    UnitClaim& operator=(const UnitClaim&) = delete;

private:
    LiveUnit& unit_;
    std::shared_ptr<ThreadRecord> self_;
};

// Returns the port a pass-through on this device reaches, or -1.
int PortReached(const DeviceFile& file) {
    switch (file.Target.Kind) {
    case DeviceKind::Port:
    case DeviceKind::AspiDrv:
        return file.Target.Port;
    case DeviceKind::Unit:
        return file.Target.Unit->Port;
    case DeviceKind::Volume:
        break;
    }
    return -1;
}

// Returns 0 when the header and the buffer lengths make a well-formed
// request, else 87.
DWORD CheckSizes(const SCSI_PASS_THROUGH& header, bool direct, DWORD inputLength,
                 DWORD outputLength) {
    if (header.Length != ScsiPassThroughHeaderLength) return ERROR_INVALID_PARAMETER;
    if (header.CdbLength > 16) return ERROR_INVALID_PARAMETER;
    if (header.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED) return ERROR_INVALID_PARAMETER;
    // NT's port driver refuses a request without a time-out; the documents
    // of the control state only that the value is in seconds.
    if (header.TimeOutValue == 0) return ERROR_INVALID_PARAMETER;
    if (!direct && header.DataTransferLength != 0) {
        // The data area lies after the header, inside the buffer that
        // carries it: the input for data-out, the output for data-in. The
        // system buffer holds only the input's bytes, so data-out bytes
        // past the input can never reach the unit.
        if (header.DataBufferOffset < ScsiPassThroughHeaderLength) return ERROR_INVALID_PARAMETER;
        const uint64_t end =
            static_cast<uint64_t>(header.DataBufferOffset) + header.DataTransferLength;
        const bool in = header.DataIn == SCSI_IOCTL_DATA_IN;
        const bool out = header.DataIn == SCSI_IOCTL_DATA_OUT;
        if (!in && end > inputLength) return ERROR_INVALID_PARAMETER;
        if (!out && end > outputLength) return ERROR_INVALID_PARAMETER;
    }
    // Sense comes back only through the output, so all of it must fit there.
    if (header.SenseInfoLength != 0) {
        if (header.SenseInfoOffset < ScsiPassThroughHeaderLength) return ERROR_INVALID_PARAMETER;
        const uint64_t end = static_cast<uint64_t>(header.SenseInfoOffset) + header.SenseInfoLength;
        if (end > outputLength) return ERROR_INVALID_PARAMETER;
    }
    return 0;
}

// Returns 0 with the unit the request reaches, or the routing error.
DWORD Route(const DeviceFile& file, const SCSI_PASS_THROUGH& header,
            std::shared_ptr<LiveUnit>& unit) {
    if (file.Target.Kind == DeviceKind::Unit) {
        unit = file.Target.Unit;
        return 0;
    }
    std::lock_guard<std::mutex> guard(MachineLock());
    unit = FindUnitLocked(*file.Machine, file.Target.Port, header.PathId, header.TargetId,
                          header.Lun);
    // Nothing answers the selection: the port driver completes the request
    // with a selection time-out, which NT reports as a device that is not
    // connected.
    if (!unit) return ERROR_DEVICE_NOT_CONNECTED;
    // The port device leaves a class driver's unit to that driver.
    if (file.Target.Kind == DeviceKind::Port && unit->Config.claimed) return ERROR_INVALID_FUNCTION;
    return 0;
}

// Returns the count of 4096-byte pages that `length` bytes from `address`
// touch: a range that does not start on a page boundary costs one more.
uint64_t PagesTouched(uintptr_t address, uint32_t length) {
    if (length == 0) return 0;
    const uint64_t first = static_cast<uint64_t>(address) / PageSize;
    const uint64_t last = (static_cast<uint64_t>(address) + length - 1) / PageSize;
    return last - first + 1;
}

// Returns 0 when the port can move `length` bytes at `data`, else 87. NT's
// port driver refuses a transfer longer than the adapter's
// MaximumTransferLength or spread over more physical pages than its
// MaximumPhysicalPages, and data whose address has bits of the
// AlignmentMask set (documented for both controls: DataBuffer and
// DataBufferOffset "must respect the data alignment requirements of the
// device"). The buffered control's data is the system buffer's.
DWORD CheckData(const CapabilitiesConfig& limits, const uint8_t* data, uint32_t length) {
    if (length > limits.MaximumTransferLength) return ERROR_INVALID_PARAMETER;
    const uintptr_t address = reinterpret_cast<uintptr_t>(data);
    if (PagesTouched(address, length) > limits.MaximumPhysicalPages) return ERROR_INVALID_PARAMETER;
    if (length != 0 && (address & limits.AlignmentMask) != 0) return ERROR_INVALID_PARAMETER;
    return 0;
}

// Returns the byte count the control reports, which is what the I/O
// manager copies back to the output. NT's port driver reports
// DataBufferOffset plus the bytes moved for a buffered data-in transfer,
// and otherwise the header, extended over the sense bytes returned; the
// control's documents do not say so. A buffered data-in request whose
// sense lies past its data therefore gets no sense bytes back, as on NT.
DWORD ReportedCount(const SCSI_PASS_THROUGH& header, bool direct, uint32_t moved,
                    size_t senseCount) {
    if (!direct && header.DataIn == SCSI_IOCTL_DATA_IN && header.DataTransferLength != 0) {
        return static_cast<DWORD>(header.DataBufferOffset) + moved;
    }
    DWORD count = ScsiPassThroughHeaderLength;
    if (senseCount != 0) {
        const DWORD senseEnd = header.SenseInfoOffset + static_cast<DWORD>(senseCount);
        if (senseEnd > count) count = senseEnd;
    }
    return count;
}

}  // namespace

DWORD HandlePassThrough(const DeviceFile& file, bool direct, uint8_t* system,
                        DWORD inputLength, DWORD outputLength, DWORD& information) {
    const int port = PortReached(file);
    if (port < 0) return ERROR_INVALID_FUNCTION;  // a volume has no port driver below it
    if (inputLength < ScsiPassThroughHeaderLength || outputLength < ScsiPassThroughHeaderLength) {
        return ERROR_INVALID_PARAMETER;
    }
    SCSI_PASS_THROUGH header;
    memcpy(&header, system, sizeof header);
    DWORD error = CheckSizes(header, direct, inputLength, outputLength);
    if (error != 0) return error;

    const CapabilitiesConfig& limits = file.Machine->Config.ports[port].capabilities;
    uint8_t* data = nullptr;
    if (direct) {
        SCSI_PASS_THROUGH_DIRECT directHeader;
        memcpy(&directHeader, system, sizeof directHeader);
        data = static_cast<uint8_t*>(directHeader.DataBuffer);
    } else if (header.DataTransferLength != 0) {
        data = system + header.DataBufferOffset;
    }
    error = CheckData(limits, data, header.DataTransferLength);
    if (error != 0) return error;
    if (header.DataTransferLength != 0 && data == nullptr) return ERROR_NOACCESS;

    std::shared_ptr<LiveUnit> unit;
    error = Route(file, header, unit);
    if (error != 0) return error;

    ScsiCommand command;
    memcpy(command.cdb, header.Cdb, sizeof command.cdb);
    command.cdbLength = header.CdbLength;
    command.direction = header.DataIn == SCSI_IOCTL_DATA_IN    ? DataDirection::In
                        : header.DataIn == SCSI_IOCTL_DATA_OUT ? DataDirection::Out
                                                               : DataDirection::None;
    command.data = header.DataTransferLength != 0 ? data : nullptr;
    command.dataLength = header.DataTransferLength;
    command.timeoutSeconds = header.TimeOutValue;
    command.senseLength = unit->Config.autosense ? header.SenseInfoLength : 0;

    ScsiOutcome outcome;
    {
        UnitClaim claim(*unit);
        // The machine may have ended, or the device vanished, while this
        // caller waited for the unit.
        error = DeviceGoneError(file);
        if (error != 0) return error;
        error = unit->Backend->PlatformErrorFor(command, direct);
        if (error != 0) return error;
        unit->Backend->Execute(command, outcome);
    }
    // A caller terminated meanwhile still gets its request completed: the
    // answer lands in the system buffer and is copied back to its output.
    // The command ran but the request failed (a time-out, a bus error, a
    // unit that went away): NT completes the request with an error status,
    // so the header keeps what the caller wrote and nothing is copied back.
    if (outcome.platformError != 0) return outcome.platformError;

    // A class driver fills in its own unit's address whatever the caller
    // wrote there.
    if (file.Target.Kind == DeviceKind::Unit) {
        header.PathId = static_cast<UCHAR>(unit->Bus);
        header.TargetId = unit->Config.target;
        header.Lun = unit->Config.lun;
    }
    const uint32_t moved = outcome.bytesMoved < header.DataTransferLength
                               ? outcome.bytesMoved
                               : header.DataTransferLength;
    size_t senseCount = 0;
    if (unit->Config.autosense && header.SenseInfoLength != 0) {
        senseCount = outcome.sense.size() < header.SenseInfoLength ? outcome.sense.size()
                                                                   : header.SenseInfoLength;
        if (senseCount != 0) {
            memcpy(system + header.SenseInfoOffset, outcome.sense.data(), senseCount);
        }
    }
    // Counted from the request as the caller made it.
    information = ReportedCount(header, direct, moved, senseCount);
    header.ScsiStatus = outcome.status;
    header.SenseInfoLength = static_cast<UCHAR>(senseCount);
    header.DataTransferLength = moved;
    // Only the header's answer fields change; DataBuffer or DataBufferOffset
    // stay as the caller wrote them.
    memcpy(system, &header, offsetof(SCSI_PASS_THROUGH, DataBufferOffset));
    return 0;
}

void RecordPassThrough(const DeviceFile& file, DWORD code, std::vector<uint8_t> input,
                       DWORD inputLength, DWORD outputLength, DWORD error) {
    PassThroughRecord record;
    record.device = file.Path;
    record.controlCode = code;
    record.inputLength = inputLength;
    record.outputLength = outputLength;
    if (!input.empty()) {
        memcpy(record.header, input.data(),
               input.size() < sizeof record.header ? input.size() : sizeof record.header);
    }
    record.input = std::move(input);
    record.error = error;
    LogState& log = Log();
    std::lock_guard<std::mutex> guard(log.Lock);
    if (log.Records.size() == LoggedRequestLimit) log.Records.pop_front();
    log.Records.push_back(std::move(record));
}

std::vector<PassThroughRecord> PassThroughLog() {
    LogState& log = Log();
    std::lock_guard<std::mutex> guard(log.Lock);
    return std::vector<PassThroughRecord>(log.Records.begin(), log.Records.end());
}

void ClearPassThroughLog() {
    LogState& log = Log();
    std::lock_guard<std::mutex> guard(log.Lock);
    log.Records.clear();
}

DWORD ExecuteClassCommand(const DeviceFile& file, ScsiCommand& command, ScsiOutcome& outcome) {
    LiveUnit& unit = *file.Target.Unit;
    UnitClaim claim(unit);
    const DWORD error = DeviceGoneError(file);
    if (error != 0) return error;
    command.senseLength = 18;
    unit.Backend->Execute(command, outcome);
    return 0;
}

}  // namespace sim
