// The Windows NT SCSI port driver interface as ptaspi uses it: the published
// structures, the I/O control codes and the device path formats. These are
// the project's own definitions (the library does not include the
// platform's ntddscsi.h); the layouts are checked byte for byte below, in
// both builds, since the drivers read them at these offsets.
#ifndef PTASPI_PLATFORM_SCSI_PORT_H
#define PTASPI_PLATFORM_SCSI_PORT_H

#include "platform/platform.h"

#include <stddef.h>

// Returns the control code that CTL_CODE composes: device type in bits 16-31,
// required access in bits 14-15, function in bits 2-13, method in bits 0-1.
constexpr DWORD ScsiControlCode(DWORD function, DWORD access) {
    return (0x00000004UL << 16) | (access << 14) | (function << 2) | 0UL;
}

constexpr DWORD ScsiAnyAccess = 0;
constexpr DWORD ScsiReadWriteAccess = 3;  // FILE_READ_ACCESS | FILE_WRITE_ACCESS

constexpr DWORD IOCTL_SCSI_PASS_THROUGH = ScsiControlCode(0x401, ScsiReadWriteAccess);
constexpr DWORD IOCTL_SCSI_GET_INQUIRY_DATA = ScsiControlCode(0x403, ScsiAnyAccess);
constexpr DWORD IOCTL_SCSI_GET_CAPABILITIES = ScsiControlCode(0x404, ScsiAnyAccess);
constexpr DWORD IOCTL_SCSI_PASS_THROUGH_DIRECT = ScsiControlCode(0x405, ScsiReadWriteAccess);
constexpr DWORD IOCTL_SCSI_GET_ADDRESS = ScsiControlCode(0x406, ScsiAnyAccess);

static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004, "IOCTL_SCSI_PASS_THROUGH");
static_assert(IOCTL_SCSI_GET_INQUIRY_DATA == 0x4100C, "IOCTL_SCSI_GET_INQUIRY_DATA");
static_assert(IOCTL_SCSI_GET_CAPABILITIES == 0x41010, "IOCTL_SCSI_GET_CAPABILITIES");
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014, "IOCTL_SCSI_PASS_THROUGH_DIRECT");
static_assert(IOCTL_SCSI_GET_ADDRESS == 0x41018, "IOCTL_SCSI_GET_ADDRESS");

// Returns the access (bits 14-15) that the I/O manager requires of a handle
// for the control code: 1 read, 2 write, 3 both, 0 none.
constexpr DWORD RequiredAccessOf(DWORD controlCode) { return (controlCode >> 14) & 3; }

constexpr UCHAR SCSI_IOCTL_DATA_OUT = 0;
constexpr UCHAR SCSI_IOCTL_DATA_IN = 1;
constexpr UCHAR SCSI_IOCTL_DATA_UNSPECIFIED = 2;

// Device path formats, for wsprintfA.
constexpr const char PortDevicePathFormat[] = "\\\\.\\scsi%d:";
constexpr const char DriverDevicePathFormat[] = "\\\\.\\aspidrv%d";
constexpr const char DeviceNamespacePrefix[] = "\\\\.\\";

typedef struct _SCSI_PASS_THROUGH {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    ULONG_PTR DataBufferOffset;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH, *PSCSI_PASS_THROUGH;

typedef struct _SCSI_PASS_THROUGH_DIRECT {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH_DIRECT, *PSCSI_PASS_THROUGH_DIRECT;

typedef struct _IO_SCSI_CAPABILITIES {
    ULONG Length;
    ULONG MaximumTransferLength;
    ULONG MaximumPhysicalPages;
    ULONG SupportedAsynchronousEvents;
    ULONG AlignmentMask;
    BOOLEAN TaggedQueuing;
    BOOLEAN AdapterScansDown;
    BOOLEAN AdapterUsesPio;
} IO_SCSI_CAPABILITIES, *PIO_SCSI_CAPABILITIES;

typedef struct _SCSI_ADDRESS {
    ULONG Length;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
} SCSI_ADDRESS, *PSCSI_ADDRESS;

typedef struct _SCSI_BUS_DATA {
    UCHAR NumberOfLogicalUnits;
    UCHAR InitiatorBusId;
    ULONG InquiryDataOffset;
} SCSI_BUS_DATA, *PSCSI_BUS_DATA;

typedef struct _SCSI_ADAPTER_BUS_INFO {
    UCHAR NumberOfBuses;
    SCSI_BUS_DATA BusData[1];
} SCSI_ADAPTER_BUS_INFO, *PSCSI_ADAPTER_BUS_INFO;

typedef struct _SCSI_INQUIRY_DATA {
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    BOOLEAN DeviceClaimed;
    ULONG InquiryDataLength;
    ULONG NextInquiryDataOffset;
    UCHAR InquiryData[1];
} SCSI_INQUIRY_DATA, *PSCSI_INQUIRY_DATA;

// The header's size, which the port driver demands in Length, and the size
// of the capabilities and address answers.
constexpr USHORT ScsiPassThroughHeaderLength = 44;
constexpr ULONG ScsiCapabilitiesLength = 24;
constexpr ULONG ScsiAddressLength = 8;
// Bytes before InquiryData in each inquiry record, and the standard
// INQUIRY data length the port driver reports per unit.
constexpr ULONG ScsiInquiryRecordHeaderLength = 12;
constexpr ULONG StandardInquiryLength = 36;

static_assert(sizeof(SCSI_PASS_THROUGH) == 44, "SCSI_PASS_THROUGH size");
static_assert(offsetof(SCSI_PASS_THROUGH, Length) == 0, "");
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2, "");
static_assert(offsetof(SCSI_PASS_THROUGH, PathId) == 3, "");
static_assert(offsetof(SCSI_PASS_THROUGH, TargetId) == 4, "");
static_assert(offsetof(SCSI_PASS_THROUGH, Lun) == 5, "");
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == 6, "");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == 7, "");
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == 8, "");
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12, "");
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16, "");
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 20, "");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 24, "");
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 28, "");

