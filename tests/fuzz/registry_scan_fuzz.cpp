// Fuzz target of the host adapter scan over arbitrary registry contents:
// "Driver" and "ImagePath" values of any type and length, with or without
// their NUL, and bus keys whose subkeys have any names. The registry calls
// answer as NT's do (234 when a value or name does not fit, nothing written
// past the caller's size); each value is handed out from a heap copy of
// exactly its length, so a read past it is a finding. After the scan the
// tables' invariants are checked and every key must be closed again.
//
// Input, read front to back (missing bytes read as 0): a byte with the
// number of port devices (modulo 11); then per port a flags byte (bit 0 the
// port key exists, bit 1 its "Driver" value, bit 2 the service key, bit 3
// its "ImagePath", bits 4-6 the number of bus keys, modulo 6), the two
// values (type byte, 2-byte length modulo 400, bytes), and per bus a count
// of subkeys (modulo 40), each a length byte and the name's bytes.
#include "discovery/host_adapters.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Value {
    bool present = false;
    DWORD type = 0;
    std::vector<uint8_t> data;
};

struct Port {
    bool portKey = false;
    bool serviceKey = false;
    Value driver;
    Value imagePath;
    std::vector<std::vector<std::string>> buses;  // subkey names of each bus key
};

std::vector<Port> ports;
int openKeys = 0;

struct Reader {
    const uint8_t* data;
    size_t size;
    // Returns the next byte, 0 once the input is used up.
    uint8_t Byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    // Returns the next `count` bytes.
    std::vector<uint8_t> Bytes(size_t count) {
        std::vector<uint8_t> out;
        while (count-- > 0) out.push_back(Byte());
        return out;
    }
};

// Returns a value read from the input: type, length, bytes.
Value ReadValue(Reader& in, bool present) {
    Value value;
    value.present = present;
    value.type = in.Byte();
    const size_t length = (in.Byte() | (in.Byte() << 8)) % 400;
    value.data = in.Bytes(length);
    return value;
}

// Never returns: reports the broken invariant.
void Fail(const char* what) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

// Keys are numbered: 0x100 + port for a port key, 0x200 + port * 8 + bus
// for a bus key, 0x300 + port for a service key.
// Returns the key handle of a key number.
HKEY KeyHandle(unsigned value) { return reinterpret_cast<HKEY>(static_cast<uintptr_t>(value)); }
// Returns the key number of a key handle.
unsigned KeyNumber(HKEY key) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(key)); }

// Returns the text up to its first NUL or its end.
std::string TextOf(const std::vector<uint8_t>& data) {
    std::string text;
    for (uint8_t byte : data) {
        if (byte == 0) break;
        text += static_cast<char>(byte);
    }
    return text;
}

// Returns true when the two texts are equal, ignoring case.
bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && _strnicmp(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

namespace {
DWORD lastError = 0;
}  // namespace

// Returns the error of the last failed open.
extern "C" DWORD WINAPI GetLastError() { return lastError; }

// Returns a handle for a port device that the input declares, else
// INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND, as for a device that
// does not exist.
extern "C" HANDLE WINAPI CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                     HANDLE) {
    for (size_t p = 0; p < ports.size(); ++p) {
        char path[32];
        snprintf(path, sizeof(path), "\\\\.\\scsi%u:", static_cast<unsigned>(p));
        if (strcmp(name, path) == 0) return reinterpret_cast<HANDLE>(0x1000 + 4 * p);
    }
    lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
}

// Returns TRUE: the port devices' handles need no closing here.
extern "C" BOOL WINAPI CloseHandle(HANDLE) { return TRUE; }

// Returns TRUE with an ordinary 64 KiB port's capabilities; FALSE for any
// other control.
extern "C" BOOL WINAPI DeviceIoControl(HANDLE, DWORD code, LPVOID, DWORD, LPVOID out, DWORD outSize,
                                       LPDWORD returned, LPOVERLAPPED) {
    if (code != IOCTL_SCSI_GET_CAPABILITIES || outSize < sizeof(IO_SCSI_CAPABILITIES)) {

        return FALSE;
    }
    IO_SCSI_CAPABILITIES capabilities = {};
    capabilities.Length = sizeof(capabilities);
    capabilities.MaximumTransferLength = 65536;
    capabilities.MaximumPhysicalPages = 17;
    capabilities.AlignmentMask = 1;
    memcpy(out, &capabilities, sizeof(capabilities));
    *returned = sizeof(capabilities);
    return TRUE;
}

