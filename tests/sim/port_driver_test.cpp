// DeviceIoControl's own checks and the port driver's capabilities,
// inquiry data and address controls.
#include "devices_test_support.h"

#include "sim/live_machine.h"

#include <string>

namespace {

class PortDriverTest : public devices_test::DevicesTest {};

const char* const portMachine = R"({
  "ports": [
    {"capabilities": {"MaximumTransferLength": 4096, "MaximumPhysicalPages": 3,
                      "SupportedAsynchronousEvents": 1, "AlignmentMask": "0x3",
                      "TaggedQueuing": true, "AdapterUsesPio": true},
     "buses": [
      {"units": [
        {"target": 0, "lun": 0, "claimed": true,
         "inquiry": {"peripheral": 0, "vendor": "ACME", "product": "Disk", "revision": "1"},
         "backend": {"type": "scripted"}},
        {"target": 5, "lun": 2, "claimed": false,
         "inquiry": {"peripheral": "0x7F", "removable": true, "vendor": "V", "product": "P",
                     "revision": "R"},
         "backend": {"type": "scripted"}}]},
      {"initiator_id": 6},
      {"initiator_id": null, "units": [
        {"target": 3, "lun": 1, "claimed": true,
         "inquiry": {"peripheral": 3, "vendor": "X", "product": "Y", "revision": "Z"},
         "backend": {"type": "scripted"}}]}
    ]},
    {"capabilities_error": 31, "inquiry_error": 1117, "buses": [
      {},
      {"units": [
        {"target": 6, "lun": 3, "class_device": "CdRom0", "drive": "E",
         "backend": {"type": "cdrom"}},
        {"target": 2, "lun": 0, "class_device": "PhysicalDrive0", "address_error": 55,
         "backend": {"type": "disk", "blocks": 8}}]}
    ]},
    {}
  ],
  "drives": [{"letter": "C", "type": "fixed"}, {"letter": "F", "type": "cdrom"}]
})";

