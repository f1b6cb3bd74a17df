// IOCTL_STORAGE_QUERY_PROPERTY: the device descriptor that a class device
// answers for its unit and the adapter descriptor that a class device or
// port device answers for its port.
//
// What Microsoft documents (IOCTL_STORAGE_QUERY_PROPERTY,
// STORAGE_PROPERTY_QUERY, STORAGE_DESCRIPTOR_HEADER, DeviceIoControl):
// the input must hold a whole STORAGE_PROPERTY_QUERY (87 otherwise); device
// properties come only from a device, never from an adapter (1); a
// property the driver does not keep fails with 50 (STATUS_NOT_SUPPORTED);
// PropertyExistsQuery returns no structure. A caller finds the size it
// needs by asking with a buffer the size of STORAGE_DESCRIPTOR_HEADER and
// reading its Size; a buffer that holds at least the header gets as many
// bytes of the descriptor as fit, with Size telling the whole. A buffer too
// small for any data fails with 122 (DeviceIoControl: "If the output
// buffer is too small to hold any data ... ERROR_INSUFFICIENT_BUFFER").
#include "sim/devices/storage_property.h"

#include "sim/machine/live_machine.h"
#include "sim/units/vital_product_data.h"

#include <cstring>
#include <string>
#include <vector>

namespace sim {
namespace {

constexpr DWORD ErrorNotSupported = 50;  // STATUS_NOT_SUPPORTED as Win32 reports it

// Returns nothing: the descriptor's 32-bit field at `offset` holds `value`.
void PutField(std::vector<uint8_t>& descriptor, size_t offset, uint32_t value) {
    std::memcpy(descriptor.data() + offset, &value, sizeof value);
}

// Returns the offset at which `text` and its NUL were appended.
uint32_t AppendText(std::vector<uint8_t>& descriptor, const std::string& text) {
    const uint32_t offset = static_cast<uint32_t>(descriptor.size());
    descriptor.insert(descriptor.end(), text.begin(), text.end());
    descriptor.push_back(0);
    return offset;
}

// Returns true when the unit keeps the emulated vital product data, whose
// serial number the port driver reads from page 0x80.
bool HasEmulatedSerial(const UnitConfig& unit) {
    switch (unit.backend.type) {
    case BackendType::Disk:
    case BackendType::CdRom:
    case BackendType::Writer:
    case BackendType::Tape:
    case BackendType::Scanner:
    case BackendType::Processor:
        return true;
    default:
        return false;
    }
}

// Returns the whole STORAGE_DEVICE_DESCRIPTOR of a class device's unit:
// the fixed part drawn from its standard INQUIRY data, the inquiry data
// itself as the raw properties, then the vendor, product, revision and
// serial number texts, each with its NUL. The serial number is the one the
// unit's VPD page 0x80 holds, a real unit's as read when it was found;
// SerialNumberOffset is 0 only for a device that has none, as
// STORAGE_DEVICE_DESCRIPTOR's documents say.
std::vector<uint8_t> DeviceDescriptor(const LiveUnit& unit, const PortConfig& port) {
    const std::vector<uint8_t> inquiry = unit.Config.inquiryData.empty()
                                             ? StandardInquiryData(unit.Config.inquiry)
                                             : unit.Config.inquiryData;
    const size_t fixedPart = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);
    std::vector<uint8_t> descriptor(fixedPart, 0);
    descriptor.insert(descriptor.end(), inquiry.begin(), inquiry.end());
    descriptor[offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType)] = inquiry[0] & 0x1F;
    descriptor[offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceTypeModifier)] = inquiry[1] & 0x7F;
    descriptor[offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia)] = (inquiry[1] & 0x80) ? 1 : 0;
    // Queueing needs both the unit (CmdQue) and the adapter.
    descriptor[offsetof(STORAGE_DEVICE_DESCRIPTOR, CommandQueueing)] =
        (inquiry.size() > 7 && (inquiry[7] & 0x02) && port.capabilities.TaggedQueuing) ? 1 : 0;
    PutField(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength),
             static_cast<uint32_t>(inquiry.size()));
    PutField(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType), PortBusType(port));
    auto text = [&](size_t from, size_t length) {
        return std::string(reinterpret_cast<const char*>(inquiry.data()) + from, length);
    };
    PutField(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset),
             AppendText(descriptor, text(8, 8)));
    PutField(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset),
             AppendText(descriptor, text(16, 16)));
    PutField(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset),
             AppendText(descriptor, text(32, 4)));
    // A device without a serial number has offset 0.
    const std::string* real = unit.Backend ? unit.Backend->RealSerial() : nullptr;
    if (real != nullptr && !real->empty()) {
        PutField(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset),
                 AppendText(descriptor, *real));
    } else if (HasEmulatedSerial(unit.Config)) {
        const std::string serial = units::UnitSerialNumber(unit.Config.inquiry, unit.Config.target,
                                                           unit.Config.lun);
        PutField(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset),
                 AppendText(descriptor, serial));
    }
    PutField(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, Version),
             sizeof(STORAGE_DEVICE_DESCRIPTOR));
    PutField(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, Size),
             static_cast<uint32_t>(descriptor.size()));
    return descriptor;
}

