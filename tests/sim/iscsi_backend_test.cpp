// The iscsi backend: residual, sense, limit and identity rules; a target
// that cannot be reached; and, where tgtd runs as root, one real target.
#include "devices_test_support.h"
#include "units_test_support.h"

#include "sim/machine/live_machine.h"
#include "sim/units/iscsi_session.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

extern char** environ;

namespace {

using namespace sim::units;
using Clock = std::chrono::steady_clock;

TEST(IscsiRules, BytesMovedSenseLimitsAndClaims) {
    // length, residual status, residual, no data-in byte arrived, bytes moved
    const uint32_t moved[][5] = {{512, 0, 0, 0, 512}, {512, 0, 0, 1, 0},    {255, 1, 219, 0, 36},
                                 {512, 1, 256, 0, 256}, {36, 1, 100, 0, 0}, {36, 2, 64, 0, 36}};
    for (const auto& r : moved) {
        EXPECT_EQ(IscsiBytesMoved(r[0], static_cast<int>(r[1]), r[2], r[3] != 0), r[4])
            << r[0] << " " << r[1] << " " << r[2] << " " << r[3];
    }
    const uint8_t segment[] = {0x00, 0x03, 0x70, 0x00, 0x05, 0xEE};
    EXPECT_EQ(IscsiSenseBytes(segment, sizeof segment), (std::vector<uint8_t>{0x70, 0x00, 0x05}));
    EXPECT_TRUE(IscsiSenseBytes(segment, 4).empty()) << "a length past the segment";
    const uint32_t limits[][3] = {{0, 10, 10}, {3, 10, 3}, {30, 10, 10}};
    for (const auto& r : limits) EXPECT_EQ(IscsiCommandLimit(r[0], r[1]), r[2]);
    for (uint8_t type = 0; type < 0x20; ++type) {
        EXPECT_EQ(ClaimedByClassDriver(type), type <= 1 || (type >= 4 && type <= 7)) << int(type);
    }
}

TEST(IscsiRules, TheRealUnitFillsWhatTheFileLeavesOut) {
    std::vector<uint8_t> real(36, 0);
    real[1] = 0x80;
    real[7] = 0x02;  // CmdQue: a byte the simulator's own data never sets
    memcpy(&real[8], "REALVENDREAL PRODUCT    0042", 28);
    const struct {
        const char* members;  // the unit's members besides target, lun, backend
        uint8_t peripheral;   // of the real unit
        std::string identifier;
        uint8_t byte0, byte1;
        bool claimed;
    } rows[] = {
        {"", 0x05, "REALVENDREAL PRODUCT    0042", 0x05, 0x80, true},
        {"", 0x0C, "REALVENDREAL PRODUCT    0042", 0x0C, 0x80, false},
        {R"("claimed": false,)", 0x00, "REALVENDREAL PRODUCT    0042", 0x00, 0x80, false},
        {R"("inquiry": {"vendor": "MINE", "revision": "9"},)", 0x01, "MINE    REAL PRODUCT    9   ", 0x01,
         0x80, true},
        {R"("inquiry": {"peripheral": 3, "removable": false, "product": "P"},)", 0x00,
         "REALVENDP               0042", 0x03, 0x00, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.members);
        sim::Machine machine;
        std::string error;
        ASSERT_TRUE(sim::ParseMachine(std::string(R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, )") +
                                          row.members + R"("backend": {"type": "iscsi", "url": "u"}}]}]}]})",
                                      machine, error)) << error;
        sim::UnitConfig unit = machine.ports[0].buses[0].units[0];
        EXPECT_EQ(unit.backend.initiator + " " + std::to_string(unit.backend.timeoutSeconds),
                  std::string(sim::DefaultIscsiInitiator) + " 10");
        real[0] = row.peripheral;
        sim::AdoptRealInquiry(real, unit);
        EXPECT_EQ(unit.inquiry.vendor + unit.inquiry.product + unit.inquiry.revision, row.identifier);
        EXPECT_EQ(unit.claimed, row.claimed);
        ASSERT_EQ(unit.inquiryData.size(), 36u);
        EXPECT_EQ(unit.inquiryData[0] << 8 | unit.inquiryData[1], row.byte0 << 8 | row.byte1);
        EXPECT_EQ(unit.inquiryData[7], 0x02) << "the real unit's own bytes are kept";
        EXPECT_EQ(std::string(unit.inquiryData.begin() + 8, unit.inquiryData.end()), row.identifier);
    }
}

class IscsiInstall : public devices_test::DevicesTest {};

TEST_F(IscsiInstall, AnUnreachableTargetFailsTheInstallAndKeepsTheMachine) {
    Install(R"({"ports": [{"buses": [{"units": [{"target": 2, "lun": 0, "backend": {"type": "disk"}}]}]}]})");
    const char* const cases[][3] = {  // URL, then what the message says after it
        {"iscsi://127.0.0.1:1/iqn.2000-01.example:none/0", ": connect failed: ", "refused"},
        {"http://127.0.0.1/iqn.2000-01.example:none/0", ": not an iSCSI URL: ", "iscsi://"}};
    for (const auto& c : cases) {
        sim::Machine machine;
        std::string error;
        ASSERT_TRUE(sim::ParseMachine(std::string(R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "backend":
            {"type": "iscsi", "timeout_s": 2, "url": ")") + c[0] + "\"}}]}]}]}", machine, error));
        const auto start = Clock::now();
        EXPECT_FALSE(sim::InstallMachine(machine, error));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(error.rfind(std::string("ports[0].buses[0].units[0]: ") + c[0] + c[1], 0), 0u) << error;
        EXPECT_NE(error.find(c[2], 30), std::string::npos) << "libiscsi's own message: " << error;
    }
    HANDLE port = Open("scsi0:", GENERIC_READ);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "the earlier machine still runs";
    CloseHandle(port);
}

// Returns the control and iSCSI ports of the test's own tgtd, the first
// pair from the process id that no other tgtd holds (the target script
// checks its random ones alike), kept for the test's restarts.
std::pair<int, int> TargetPorts() {
    static std::pair<int, int> ports;
    for (int i = 0; ports.first == 0; ++i) {
        const int control = 100 + (getpid() + i) % 10000, port = 20000 + (getpid() + i) % 20000;
        const std::string busy = "ss -Hltn 'sport = :" + std::to_string(port) + "' | grep -q . || ss -Hlx | grep -qF "
                                 "'/var/run/tgtd/socket." + std::to_string(control) + " '";
        if (i == 50 || system(busy.c_str()) != 0) ports = {control, port};
    }
    return ports;
}
std::string TargetPortal() { return "127.0.0.1:" + std::to_string(TargetPorts().second); }

// Returns the pid of a tgtd of the test's own on TargetPortal with a disk
// `image` at LUN 1 (tgt's controller at LUN 0), or 0.
pid_t StartTarget(const std::string& image) {
    const std::string control = "-C " + std::to_string(TargetPorts().first) + " ";
    // tgtd dies with the test process, even one that crashes.
    const std::string daemon = "exec setpriv --pdeathsig KILL tgtd -f " + control +
                               "--iscsi portal=" + TargetPortal() + " >/dev/null 2>&1";
    const char* argv[] = {"sh", "-c", daemon.c_str(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ);
    const std::string admin = "tgtadm " + control + "--lld iscsi ";
    for (int i = 0; spawned == 0 && i < 50 && system((admin + "--op show --mode target >/dev/null 2>&1").c_str()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string steps[] = {"--op new --mode target --tid 1 --targetname iqn.2026-12.org.ptaspi:test",
                                 "--op new --mode logicalunit --tid 1 --lun 1 --backing-store " + image,
                                 "--op bind --mode target --tid 1 --initiator-address 127.0.0.1"};
    for (const std::string& step : steps) {
        if (spawned == 0 && system((admin + step).c_str()) == 0) continue;
        if (spawned == 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);  // none left behind
        return 0;
    }
    return pid;
}

// Returns the running machine's unit `index`.
std::shared_ptr<sim::LiveUnit> LiveUnit(size_t index) {
    std::lock_guard<std::mutex> hold(sim::MachineLock());
    return sim::CurrentMachineLocked()->Units.at(index);
}

// Returns the outcome of `command` on the running machine's unit `index`.
sim::ScsiOutcome RunOn(size_t index, sim::ScsiCommand command, sim::DataDirection direction,
                       std::vector<uint8_t>& buffer, uint32_t timeoutSeconds = 0) {
    command.timeoutSeconds = timeoutSeconds;
    return units_test::Run(*LiveUnit(index)->Backend, command, direction, buffer);
}

// Returns the platform error of TEST UNIT READY on unit `index` once past
// the UNIT ATTENTION that a session opened again meets first (~0u: never ready).
DWORD Ready(size_t index, uint32_t timeoutSeconds = 0) {
    std::vector<uint8_t> none;
    for (int i = 0; i < 3; ++i) {
        const sim::ScsiOutcome outcome =
            RunOn(index, units_test::Cdb({0, 0, 0, 0, 0, 0}), sim::DataDirection::None, none, timeoutSeconds);
        if (outcome.platformError != 0 || outcome.status == sim::StatusGood) return outcome.platformError;
    }
    return ~0u;
}

TEST_F(IscsiInstall, ARealTargetThroughSenseLossAndTimeOut) {
    if (geteuid() != 0 || system("command -v tgtd >/dev/null") != 0) GTEST_SKIP() << "no tgtd as root";
    const std::string image = units_test::TempFile(std::vector<uint8_t>(1 << 20, 0));
    pid_t target = StartTarget(image);
    std::shared_ptr<void> cleanup(nullptr, [&](void*) {  // even after a failed assertion
        if (target > 0 && kill(target, SIGKILL) == 0) waitpid(target, nullptr, 0);
        unlink(image.c_str());
    });
    ASSERT_NE(target, 0);
    const std::string url = "iscsi://" + TargetPortal() + "/iqn.2026-12.org.ptaspi:test/";
    // Refused installs name the unit: a LUN the target lacks, a drive on a
    // unit that is no CD-ROM, a target frozen at the login (within timeout_s).
    const char* const refusals[][3] = {{"9", "", "the target has no logical unit 9"},
                                       {"1", R"("drive": "F", )", "drive F: the unit is no CD-ROM (it reports peripheral device type 0)"},
                                       {"1", "", "login did not finish in time (1 s allowed)"}};
    for (const auto& refusal : refusals) {
        if (&refusal == &refusals[2]) kill(target, SIGSTOP);
        sim::Machine machine;
        std::string error;
        ASSERT_TRUE(sim::ParseMachine(R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, )" + std::string(refusal[1]) +
                                      R"("backend": {"type": "iscsi", "timeout_s": 1, "url": ")" + url + refusal[0] + "\"}}]}]}]}",
                                      machine, error));
        const auto start = Clock::now();
        EXPECT_FALSE(sim::InstallMachine(machine, error));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
        EXPECT_EQ(error.find("ports[0].buses[0].units[0]: "), 0u) << error;
        EXPECT_NE(error.find(refusal[2]), std::string::npos) << error;
    }
    kill(target, SIGCONT);
    Install(R"({"ports": [{"buses": [{"units": [
      {"target": 0, "lun": 0, "backend": {"type": "iscsi", "url": ")" + url + R"(0"}},
      {"target": 0, "lun": 1, "inquiry": {"product": "MINE"}, "class_device": "PhysicalDrive0",
       "backend": {"type": "iscsi", "url": ")" + url + R"(1", "timeout_s": 2}},
      {"target": 1, "lun": 0, "class_device": "PhysicalDrive1",
       "backend": {"type": "iscsi", "url": ")" + url + R"(1", "initiator": "iqn.2026-12.org.ptaspi:other"}}]}]}]})");
    std::unique_lock<std::mutex> hold(sim::MachineLock());
    const auto& units = sim::CurrentMachineLocked()->Config.ports[0].buses[0].units;
    EXPECT_EQ(std::to_string(units[0].claimed) + std::to_string(units[1].claimed), "01") << "tgt's controller: 0x0C";
    EXPECT_EQ(std::string(units[1].inquiryData.begin() + 16, units[1].inquiryData.begin() + 32), "MINE            ");
    const std::vector<uint8_t> answer = sim::BuildInquiryData(sim::CurrentMachineLocked()->Config.ports[0]);
    EXPECT_NE(std::search(answer.begin(), answer.end(), units[1].inquiryData.begin(), units[1].inquiryData.end()),
              answer.end()) << "the port reports the real unit's bytes";
    hold.unlock();
    std::vector<uint8_t> block = units_test::Pattern(512, 7), back(512, 0);
    EXPECT_EQ(RunOn(1, units_test::Cdb10(0x2A, 3, 1), sim::DataDirection::Out, block).bytesMoved, 512u)
        << "the new session's UNIT ATTENTION was taken at install";
    // Through the port driver: bytes moved (LBA 1 << 20 is past the end),
    // sense returned, the sense a REQUEST SENSE finds (kept only for a
    // command that took none, ended by the next), another initiator's RESERVE.
    const std::vector<uint8_t> past = {0x28, 0, 0, 0x10, 0, 0, 0, 0, 1, 0}, sense = {3, 0, 0, 0, 18, 0};
    const struct {
        const char* device;
        std::vector<uint8_t> cdb;
        uint32_t length;
        uint8_t senseLength, status;
        uint32_t moved;  // ~0u: what the INQUIRY data's additional length says
        uint8_t senseMoved, key, asc;
    } steps[] = {{"PhysicalDrive0", past, 512, 32, 2, 0, 18, 5, 0x21}, {"PhysicalDrive0", sense, 18, 0, 0, 18, 0, 0, 0},
                 {"PhysicalDrive0", past, 512, 0, 2, 0, 0, 0, 0},  {"PhysicalDrive0", sense, 18, 0, 0, 18, 0, 5, 0x21},
                 {"PhysicalDrive0", past, 512, 0, 2, 0, 0, 0, 0},  {"PhysicalDrive0", {0, 0, 0, 0, 0, 0}, 0, 0, 0, 0, 0, 0, 0},
                 {"PhysicalDrive0", sense, 18, 0, 0, 18, 0, 0, 0},
                 {"PhysicalDrive0", {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, 512, 0, 0, 512, 0, 0, 0},
                 {"PhysicalDrive0", {0x12, 0, 0, 0, 255, 0}, 255, 0, 0, ~0u, 0, 0, 0},
                 {"PhysicalDrive1", {0x16, 0, 0, 0, 0, 0}, 0, 0, 0, 0, 0, 0, 0},
                 {"PhysicalDrive0", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512, 0, 0x18, 512, 0, 0, 0},  // tgt sends the data
                 {"PhysicalDrive1", {0x17, 0, 0, 0, 0, 0}, 0, 0, 0, 0, 0, 0, 0}};
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.device) + ", opcode " + std::to_string(step.cdb[0]));
        std::vector<uint8_t> data(step.length);
        HANDLE device = Open(step.device);
        auto request = devices_test::MakeDirect(step.cdb, SCSI_IOCTL_DATA_IN, data.data(), step.length, step.senseLength);
        EXPECT_EQ(devices_test::SendDirect(device, request), 0u);
        CloseHandle(device);
        EXPECT_EQ(request.Header().ScsiStatus, step.status);
        EXPECT_EQ(request.Header().DataTransferLength, step.moved == ~0u ? data[4] + 5u : step.moved);
        EXPECT_EQ(request.Header().SenseInfoLength, step.senseMoved);
        const uint8_t* bytes = step.cdb[0] == 3 ? data.data() : step.senseLength != 0 ? request.Sense() : nullptr;
        EXPECT_EQ(bytes != nullptr ? (bytes[2] & 0x0F) << 8 | bytes[12] : 0, step.key << 8 | step.asc);
    }

    sim::ScsiCommand huge = units_test::Cdb10(0x28, 1, 1);
    huge.direction = sim::DataDirection::In;
    huge.data = back.data();
    huge.dataLength = 0x80000000u;  // libiscsi refuses a buffer this long
    sim::ScsiOutcome refused;
    LiveUnit(1)->Backend->Execute(huge, refused);
    EXPECT_EQ(refused.platformError, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

    kill(target, SIGSTOP);
    auto start = Clock::now();
    EXPECT_EQ(Ready(1, 1), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1900));
    // Each within its own second, though unit 0 allows 10 s: a new login,
    // then a wait behind unit 0's command, which the release of unit 0 ends.
    start = Clock::now();
    EXPECT_EQ(Ready(0, 1), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << "the login waits past the command's limit";
    DWORD blockedError = 0;
    std::thread blocked([&] { blockedError = Ready(0); });
    while (sim::HangingCommandCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    start = Clock::now();
    EXPECT_NE(Ready(1, 1), 0u);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << "the wait behind unit 0 is not counted";
    LiveUnit(0)->Backend->Release();
    blocked.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << "the release does not end the command";
    EXPECT_EQ(blockedError, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    kill(target, SIGCONT);
    EXPECT_EQ(Ready(1), 0u) << "the next command logs in again";

    kill(target, SIGKILL);
    waitpid(target, nullptr, 0);
    EXPECT_EQ(Ready(1), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED)) << "lost during the command";
    start = Clock::now();
    EXPECT_EQ(Ready(1), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED)) << "no login";
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    target = StartTarget(image);
    ASSERT_NE(target, 0);
    ASSERT_EQ(Ready(1), 0u);
    EXPECT_EQ(RunOn(1, units_test::Cdb10(0x28, 3, 1), sim::DataDirection::In, back).bytesMoved, 512u);
    EXPECT_EQ(back, block) << "the same disk behind a new target";
}

}  // namespace