TEST_F(PortDriverTest, CapabilitiesReportThePortsLimits) {
    Install(portMachine);
    // The control needs no access: a handle opened for nothing asks it.
    HANDLE port = Open("scsi0:", 0);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    uint8_t out[32];
    memset(out, 0xCC, sizeof out);
    DWORD returned = 0;
    ASSERT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, sizeof out, &returned),
              0u);
    EXPECT_EQ(returned, 24u);
    const uint8_t expected[24] = {24, 0, 0, 0,  0, 0x10, 0, 0,  3, 0, 0, 0,  1, 0, 0, 0,
                                  3,  0, 0, 0,  1, 0,    1, 0};
    EXPECT_EQ(0, memcmp(out, expected, sizeof expected));
    EXPECT_EQ(out[24], 0xCC) << "nothing written past the answer";

    // Too small an output buffer, and the port's configured failure.
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, 23),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    HANDLE failing = Open("scsi1:", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(failing, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Control(failing, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, sizeof out), 31u);
    // Defaults of a port that states none.
    HANDLE plain = Open("scsi2:", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(plain, INVALID_HANDLE_VALUE);
    IO_SCSI_CAPABILITIES capabilities = {};
    ASSERT_EQ(Control(plain, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, &capabilities,
                      sizeof capabilities),
              0u);
    EXPECT_EQ(capabilities.Length, 24u);
    EXPECT_EQ(capabilities.MaximumTransferLength, 65536u);
    EXPECT_EQ(capabilities.MaximumPhysicalPages, 17u);
    EXPECT_EQ(capabilities.AlignmentMask, 1u);
    // A class device is no port.
    HANDLE cdrom = Open("CdRom0", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(cdrom, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Control(cdrom, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, sizeof out),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

// Returns the 48 bytes of one inquiry record as the port driver lays it out.
std::vector<uint8_t> Record(uint8_t pathId, uint8_t target, uint8_t lun, uint8_t claimed,
                            uint32_t next, uint8_t peripheral, uint8_t removable,
                            const std::string& identity) {
    std::vector<uint8_t> bytes = {pathId, target, lun, claimed, 36, 0, 0, 0,
                                  static_cast<uint8_t>(next), static_cast<uint8_t>(next >> 8), 0, 0,
                                  peripheral, removable, 5, 2, 31, 0, 0, 0};
    EXPECT_EQ(identity.size(), 28u);
    bytes.insert(bytes.end(), identity.begin(), identity.end());
    return bytes;
}

TEST_F(PortDriverTest, InquiryDataHasTheDriversLayoutByteForByte) {
    Install(portMachine);
    HANDLE port = Open("SCSI0:", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> expected = {
        3, 0, 0, 0,                // NumberOfBuses, padding
        2, 7, 0, 0,    28, 0, 0, 0,  // bus 0: two units from offset 28
        0, 6, 0, 0,    0, 0, 0, 0,   // bus 1: no units, offset 0
        1, 0xFF, 0, 0, 124, 0, 0, 0  // bus 2: no initiator id, one unit at 124
    };
    for (const auto& record :
         {Record(0, 0, 0, 1, 76, 0x00, 0x00, "ACME    Disk            1   "),
          Record(0, 5, 2, 0, 0, 0x7F, 0x80, "V       P               R   "),
          Record(2, 3, 1, 1, 0, 0x03, 0x00, "X       Y               Z   ")}) {
        expected.insert(expected.end(), record.begin(), record.end());
    }
    ASSERT_EQ(expected.size(), 172u);

    std::vector<uint8_t> out(4096, 0xCC);
    DWORD returned = 0;
    ASSERT_EQ(Control(port, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, out.data(), 4096, &returned),
              0u);
    EXPECT_EQ(returned, 172u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 172), expected);
    EXPECT_EQ(out[172], 0xCC);
    EXPECT_EQ(sim::BuildInquiryData(sim::PortConfig()).size(), 4u)
        << "a port without buses answers NumberOfBuses 0 alone";

    // Exactly large enough works; one byte less fails and writes nothing.
    std::vector<uint8_t> exact(172, 0);
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, exact.data(), 172), 0u);
    EXPECT_EQ(exact, expected);
    std::vector<uint8_t> small(171, 0xCC);
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, small.data(), 171),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small, std::vector<uint8_t>(171, 0xCC));
}

TEST_F(PortDriverTest, InquiryDataBuilderMatchesTheControl) {
    Install(portMachine);
    sim::Machine machine;
    std::string error;
    ASSERT_TRUE(sim::ParseMachine(portMachine, machine, error)) << error;
    HANDLE port = Open("scsi0:", GENERIC_READ, FILE_SHARE_READ);
    std::vector<uint8_t> out(4096, 0);
    DWORD returned = 0;
    ASSERT_EQ(Control(port, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, out.data(), 4096, &returned),
              0u);
    out.resize(returned);
    EXPECT_EQ(sim::BuildInquiryData(machine.ports[0]), out);
}

