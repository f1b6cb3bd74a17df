// DeviceIoControl: the I/O manager's checks, then the port driver's (or
// class driver's) answer to the control.
#include "sim/devices/port_driver.h"
#include "sim/devices/disk_class.h"

#include "sim/devices/cdrom_exclusive_access.h"
#include "sim/devices/cdrom_controls.h"
#include "sim/devices/storage_property.h"
#include "sim/sim.h"

#include "sim/kernel/faults.h"
#include "sim/kernel/threads.h"

#include "platform/scsi_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace sim {
namespace {

// The largest system buffer the I/O manager allocates; a request for more
// fails as for exhausted pool.
constexpr DWORD MaxSystemBuffer = 16u << 20;
constexpr DWORD ErrorNoSystemResources = 1450;

constexpr size_t PageSize = 4096;
// What a system buffer holds beyond the input: NT does not clear the pool
// memory it allocates, so bytes the driver never wrote are junk.
constexpr uint8_t PoolJunk = 0xCD;

// The I/O manager's system buffer for one control, placed where NT's pool
// would place it. The pool promises 8-byte alignment below a page and page
// alignment from a page up; the simulator gives exactly that and no more
// (an address that is a multiple of 8 but not of 16), so that a driver
// check on the data's alignment sees the least the pool may give.
class SystemBuffer {
public:
    explicit SystemBuffer(DWORD size) {
        const size_t block = (size + 16 + PageSize - 1) / PageSize * PageSize;
        block_ = static_cast<uint8_t*>(std::aligned_alloc(PageSize, block));
        if (block_ == nullptr) return;
        data_ = size < PageSize ? block_ + 8 : block_;
        memset(data_, PoolJunk, size);
    }
    ~SystemBuffer() { std::free(block_); }
    SystemBuffer(const SystemBuffer&) = delete;
    SystemBuffer& operator=(const SystemBuffer&) = delete;

    // Returns the buffer's first byte, or null when no memory was left.
    uint8_t* Data() const { return data_; }

private:
    uint8_t* block_ = nullptr;
    uint8_t* data_ = nullptr;
};

// Returns nothing: stores a 32-bit value at `to` in the machine's order.
void PutUlong(uint8_t* to, uint32_t value) { memcpy(to, &value, sizeof value); }

// Returns 0 or the error of IOCTL_SCSI_GET_CAPABILITIES.
DWORD GetCapabilities(const DeviceFile& file, uint8_t* system, DWORD outputLength,
                      DWORD& information) {
    if (file.Target.Kind != DeviceKind::Port) return ERROR_INVALID_FUNCTION;
    const PortConfig& port = file.Machine->Config.ports[file.Target.Port];
    if (port.capabilitiesError != 0) return port.capabilitiesError;
    if (outputLength < ScsiCapabilitiesLength) return ERROR_INSUFFICIENT_BUFFER;
    IO_SCSI_CAPABILITIES answer;
    memset(&answer, 0, sizeof answer);
    answer.Length = ScsiCapabilitiesLength;
    answer.MaximumTransferLength = port.capabilities.MaximumTransferLength;
    answer.MaximumPhysicalPages = port.capabilities.MaximumPhysicalPages;
    answer.SupportedAsynchronousEvents = port.capabilities.SupportedAsynchronousEvents;
    answer.AlignmentMask = port.capabilities.AlignmentMask;
    answer.TaggedQueuing = port.capabilities.TaggedQueuing ? 1 : 0;
    answer.AdapterScansDown = port.capabilities.AdapterScansDown ? 1 : 0;
    answer.AdapterUsesPio = port.capabilities.AdapterUsesPio ? 1 : 0;
    memcpy(system, &answer, sizeof answer);
    information = ScsiCapabilitiesLength;
    return 0;
}

// Returns 0 or the error of IOCTL_SCSI_GET_INQUIRY_DATA; the whole answer
// or nothing, as the real driver gives it.
DWORD GetInquiryData(const DeviceFile& file, uint8_t* system, DWORD outputLength,
                     DWORD& information) {
    if (file.Target.Kind != DeviceKind::Port) return ERROR_INVALID_FUNCTION;
    const PortConfig& port = file.Machine->Config.ports[file.Target.Port];
    if (port.inquiryError != 0) return port.inquiryError;
    const std::vector<uint8_t> answer =
        port.inquiryAnswer ? *port.inquiryAnswer : BuildInquiryData(port);
    // NT's port driver does not cut the answer to the buffer.
    if (answer.size() > outputLength) return ERROR_INSUFFICIENT_BUFFER;
    memcpy(system, answer.data(), answer.size());
    information = static_cast<DWORD>(answer.size());
    return 0;
}

// Returns 0 or the error of IOCTL_SCSI_GET_ADDRESS.
DWORD GetAddress(const DeviceFile& file, uint8_t* system, DWORD outputLength,
                 DWORD& information) {
    // Only class devices know their unit's address; a port device, the
    // outside driver and a volume without a unit do not answer.
    if (file.Target.Kind != DeviceKind::Unit) return ERROR_INVALID_FUNCTION;
    const LiveUnit& unit = *file.Target.Unit;
    if (unit.Config.addressError != 0) return unit.Config.addressError;
    if (outputLength < ScsiAddressLength) return ERROR_INSUFFICIENT_BUFFER;
    PutUlong(system, ScsiAddressLength);
    system[offsetof(SCSI_ADDRESS, PortNumber)] = static_cast<uint8_t>(unit.Port);
    system[offsetof(SCSI_ADDRESS, PathId)] = static_cast<uint8_t>(unit.Bus);
    system[offsetof(SCSI_ADDRESS, TargetId)] = unit.Config.target;
    system[offsetof(SCSI_ADDRESS, Lun)] = unit.Config.lun;
    information = ScsiAddressLength;
    return 0;
}

// Returns 0 or the error of the control, with the bytes to copy back.
DWORD Dispatch(const DeviceFile& file, DWORD code, uint8_t* system, DWORD inputLength,
               DWORD outputLength, DWORD& information) {
    const DWORD locked = ExclusiveControlError(file, code, system, inputLength);
    if (locked != 0) return locked;
    switch (code) {
    case IOCTL_CDROM_EXCLUSIVE_ACCESS:
        return HandleExclusiveAccess(file, system, inputLength, outputLength, information);
    case IOCTL_SCSI_GET_CAPABILITIES:
        return GetCapabilities(file, system, outputLength, information);
    case IOCTL_SCSI_GET_INQUIRY_DATA:
        return GetInquiryData(file, system, outputLength, information);
    case IOCTL_SCSI_GET_ADDRESS:
        return GetAddress(file, system, outputLength, information);
    case IOCTL_SCSI_PASS_THROUGH:
        return HandlePassThrough(file, false, system, inputLength, outputLength, information);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return HandlePassThrough(file, true, system, inputLength, outputLength, information);
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return QueryStorageProperty(file, system, inputLength, outputLength, information);
    default:
        if (IsDiskClassControl(file, code)) {
            return HandleDiskClassControl(file, code, system, outputLength, information);
        }
        if (IsCdRomClassControl(file, code)) {
            return CdRomClassControl(file, code, system, inputLength, outputLength, information);
        }
        RecordUnknownControl(file, code);
        return ERROR_INVALID_FUNCTION;
    }
}

// Returns 0 or the error of the whole control as the caller sees it.
DWORD Control(const DeviceFile& file, DWORD code, LPVOID in, DWORD inputLength, LPVOID out,
              DWORD outputLength, DWORD& information) {
    DWORD gone = DeviceGoneError(file);
    if (gone != 0) return gone;
    const DWORD required = RequiredAccessOf(code);
    if (((required & 1) != 0 && !file.CanRead) || ((required & 2) != 0 && !file.CanWrite)) {
        return ERROR_ACCESS_DENIED;
    }
    // The I/O manager probes the caller's buffers before the driver runs.
    if ((in == nullptr && inputLength != 0) || (out == nullptr && outputLength != 0)) {
        return ERROR_NOACCESS;
    }
    // Every control here is METHOD_BUFFERED: the driver sees only the
    // system buffer, which holds exactly the input's bytes, and the output
    // receives exactly the bytes the driver reports, nothing when it fails.
    // (The direct pass-through's data moves through the caller's DataBuffer,
    // which the header names.)
    const DWORD size = inputLength > outputLength ? inputLength : outputLength;
    if (size > MaxSystemBuffer) return ErrorNoSystemResources;
    SystemBuffer system(size);
    if (system.Data() == nullptr) return ErrorNoSystemResources;
    if (inputLength != 0) memcpy(system.Data(), in, inputLength);
    information = 0;
    DWORD error = Dispatch(file, code, system.Data(), inputLength, outputLength, information);
    if (error != 0) return error;
    if (information > outputLength) information = outputLength;
    if (information != 0) memcpy(out, system.Data(), information);
    return 0;
}

}  // namespace
}  // namespace sim

