// The iscsi backend: its residual, sense and time-limit arithmetic, the
// real unit's identity merged with the file's, a target that cannot be
// reached, and (where tgtd runs as root) one real target through a lost
// connection and a time-out.
#include "devices_test_support.h"
#include "units_test_support.h"

#include "sim/machine/live_machine.h"
#include "sim/units/iscsi_session.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace {

using sim::units::IscsiBytesMoved;

TEST(IscsiArithmetic, BytesMovedFollowTheResidual) {
    struct Row {
        uint32_t length;
        uint8_t status;
        int residualStatus;
        size_t residual;
        uint32_t moved;
    } rows[] = {
        {512, 0x00, 0, 0, 512},   // no residual: the whole buffer
        {512, 0x04, 0, 0, 512},   // CONDITION MET moved it too
        {512, 0x02, 0, 0, 0},     // refused without a residual: nothing
        {512, 0x08, 0, 0, 0},     // BUSY
        {255, 0x00, 1, 219, 36},  // underflow: less moved
        {512, 0x02, 1, 256, 256}, // a CHECK CONDITION part way
        {36, 0x00, 1, 36, 0},     // underflow of everything
        {36, 0x00, 1, 100, 0},    // a residual past the buffer moves nothing
        {36, 0x02, 2, 64, 36},    // overflow: the buffer filled
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IscsiBytesMoved(row.length, row.status, row.residualStatus, row.residual),
                  row.moved)
            << row.length << " " << int(row.status) << " " << row.residualStatus;
    }
}

TEST(IscsiArithmetic, SenseFollowsItsLengthAndLimitsTakeTheSmaller) {
    const uint8_t segment[] = {0x00, 0x03, 0x70, 0x00, 0x05, 0xEE};
    EXPECT_EQ(sim::units::IscsiSenseBytes(segment, sizeof segment),
              (std::vector<uint8_t>{0x70, 0x00, 0x05}));
    EXPECT_TRUE(sim::units::IscsiSenseBytes(segment, 4).empty()) << "length past the segment";
    EXPECT_TRUE(sim::units::IscsiSenseBytes(segment, 1).empty());
    EXPECT_TRUE(sim::units::IscsiSenseBytes(nullptr, 0).empty());
    const uint32_t limits[][3] = {{0, 10, 10}, {3, 10, 3}, {30, 10, 10}, {10, 10, 10}};
    for (const auto& row : limits) EXPECT_EQ(sim::units::IscsiCommandLimit(row[0], row[1]), row[2]);
    for (uint8_t type = 0; type < 0x20; ++type) {
        const bool claimed = type == 0 || type == 1 || (type >= 4 && type <= 7);
        EXPECT_EQ(sim::units::ClaimedByClassDriver(type), claimed) << int(type);
    }
}

// Returns 36 bytes of INQUIRY data as a real unit of `peripheral` answers.
std::vector<uint8_t> RealInquiry(uint8_t peripheral, bool removable) {
    std::vector<uint8_t> data(36, 0);
    data[0] = peripheral;
    data[1] = removable ? 0x80 : 0x00;
    data[2] = 0x05;
    data[7] = 0x02;  // CmdQue: a byte the simulator's own data never sets
    memcpy(&data[8], "REALVEND", 8);
    memcpy(&data[16], "REAL PRODUCT    ", 16);
    memcpy(&data[32], "0042", 4);
    return data;
}

TEST(IscsiInquiry, TheRealUnitFillsWhatTheFileLeavesOut) {
    struct Row {
        const char* members;  // the unit's members besides its backend
        uint8_t peripheral;   // of the real unit
        std::string identifier;
        uint8_t byte0, byte1;
        bool claimed;
    } rows[] = {
        {"", 0x05, "REALVENDREAL PRODUCT    0042", 0x05, 0x80, true},
        {"", 0x0C, "REALVENDREAL PRODUCT    0042", 0x0C, 0x80, false},
        {R"("claimed": false,)", 0x00, "REALVENDREAL PRODUCT    0042", 0x00, 0x80, false},
        {R"("inquiry": {"vendor": "MINE", "revision": "9"},)", 0x01,
         "MINE    REAL PRODUCT    9   ", 0x01, 0x80, true},
        {R"("inquiry": {"peripheral": 3, "removable": false, "product": "P"},)", 0x00,
         "REALVENDP               0042", 0x03, 0x00, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.members);
        sim::Machine machine;
        std::string error;
        ASSERT_TRUE(sim::ParseMachine(std::string(R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, )") +
                                          row.members +
                                          R"("backend": {"type": "iscsi", "url": "iscsi://h/t/0"}}]}]}]})",
                                      machine, error))
            << error;
        sim::UnitConfig unit = machine.ports[0].buses[0].units[0];
        EXPECT_EQ(unit.backend.initiator, sim::DefaultIscsiInitiator);
        EXPECT_EQ(unit.backend.timeoutSeconds, 10u);
        sim::AdoptRealInquiry(RealInquiry(row.peripheral, true), unit);
        const sim::InquiryConfig& inquiry = unit.inquiry;
        EXPECT_EQ(inquiry.vendor + inquiry.product + inquiry.revision, row.identifier);
        EXPECT_EQ(unit.claimed, row.claimed);
        ASSERT_EQ(unit.inquiryData.size(), 36u);
        EXPECT_EQ(unit.inquiryData[0], row.byte0);
        EXPECT_EQ(unit.inquiryData[1], row.byte1);
        EXPECT_EQ(unit.inquiryData[7], 0x02) << "the real unit's own bytes are kept";
        EXPECT_EQ(std::string(unit.inquiryData.begin() + 8, unit.inquiryData.end()), row.identifier);
    }
}

