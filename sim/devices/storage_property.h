// The storage class controls that class drivers and port drivers answer
// for programs beside the SCSI port controls: IOCTL_STORAGE_QUERY_PROPERTY
// with its query, descriptor header and the device and adapter
// descriptors, laid out as winioctl.h declares them for 32-bit Windows
// (the adapter descriptor as Windows 2000 and XP have it, up to the bus
// versions) and checked byte for byte below.
#ifndef PTASPI_SIM_DEVICES_STORAGE_PROPERTY_H
#define PTASPI_SIM_DEVICES_STORAGE_PROPERTY_H

#include "sim/devices/device_files.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace sim {

// CTL_CODE(IOCTL_STORAGE_BASE 0x2D, 0x500, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr DWORD IOCTL_STORAGE_QUERY_PROPERTY = (0x2DUL << 16) | (0x500UL << 2);
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x2D1400, "IOCTL_STORAGE_QUERY_PROPERTY");

// STORAGE_PROPERTY_ID values.
constexpr DWORD StorageDeviceProperty = 0;
constexpr DWORD StorageAdapterProperty = 1;
// STORAGE_QUERY_TYPE values.
constexpr DWORD PropertyStandardQuery = 0;
constexpr DWORD PropertyExistsQuery = 1;
// STORAGE_BUS_TYPE values the machine's units use.
constexpr uint8_t BusTypeScsi = 1;
constexpr uint8_t BusTypeAtapi = 2;
constexpr uint8_t BusTypeIscsi = 9;

struct STORAGE_PROPERTY_QUERY {
    DWORD PropertyId;
    DWORD QueryType;
    BYTE AdditionalParameters[1];
};
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "STORAGE_PROPERTY_QUERY");
static_assert(offsetof(STORAGE_PROPERTY_QUERY, QueryType) == 4, "QueryType");
static_assert(offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) == 8, "AdditionalParameters");

struct STORAGE_DESCRIPTOR_HEADER {
    DWORD Version;
    DWORD Size;
};
static_assert(sizeof(STORAGE_DESCRIPTOR_HEADER) == 8, "STORAGE_DESCRIPTOR_HEADER");
static_assert(offsetof(STORAGE_DESCRIPTOR_HEADER, Size) == 4, "Size");

struct STORAGE_DEVICE_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    BYTE DeviceType;
    BYTE DeviceTypeModifier;
    BOOLEAN RemovableMedia;
    BOOLEAN CommandQueueing;
    DWORD VendorIdOffset;
    DWORD ProductIdOffset;
    DWORD ProductRevisionOffset;
    DWORD SerialNumberOffset;
    DWORD BusType;  // STORAGE_BUS_TYPE, an enum: four bytes
    DWORD RawPropertiesLength;
    BYTE RawDeviceProperties[1];
};
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40, "STORAGE_DEVICE_DESCRIPTOR");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, Size) == 4, "Size");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType) == 8, "DeviceType");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceTypeModifier) == 9, "DeviceTypeModifier");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia) == 10, "RemovableMedia");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, CommandQueueing) == 11, "CommandQueueing");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12, "VendorIdOffset");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16, "ProductIdOffset");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset) == 20,
              "ProductRevisionOffset");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == 24, "SerialNumberOffset");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28, "BusType");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength) == 32, "RawPropertiesLength");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) == 36, "RawDeviceProperties");

struct STORAGE_ADAPTER_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    DWORD MaximumTransferLength;
    DWORD MaximumPhysicalPages;
    DWORD AlignmentMask;
    BOOLEAN AdapterUsesPio;
    BOOLEAN AdapterScansDown;
    BOOLEAN CommandQueueing;
    BOOLEAN AcceleratedTransfer;
    BYTE BusType;
    WORD BusMajorVersion;
    WORD BusMinorVersion;
};
static_assert(sizeof(STORAGE_ADAPTER_DESCRIPTOR) == 32, "STORAGE_ADAPTER_DESCRIPTOR");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumTransferLength) == 8,
              "MaximumTransferLength");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumPhysicalPages) == 12,
              "MaximumPhysicalPages");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask) == 16, "AlignmentMask");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, AdapterUsesPio) == 20, "AdapterUsesPio");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, AdapterScansDown) == 21, "AdapterScansDown");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, CommandQueueing) == 22, "CommandQueueing");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, AcceleratedTransfer) == 23,
              "AcceleratedTransfer");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusType) == 24, "BusType");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusMajorVersion) == 26, "BusMajorVersion");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusMinorVersion) == 28, "BusMinorVersion");

// Returns 0 or the error of IOCTL_STORAGE_QUERY_PROPERTY on `file`, with
// the bytes to copy back in `information`; `system` is the I/O manager's
// buffer holding the query.
DWORD QueryStorageProperty(const DeviceFile& file, uint8_t* system, DWORD inputLength,
                           DWORD outputLength, DWORD& information);

}  // namespace sim

#endif
