// DeviceIoControl's own checks and the port driver's capabilities,
// inquiry data and address controls.
#include "devices_test_support.h"

#include "sim/machine/live_machine.h"

#include <string>

namespace {



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
    {},
    {"inquiry_answer": "09 08 07", "buses": [{"units": [
      {"target": 0, "lun": 0, "inquiry": {"peripheral": 3}, "backend": {"type": "scripted"}}]}]}
  ],
  "drives": [{"letter": "C", "type": "fixed"}, {"letter": "F", "type": "cdrom"}]
})";

class PortDriverTest : public devices_test::DevicesTest {
protected:
    void SetUp() override {
        DevicesTest::SetUp();
        Install(portMachine);
    }
};

constexpr DWORD Invalid = ERROR_INVALID_FUNCTION;

// Returns the handle of a device opened for reading, failing the test if not.
HANDLE Reader(const char* name) {
    HANDLE handle = PortDriverTest::Open(name, GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << name;
    return handle;
}

TEST_F(PortDriverTest, CapabilitiesReportThePortsLimits) {
    // The control needs no access: a handle opened for nothing asks it.
    HANDLE port = Open("scsi0:", 0);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    uint8_t out[32];
    memset(out, 0xCC, sizeof out);
    DWORD returned = 0;
    ASSERT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, out, sizeof out, &returned), 0u);
    EXPECT_EQ(returned, 24u);
    const uint8_t expected[25] = {24, 0, 0, 0, 0, 0x10, 0, 0, 3, 0, 0, 0,   1,
                                  0,  0, 0, 3, 0,    0, 0, 1, 0, 1, 0, 0xCC};
    EXPECT_EQ(0, memcmp(out, expected, sizeof expected)) << "nothing written past the answer";
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, out, 23),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // Defaults of a port that states none.
    IO_SCSI_CAPABILITIES capabilities = {};
    ASSERT_EQ(Control(Reader("scsi2:"), IOCTL_SCSI_GET_CAPABILITIES, &capabilities, 24), 0u);
    EXPECT_EQ(capabilities.Length, 24u);
    EXPECT_EQ(capabilities.MaximumTransferLength, 65536u);
    EXPECT_EQ(capabilities.MaximumPhysicalPages, 17u);
    EXPECT_EQ(capabilities.AlignmentMask, 1u);
}

TEST_F(PortDriverTest, PortControlsFailWhereThePortSaysOrThereIsNoPort) {
    struct Case {
        const char* device;
        DWORD code, error;
    };
    for (const Case& c : {Case{"scsi1:", IOCTL_SCSI_GET_CAPABILITIES, 31},
                          Case{"scsi1:", IOCTL_SCSI_GET_INQUIRY_DATA, 1117},
                          Case{"CdRom0", IOCTL_SCSI_GET_CAPABILITIES, Invalid},
                          Case{"CdRom0", IOCTL_SCSI_GET_INQUIRY_DATA, Invalid}}) {
        std::vector<uint8_t> out(4096, 0);
        EXPECT_EQ(Control(Reader(c.device), c.code, out.data(), 4096), c.error) << c.device;
    }
}

// Returns the 52 bytes of one inquiry record as the port driver lays it out.
std::vector<uint8_t> Record(uint8_t pathId, uint8_t target, uint8_t lun, uint8_t claimed,
                            uint32_t next, uint8_t peripheral, uint8_t removable,
                            const std::string& identity) {
    std::vector<uint8_t> bytes = {pathId, target, lun, claimed, 36, 0, 0, 0,
                                  static_cast<uint8_t>(next), static_cast<uint8_t>(next >> 8), 0, 0,
                                  peripheral, removable, 5, 2, 31, 0, 0, 0};
    EXPECT_EQ(identity.size(), 28u);
    bytes.insert(bytes.end(), identity.begin(), identity.end());
    bytes.resize(52, 0);
    return bytes;
}

TEST_F(PortDriverTest, InquiryDataHasTheDriversLayoutByteForByte) {
    HANDLE port = Reader("SCSI0:");
    std::vector<uint8_t> expected = {
        3, 0, 0, 0,                  // NumberOfBuses, padding
        2, 7, 0, 0,    28, 0, 0, 0,  // bus 0: two units from offset 28
        0, 6, 0, 0,    0, 0, 0, 0,   // bus 1: no units, offset 0
        1, 0xFF, 0, 0, 132, 0, 0, 0  // bus 2: no initiator id, one unit at 132
    };
    for (const auto& record :
         {Record(0, 0, 0, 1, 80, 0x00, 0x00, "ACME    Disk            1   "),
          Record(0, 5, 2, 0, 0, 0x7F, 0x80, "V       P               R   "),
          Record(2, 3, 1, 1, 0, 0x03, 0x00, "X       Y               Z   ")}) {
        expected.insert(expected.end(), record.begin(), record.end());
    }
    ASSERT_EQ(expected.size(), 184u);

    std::vector<uint8_t> out(4096, 0xCC);
    DWORD returned = 0;
    ASSERT_EQ(Control(port, IOCTL_SCSI_GET_INQUIRY_DATA, out.data(), 4096, &returned), 0u);
    EXPECT_EQ(returned, 184u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 184), expected);
    EXPECT_EQ(out[184], 0xCC);
    // The builder the registry and tools use gives the same bytes.
    sim::Machine machine;
    std::string error;
    ASSERT_TRUE(sim::ParseMachine(portMachine, machine, error)) << error;
    EXPECT_EQ(sim::BuildInquiryData(machine.ports[0]), expected);

    // Exactly large enough works; one byte less fails and writes nothing.
    std::vector<uint8_t> exact(184, 0);
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_INQUIRY_DATA, exact.data(), 184), 0u);
    EXPECT_EQ(exact, expected);
    std::vector<uint8_t> small(183, 0xCC);
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_INQUIRY_DATA, small.data(), 183),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small, std::vector<uint8_t>(183, 0xCC));

    // A port without units answers NumberOfBuses 0 alone; a port with its
    // own answer gives exactly that, while its units are still reached.
    ASSERT_EQ(Control(Reader("scsi2:"), IOCTL_SCSI_GET_INQUIRY_DATA, out.data(), 4096, &returned),
              0u);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(out[0], 0);
    HANDLE answered = Open("scsi3:");
    ASSERT_EQ(Control(answered, IOCTL_SCSI_GET_INQUIRY_DATA, out.data(), 4096, &returned), 0u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + returned),
              (std::vector<uint8_t>{9, 8, 7}));
    auto request = devices_test::MakeDirect(devices_test::InquiryCdb(36), SCSI_IOCTL_DATA_IN,
                                            out.data(), 36);
    EXPECT_EQ(devices_test::SendDirect(answered, request), 0u);
}

