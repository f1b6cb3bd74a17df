// Shared pieces of the device namespace and port driver tests: a fixture
// that installs a machine from inline JSON and leaves the simulator clean,
// and helpers that open devices and build pass-through requests.
#ifndef PTASPI_TESTS_SIM_DEVICES_TEST_SUPPORT_H
#define PTASPI_TESTS_SIM_DEVICES_TEST_SUPPORT_H

#include "platform/scsi_port.h"
#include "sim/handles.h"
#include "sim/sim.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace devices_test {

class DevicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFaults();
        sim::CloseAllHandles();
        sim::ClearPassThroughLog();
    }
    void TearDown() override {
        sim::ClearFaults();
        sim::UninstallMachine();
        sim::CloseAllHandles();
        sim::ClearPassThroughLog();
    }

    // Returns nothing; installs the machine the JSON text describes and
    // fails the test when it does not parse or install.
    void Install(const std::string& json) {
        sim::Machine machine;
        std::string error;
        ASSERT_TRUE(sim::ParseMachine(json, machine, error)) << error;
        ASSERT_TRUE(sim::InstallMachine(machine, error)) << error;
    }

public:
    // Returns the handle of \\.\<name> opened with `access` and `share`, or
    // INVALID_HANDLE_VALUE with the error in `error`.
    static HANDLE Open(const std::string& name, DWORD access = GENERIC_READ | GENERIC_WRITE,
                       DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE, DWORD* error = nullptr) {
        const std::string path = "\\\\.\\" + name;
        SetLastError(0xDEAD);
        HANDLE handle =
            CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (error != nullptr) *error = GetLastError();
        return handle;
    }

    // Returns 0 when \\.\<name> opens with `access` and `share` (the handle
    // is closed again), otherwise the open's error.
    static DWORD OpenError(const std::string& name, DWORD access = GENERIC_READ,
                           DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
        DWORD error = 0;
        HANDLE handle = Open(name, access, share, &error);
        if (handle == INVALID_HANDLE_VALUE) return error;
        EXPECT_EQ(error, 0u);
        CloseHandle(handle);
        return 0;
    }

    // Returns 0 when the control succeeds, otherwise its error.
    static DWORD Control(HANDLE handle, DWORD code, void* in, DWORD inLength, void* out,
                         DWORD outLength, DWORD* returned = nullptr) {
        DWORD count = 0xFFFFFFFF;
        SetLastError(0xDEAD);
        BOOL ok = DeviceIoControl(handle, code, in, inLength, out, outLength, &count, nullptr);
        DWORD error = GetLastError();
        if (returned != nullptr) *returned = count;
        if (ok) {
            EXPECT_EQ(error, 0u) << "a successful control leaves the last error 0";
            return 0;
        }
        EXPECT_NE(error, 0u);
        return error;
    }
};

// A direct pass-through request: header, then sense area at 44.
struct DirectRequest {
    std::vector<uint8_t> buffer;
    SCSI_PASS_THROUGH_DIRECT& Header() {
        return *reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(buffer.data());
    }
    uint8_t* Sense() { return buffer.data() + ScsiPassThroughHeaderLength; }
};

// Returns a direct request for `cdb`, with `senseLength` bytes of sense area
// and the data at `data` (length `dataLength`, direction `dataIn`).
inline DirectRequest MakeDirect(std::vector<uint8_t> cdb, UCHAR dataIn, void* data,
                                ULONG dataLength, UCHAR senseLength = 18) {
    DirectRequest request;
    request.buffer.assign(ScsiPassThroughHeaderLength + senseLength + 4, 0);
    SCSI_PASS_THROUGH_DIRECT& header = request.Header();
    header.Length = ScsiPassThroughHeaderLength;
    header.CdbLength = static_cast<UCHAR>(cdb.size());
    header.SenseInfoLength = senseLength;
    header.DataIn = dataIn;
    header.DataTransferLength = dataLength;
    header.TimeOutValue = 300;
    header.DataBuffer = data;
    header.SenseInfoOffset = ScsiPassThroughHeaderLength;
    memcpy(header.Cdb, cdb.data(), cdb.size() < 16 ? cdb.size() : 16);
    return request;
}

// A buffered pass-through request: header, sense area at 44, data after it.
struct BufferedRequest {
    std::vector<uint8_t> buffer;
    SCSI_PASS_THROUGH& Header() { return *reinterpret_cast<SCSI_PASS_THROUGH*>(buffer.data()); }
    uint8_t* Sense() { return buffer.data() + ScsiPassThroughHeaderLength; }
    uint8_t* Data() { return buffer.data() + Header().DataBufferOffset; }
};

inline BufferedRequest MakeBuffered(std::vector<uint8_t> cdb, UCHAR dataIn, ULONG dataLength,
                                    UCHAR senseLength = 18) {
    BufferedRequest request;
    request.buffer.assign(ScsiPassThroughHeaderLength + senseLength + dataLength + 4, 0);
    SCSI_PASS_THROUGH& header = request.Header();
    header.Length = ScsiPassThroughHeaderLength;
    header.CdbLength = static_cast<UCHAR>(cdb.size());
    header.SenseInfoLength = senseLength;
    header.DataIn = dataIn;
    header.DataTransferLength = dataLength;
    header.TimeOutValue = 300;
    header.DataBufferOffset = ScsiPassThroughHeaderLength + senseLength;
    header.SenseInfoOffset = ScsiPassThroughHeaderLength;
    memcpy(header.Cdb, cdb.data(), cdb.size() < 16 ? cdb.size() : 16);
    return request;
}

// Returns 0 for success with last error 0, the error of a failure, and
// 0xBAD when the result and the last error disagree.
inline DWORD Outcome(BOOL ok) {
    const DWORD error = GetLastError();
    if (ok) return error == 0 ? 0 : 0xBAD;
    return error == 0 ? 0xBAD : error;
}

// Returns 0 or the error of a direct request sent whole: header as input,
// the whole buffer as output, as the library sends it.
inline DWORD SendDirect(HANDLE handle, DirectRequest& request) {
    DWORD count = 0;
    SetLastError(0xDEAD);
    BOOL ok = DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, request.buffer.data(),
                              ScsiPassThroughHeaderLength, request.buffer.data(),
                              static_cast<DWORD>(request.buffer.size()), &count, nullptr);
    return Outcome(ok);
}

inline DWORD SendBuffered(HANDLE handle, BufferedRequest& request) {
    DWORD count = 0;
    SetLastError(0xDEAD);
    DWORD size = static_cast<DWORD>(request.buffer.size());
    BOOL ok = DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH, request.buffer.data(), size,
                              request.buffer.data(), size, &count, nullptr);
    return Outcome(ok);
}

inline std::vector<uint8_t> InquiryCdb(uint8_t length) { return {0x12, 0, 0, 0, length, 0}; }

}  // namespace devices_test

#endif
