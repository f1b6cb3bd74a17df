// Runs the library as an application does: a simulated machine is
// installed, the library's shared object is loaded afresh, and only its two
// exports are used.
#ifndef PTASPI_TESTS_E2E_LIBRARY_FIXTURE_H
#define PTASPI_TESTS_E2E_LIBRARY_FIXTURE_H

#include "ptaspi32.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/teb.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

// The two builds of the library that every test runs on: the -m32 shared
// object, and the mingw-w64 DLL that users install, run by the simulator's
// PE loader.
enum class Build { SharedObject, WindowsDll };

inline std::string LibraryPath(Build build) {
    return build == Build::WindowsDll ? std::string(PTASPI_WINDOWS_DLL)
                                      : std::string(PTASPI_BINARY_DIR) + "/libptaspi32.so";
}

inline std::string BuildName(const ::testing::TestParamInfo<Build>& info) {
    return info.param == Build::WindowsDll ? "WindowsDll" : "SharedObject";
}

// Runs a fixture's tests once on each build.
#define LIBRARY_TEST_SUITE(fixture)                                                    \
    INSTANTIATE_TEST_SUITE_P(Builds, fixture,                                         \
                             ::testing::Values(Build::SharedObject, Build::WindowsDll), \
                             BuildName)

class LibraryTest : public ::testing::TestWithParam<Build> {
protected:
    // The Windows build exists once the windows preset has been built, as
    // scripts/test.sh and CI do before the tests run.
    void SetUp() override {
        if (access(LibraryPath(GetParam()).c_str(), R_OK) != 0) {
            GTEST_SKIP() << LibraryPath(GetParam()) << " not built (cmake --preset windows)";
        }
    }

    void TearDown() override {
        Unload();
        sim::ClearFaults();
        sim::UninstallMachine();
    }

    // Installs the machine described by json; fails the test on a bad text.
    void Install(const char* json) {
        sim::Machine machine;
        std::string error;
        ASSERT_TRUE(sim::ParseMachine(json, machine, error)) << error;
        ASSERT_TRUE(sim::InstallMachine(machine, error)) << error;
    }

    // Returns true when the library loaded and both exports resolved.
    bool Load() {
        module_ = LoadLibraryA(LibraryPath(GetParam()).c_str());
        if (module_ == nullptr) return false;
        // Through void (*)(void), the generic function pointer type, as an
        // application must cast GetProcAddress's result.
        getSupportInfo_ = reinterpret_cast<GETASPI32SUPPORTINFO>(
            reinterpret_cast<void (*)(void)>(GetProcAddress(module_, "GetASPI32SupportInfo")));
        sendCommand_ = reinterpret_cast<SENDASPI32COMMAND>(
            reinterpret_cast<void (*)(void)>(GetProcAddress(module_, "SendASPI32Command")));
        return getSupportInfo_ != nullptr && sendCommand_ != nullptr;
    }

    void Unload() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
            module_ = nullptr;
        }
    }

    // A thread that calls the DLL first needs its environment block, as
    // the simulator's own threads have from their start.
    DWORD SupportInfo() {
        sim::CurrentThreadEnvironment();
        return getSupportInfo_();
    }
    DWORD Send(void* srb) {
        sim::CurrentThreadEnvironment();
        return sendCommand_(srb);
    }

    HMODULE module_ = nullptr;
    GETASPI32SUPPORTINFO getSupportInfo_ = nullptr;
    SENDASPI32COMMAND sendCommand_ = nullptr;
};

// An execute request with room for its sense bytes after the 64-byte block.
// An execute block with room for 32 bytes of sense data: the library
// writes SRB_SenseLen bytes from SenseArea on (offset 64), past the area
// the header declares, so the test reads them there.
struct ExecRequest {
    union {
        SRB_ExecSCSICmd Srb;
        struct {
            BYTE Fields[SRB_EXEC_HEADER_LEN];
            BYTE Sense[32];
        };
    };
};
static_assert(offsetof(ExecRequest, Sense) == offsetof(SRB_ExecSCSICmd, SenseArea),
              "the sense bytes are the block's sense area");

inline void PrepareExec(ExecRequest& request, BYTE ha, BYTE target, BYTE lun, BYTE flags,
                        const BYTE* cdb, BYTE cdbLength, BYTE* buffer, DWORD length) {
    std::memset(&request, 0, sizeof request);
    request.Srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    request.Srb.SRB_HaId = ha;
    request.Srb.SRB_Flags = flags;
    request.Srb.SRB_Target = target;
    request.Srb.SRB_Lun = lun;
    request.Srb.SRB_BufLen = length;
    request.Srb.SRB_BufPointer = buffer;
    request.Srb.SRB_SenseLen = sizeof request.Sense;
    request.Srb.SRB_CDBLen = cdbLength;
    std::memcpy(request.Srb.CDBByte, cdb, cdbLength);
}

// Returns true once a command hangs in its unit (false after 10 s), so
// that what follows finds the worker busy.
inline bool WorkerHangs() {
    for (int waited = 0; waited < 10000; ++waited) {
        if (sim::HangingCommandCount() > 0) return true;
        Sleep(1);
    }
    return false;
}

// Returns the status once it is final, or SS_PENDING after timeoutMs.
inline BYTE PollStatus(const void* srb, DWORD timeoutMs) {
    const BYTE* status = static_cast<const BYTE*>(srb) + 1;
    for (DWORD waited = 0; waited < timeoutMs; waited += 1) {
        BYTE value = __atomic_load_n(status, __ATOMIC_ACQUIRE);
        if (value != SS_PENDING) return value;
        Sleep(1);
    }
    return __atomic_load_n(status, __ATOMIC_ACQUIRE);
}

#endif
