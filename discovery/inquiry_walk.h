// The walk of one port's answer to IOCTL_SCSI_GET_INQUIRY_DATA: the bus
// list, and each bus's chain of inquiry records, appended to the device
// table. Apart from the scan so that raw answers can be handed to it.
#ifndef PTASPI_DISCOVERY_INQUIRY_WALK_H
#define PTASPI_DISCOVERY_INQUIRY_WALK_H

#include "platform/platform.h"

// The size of the answer buffer that the scan offers the port driver.
constexpr DWORD InquiryBufferLength = 4096;

// Returns nothing: appends one DeviceEntry per inquiry record of port
// `port` found in the first `length` bytes of `data` (at most
// InquiryBufferLength count), while the table has room. driverPathOpens
// tells whether the port's "\\.\aspidrv%d" device opened, which decides
// the device paths. Nothing outside those bytes is read: a bus list, an
// offset or a record that would reach past them is not followed, and a
// chain that comes back to a record it has visited ends there.
void AppendInquiryUnits(const BYTE* data, DWORD length, int port, bool driverPathOpens);

#endif