static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "SCSI_PASS_THROUGH_DIRECT size");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == 0, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == 3, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == 4, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == 5, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24, "");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28, "");

static_assert(sizeof(IO_SCSI_CAPABILITIES) == 24, "IO_SCSI_CAPABILITIES size");
static_assert(offsetof(IO_SCSI_CAPABILITIES, Length) == 0, "");
static_assert(offsetof(IO_SCSI_CAPABILITIES, MaximumTransferLength) == 4, "");
static_assert(offsetof(IO_SCSI_CAPABILITIES, MaximumPhysicalPages) == 8, "");
static_assert(offsetof(IO_SCSI_CAPABILITIES, SupportedAsynchronousEvents) == 12, "");
static_assert(offsetof(IO_SCSI_CAPABILITIES, AlignmentMask) == 16, "");
static_assert(offsetof(IO_SCSI_CAPABILITIES, TaggedQueuing) == 20, "");
static_assert(offsetof(IO_SCSI_CAPABILITIES, AdapterScansDown) == 21, "");
static_assert(offsetof(IO_SCSI_CAPABILITIES, AdapterUsesPio) == 22, "");

static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI_ADDRESS size");
static_assert(offsetof(SCSI_ADDRESS, Length) == 0, "");
static_assert(offsetof(SCSI_ADDRESS, PortNumber) == 4, "");
static_assert(offsetof(SCSI_ADDRESS, PathId) == 5, "");
static_assert(offsetof(SCSI_ADDRESS, TargetId) == 6, "");
static_assert(offsetof(SCSI_ADDRESS, Lun) == 7, "");

static_assert(sizeof(SCSI_BUS_DATA) == 8, "SCSI_BUS_DATA size");
static_assert(offsetof(SCSI_BUS_DATA, NumberOfLogicalUnits) == 0, "");
static_assert(offsetof(SCSI_BUS_DATA, InitiatorBusId) == 1, "");
static_assert(offsetof(SCSI_BUS_DATA, InquiryDataOffset) == 4, "");

static_assert(sizeof(SCSI_ADAPTER_BUS_INFO) == 12, "SCSI_ADAPTER_BUS_INFO size");
static_assert(offsetof(SCSI_ADAPTER_BUS_INFO, NumberOfBuses) == 0, "");
static_assert(offsetof(SCSI_ADAPTER_BUS_INFO, BusData) == 4, "");

static_assert(sizeof(SCSI_INQUIRY_DATA) == 16, "SCSI_INQUIRY_DATA size");
static_assert(offsetof(SCSI_INQUIRY_DATA, PathId) == 0, "");
static_assert(offsetof(SCSI_INQUIRY_DATA, TargetId) == 1, "");
static_assert(offsetof(SCSI_INQUIRY_DATA, Lun) == 2, "");
static_assert(offsetof(SCSI_INQUIRY_DATA, DeviceClaimed) == 3, "");
static_assert(offsetof(SCSI_INQUIRY_DATA, InquiryDataLength) == 4, "");
static_assert(offsetof(SCSI_INQUIRY_DATA, NextInquiryDataOffset) == 8, "");
static_assert(offsetof(SCSI_INQUIRY_DATA, InquiryData) == ScsiInquiryRecordHeaderLength, "");

#endif
