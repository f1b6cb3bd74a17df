// Installing, replacing and ending the running machine: backends built
// before anything changes, the registry with it, hangs of the old machine.
#include "devices_test_support.h"

#include "sim/machine/live_machine.h"

#include <chrono>
#include <map>
#include <future>
#include <thread>

namespace {

class LiveMachineTest : public devices_test::DevicesTest {
protected:
    void TearDown() override {
        sim::SetBackendFactoryForTesting(nullptr);
        DevicesTest::TearDown();
    }
};

const char* const smallMachine = R"({
  "ports": [{"capabilities": {"MaximumTransferLength": 4096}, "buses": [{"units": [
    {"target": 1, "lun": 0, "inquiry": {"peripheral": 3},
     "backend": {"type": "scripted", "responses": [{"opcode": "0x2A", "hang": true}]}}]}]}]
})";

const char* const brokenMachine = R"({
  "ports": [{"buses": [{}, {"units": [
    {"target": 0, "lun": 0,
     "backend": {"type": "disk", "file": "/nonexistent/ptaspi/disk.img"}}]}]}]
})";

// Returns the MaximumTransferLength that \\.\scsi0: reports, or 0.
ULONG PortZeroTransferLimit() {
    HANDLE port = devices_test::DevicesTest::Open("scsi0:", GENERIC_READ);
    IO_SCSI_CAPABILITIES capabilities = {};
    DWORD count = 0;
    BOOL ok = DeviceIoControl(port, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, &capabilities,
                              sizeof capabilities, &count, nullptr);
    CloseHandle(port);
    return ok ? capabilities.MaximumTransferLength : 0;
}

// Returns the error of installing the machine `json` describes.
std::string InstallError(const char* json) {
    sim::Machine machine;
    std::string error;
    EXPECT_TRUE(sim::ParseMachine(json, machine, error)) << error;
    EXPECT_FALSE(sim::InstallMachine(machine, error));
    return error;
}

TEST_F(LiveMachineTest, FailedInstallNamesTheUnitAndKeepsTheRunningMachine) {
    Install(smallMachine);
    const std::string error = InstallError(brokenMachine);
    EXPECT_EQ(error.rfind("ports[0].buses[1].units[0]: ", 0), 0u) << error;
    EXPECT_NE(error.find("/nonexistent/ptaspi/disk.img"), std::string::npos) << error;
    EXPECT_EQ(PortZeroTransferLimit(), 4096u) << "the earlier machine still runs";
}

TEST_F(LiveMachineTest, RegistryComesAndGoesWithTheMachine) {
    Install(smallMachine);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    sim::UninstallMachine();
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(PortZeroTransferLimit(), 0u);
}

TEST_F(LiveMachineTest, ReplacingTheMachineReleasesTheOldOnesHangs) {
    Install(smallMachine);
    std::future<DWORD> hung = devices_test::SendFromThread(1, devices_test::Write10Cdb);
    while (sim::HangingCommandCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(hung.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    Install(smallMachine);
    ASSERT_EQ(hung.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    hung.get();
}

// A unit that answers every command with RESERVATION CONFLICT and claims to
// have moved more than it was given.
class BoastingUnit : public sim::UnitBackend {
public:
    void Execute(const sim::ScsiCommand& command, sim::ScsiOutcome& outcome) override {
        outcome.status = sim::StatusReservationConflict;
        outcome.bytesMoved = command.dataLength + 1000;
    }
};

TEST_F(LiveMachineTest, TestFactoryBuildsTheUnitsAndByteCountsStayWithinTheRequest) {
    sim::SetBackendFactoryForTesting([](const sim::UnitConfig&, std::string&) {
        return std::unique_ptr<sim::UnitBackend>(new BoastingUnit);
    });
    Install(smallMachine);
    uint8_t data[16] = {};
    auto request = devices_test::MakeDirect({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SCSI_IOCTL_DATA_IN,
                                            data, sizeof data, 18, 1);
    ASSERT_EQ(devices_test::SendDirect(Open("scsi0:"), request), 0u);
    EXPECT_EQ(request.Header().ScsiStatus, sim::StatusReservationConflict);
    EXPECT_EQ(request.Header().DataTransferLength, 16u);

    sim::SetBackendFactoryForTesting([](const sim::UnitConfig&, std::string& error) {
        error = "no such unit";
        return std::unique_ptr<sim::UnitBackend>();
    });
    EXPECT_EQ(InstallError(smallMachine), "ports[0].buses[0].units[0]: no such unit");
}

// Each unit learns the LUNs at its own target and bus, for REPORT LUNS.
TEST_F(LiveMachineTest, UnitsKnowTheLunsOfTheirTarget) {
    static std::map<int, std::vector<uint8_t>> seen;
    seen.clear();
    sim::SetBackendFactoryForTesting([](const sim::UnitConfig& unit, std::string& error) {
        seen[unit.target * 8 + unit.lun] = unit.targetLuns;
        return sim::CreateBackend(unit, error);
    });
    Install(R"({"ports": [{"buses": [{"units": [
      {"target": 4, "lun": 1, "backend": {"type": "processor"}},
      {"target": 5, "lun": 0, "backend": {"type": "processor"}},
      {"target": 4, "lun": 0, "backend": {"type": "processor"}}]},
      {"units": [{"target": 4, "lun": 3, "backend": {"type": "processor"}}]}]}]})");
    EXPECT_EQ(seen[4 * 8 + 0], (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(seen[4 * 8 + 1], (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(seen[5 * 8 + 0], (std::vector<uint8_t>{0}));
    EXPECT_EQ(seen[4 * 8 + 3], (std::vector<uint8_t>{3})) << "another bus is another target";
}

}  // namespace
