// The two pass-through controls: the port driver's checks in their order,
// routing to a unit, one command at a time per unit, and the answer
// written back into the request's header.
#include "sim/devices/port_driver.h"

#include "sim/kernel/kernel_objects.h"
#include "sim/sim.h"
#include "sim/kernel/threads.h"

#include "platform/scsi_port.h"

#include <cstring>
#include <mutex>
#include <utility>

namespace sim {
namespace {

struct LogState {
    std::mutex Lock;
    std::vector<PassThroughRecord> Records;
};

// Returns the process's one pass-through log.
LogState& Log() {
    static LogState* log = new LogState;  // outlives every thread
    return *log;
}

// Holds a unit for one command: later callers of the same unit wait, as
// every simulated wait does, so that a terminated waiter never returns.
class UnitClaim {
public:
    explicit UnitClaim(LiveUnit& unit) : unit_(unit), self_(CurrentThreadRecordShared()) {
        std::unique_lock<std::mutex> lock(StateLock());
        WaitUntil(lock, [this] { return !unit_.Busy || unit_.Holder->Terminated.load(); },
                  INFINITE);
        unit_.Busy = true;
        unit_.Holder = self_;
    }
    ~UnitClaim() {
        std::lock_guard<std::mutex> lock(StateLock());
        if (unit_.Holder == self_) {
            unit_.Busy = false;
            unit_.Holder.reset();
        }
        StateChanged().notify_all();
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
    if (!direct && header.DataTransferLength != 0) {
        // The data area lies after the header, inside the buffer that
        // carries it: the input for data-out, the output for data-in.
        if (header.DataBufferOffset < ScsiPassThroughHeaderLength) return ERROR_INVALID_PARAMETER;
        const uint64_t end =
            static_cast<uint64_t>(header.DataBufferOffset) + header.DataTransferLength;
        const bool in = header.DataIn == SCSI_IOCTL_DATA_IN;
        const bool out = header.DataIn == SCSI_IOCTL_DATA_OUT;
        if (!in && end > inputLength) return ERROR_INVALID_PARAMETER;
        if (!out && end > outputLength) return ERROR_INVALID_PARAMETER;
    }
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
    // Nothing answers the selection: the port driver's selection time-out.
    if (!unit) return ERROR_IO_DEVICE;
    // The port device leaves a class driver's unit to that driver.
    if (file.Target.Kind == DeviceKind::Port && unit->Config.claimed) return ERROR_INVALID_FUNCTION;
    return 0;
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
    if (header.DataTransferLength > limits.MaximumTransferLength) return ERROR_INVALID_PARAMETER;

    uint8_t* data = nullptr;
    if (direct) {
        SCSI_PASS_THROUGH_DIRECT directHeader;
        memcpy(&directHeader, system, sizeof directHeader);
        data = static_cast<uint8_t*>(directHeader.DataBuffer);
        if (header.DataTransferLength != 0) {
            if ((reinterpret_cast<uintptr_t>(data) & limits.AlignmentMask) != 0) {
                return ERROR_INVALID_PARAMETER;
            }
            if (data == nullptr) return ERROR_NOACCESS;
        }
    } else if (header.DataTransferLength != 0) {
        data = system + header.DataBufferOffset;
    }

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
    ExitIfTerminated();

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
    header.ScsiStatus = outcome.status;
    header.SenseInfoLength = static_cast<UCHAR>(senseCount);
    header.DataTransferLength = moved;
    // Only the header's answer fields change; DataBuffer or DataBufferOffset
    // stay as the caller wrote them.
    memcpy(system, &header, offsetof(SCSI_PASS_THROUGH, DataBufferOffset));

    DWORD count = ScsiPassThroughHeaderLength;
    if (senseCount != 0) {
        const DWORD senseEnd = header.SenseInfoOffset + static_cast<DWORD>(senseCount);
        if (senseEnd > count) count = senseEnd;
    }
    if (!direct && moved != 0 && header.DataIn != SCSI_IOCTL_DATA_OUT) {
        const DWORD dataEnd = static_cast<DWORD>(header.DataBufferOffset) + moved;
        if (dataEnd > count) count = dataEnd;
    }
    information = count;
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
    log.Records.push_back(std::move(record));
}

std::vector<PassThroughRecord> PassThroughLog() {
    LogState& log = Log();
    std::lock_guard<std::mutex> guard(log.Lock);
    return log.Records;
}

void ClearPassThroughLog() {
    LogState& log = Log();
    std::lock_guard<std::mutex> guard(log.Lock);
    log.Records.clear();
}

}  // namespace sim