TEST_F(PortDriverTest, InquiryDataOnlyFromPortsThatGiveIt) {
    Install(portMachine);
    std::vector<uint8_t> out(4096, 0);
    HANDLE failing = Open("scsi1:", GENERIC_READ, FILE_SHARE_READ);
    EXPECT_EQ(Control(failing, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, out.data(), 4096), 1117u);
    HANDLE cdrom = Open("CdRom0", GENERIC_READ, FILE_SHARE_READ);
    EXPECT_EQ(Control(cdrom, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, out.data(), 4096),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    HANDLE plain = Open("scsi2:", GENERIC_READ, FILE_SHARE_READ);
    DWORD returned = 0;
    ASSERT_EQ(Control(plain, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, out.data(), 4096, &returned),
              0u);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(out[0], 0);
}

TEST_F(PortDriverTest, AddressComesFromClassDevicesAndDrives) {
    Install(portMachine);
    for (const char* name : {"CdRom0", "e:"}) {
        HANDLE device = Open(name, GENERIC_READ, FILE_SHARE_READ);
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << name;
        uint8_t out[12];
        memset(out, 0xCC, sizeof out);
        DWORD returned = 0;
        ASSERT_EQ(Control(device, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, out, sizeof out, &returned),
                  0u);
        EXPECT_EQ(returned, 8u);
        const uint8_t expected[9] = {8, 0, 0, 0, 1, 1, 6, 3, 0xCC};
        EXPECT_EQ(0, memcmp(out, expected, sizeof expected)) << name;
        EXPECT_EQ(Control(device, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, out, 7),
                  static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        CloseHandle(device);
    }
    SCSI_ADDRESS address = {};
    HANDLE refusing = Open("PhysicalDrive0", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(refusing, INVALID_HANDLE_VALUE) << "a unit with address_error still opens";
    EXPECT_EQ(Control(refusing, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, 8), 55u);
    // Port devices, the outside driver and volumes without a unit have none.
    for (const char* name : {"scsi0:", "C:", "F:"}) {
        HANDLE device = Open(name, GENERIC_READ, FILE_SHARE_READ);
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(Control(device, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, 8),
                  static_cast<DWORD>(ERROR_INVALID_FUNCTION))
            << name;
    }
}

TEST_F(PortDriverTest, IoManagerChecksHandleAccessAndCode) {
    Install(portMachine);
    HANDLE reader = Open("scsi0:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    HANDLE nothing = Open("scsi0:", 0, 0);
    HANDLE writer = Open("scsi0:", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    HANDLE both = Open("scsi0:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    for (HANDLE handle : {reader, nothing, writer, both}) ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    auto request = devices_test::MakeDirect(devices_test::InquiryCdb(36), SCSI_IOCTL_DATA_IN,
                                            nullptr, 0);
    request.Header().TargetId = 5;
    request.Header().Lun = 2;
    // Both pass-through controls need read and write access.
    for (HANDLE handle : {reader, nothing, writer}) {
        EXPECT_EQ(devices_test::SendDirect(handle, request),
                  static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(devices_test::SendDirect(both, request), 0u);
    // The access check comes before the code is looked at: a made-up code
    // that requires reading fails with 5 on a handle without it, 1 otherwise.
    const DWORD madeUpRead = 0x4400C;
    EXPECT_EQ(Control(nothing, madeUpRead, nullptr, 0, nullptr, 0),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Control(reader, madeUpRead, nullptr, 0, nullptr, 0),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(Control(both, 0x2D1400, nullptr, 0, nullptr, 0),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(PortDriverTest, HandlesThatAreNoDevicesAreInvalid) {
    Install(portMachine);
    uint8_t out[24];
    EXPECT_EQ(Control(nullptr, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, 24),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(Control(INVALID_HANDLE_VALUE, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, 24),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(Control(event, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, 24),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE port = Open("scsi0:", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(CloseHandle(port));
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, 24),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(PortDriverTest, BadCallerBuffersAreRefused) {
    Install(portMachine);
    HANDLE port = Open("scsi0:", GENERIC_READ, FILE_SHARE_READ);
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, nullptr, 24,
                                 nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    uint8_t out[24];
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, sizeof out,
                                 nullptr, nullptr))
        << "a synchronous call needs somewhere to put the byte count";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
}

TEST_F(PortDriverTest, InjectedFaultsNameTheControlCodeInHex) {
    Install(portMachine);
    HANDLE port = Open("scsi0:", GENERIC_READ, FILE_SHARE_READ);
    sim::FailCall(sim::Call::DeviceIoControl, 1, 1167, 1, "0x41010");
    IO_SCSI_CAPABILITIES capabilities = {};
    std::vector<uint8_t> out(4096, 0);
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, out.data(), 4096), 0u);
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, &capabilities, 24), 1167u);
    EXPECT_EQ(capabilities.Length, 0u);
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, &capabilities, 24), 0u);
    // A fault comes before the handle is even looked at.
    sim::FailCall(sim::Call::DeviceIoControl, 1, 1167, 1, "0x4D014");
    EXPECT_EQ(Control(nullptr, IOCTL_SCSI_PASS_THROUGH_DIRECT, nullptr, 0, nullptr, 0), 1167u);
}

}  // namespace
