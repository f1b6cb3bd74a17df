// Shared pieces of the device namespace and port driver tests: a fixture
// that installs a machine from inline JSON and leaves the simulator clean,
// and helpers that open devices and send pass-through requests.
#ifndef PTASPI_TESTS_SIM_DEVICES_TEST_SUPPORT_H
#define PTASPI_TESTS_SIM_DEVICES_TEST_SUPPORT_H

#include "platform/scsi_port.h"
#include "sim/kernel/handles.h"
#include "sim/sim.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <future>
#include <string>
#include <vector>

namespace devices_test {

constexpr DWORD ReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD ShareBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;

class DevicesTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override {
        sim::UninstallMachine();
        Reset();
    }
    static void Reset() {
        sim::ClearFaults();
        sim::CloseAllHandles();
        sim::ClearPassThroughLog();
    }

    // Returns nothing; installs the machine `json` describes or fails the test.
    void Install(const std::string& json) {
        sim::Machine machine;
        std::string error;
        ASSERT_TRUE(sim::ParseMachine(json, machine, error)) << error;
        ASSERT_TRUE(sim::InstallMachine(machine, error)) << error;
    }

public:
    // Returns the handle of \\.\<name>, or INVALID_HANDLE_VALUE with the
    // error in `error`.
    static HANDLE Open(const std::string& name, DWORD access = ReadWrite, DWORD share = ShareBoth,
                       DWORD* error = nullptr) {
        const std::string path = "\\\\.\\" + name;
        SetLastError(0xDEAD);
        HANDLE handle =
            CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (error != nullptr) *error = GetLastError();
        return handle;
    }

    // Returns 0 when \\.\<name> opens (and closes it again), else the error.
    static DWORD OpenError(const std::string& name, DWORD access = GENERIC_READ,
                           DWORD share = ShareBoth) {
        DWORD error = 0;
        HANDLE handle = Open(name, access, share, &error);
        if (handle == INVALID_HANDLE_VALUE) return error;
        EXPECT_EQ(error, 0xDEADu) << "a successful open leaves the last error alone";
        CloseHandle(handle);
        return 0;
    }

    // Returns 0 when the control succeeds, otherwise its error.
    static DWORD Control(HANDLE handle, DWORD code, void* out, DWORD outLength,
                         DWORD* returned = nullptr) {
        DWORD count = 0xFFFFFFFF;
        SetLastError(0xDEAD);
        BOOL ok = DeviceIoControl(handle, code, nullptr, 0, out, outLength, &count, nullptr);
        DWORD error = GetLastError();
        if (returned != nullptr) *returned = count;
        if (ok) {
            EXPECT_EQ(error, 0xDEADu) << "a successful control leaves the last error alone";
            return 0;
        }
        EXPECT_NE(error, 0u);
        return error;
    }
};

// Pass-through requests: header, sense area at 44, then (buffered) the data.
struct DirectRequest {
    std::vector<uint8_t> buffer;
    SCSI_PASS_THROUGH_DIRECT& Header() {
        return *reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(buffer.data());
    }
    uint8_t* Sense() { return buffer.data() + ScsiPassThroughHeaderLength; }
};
struct BufferedRequest {
    std::vector<uint8_t> buffer;
    SCSI_PASS_THROUGH& Header() { return *reinterpret_cast<SCSI_PASS_THROUGH*>(buffer.data()); }
    uint8_t* Sense() { return buffer.data() + ScsiPassThroughHeaderLength; }
    uint8_t* Data() { return buffer.data() + Header().DataBufferOffset; }
};

// Returns nothing; fills the fields both header forms share.
template <typename Header>
void FillHeader(Header& header, const std::vector<uint8_t>& cdb, UCHAR dataIn, ULONG dataLength,
                UCHAR senseLength) {
    header.Length = ScsiPassThroughHeaderLength;
    header.CdbLength = static_cast<UCHAR>(cdb.size());
    header.SenseInfoLength = senseLength;
    header.DataIn = dataIn;
    header.DataTransferLength = dataLength;
    header.TimeOutValue = 300;
    header.SenseInfoOffset = ScsiPassThroughHeaderLength;
    memcpy(header.Cdb, cdb.data(), cdb.size() < 16 ? cdb.size() : 16);
}

// Returns a direct request for `cdb` moving `dataLength` bytes at `data`,
// addressed to `target`.
inline DirectRequest MakeDirect(const std::vector<uint8_t>& cdb, UCHAR dataIn, void* data,
                                ULONG dataLength, UCHAR senseLength = 18, UCHAR target = 0) {
    DirectRequest request;
    request.buffer.assign(ScsiPassThroughHeaderLength + senseLength + 4, 0);
    FillHeader(request.Header(), cdb, dataIn, dataLength, senseLength);
    request.Header().DataBuffer = data;
    request.Header().TargetId = target;
    return request;
}

// Returns a buffered request for `cdb` with its data after the sense area,
// at an offset that is a multiple of 8, as the system buffer's alignment
// needs for ports whose AlignmentMask is below 8.
inline BufferedRequest MakeBuffered(const std::vector<uint8_t>& cdb, UCHAR dataIn,
                                    ULONG dataLength, UCHAR senseLength = 18, UCHAR target = 0) {
    BufferedRequest request;
    const ULONG offset = (ScsiPassThroughHeaderLength + senseLength + 7u) & ~7u;
    request.buffer.assign(offset + dataLength + 4, 0);
    FillHeader(request.Header(), cdb, dataIn, dataLength, senseLength);
    request.Header().DataBufferOffset = offset;
    request.Header().TargetId = target;
    return request;
}

// Returns 0 for success with the last error left alone, the error of a
// failure, and 0xBAD when the result and the last error disagree.
inline DWORD Send(HANDLE handle, DWORD code, void* buffer, DWORD inLength, DWORD outLength) {
    DWORD count = 0;
    SetLastError(0xDEAD);
    BOOL ok = DeviceIoControl(handle, code, buffer, inLength, buffer, outLength, &count, nullptr);
    const DWORD error = GetLastError();
    if (ok) return error == 0xDEAD ? 0 : 0xBAD;
    return error == 0xDEAD ? 0xBAD : error;
}

// Returns as Send does for a direct request sent as the library sends it:
// the header as input, the whole buffer as output.
inline DWORD SendDirect(HANDLE handle, DirectRequest& request) {
    return Send(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, request.buffer.data(),
                ScsiPassThroughHeaderLength, static_cast<DWORD>(request.buffer.size()));
}

inline DWORD SendBuffered(HANDLE handle, BufferedRequest& request) {
    const DWORD size = static_cast<DWORD>(request.buffer.size());
    return Send(handle, IOCTL_SCSI_PASS_THROUGH, request.buffer.data(), size, size);
}

// Returns the error of a direct command without data sent to `target` from
// another thread on its own handle to \\.\scsi0:.
inline std::future<DWORD> SendFromThread(UCHAR target, std::vector<uint8_t> cdb) {
    return std::async(std::launch::async, [target, cdb] {
        HANDLE handle = DevicesTest::Open("scsi0:");
        DirectRequest request = MakeDirect(cdb, SCSI_IOCTL_DATA_IN, nullptr, 0, 18, target);
        DWORD error = SendDirect(handle, request);
        CloseHandle(handle);
        return error;
    });
}

inline std::vector<uint8_t> InquiryCdb(uint8_t length) { return {0x12, 0, 0, 0, length, 0}; }
const std::vector<uint8_t> Write10Cdb = {0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0};

}  // namespace devices_test

#endif
