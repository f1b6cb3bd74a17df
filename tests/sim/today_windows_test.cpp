// Windows 7, 10 and 11 on the simulated machine, one test per rule: what a
// standard user may open, the CD and DVD policy, drives without a port
// device, the command sets translating port drivers refuse, a CD-ROM's
// exclusive access, the version and token queries, and the example
// machines under both users.
#include "devices_test_support.h"

#include "sim/devices/cdrom_exclusive_access.h"
#include "sim/devices/storage_property.h"

namespace {

using devices_test::MakeDirect;
using devices_test::ReadWrite;
using devices_test::SendDirect;

class TodayWindowsTest : public devices_test::DevicesTest {
protected:
    // Returns nothing; installs `json` with the top-level members `head`
    // (such as "\"windows\": \"10\", \"user\": \"standard\"") added.
    void InstallAs(const std::string& head, const std::string& json) {
        Install("{" + head + ", " + json.substr(json.find('{') + 1));
    }
};

constexpr DWORD Denied = ERROR_ACCESS_DENIED;

const char* const desktop = R"({
  "ports": [
    {"aspidrv": true, "buses": [{"units": [
      {"target": 0, "lun": 0, "class_device": "PhysicalDrive0", "backend": {"type": "disk", "blocks": 16}},
      {"target": 1, "lun": 0, "class_device": "CdRom0", "drive": "E", "backend": {"type": "cdrom"}},
      {"target": 2, "lun": 0, "claimed": false, "backend": {"type": "processor"}}
    ]}]},
    {"device": false, "device_map": false, "bus_type": "usb",
     "capabilities": {"MaximumTransferLength": 4096, "AlignmentMask": 0},
     "buses": [{"units": [
      {"target": 0, "lun": 0, "class_device": "CdRom1", "drive": "F", "backend": {"type": "cdrom"}}
    ]}]}
  ],
  "drives": [{"letter": "C", "type": "fixed"}]
})";

TEST_F(TodayWindowsTest, StandardUserOpensOnlyWithoutAccessExceptCdRoms) {
    InstallAs(R"("windows": "10", "user": "standard")", desktop);
    for (const char* name : {"scsi0:", "aspidrv0", "PhysicalDrive0", "C:"}) {
        EXPECT_EQ(OpenError(name, GENERIC_READ), Denied) << name;
        EXPECT_EQ(OpenError(name, GENERIC_WRITE), Denied) << name;
        EXPECT_EQ(OpenError(name, 0), 0u) << name;
    }
    EXPECT_EQ(OpenError("CdRom0", ReadWrite), 0u);
    EXPECT_EQ(OpenError("F:", ReadWrite), 0u);
    // The controls that need no access work on a handle opened with none;
    // the pass-through controls do not.
    HANDLE port = Open("scsi0:", 0);
    std::vector<uint8_t> answer(4096);
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_INQUIRY_DATA, answer.data(), 4096), 0u);
    EXPECT_EQ(answer[0], 1) << "NumberOfBuses";
    EXPECT_EQ(Control(port, IOCTL_SCSI_GET_CAPABILITIES, answer.data(), 24), 0u);
    devices_test::DirectRequest inquiry =
        MakeDirect(devices_test::InquiryCdb(36), SCSI_IOCTL_DATA_IN, answer.data(), 36, 18, 2);
    EXPECT_EQ(SendDirect(port, inquiry), Denied);
    HANDLE disk = Open("PhysicalDrive0", 0);
    SCSI_ADDRESS address{};
    EXPECT_EQ(Control(disk, IOCTL_SCSI_GET_ADDRESS, &address, sizeof address), 0u);
}

TEST_F(TodayWindowsTest, OpticalAccessPolicyBindsOnlyStandardUsers) {
    const struct {
        const char* head;
        DWORD readWrite, read, none;
    } cases[] = {
        {R"("windows": "7", "user": "standard", "optical_access": "read-only")", Denied, 0, 0},
        {R"("windows": "11", "user": "standard", "optical_access": "none")", Denied, Denied, 0},
        {R"("windows": "11", "user": "administrator", "optical_access": "none")", 0, 0, 0},
    };
    for (const auto& c : cases) {
        InstallAs(c.head, desktop);
        EXPECT_EQ(OpenError("CdRom0", ReadWrite), c.readWrite) << c.head;
        EXPECT_EQ(OpenError("E:", GENERIC_READ), c.read) << c.head;
        EXPECT_EQ(OpenError("CdRom1", 0), c.none) << c.head;
        EXPECT_EQ(OpenError("scsi0:", GENERIC_READ), c.readWrite == 0 ? 0u : Denied) << c.head;
    }
}