TEST_F(PortDriverTest, AddressComesFromClassDevicesAndDrives) {
    for (const char* name : {"CdRom0", "e:"}) {
        uint8_t out[12];
        memset(out, 0xCC, sizeof out);
        DWORD returned = 0;
        HANDLE device = Reader(name);
        ASSERT_EQ(Control(device, IOCTL_SCSI_GET_ADDRESS, out, sizeof out, &returned), 0u);
        EXPECT_EQ(returned, 8u);
        const uint8_t expected[9] = {8, 0, 0, 0, 1, 1, 6, 3, 0xCC};
        EXPECT_EQ(0, memcmp(out, expected, sizeof expected)) << name;
        EXPECT_EQ(Control(device, IOCTL_SCSI_GET_ADDRESS, out, 7),
                  static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    }
    // A unit with address_error still opens; ports, the outside driver and
    // volumes without a unit have no address.
    struct Case {
        const char* device;
        DWORD error;
    };
    for (const Case& c : {Case{"PhysicalDrive0", 55}, Case{"scsi0:", Invalid},
                          Case{"C:", Invalid}, Case{"F:", Invalid}}) {
        SCSI_ADDRESS address = {};
        EXPECT_EQ(Control(Reader(c.device), IOCTL_SCSI_GET_ADDRESS, &address, 8), c.error)
            << c.device;
    }
}

TEST_F(PortDriverTest, IoManagerChecksHandleAccessBeforeTheCode) {
    HANDLE reader = Open("scsi0:", GENERIC_READ);
    HANDLE nothing = Open("scsi0:", 0, 0);
    HANDLE writer = Open("scsi0:", GENERIC_WRITE);
    HANDLE both = Open("scsi0:");
    auto request = devices_test::MakeDirect(devices_test::InquiryCdb(36), SCSI_IOCTL_DATA_IN,
                                            nullptr, 0, 18, 5);
    request.Header().Lun = 2;
    // Both pass-through controls need read and write access.
    for (HANDLE handle : {reader, nothing, writer}) {
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(devices_test::SendDirect(handle, request),
                  static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(devices_test::SendDirect(both, request), 0u);
    // A made-up code that requires reading fails with 5 without it, else 1.
    const DWORD madeUpRead = 0x4400C;
    EXPECT_EQ(Control(nothing, madeUpRead, nullptr, 0), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Control(reader, madeUpRead, nullptr, 0), Invalid);
    // A storage code that no driver here handles (IOCTL_STORAGE_QUERY_PROPERTY,
    // 0x2D1400, is answered now).
    EXPECT_EQ(Control(both, 0x2D1080, nullptr, 0), Invalid);
}

TEST_F(PortDriverTest, BadHandlesAndCallerBuffersAreRefused) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE closed = Reader("scsi0:");
    ASSERT_TRUE(CloseHandle(closed));
    uint8_t out[24];
    for (HANDLE handle : {HANDLE(nullptr), INVALID_HANDLE_VALUE, event, closed}) {
        EXPECT_EQ(Control(handle, IOCTL_SCSI_GET_CAPABILITIES, out, 24),
                  static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    // No output buffer, and a synchronous call without a byte count.
    HANDLE port = Reader("scsi0:");
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, nullptr, 24,
                                 nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, sizeof out,
                                 nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
}

TEST_F(PortDriverTest, InjectedFaultsNameTheControlCodeInHex) {
    HANDLE port = Reader("scsi0:");
    sim::FailCall(sim::Call::DeviceIoControl, 1, 1167, 1, "0x41010");
    IO_SCSI_CAPABILITIES capabilities = {};
    std::vector<uint8_t> out(4096, 0);
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_INQUIRY_DATA, out.data(), 4096), 0u);
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, &capabilities, 24), 1167u);
    EXPECT_EQ(capabilities.Length, 0u);
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, &capabilities, 24), 0u);
    // A fault comes before the handle is even looked at.
    sim::FailCall(sim::Call::DeviceIoControl, 1, 1167, 1, "0x4D014");
    EXPECT_EQ(Control(nullptr, IOCTL_SCSI_PASS_THROUGH_DIRECT, nullptr, 0), 1167u);
}

}  // namespace
