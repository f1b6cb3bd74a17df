#include "sim/devices/cdrom_controls.h"

#include "sim/devices/port_driver.h"

#include <cstring>
#include <vector>

namespace sim {
namespace {

constexpr DWORD ErrorNotReady = 21;       // STATUS_NO_MEDIA_IN_DEVICE, STATUS_DEVICE_NOT_READY
constexpr DWORD ErrorBadLength = 24;      // STATUS_INFO_LENGTH_MISMATCH
constexpr DWORD ErrorMediaChanged = 1110; // STATUS_VERIFY_REQUIRED
constexpr DWORD ErrorIoDevice = 1117;     // STATUS_IO_DEVICE_ERROR

// Returns true when the file is a CD-ROM class device or drive.
bool IsCdRomDevice(const DeviceFile& file) {
    if (file.Target.Kind != DeviceKind::Unit || !file.Target.Unit) return false;
    const UnitConfig& config = file.Target.Unit->Config;
    const uint8_t peripheral =
        config.inquiryData.empty() ? config.inquiry.peripheral : config.inquiryData[0];
    return IsCdRomPeripheral(peripheral);
}

// Returns the Win32 error the class driver reports for a command's
// outcome: NOT READY is no medium, a medium change asks for verification,
// an ILLEGAL REQUEST is an invalid request, anything else a device error.
DWORD ErrorOf(const ScsiOutcome& outcome) {
    if (outcome.platformError != 0) return outcome.platformError;
    if (outcome.status == 0) return 0;
    if (outcome.status != 2 || outcome.sense.size() < 14) return ErrorIoDevice;
    const uint8_t key = outcome.sense[2] & 0x0F;
    if (key == 0x02) return ErrorNotReady;
    if (key == 0x06 && outcome.sense[12] == 0x28) return ErrorMediaChanged;
    if (key == 0x05) return ERROR_INVALID_FUNCTION;
    return ErrorIoDevice;
}

// Returns 0 or the error of one command sent to the device's unit;
// `data` takes what a data-in command returns. Outside CHECK VERIFY the
// class driver retries a command that met the unit attention of a medium
// change, as it retries every unit attention.
DWORD Send(const DeviceFile& file, std::initializer_list<uint8_t> cdb, std::vector<uint8_t>* data,
           uint32_t& moved, bool retryAttention = true) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        ScsiCommand command;
        for (uint8_t byte : cdb) command.cdb[command.cdbLength++] = byte;
        if (data != nullptr) {
            command.direction = DataDirection::In;
            command.data = data->data();
            command.dataLength = static_cast<uint32_t>(data->size());
        }
        command.senseLength = 18;
        ScsiOutcome outcome;
        const DWORD gone = ExecuteOnUnit(file, command, outcome);
        if (gone != 0) return gone;
        moved = outcome.bytesMoved;
        const DWORD error = ErrorOf(outcome);
        if (error == ErrorMediaChanged && retryAttention && attempt == 0) continue;
        return error;
    }
    return ErrorMediaChanged;
}

DWORD ReadToc(const DeviceFile& file, uint8_t* system, DWORD outputLength, DWORD& information) {
    if (outputLength < sizeof(CDROM_TOC)) return ERROR_INSUFFICIENT_BUFFER;
    std::vector<uint8_t> reply(sizeof(CDROM_TOC), 0);
    uint32_t moved = 0;
    const DWORD error = Send(file, {0x43, 0x02, 0, 0, 0, 0, 0, 0x03, 0x24, 0}, &reply, moved);
    if (error != 0) return error;
    // The TOC in MSF form is CDROM_TOC byte for byte.
    std::memcpy(system, reply.data(), moved);
    information = moved;
    return 0;
}

DWORD ReadTocEx(const DeviceFile& file, uint8_t* system, DWORD inputLength, DWORD outputLength,
                DWORD& information) {
    if (inputLength < sizeof(CDROM_READ_TOC_EX)) return ErrorBadLength;
    if (outputLength < MinimumCdromReadTocExSize) return ERROR_INSUFFICIENT_BUFFER;
    CDROM_READ_TOC_EX request;
    std::memcpy(&request, system, sizeof request);
    const uint8_t format = request.FormatMsf & 0x0F;
    const bool msf = (request.FormatMsf & 0x80) != 0;
    // Formats 0-5; MSF only where addresses can be LBAs (TOC and session);
    // the reserved bits and bytes must be zero.
    if (format > 5 || (request.FormatMsf & 0x70) != 0 || request.Reserved2 != 0 ||
        request.Reserved3 != 0 || (msf && format != 0 && format != 1)) {
        return ERROR_INVALID_PARAMETER;
    }
    const uint16_t allocation = outputLength > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(outputLength);
    std::vector<uint8_t> reply(allocation, 0);
    uint32_t moved = 0;
    const DWORD error = Send(file,
                             {0x43, static_cast<uint8_t>(msf ? 0x02 : 0x00), format, 0, 0, 0,
                              request.SessionTrack, static_cast<uint8_t>(allocation >> 8),
                              static_cast<uint8_t>(allocation), 0},
                             &reply, moved);
    if (error != 0) return error;
    std::memcpy(system, reply.data(), moved);
    information = moved;
    return 0;
}

