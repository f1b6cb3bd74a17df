// The storage class control that discovery sends to class devices whose
// unit has no port device: IOCTL_STORAGE_QUERY_PROPERTY with its query and
// the device and adapter descriptors, in the layouts of 32-bit Windows (the
// adapter descriptor up to its bus versions, as Windows 2000 and later all
// answer at least), checked byte for byte below.
#ifndef PTASPI_PLATFORM_STORAGE_PROPERTY_H
#define PTASPI_PLATFORM_STORAGE_PROPERTY_H

#include "platform/platform.h"

#include <stddef.h>

// CTL_CODE(IOCTL_STORAGE_BASE 0x2D, 0x500, METHOD_BUFFERED, FILE_ANY_ACCESS):
// a handle opened with no access may send it.
constexpr DWORD IOCTL_STORAGE_QUERY_PROPERTY = (0x2DUL << 16) | (0x500UL << 2);
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x2D1400, "IOCTL_STORAGE_QUERY_PROPERTY");

// STORAGE_PROPERTY_ID and STORAGE_QUERY_TYPE values used.
constexpr DWORD StorageDeviceProperty = 0;
constexpr DWORD StorageAdapterProperty = 1;
constexpr DWORD PropertyStandardQuery = 0;

typedef struct _STORAGE_PROPERTY_QUERY {
    DWORD PropertyId;
    DWORD QueryType;
    BYTE AdditionalParameters[1];
} STORAGE_PROPERTY_QUERY;

typedef struct _STORAGE_DEVICE_DESCRIPTOR {
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
    DWORD BusType;
    DWORD RawPropertiesLength;
    BYTE RawDeviceProperties[1];
} STORAGE_DEVICE_DESCRIPTOR;

typedef struct _STORAGE_ADAPTER_DESCRIPTOR {
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
} STORAGE_ADAPTER_DESCRIPTOR;

static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "STORAGE_PROPERTY_QUERY size");
static_assert(offsetof(STORAGE_PROPERTY_QUERY, QueryType) == 4, "");
static_assert(offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) == 8, "");

static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40, "STORAGE_DEVICE_DESCRIPTOR size");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, Size) == 4, "");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType) == 8, "");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceTypeModifier) == 9, "");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia) == 10, "");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, CommandQueueing) == 11, "");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12, "");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16, "");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset) == 20, "");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == 24, "");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28, "");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength) == 32, "");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) == 36, "");

static_assert(sizeof(STORAGE_ADAPTER_DESCRIPTOR) == 32, "STORAGE_ADAPTER_DESCRIPTOR size");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, Size) == 4, "");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumTransferLength) == 8, "");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumPhysicalPages) == 12, "");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask) == 16, "");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, AdapterUsesPio) == 20, "");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, AdapterScansDown) == 21, "");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, CommandQueueing) == 22, "");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, AcceleratedTransfer) == 23, "");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusType) == 24, "");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusMajorVersion) == 26, "");
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusMinorVersion) == 28, "");

#endif
