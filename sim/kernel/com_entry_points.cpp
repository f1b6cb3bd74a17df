// The COM runtime's entry points (ole32.dll) on a machine where no COM
// server is registered: apartments are entered and left as COM counts
// them, task memory works, and every class asked for answers as an
// unregistered class does (REGDB_E_CLASSNOTREG), or CO_E_NOTINITIALIZED
// before the thread entered an apartment.
#include "sim/kernel/handles.h"
#include "sim/kernel/win32_families.h"
#include "sim/runtime/msvcrt.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <random>

namespace sim {
namespace {

typedef LONG HRESULT_;
const HRESULT_ SOk = 0;
const HRESULT_ SFalse = 1;
const HRESULT_ EPointer = static_cast<HRESULT_>(0x80004003);
const HRESULT_ EInvalidArg = static_cast<HRESULT_>(0x80070057);
const HRESULT_ ClassNotRegistered = static_cast<HRESULT_>(0x80040154);
const HRESULT_ NotInitialized = static_cast<HRESULT_>(0x800401F0);
const HRESULT_ ChangedMode = static_cast<HRESULT_>(0x80010106);
const DWORD ApartmentThreaded = 0x2;

// The calling thread's apartment: how many times it entered, and whether
// single-threaded (the model is fixed by the first entry).
thread_local int entries = 0;
thread_local bool singleThreaded = false;

HRESULT_ Enter(DWORD model) {
    const bool single = (model & ApartmentThreaded) != 0;
    if (entries > 0 && single != singleThreaded) return ChangedMode;
    if (entries++ > 0) return SFalse;
    singleThreaded = single;
    return SOk;
}

}  // namespace
}  // namespace sim

extern "C" {

// Returns S_OK on the thread's first entry into a single-threaded
// apartment, S_FALSE on each later one.
LONG WINAPI CoInitialize(LPVOID pvReserved) {
    (void)pvReserved;
    return sim::Enter(sim::ApartmentThreaded);
}

// Returns as CoInitialize, for the model asked; RPC_E_CHANGED_MODE when the
// thread is in an apartment of the other model.
LONG WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    (void)pvReserved;
    return sim::Enter(dwCoInit);
}

// Returns nothing; one entry of the thread's apartment is left.
void WINAPI CoUninitialize(void) {
    if (sim::entries > 0) --sim::entries;
}

LONG WINAPI OleInitialize(LPVOID pvReserved) { return CoInitialize(pvReserved); }
void WINAPI OleUninitialize(void) { CoUninitialize(); }

// Returns REGDB_E_CLASSNOTREG with a null interface: no class is
// registered on the machine; CO_E_NOTINITIALIZED outside an apartment.
LONG WINAPI CoCreateInstance(const void* rclsid, void* pUnkOuter, DWORD dwClsContext,
                             const void* riid, void** ppv) {
    (void)pUnkOuter;
    (void)dwClsContext;
    if (ppv == nullptr) return sim::EPointer;
    *ppv = nullptr;
    if (rclsid == nullptr || riid == nullptr) return sim::EInvalidArg;
    return sim::entries > 0 ? sim::ClassNotRegistered : sim::NotInitialized;
}

// As CoCreateInstance, for a class object.
LONG WINAPI CoGetClassObject(const void* rclsid, DWORD dwClsContext, void* pvReserved,
                             const void* riid, void** ppv) {
    return CoCreateInstance(rclsid, pvReserved, dwClsContext, riid, ppv);
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb != 0 ? cb : 1); }
LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb) { return std::realloc(pv, cb != 0 ? cb : 1); }
void WINAPI CoTaskMemFree(LPVOID pv) { std::free(pv); }

// Returns S_OK with a new random GUID (version 4).
LONG WINAPI CoCreateGuid(void* pguid) {
    if (pguid == nullptr) return sim::EInvalidArg;
    static std::random_device source;
    unsigned char bytes[16];
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(source());
    bytes[7] = static_cast<unsigned char>((bytes[7] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    std::memcpy(pguid, bytes, sizeof bytes);
    return sim::SOk;
}

}  // extern "C"

namespace sim {

// ole32's exports, for the system DLL table.
extern const NamedExport comExports[] = {
    {"CoCreateGuid", reinterpret_cast<const void*>(&CoCreateGuid)},
    {"CoCreateInstance", reinterpret_cast<const void*>(&CoCreateInstance)},
    {"CoGetClassObject", reinterpret_cast<const void*>(&CoGetClassObject)},
    {"CoInitialize", reinterpret_cast<const void*>(&CoInitialize)},
    {"CoInitializeEx", reinterpret_cast<const void*>(&CoInitializeEx)},
    {"CoTaskMemAlloc", reinterpret_cast<const void*>(&CoTaskMemAlloc)},
    {"CoTaskMemFree", reinterpret_cast<const void*>(&CoTaskMemFree)},
    {"CoTaskMemRealloc", reinterpret_cast<const void*>(&CoTaskMemRealloc)},
    {"CoUninitialize", reinterpret_cast<const void*>(&CoUninitialize)},
    {"OleInitialize", reinterpret_cast<const void*>(&OleInitialize)},
    {"OleUninitialize", reinterpret_cast<const void*>(&OleUninitialize)},
};
extern const size_t comExportCount = sizeof comExports / sizeof comExports[0];

}  // namespace sim
