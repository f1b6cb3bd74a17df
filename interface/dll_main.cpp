// The library's entry routine, called by the C runtime's start-up code
// after the runtime is initialised (and before it is shut down).
#include "discovery/class_devices.h"
#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "execution/request_queue.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)module;
    (void)reserved;
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        // The worker exists before any scan, and the scans build on each
        // other: ports, then units, then the class devices of claimed units.
        if (StartRequestQueue() != 0) {
            return FALSE;
        }
        ScanHostAdapters();
        ScanDevices();
        MapClassDevices();
        return TRUE;
    case DLL_PROCESS_DETACH:
        StopRequestQueue();
        return TRUE;
    default:
        return TRUE;
    }
}