using namespace sim;

// Returns TRUE when the control succeeded, leaving the thread's last error
// as it was (Win32 sets it only on failure); FALSE with the error.
extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED) {
    ExitIfTerminated();
    char subject[16];
    snprintf(subject, sizeof subject, "0x%lX", static_cast<unsigned long>(dwIoControlCode));
    DWORD error = 0;
    if (TakeFault(Call::DeviceIoControl, subject, &error)) {
        SetLastErrorCode(error);
        return FALSE;
    }
    std::shared_ptr<DeviceFile> file = LookupHandleOf<DeviceFile>(hDevice, ObjectKind::File);
    if (!file) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A synchronous call without a place for the byte count faults in the
    // caller's process on Windows; here it is refused instead.
    const bool passThrough = dwIoControlCode == IOCTL_SCSI_PASS_THROUGH ||
                             dwIoControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    // The log keeps the request as it arrived, before any answer lands in
    // the same buffer.
    std::vector<uint8_t> received;
    if (passThrough && lpInBuffer != nullptr && nInBufferSize <= MaxSystemBuffer) {
        const uint8_t* bytes = static_cast<const uint8_t*>(lpInBuffer);
        received.assign(bytes, bytes + nInBufferSize);
    }
    DWORD information = 0;
    // A thread terminated from here on ends only once the request has ended
    // and its answer has been copied to the output buffer.
    EnterSynchronousIo();
    if (lpBytesReturned == nullptr) {
        error = ERROR_NOACCESS;
    } else {
        error = Control(*file, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                        nOutBufferSize, information);
    }
    if (passThrough) {
        RecordPassThrough(*file, dwIoControlCode, std::move(received), nInBufferSize,
                          nOutBufferSize, error);
    }
    LeaveSynchronousIo();
    if (lpBytesReturned != nullptr) *lpBytesReturned = error == 0 ? information : 0;
    if (error != 0) SetLastErrorCode(error);
    return error == 0 ? TRUE : FALSE;
}