DWORD GetConfiguration(const DeviceFile& file, uint8_t* system, DWORD inputLength,
                       DWORD outputLength, DWORD& information) {
    if (inputLength < sizeof(GET_CONFIGURATION_IOCTL_INPUT)) return ErrorBadLength;
    if (outputLength < GetConfigurationHeaderSize) return ERROR_INSUFFICIENT_BUFFER;
    GET_CONFIGURATION_IOCTL_INPUT request;
    std::memcpy(&request, system, sizeof request);
    if (request.Feature > 0xFFFF || request.RequestType > 2) return ERROR_INVALID_PARAMETER;
    const uint16_t allocation = outputLength > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(outputLength);
    std::vector<uint8_t> reply(allocation, 0);
    uint32_t moved = 0;
    const DWORD error = Send(file,
                             {0x46, static_cast<uint8_t>(request.RequestType),
                              static_cast<uint8_t>(request.Feature >> 8),
                              static_cast<uint8_t>(request.Feature), 0, 0, 0,
                              static_cast<uint8_t>(allocation >> 8),
                              static_cast<uint8_t>(allocation), 0},
                             &reply, moved);
    if (error != 0) return error;
    std::memcpy(system, reply.data(), moved);
    information = moved;
    return 0;
}

// CHECK VERIFY: TEST UNIT READY. A medium change is reported once, as
// STATUS_VERIFY_REQUIRED, and counted; the count comes back when the
// caller leaves room for it.
DWORD CheckVerify(const DeviceFile& file, uint8_t* system, DWORD outputLength, DWORD& information) {
    if (outputLength != 0 && outputLength < sizeof(ULONG)) return ERROR_INSUFFICIENT_BUFFER;
    uint32_t moved = 0;
    const DWORD error = Send(file, {0x00, 0, 0, 0, 0, 0}, nullptr, moved, false);
    LiveUnit& unit = *file.Target.Unit;
    if (error == ErrorMediaChanged) ++unit.MediaChangeCount;
    if (error != 0) return error;
    if (outputLength >= sizeof(ULONG)) {
        const ULONG count = unit.MediaChangeCount;
        std::memcpy(system, &count, sizeof count);
        information = sizeof count;
    }
    return 0;
}

}  // namespace

bool IsCdRomClassControl(const DeviceFile& file, DWORD code) {
    switch (code) {
    case IOCTL_CDROM_READ_TOC:
    case IOCTL_CDROM_READ_TOC_EX:
    case IOCTL_CDROM_GET_CONFIGURATION:
    case IOCTL_CDROM_CHECK_VERIFY:
    case IOCTL_CDROM_MEDIA_REMOVAL:
    case IOCTL_CDROM_EJECT_MEDIA:
    case IOCTL_CDROM_LOAD_MEDIA:
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY2:
    case IOCTL_STORAGE_MEDIA_REMOVAL:
    case IOCTL_STORAGE_EJECT_MEDIA:
    case IOCTL_STORAGE_LOAD_MEDIA:
    case IOCTL_STORAGE_LOAD_MEDIA2:
        return IsCdRomDevice(file);
    default:
        return false;
    }
}

DWORD CdRomClassControl(const DeviceFile& file, DWORD code, uint8_t* system, DWORD inputLength,
                        DWORD outputLength, DWORD& information) {
    uint32_t moved = 0;
    switch (code) {
    case IOCTL_CDROM_READ_TOC:
        return ReadToc(file, system, outputLength, information);
    case IOCTL_CDROM_READ_TOC_EX:
        return ReadTocEx(file, system, inputLength, outputLength, information);
    case IOCTL_CDROM_GET_CONFIGURATION:
        return GetConfiguration(file, system, inputLength, outputLength, information);
    case IOCTL_CDROM_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY2:
        return CheckVerify(file, system, outputLength, information);
    case IOCTL_CDROM_MEDIA_REMOVAL:
    case IOCTL_STORAGE_MEDIA_REMOVAL: {
        // PREVENT_MEDIA_REMOVAL: one BOOLEAN.
        if (inputLength < 1) return ErrorBadLength;
        const uint8_t prevent = system[0] != 0 ? 1 : 0;
        return Send(file, {0x1E, 0, 0, 0, prevent, 0}, nullptr, moved);
    }
    case IOCTL_CDROM_EJECT_MEDIA:
    case IOCTL_STORAGE_EJECT_MEDIA:
        return Send(file, {0x1B, 0, 0, 0, 0x02, 0}, nullptr, moved);
    case IOCTL_CDROM_LOAD_MEDIA:
    case IOCTL_STORAGE_LOAD_MEDIA:
    case IOCTL_STORAGE_LOAD_MEDIA2:
        return Send(file, {0x1B, 0, 0, 0, 0x03, 0}, nullptr, moved);
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

}  // namespace sim
