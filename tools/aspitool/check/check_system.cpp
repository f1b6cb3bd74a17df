// What the machine says apart from the library: the SCSI ports that the
// registry's device map lists, and whether this user may send commands
// through them at all. A library that finds no host adapter where these
// ports are, or reaches no unit where the user may reach them, is at fault.
#include "check.h"

#include "../registry_calls.h"

#include <cstdio>
#include <vector>

namespace aspitool {
namespace {

// Ports are numbered from 0 without gaps; no more are looked for.
const unsigned PortsLooked = 10;

// Returns true when the port device `port` opens with `access`, or false
// with `error` set to the platform's error code.
bool PortOpens(unsigned port, DWORD access, DWORD& error) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\Scsi%u:", port);
    HANDLE handle = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    CloseHandle(handle);
    error = 0;
    return true;
}

// Returns true when the device map key of `port` names a driver that is
// not an IDE/ATAPI one and has a key for bus 0, so that the port's buses
// get host adapter numbers; `listed` is false when the port has no key.
bool PortGetsAdapters(const RegistryCalls& calls, unsigned port, bool& listed) {
    char path[64];
    std::snprintf(path, sizeof path, "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %u", port);
    HKEY key = nullptr;
    listed = calls.openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (!listed) return false;
    char driver[64] = {};
    DWORD size = sizeof driver - 1;
    const bool atapi = calls.queryValue(key, "Driver", nullptr, nullptr, reinterpret_cast<BYTE*>(driver),
                                        &size) == ERROR_SUCCESS &&
                       _strnicmp(driver, "atapi", 5) == 0;
    HKEY bus = nullptr;
    const bool hasBus = calls.openKey(key, "Scsi Bus 0", 0, KEY_READ, &bus) == ERROR_SUCCESS;
    if (hasBus) calls.closeKey(bus);
    calls.closeKey(key);
    return !atapi && hasBus;
}

// The IOCTL_SCSI_GET_INQUIRY_DATA control, which needs no access, and
// where its answer keeps what this check reads: the bus count, then 8
// bytes per bus (unit count, initiator ID, offset of its first record),
// each record linking to the next by an offset from the buffer's start.
const DWORD GetInquiryData = 0x4100C;
const size_t BusEntry = 4, BusSize = 8, BusFirstRecord = 4;
const size_t RecordLength = 4, RecordNext = 8, RecordData = 12;

// Returns the little-endian 32-bit number at `at`.
uint32_t Little32(const uint8_t* at) {
    return at[0] | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
           (static_cast<uint32_t>(at[3]) << 24);
}

// Returns nothing; adds the units that port `port` lists to `listed`.
void ListPortUnits(unsigned port, bool getsAdapters, std::vector<ListedUnit>& listed) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\Scsi%u:", port);
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    std::vector<uint8_t> data(64 * 1024);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, GetInquiryData, nullptr, 0, data.data(),
                                    static_cast<DWORD>(data.size()), &returned, nullptr);
    CloseHandle(handle);
    if (!ok || returned == 0 || returned > data.size()) return;
    const size_t size = returned;
    for (unsigned bus = 0; bus < data[0] && BusEntry + (bus + 1) * BusSize <= size; ++bus) {
        uint32_t offset = Little32(&data[BusEntry + bus * BusSize + BusFirstRecord]);
        // Each record lies past the last; a chain that turns back ends.
        uint32_t last = 0;
        while (offset > last && offset + RecordData <= size) {
            const uint8_t* record = &data[offset];
            const uint32_t length = Little32(record + RecordLength);
            if (length >= 36 && offset + RecordData + 36 <= size) {
                ListedUnit unit;
                unit.port = port;
                unit.getsAdapters = getsAdapters;
                unit.bus = record[0];
                unit.target = record[1];
                unit.lun = record[2];
                unit.identity.assign(reinterpret_cast<const char*>(record + RecordData + 8), 28);
                listed.push_back(unit);
            }
            last = offset;
            offset = Little32(record + RecordNext);
        }
    }
}

}  // namespace

std::string UnitOfAnotherPort(const std::vector<ListedUnit>& listed, const UnitAddress& address,
                              const std::string& identity) {
    const ListedUnit* other = nullptr;
    for (const ListedUnit& unit : listed) {
        if (unit.target != address.target || unit.lun != address.lun || unit.identity != identity) continue;
        if (unit.getsAdapters) return std::string();
        other = &unit;
    }
    if (other == nullptr) return std::string();
    return "the unit that port " + std::to_string(other->port) + " (an IDE/ATAPI port, which gets no host adapter) lists at target " +
           std::to_string(other->target) + ", LUN " + std::to_string(other->lun) + " ('" + other->identity + "')";
}

SystemFacts ReadSystemFacts() {
    SystemFacts facts;
    RegistryCalls calls;
    const bool registry = LoadRegistryCalls(calls);
    bool writable = false;
    unsigned denied = 0;
    for (unsigned port = 0; port < PortsLooked; ++port) {
        DWORD error = 0;
        if (!PortOpens(port, GENERIC_READ, error)) break;
        if (PortOpens(port, GENERIC_READ | GENERIC_WRITE, error)) {
            writable = true;
        } else if (error == ERROR_ACCESS_DENIED) {
            ++denied;
        }
        bool listed = false;
        if (!registry) continue;
        const bool getsAdapters = PortGetsAdapters(calls, port, listed);
        if (getsAdapters) ++facts.portsListed;
        if (!listed) break;
        ListPortUnits(port, getsAdapters, facts.listed);
    }
    facts.passThroughDenied = denied > 0 && !writable;
    return facts;
}

}  // namespace aspitool
