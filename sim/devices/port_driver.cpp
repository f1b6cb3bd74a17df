// DeviceIoControl: the I/O manager's checks, then the port driver's (or
// class driver's) answer to the control.
#include "sim/devices/port_driver.h"

#include "sim/kernel/faults.h"
#include "sim/kernel/threads.h"

#include "platform/scsi_port.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace sim {
namespace {

// The largest system buffer the I/O manager allocates; a request for more
// fails as for exhausted pool.
constexpr DWORD MaxSystemBuffer = 16u << 20;
constexpr DWORD ErrorNoSystemResources = 1450;

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
    std::vector<uint8_t> answer = BuildInquiryData(port);
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
    switch (code) {
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
    default:
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
    const DWORD size = inputLength > outputLength ? inputLength : outputLength;
    if (size > MaxSystemBuffer) return ErrorNoSystemResources;
    std::vector<uint8_t> system(size, 0);
    if (inputLength != 0) memcpy(system.data(), in, inputLength);
    information = 0;
    DWORD error = Dispatch(file, code, system.data(), inputLength, outputLength, information);
    if (error != 0) return error;
    if (information > outputLength) information = outputLength;
    if (information != 0) memcpy(out, system.data(), information);
    return 0;
}

}  // namespace
}  // namespace sim

using namespace sim;

// Returns TRUE with last error 0 when the control succeeded (the library
// reads the last error after every pass-through); FALSE with its error.
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
    if (lpBytesReturned != nullptr) *lpBytesReturned = error == 0 ? information : 0;
    SetLastErrorCode(error);
    return error == 0 ? TRUE : FALSE;
}
