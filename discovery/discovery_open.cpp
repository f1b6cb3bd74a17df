#include "discovery/discovery_open.h"

HANDLE OpenForDiscovery(const char* path) {
    HANDLE device = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (device != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) return device;
    return CreateFileA(path, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}
