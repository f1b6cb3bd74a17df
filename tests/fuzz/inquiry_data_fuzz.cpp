// Fuzz target of the inquiry data walk: arbitrary answers, with arbitrary
// byte counts, on a device table that may already hold entries. The bytes
// past the count are poisoned, so a read of them is a finding like any
// read past the buffer. After the walk the table's invariants are checked.
//
// Input: byte 0 the entries already in the table (modulo 101); byte 1 the
// port number (low 4 bits, modulo 10) and whether its driver path opens
// (bit 7); bytes 2-3 the byte count, little-endian; the rest the answer,
// zero-filled to 4096 bytes.
#include "discovery/device_table.h"
#include "discovery/inquiry_walk.h"

#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t ControlBytes = 4;
constexpr size_t RecordHeaderLength = 12;

void Fail(const char* what, int index) {
    fprintf(stderr, "invariant broken: %s (entry %d)\n", what, index);
    abort();
}

// Returns true when some record position within the first `length` bytes
// holds exactly the entry's address, claimed byte and type byte.
bool RecordedFrom(const uint8_t* answer, size_t length, const DeviceEntry& entry) {
    for (size_t offset = 1; offset + RecordHeaderLength + 1 <= length; ++offset) {
        const uint8_t* record = answer + offset;
        if (record[0] == entry.PathId && record[1] == entry.TargetId && record[2] == entry.Lun &&
            record[3] == entry.DeviceClaimed && record[RecordHeaderLength] == entry.DeviceType) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < ControlBytes) return 0;
    const int before = data[0] % (MaxDeviceEntries + 1);
    const int port = (data[1] & 0x0F) % 10;
    const bool driverPathOpens = (data[1] & 0x80) != 0;
    const DWORD count = static_cast<DWORD>(data[2]) | (static_cast<DWORD>(data[3]) << 8);

    static uint8_t answer[InquiryBufferLength];
    memset(answer, 0, sizeof(answer));
    const size_t given = size - ControlBytes;
    memcpy(answer, data + ControlBytes, given < sizeof(answer) ? given : sizeof(answer));

    memset(&DeviceTable, 0, sizeof(DeviceTable));
    for (int i = 0; i < before; ++i) {
        DeviceEntry& entry = DeviceTable.Entries[i];
        memset(&entry, 0xA5, sizeof(entry));
        entry.DevicePath[DevicePathLength - 1] = '\0';
    }
    DeviceTable.Count = before;
    static DeviceEntry earlier[MaxDeviceEntries];
    memcpy(earlier, DeviceTable.Entries, sizeof(earlier));

    const size_t readable = count < InquiryBufferLength ? count : InquiryBufferLength;
    ASAN_POISON_MEMORY_REGION(answer + readable, sizeof(answer) - readable);
    AppendInquiryUnits(answer, count, port, driverPathOpens);
    ASAN_UNPOISON_MEMORY_REGION(answer, sizeof(answer));

    if (DeviceTable.Count < before || DeviceTable.Count > MaxDeviceEntries) Fail("Count", -1);
    if (DeviceTable.LookupCache.Word != 0) Fail("lookup cache written", -1);
    if (memcmp(earlier, DeviceTable.Entries, before * sizeof(DeviceEntry)) != 0) {
        Fail("earlier entries changed", -1);
    }
    char portPath[DevicePathLength];
    char driverPath[DevicePathLength];
    snprintf(portPath, sizeof(portPath), "\\\\.\\scsi%d:", port);
    snprintf(driverPath, sizeof(driverPath), "\\\\.\\aspidrv%d", port);
    for (int i = before; i < DeviceTable.Count; ++i) {
        const DeviceEntry& entry = DeviceTable.Entries[i];
        if (memchr(entry.DevicePath, '\0', DevicePathLength) == nullptr) Fail("DevicePath NUL", i);
        if (entry.PortNumber != port) Fail("PortNumber", i);
        if (entry.DesiredAccess != 0xC0000000UL) Fail("DesiredAccess", i);
        if (entry.ShareMode != 3) Fail("ShareMode", i);
        if (entry.DeviceClaimed > 0xFF) Fail("DeviceClaimed", i);
        const char* path = driverPathOpens ? driverPath : (entry.DeviceClaimed != 0 ? "" : portPath);
        if (strcmp(entry.DevicePath, path) != 0) Fail("DevicePath", i);
        if (!RecordedFrom(answer, readable, entry)) Fail("entry not from a record in the answer", i);
    }
    return 0;
}