// Returns the STORAGE_ADAPTER_DESCRIPTOR of a port: its capabilities as
// IOCTL_SCSI_GET_CAPABILITIES reports them, and its bus type.
std::vector<uint8_t> AdapterDescriptor(const PortConfig& port) {
    STORAGE_ADAPTER_DESCRIPTOR answer;
    std::memset(&answer, 0, sizeof answer);
    answer.Version = sizeof answer;
    answer.Size = sizeof answer;
    answer.MaximumTransferLength = port.capabilities.MaximumTransferLength;
    answer.MaximumPhysicalPages = port.capabilities.MaximumPhysicalPages;
    answer.AlignmentMask = port.capabilities.AlignmentMask;
    answer.AdapterUsesPio = port.capabilities.AdapterUsesPio ? 1 : 0;
    answer.AdapterScansDown = port.capabilities.AdapterScansDown ? 1 : 0;
    answer.CommandQueueing = port.capabilities.TaggedQueuing ? 1 : 0;
    answer.BusType = PortBusType(port);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&answer);
    return std::vector<uint8_t>(bytes, bytes + sizeof answer);
}

}  // namespace

DWORD QueryStorageProperty(const DeviceFile& file, uint8_t* system, DWORD inputLength,
                           DWORD outputLength, DWORD& information) {
    // Only class devices (and drive letters over them) and port devices are
    // storage drivers; the outside driver and plain volumes answer nothing.
    if (file.Target.Kind != DeviceKind::Unit && file.Target.Kind != DeviceKind::Port) {
        return ERROR_INVALID_FUNCTION;
    }
    if (inputLength < sizeof(STORAGE_PROPERTY_QUERY)) return ERROR_INVALID_PARAMETER;
    STORAGE_PROPERTY_QUERY query;
    std::memcpy(&query, system, sizeof query);
    if (query.QueryType != PropertyStandardQuery && query.QueryType != PropertyExistsQuery) {
        return ERROR_INVALID_PARAMETER;
    }
    const PortConfig& port = file.Machine->Config.ports[file.Target.Port];
    std::vector<uint8_t> descriptor;
    if (query.PropertyId == StorageDeviceProperty) {
        if (file.Target.Kind != DeviceKind::Unit) return ERROR_INVALID_FUNCTION;
        descriptor = DeviceDescriptor(*file.Target.Unit, port);
    } else if (query.PropertyId == StorageAdapterProperty) {
        descriptor = AdapterDescriptor(port);
    } else {
        return ErrorNotSupported;
    }
    if (query.QueryType == PropertyExistsQuery) return 0;
    if (outputLength < sizeof(STORAGE_DESCRIPTOR_HEADER)) return ERROR_INSUFFICIENT_BUFFER;
    information = outputLength < descriptor.size() ? outputLength
                                                   : static_cast<DWORD>(descriptor.size());
    std::memcpy(system, descriptor.data(), information);
    return 0;
}

}  // namespace sim
