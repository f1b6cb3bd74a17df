// The inquiry data walk. The answer comes from a driver, and nothing in it
// is trusted: every offset is checked against the bytes returned before
// anything at it is read.
#include "discovery/inquiry_walk.h"

#include "discovery/device_table.h"
#include "platform/scsi_port.h"

#include <stddef.h>

namespace {

constexpr DWORD BusListOffset = offsetof(SCSI_ADAPTER_BUS_INFO, BusData);
constexpr DWORD BusDataLength = sizeof(SCSI_BUS_DATA);
// A record is read up to the first byte of its InquiryData.
constexpr DWORD RecordReadLength = ScsiInquiryRecordHeaderLength + 1;
constexpr DWORD BitsPerWord = 32;

// Returns the 32-bit value stored at data + offset, which may be unaligned.
DWORD ReadDword(const BYTE* data, DWORD offset) {
    DWORD value;
    memcpy(&value, data + offset, sizeof(value));
    return value;
}

// Returns true when `need` bytes from offset lie within length bytes.
bool Fits(DWORD offset, DWORD need, DWORD length) {
    return offset <= length && length - offset >= need;
}

// The record offsets that one chain has visited, one bit each.
struct VisitedOffsets {
    DWORD Words[InquiryBufferLength / BitsPerWord];
};

// Returns true when offset (below InquiryBufferLength) was visited before,
// and marks it visited.
bool Revisits(VisitedOffsets& visited, DWORD offset) {
    DWORD& word = visited.Words[offset / BitsPerWord];
    const DWORD bit = 1UL << (offset % BitsPerWord);
    if ((word & bit) != 0) return true;
    word |= bit;
    return false;
}

// Returns nothing: fills the entry from the inquiry record that starts
// at `record`, with the port's number and the device path chosen for it.
void FillEntry(DeviceEntry& entry, const BYTE* record, int port, const char* path) {
    entry.PortNumber = static_cast<BYTE>(port);
    entry.PathId = record[offsetof(SCSI_INQUIRY_DATA, PathId)];
    entry.TargetId = record[offsetof(SCSI_INQUIRY_DATA, TargetId)];
    entry.Lun = record[offsetof(SCSI_INQUIRY_DATA, Lun)];
    entry.DeviceClaimed = record[offsetof(SCSI_INQUIRY_DATA, DeviceClaimed)];
    entry.DeviceType = record[offsetof(SCSI_INQUIRY_DATA, InquiryData)];
    entry.DesiredAccess = ScanDesiredAccess;
    entry.ShareMode = ScanShareMode;
    memcpy(entry.DevicePath, path, strlen(path) + 1);
}

}  // namespace

void AppendInquiryUnits(const BYTE* data, DWORD length, int port, bool driverPathOpens) {
    if (length > InquiryBufferLength) length = InquiryBufferLength;
    if (length < 1) return;
    // Even with the longest number wsprintfA can give for an int, these paths
    // have at most 22 characters, within DevicePath.
    char driverPath[DevicePathLength];
    char portPath[DevicePathLength];
    wsprintfA(driverPath, DriverDevicePathFormat, port);
    wsprintfA(portPath, PortDevicePathFormat, port);

    const DWORD busCount = data[offsetof(SCSI_ADAPTER_BUS_INFO, NumberOfBuses)];
    VisitedOffsets visited;
    for (DWORD bus = 0; bus < busCount; ++bus) {
        const DWORD busOffset = BusListOffset + bus * BusDataLength;
        // The bus list runs past the bytes returned: no later bus is there.
        if (!Fits(busOffset, BusDataLength, length)) return;
        DWORD offset = ReadDword(data, busOffset + offsetof(SCSI_BUS_DATA, InquiryDataOffset));
        memset(&visited, 0, sizeof(visited));
        while (offset != 0 && Fits(offset, RecordReadLength, length) &&
               !Revisits(visited, offset)) {
            if (DeviceTable.Count >= MaxDeviceEntries) return;
            const BYTE* record = data + offset;
            const bool claimed = record[offsetof(SCSI_INQUIRY_DATA, DeviceClaimed)] != 0;
            const char* path = driverPathOpens ? driverPath : (claimed ? "" : portPath);
            FillEntry(DeviceTable.Entries[DeviceTable.Count], record, port, path);
            ++DeviceTable.Count;
            offset = ReadDword(data, offset + offsetof(SCSI_INQUIRY_DATA, NextInquiryDataOffset));
        }
    }
}