class IscsiInstallTest : public devices_test::DevicesTest {};

TEST_F(IscsiInstallTest, AnUnreachableTargetFailsTheInstallAndKeepsTheMachine) {
    Install(R"({"ports": [{"buses": [{"units": [{"target": 2, "lun": 0, "backend": {"type": "disk"}}]}]}]})");
    sim::Machine machine;
    std::string error;
    ASSERT_TRUE(sim::ParseMachine(R"({"ports": [{"buses": [{"units": [
        {"target": 0, "lun": 0, "backend": {"type": "iscsi", "url": "iscsi://127.0.0.1:1/iqn.2000-01.example:none/0",
                                           "timeout_s": 2}}]}]}]})",
                                  machine, error));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sim::InstallMachine(machine, error));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(error.rfind("ports[0].buses[0].units[0]: iscsi://127.0.0.1:1/iqn.2000-01.example:none/0: connect", 0),
              0u)
        << error;
    EXPECT_NE(error.find("refused"), std::string::npos) << "libiscsi's own message: " << error;
    HANDLE disk = Open("scsi0:", GENERIC_READ);
    EXPECT_NE(disk, INVALID_HANDLE_VALUE) << "the earlier machine still runs";
    CloseHandle(disk);
}

// A tgtd of the test's own on loopback: LUN 0 its controller, LUN 1 a
// 1 MiB disk.
struct Target {
    pid_t Pid = 0;
    std::string Disk = units_test::TempFile(std::vector<uint8_t>(1 << 20, 0));

    // Returns the exit status of a shell command.
    static int Shell(const std::string& command) { return std::system(command.c_str()); }

    // Returns true once the target answers logins.
    bool Start() {
        char* argv[] = {const_cast<char*>("tgtd"), const_cast<char*>("-f"), const_cast<char*>("-C"),
                        const_cast<char*>("42"), const_cast<char*>("--iscsi"),
                        const_cast<char*>("portal=127.0.0.1:13842"), nullptr};
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&quiet, 1, 2);
        const int spawned = posix_spawnp(&Pid, "tgtd", &quiet, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&quiet);
        if (spawned != 0) return false;
        const std::string admin = "tgtadm -C 42 --lld iscsi ";
        for (int i = 0; i < 50 && Shell(admin + "--mode target --op show >/dev/null 2>&1") != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return Shell(admin + "--mode target --op new --tid 1 --targetname iqn.2026-12.org.ptaspi:test") == 0 &&
               Shell(admin + "--mode logicalunit --op new --tid 1 --lun 1 --backing-store " + Disk) == 0 &&
               Shell(admin + "--mode target --op bind --tid 1 --initiator-address 127.0.0.1") == 0;
    }
    void Kill() {
        if (Pid <= 0) return;
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
        Pid = 0;
    }
    ~Target() {
        Kill();
        unlink(Disk.c_str());
    }
};

// Returns the outcome of `command` on the running machine's unit `index`.
sim::ScsiOutcome RunOn(size_t index, sim::ScsiCommand command, sim::DataDirection direction,
                       std::vector<uint8_t>& buffer, uint32_t timeoutSeconds = 0) {
    std::shared_ptr<sim::LiveUnit> unit;
    {
        std::lock_guard<std::mutex> hold(sim::MachineLock());
        unit = sim::CurrentMachineLocked()->Units.at(index);
    }
    command.timeoutSeconds = timeoutSeconds;
    return units_test::Run(*unit->Backend, command, direction, buffer);
}