TEST_F(TodayWindowsTest, LoaderRefusesWhatTheReleaseCannotHave) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {R"({"windows": "xp", "user": "standard"})",
         "user: \"standard\" needs a release with UAC (windows \"7\", \"10\" or \"11\")"},
        {R"({"user": "standard", "windows": "2000"})",
         "user: \"standard\" needs a release with UAC (windows \"7\", \"10\" or \"11\")"},
        {R"({"windows": "8"})", "windows: expected \"nt4\", \"2000\", \"xp\", \"7\", \"10\" or \"11\""},
        {R"({"ports": [{"bus_type": "sd"}]})",
         "ports[0].bus_type: expected \"scsi\", \"atapi\", \"ata\", \"sata\", \"sas\", \"usb\", "
         "\"nvme\", \"iscsi\", \"raid\", \"fibre\" or \"1394\""},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "translation": "sas",
            "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0].translation: expected \"none\", \"ata\" or \"nvme\""},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "exclusive_lock": "Burner",
            "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0].exclusive_lock: exclusive access is a CD-ROM's (a cdrom "
         "backend, or a scripted or iscsi unit of peripheral device type 5)"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "exclusive_lock": "Burn*er",
            "backend": {"type": "cdrom"}}]}]}]})",
         "ports[0].buses[0].units[0].exclusive_lock: expected a caller name of 1 to 63 letters, "
         "digits, spaces and .,:;-_ (as the CD-ROM class driver accepts), or null"},
    };
    for (const auto& c : cases) {
        sim::Machine machine;
        std::string error;
        EXPECT_FALSE(sim::ParseMachine(c.text, machine, error)) << c.text;
        EXPECT_EQ(error, c.message);
    }
    sim::Machine machine;
    std::string error;
    ASSERT_TRUE(sim::ParseMachine(R"({"windows": "7", "user": "standard"})", machine, error));
    EXPECT_EQ(machine.user, sim::UserKind::Standard);
}

TEST_F(TodayWindowsTest, DriveWithoutPortDeviceIsReachedThroughItsClassDevice) {
    Install(desktop);
    EXPECT_EQ(OpenError("scsi1:"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE drive = Open("F:");
    SCSI_ADDRESS address{};
    ASSERT_EQ(Control(drive, IOCTL_SCSI_GET_ADDRESS, &address, sizeof address), 0u);
    EXPECT_EQ(address.PortNumber, 1);
    std::vector<uint8_t> data(36);
    devices_test::DirectRequest inquiry =
        MakeDirect(devices_test::InquiryCdb(36), SCSI_IOCTL_DATA_IN, data.data(), 36);
    EXPECT_EQ(SendDirect(drive, inquiry), 0u);
    EXPECT_EQ(data[0], 0x05);
    sim::STORAGE_PROPERTY_QUERY query{sim::StorageAdapterProperty, sim::PropertyStandardQuery, {0}};
    sim::STORAGE_ADAPTER_DESCRIPTOR adapter{};
    DWORD count = 0;
    ASSERT_TRUE(DeviceIoControl(drive, sim::IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                &adapter, sizeof adapter, &count, nullptr));
    EXPECT_EQ(adapter.MaximumTransferLength, 4096u);
    EXPECT_EQ(adapter.BusType, 7) << "BusTypeUsb";
}

const char* const translated = R"({
  "ports": [{"buses": [{"units": [
    {"target": 0, "lun": 0, "translation": "nvme", "class_device": "PhysicalDrive0",
     "backend": {"type": "disk", "blocks": 16}},
    {"target": 1, "lun": 0, "translation": "ata", "class_device": "PhysicalDrive1",
     "backend": {"type": "disk", "blocks": 16}}
  ]}]}]
})";