// Returns ERROR_SUCCESS with a port, bus or service key that the input
// declares, else ERROR_FILE_NOT_FOUND.
extern "C" LONG WINAPI RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
    const std::string name = subKey;
    const std::string services = "SYSTEM\\CurrentControlSet\\Services\\";
    for (size_t p = 0; p < ports.size(); ++p) {
        const Port& port = ports[p];
        char path[64];
        snprintf(path, sizeof(path), "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %u",
                 static_cast<unsigned>(p));
        if (parent == HKEY_LOCAL_MACHINE && port.portKey && SameText(name, path)) {
            *result = KeyHandle(0x100 + p);
        } else if (parent == HKEY_LOCAL_MACHINE && port.serviceKey && port.driver.present &&
                   SameText(name, services + TextOf(port.driver.data))) {
            *result = KeyHandle(0x300 + p);
        } else if (KeyNumber(parent) == 0x100 + p) {
            size_t bus = 0;
            for (; bus < port.buses.size(); ++bus) {
                snprintf(path, sizeof(path), "Scsi Bus %u", static_cast<unsigned>(bus));
                if (SameText(name, path)) break;
            }
            if (bus == port.buses.size()) return ERROR_FILE_NOT_FOUND;
            *result = KeyHandle(0x200 + p * 8 + bus);
        } else {
            continue;
        }
        ++openKeys;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

// Returns ERROR_SUCCESS with the value's bytes as stored, ERROR_MORE_DATA
// (nothing copied) when they do not fit, ERROR_FILE_NOT_FOUND when absent.
extern "C" LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type,
                                        LPBYTE data, LPDWORD size) {
    const unsigned number = KeyNumber(key);
    const Value* value = nullptr;
    if (number >= 0x100 && number < 0x100 + ports.size() && SameText(valueName, "Driver")) {
        value = &ports[number - 0x100].driver;
    } else if (number >= 0x300 && number < 0x300 + ports.size() &&
               SameText(valueName, "ImagePath")) {
        value = &ports[number - 0x300].imagePath;
    }
    if (value == nullptr || !value->present) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = value->type;
    const DWORD length = static_cast<DWORD>(value->data.size());
    if (data != nullptr) {
        if (length > *size) {
            *size = length;
            return ERROR_MORE_DATA;
        }
        if (length > 0) memcpy(data, value->data.data(), length);
    }
    *size = length;
    return ERROR_SUCCESS;
}

// Returns ERROR_SUCCESS with the subkey's name and its NUL,
// ERROR_MORE_DATA when they do not fit, ERROR_NO_MORE_ITEMS past the last.
extern "C" LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                                     LPDWORD, LPSTR keyClass, LPDWORD classLength, PFILETIME) {
    const unsigned number = KeyNumber(key) - 0x200;
    const std::vector<std::string>& subkeys = ports.at(number / 8).buses.at(number % 8);
    if (index >= subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& subkey = subkeys[index];
    if (subkey.size() + 1 > *nameLength) return ERROR_MORE_DATA;
    memcpy(name, subkey.c_str(), subkey.size() + 1);
    *nameLength = static_cast<DWORD>(subkey.size());
    if (keyClass != nullptr && classLength != nullptr && *classLength > 0) {
        keyClass[0] = '\0';
        *classLength = 0;
    }
    return ERROR_SUCCESS;
}

// Returns ERROR_SUCCESS, counting the key as closed.
extern "C" LONG WINAPI RegCloseKey(HKEY) {
    --openKeys;
    return ERROR_SUCCESS;
}

// Returns the comparison of at most `count` characters, ignoring case.
extern "C" int __cdecl _strnicmp(const char* lhs, const char* rhs, size_t count) {
    return strncasecmp(lhs, rhs, count);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    ports.assign(in.Byte() % (MaxPorts + 1), Port());
    for (Port& port : ports) {
        const uint8_t flags = in.Byte();
        port.portKey = (flags & 1) != 0;
        port.serviceKey = (flags & 4) != 0;
        port.driver = ReadValue(in, (flags & 2) != 0);
        port.imagePath = ReadValue(in, (flags & 8) != 0);
        port.buses.resize(((flags >> 4) & 7) % 6);
        for (std::vector<std::string>& subkeys : port.buses) {
            const size_t count = in.Byte() % 40;
            for (size_t i = 0; i < count; ++i) {
                const std::vector<uint8_t> bytes = in.Bytes(in.Byte());
                subkeys.emplace_back(bytes.begin(), bytes.end());
            }
        }
    }
    memset(PortTable, 0, sizeof(PortTable));
    openKeys = 0;
    ScanHostAdapters();

    if (openKeys != 0) Fail("a registry key left open");
    if (PortCount < 0 || PortCount > static_cast<LONG>(ports.size())) Fail("PortCount");
    if (AdapterCount < 0 || AdapterCount > MaxAdapters) Fail("AdapterCount");
    for (LONG p = 0; p < PortCount; ++p) {
        const PortInfo& port = PortTable[p];
        if (port.BusCount > MaxBusesPerPort) Fail("BusCount");
        if (port.MaxTargets != 8 && port.MaxTargets != 16) Fail("MaxTargets");
        for (int bus = 0; bus < port.BusCount; ++bus) {
            if (memchr(port.Identifier[bus], '\0', IdentifierLength) == nullptr) {
                Fail("Identifier without NUL");
            }
        }
    }
    for (LONG i = 0; i < AdapterCount; ++i) {
        const AdapterMapEntry& entry = AdapterMap[i];
        if (entry.PortNumber >= PortCount) Fail("adapter's port");
        if (entry.PathId >= PortTable[entry.PortNumber].BusCount) Fail("adapter's bus");
        if (i > 0 && (AdapterMap[i - 1].PortNumber > entry.PortNumber ||
                      (AdapterMap[i - 1].PortNumber == entry.PortNumber &&
                       AdapterMap[i - 1].PathId >= entry.PathId))) {
            Fail("adapters out of order");
        }
        if (strncasecmp(PortTable[entry.PortNumber].Identifier[entry.PathId], "atapi", 5) == 0) {
            Fail("atapi adapter kept");
        }
    }
    return 0;
}