// Returns true once TEST UNIT READY succeeds on unit `index`: a new
// session's first commands meet the target's UNIT ATTENTION.
bool Ready(size_t index) {
    std::vector<uint8_t> none;
    for (int i = 0; i < 3; ++i) {
        const sim::ScsiOutcome outcome =
            RunOn(index, units_test::Cdb({0, 0, 0, 0, 0, 0}), sim::DataDirection::None, none);
        if (outcome.platformError != 0) return false;
        if (outcome.status == sim::StatusGood) return true;
    }
    return false;
}

TEST_F(IscsiInstallTest, ARealTargetThroughSenseLossAndTimeOut) {
    if (geteuid() != 0 || Target::Shell("command -v tgtd >/dev/null") != 0) GTEST_SKIP() << "no tgtd";
    Target target;
    ASSERT_TRUE(target.Start());
    Install(R"({"ports": [{"buses": [{"units": [
      {"target": 0, "lun": 0, "backend": {"type": "iscsi", "url": "iscsi://127.0.0.1:13842/iqn.2026-12.org.ptaspi:test/0"}},
      {"target": 0, "lun": 1, "inquiry": {"product": "MINE"},
       "backend": {"type": "iscsi", "url": "iscsi://127.0.0.1:13842/iqn.2026-12.org.ptaspi:test/1", "timeout_s": 2}}]}]}]})");
    {
        std::lock_guard<std::mutex> hold(sim::MachineLock());
        const auto& units = sim::CurrentMachineLocked()->Config.ports[0].buses[0].units;
        EXPECT_FALSE(units[0].claimed) << "tgt's controller, type 0x0C";
        EXPECT_TRUE(units[1].claimed);
        EXPECT_EQ(units[1].inquiry.product, "MINE            ");
        EXPECT_EQ(units[1].inquiry.vendor, std::string(units[1].inquiryData.begin() + 8,
                                                       units[1].inquiryData.begin() + 16));
    }
    using units_test::Cdb;
    std::vector<uint8_t> inquiry(255, 0);
    sim::ScsiOutcome outcome = RunOn(1, Cdb({0x12, 0, 0, 0, 255, 0}), sim::DataDirection::In, inquiry);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, inquiry[4] + 5u) << "the target's underflow";

    std::vector<uint8_t> block = units_test::Pattern(512, 7), back(512, 0);
    EXPECT_EQ(RunOn(1, units_test::Cdb10(0x2A, 3, 1), sim::DataDirection::Out, block).bytesMoved, 0u)
        << "refused for the new session's UNIT ATTENTION";
    ASSERT_TRUE(Ready(1));
    EXPECT_EQ(RunOn(1, units_test::Cdb10(0x2A, 3, 1), sim::DataDirection::Out, block).bytesMoved, 512u);
    EXPECT_EQ(RunOn(1, units_test::Cdb10(0x28, 3, 1), sim::DataDirection::In, back).bytesMoved, 512u);
    EXPECT_EQ(back, block);
    outcome = RunOn(1, units_test::Cdb10(0x28, 1 << 20, 1), sim::DataDirection::In, back);
    ASSERT_EQ(outcome.status, sim::StatusCheckCondition);
    ASSERT_GE(outcome.sense.size(), 14u);
    EXPECT_EQ(outcome.sense[2] & 0x0F, 0x05) << "ILLEGAL REQUEST";
    std::vector<uint8_t> sense(18, 0);
    outcome = RunOn(1, Cdb({0x03, 0, 0, 0, 18, 0}), sim::DataDirection::In, sense);
    EXPECT_EQ(sense[12], 0x21) << "REQUEST SENSE gets the sense the target already gave";

    kill(target.Pid, SIGSTOP);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunOn(1, Cdb({0x00, 0, 0, 0, 0, 0}), sim::DataDirection::None, back, 1).platformError,
              static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    kill(target.Pid, SIGCONT);
    EXPECT_TRUE(Ready(0)) << "the next command logs in again";

    target.Kill();
    EXPECT_EQ(RunOn(1, Cdb({0x00, 0, 0, 0, 0, 0}), sim::DataDirection::None, back).platformError,
              static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunOn(1, Cdb({0x00, 0, 0, 0, 0, 0}), sim::DataDirection::None, back).platformError,
              static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    ASSERT_TRUE(target.Start());
    ASSERT_TRUE(Ready(1));
    EXPECT_EQ(RunOn(1, units_test::Cdb10(0x28, 3, 1), sim::DataDirection::In, back).bytesMoved, 512u);
    EXPECT_EQ(back, block) << "the same disk behind a new target";
}

}  // namespace