TEST_F(TodayWindowsTest, TranslatingPortDriversRefuseWhatTheyDoNotTranslate) {
    Install(translated);
    const std::vector<uint8_t> read6 = {0x08, 0, 0, 0, 1, 0};
    const std::vector<uint8_t> read10 = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    std::vector<uint8_t> data(512);
    HANDLE nvme = Open("PhysicalDrive0");
    devices_test::DirectRequest request =
        MakeDirect(read6, SCSI_IOCTL_DATA_IN, data.data(), 512);
    ASSERT_EQ(SendDirect(nvme, request), 0u);
    EXPECT_EQ(request.Header().ScsiStatus, 0x02);
    EXPECT_EQ(request.Header().DataTransferLength, 0u);
    EXPECT_EQ(request.Sense()[2], 0x05);
    EXPECT_EQ(request.Sense()[12], 0x20);
    request = MakeDirect(read10, SCSI_IOCTL_DATA_IN, data.data(), 512);
    ASSERT_EQ(SendDirect(nvme, request), 0u);
    EXPECT_EQ(request.Header().ScsiStatus, 0x00);
    HANDLE ata = Open("PhysicalDrive1");
    request = MakeDirect(read6, SCSI_IOCTL_DATA_IN, data.data(), 512);
    EXPECT_EQ(SendDirect(ata, request), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    request = MakeDirect(read10, SCSI_IOCTL_DATA_IN, data.data(), 512);
    EXPECT_EQ(SendDirect(ata, request), 0u);
    // The port device leaves a claimed unit to its class driver, as Storport does.
    HANDLE port = Open("scsi0:");
    request = MakeDirect(read10, SCSI_IOCTL_DATA_IN, data.data(), 512, 18, 1);
    EXPECT_EQ(SendDirect(port, request), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

// Returns the error of an IOCTL_CDROM_EXCLUSIVE_ACCESS request of `type`.
DWORD Exclusive(HANDLE handle, DWORD type, const char* caller, sim::CDROM_EXCLUSIVE_LOCK_STATE* state) {
    sim::CDROM_EXCLUSIVE_LOCK lock{};
    lock.Access.RequestType = type;
    strncpy(reinterpret_cast<char*>(lock.CallerName), caller, sizeof lock.CallerName - 1);
    sim::CDROM_EXCLUSIVE_LOCK_STATE ignored{};
    if (state == nullptr) state = &ignored;
    const DWORD error = devices_test::Send(handle, sim::IOCTL_CDROM_EXCLUSIVE_ACCESS, &lock,
                                           sizeof lock, sizeof *state);
    if (error == 0) memcpy(state, &lock, sizeof *state);
    return error;
}

TEST_F(TodayWindowsTest, LockedCdRomServesOnlyItsHolder) {
    Install(desktop);
    HANDLE holder = Open("CdRom0");
    HANDLE other = Open("E:");
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Exclusive(holder, sim::ExclusiveAccessLockDevice, "Bad*Name", nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(Exclusive(holder, sim::ExclusiveAccessLockDevice, "Burn Engine", nullptr), 0u);
    EXPECT_EQ(Exclusive(other, sim::ExclusiveAccessLockDevice, "Other", nullptr), Denied);
    sim::CDROM_EXCLUSIVE_LOCK_STATE state{};
    ASSERT_EQ(Exclusive(other, sim::ExclusiveAccessQueryState, "", &state), 0u);
    EXPECT_EQ(state.LockState, 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(state.CallerName), "Burn Engine");
    std::vector<uint8_t> data(36);
    devices_test::DirectRequest inquiry =
        MakeDirect(devices_test::InquiryCdb(36), SCSI_IOCTL_DATA_IN, data.data(), 36);
    EXPECT_EQ(SendDirect(other, inquiry), Denied);
    EXPECT_EQ(SendDirect(holder, inquiry), 0u);
    EXPECT_EQ(OpenError("CdRom0", 0), Denied);
    EXPECT_EQ(Exclusive(other, sim::ExclusiveAccessUnlockDevice, "", nullptr),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(holder);  // the lock ends with its holder's handle
    EXPECT_EQ(SendDirect(other, inquiry), 0u);
    // Another program's lock, as the machine file states it, never ends.
    Install(std::string(desktop).replace(std::string(desktop).find("\"drive\": \"E\","), 13,
                                         "\"drive\": \"E\", \"exclusive_lock\": \"Disc Burner\","));
    EXPECT_EQ(OpenError("E:", ReadWrite), Denied);
    EXPECT_EQ(OpenError("CdRom1", ReadWrite), 0u);
}

TEST_F(TodayWindowsTest, VersionAndTokenAnswerFromTheRelease) {
    const struct {
        const char* head;
        DWORD major, minor, build;
        BOOL wow64;
        DWORD elevationError, elevated, type;
        const char* servicePack;
    } cases[] = {
        {R"("windows": "10", "user": "standard")", 6, 2, 9200, TRUE, 0, 0, 3, ""},
        {R"("windows": "7", "user": "administrator")", 6, 1, 7601, TRUE, 0, 1, 2, "Service Pack 1"},
        {R"("windows": "xp", "user": "administrator")", 5, 1, 2600, FALSE, 87, 0, 0, "Service Pack 3"},
    };
    for (const auto& c : cases) {
        InstallAs(c.head, desktop);
        OSVERSIONINFOEXA version{};
        version.dwOSVersionInfoSize = sizeof version;
        ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&version))) << c.head;
        EXPECT_EQ(version.dwMajorVersion * 100000 + version.dwMinorVersion * 10000 + version.dwBuildNumber,
                  c.major * 100000 + c.minor * 10000 + c.build) << c.head;
        OSVERSIONINFOW wide{};
        wide.dwOSVersionInfoSize = sizeof wide;
        ASSERT_TRUE(GetVersionExW(&wide));
        EXPECT_EQ(wide.dwBuildNumber, c.build);
        EXPECT_STREQ(version.szCSDVersion, c.servicePack);
        EXPECT_EQ(wide.szCSDVersion[0], static_cast<WCHAR>(c.servicePack[0]));
        BOOL wow64 = 2;
        ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
        EXPECT_EQ(wow64, c.wow64) << c.head;
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        DWORD elevation = 7, type = 0, length = 0;
        SetLastError(0);
        BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &length);
        EXPECT_EQ(ok ? 0u : GetLastError(), c.elevationError) << c.head;
        if (ok) {
            EXPECT_EQ(elevation, c.elevated) << c.head;
            ASSERT_TRUE(GetTokenInformation(token, TokenElevationType, &type, 2, &length) == FALSE);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            EXPECT_EQ(length, 4u);
            ASSERT_TRUE(GetTokenInformation(token, TokenElevationType, &type, 4, &length));
            EXPECT_EQ(type, c.type) << c.head;
        }
        EXPECT_TRUE(CloseHandle(token));
    }
    OSVERSIONINFOA shortInfo{};
    shortInfo.dwOSVersionInfoSize = sizeof shortInfo - 1;
    EXPECT_FALSE(GetVersionExA(&shortInfo));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

// The example machines as an administrator and as a standard user: every
// port device and class device opens for commands as the user may.
TEST_F(TodayWindowsTest, ExampleMachinesUnderBothUsers) {
    for (const char* file : {"windows10_desktop.json", "windows7_workstation.json"}) {
        for (sim::UserKind user : {sim::UserKind::Administrator, sim::UserKind::Standard}) {
            sim::Machine machine;
            std::string error;
            ASSERT_TRUE(sim::LoadMachineFile(std::string(PTASPI_SOURCE_DIR) + "/machines/" + file,
                                             machine, error)) << error;
            machine.user = user;
            ASSERT_TRUE(sim::InstallMachine(machine, error)) << error;
            const bool admin = user == sim::UserKind::Administrator;
            for (size_t p = 0; p < machine.ports.size(); ++p) {
                const std::string name = "scsi" + std::to_string(p) + ":";
                const DWORD expected = !machine.ports[p].device ? ERROR_FILE_NOT_FOUND
                                       : admin                  ? 0u
                                                                : Denied;
                EXPECT_EQ(OpenError(name, ReadWrite), expected) << file << " " << name;
                for (const sim::BusConfig& bus : machine.ports[p].buses) {
                    for (const sim::UnitConfig& unit : bus.units) {
                        const bool optical = sim::IsCdRomPeripheral(unit.inquiry.peripheral);
                        for (const std::string& device : unit.classDevices) {
                            EXPECT_EQ(OpenError(device, ReadWrite), admin || optical ? 0u : Denied)
                                << file << " " << device;
                            EXPECT_EQ(OpenError(device, 0), 0u) << file << " " << device;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
