#include "iscsi/iscsi_fixture.h"

#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace iscsitest {

namespace {

// tgtd lives in sbin, which the PATH of a test run may leave out.
bool TgtdInstalled() {
    for (const char* path : {"/usr/sbin/tgtd", "/sbin/tgtd", "/usr/local/sbin/tgtd"}) {
        if (access(path, X_OK) == 0) return true;
    }
    int status = -1;
    RunCommand("command -v tgtd", &status);
    return status == 0;
}

}  // namespace

std::string RunCommand(const std::string& command, int* exitCode) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *exitCode = -1;
        return out;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, got);
    const int status = pclose(pipe);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

std::vector<uint8_t> FileBytes(const std::string& path, uint64_t offset, size_t count) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes(count);
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(file ? count : static_cast<size_t>(file.gcount()));
    return bytes;
}

std::vector<uint8_t> Pattern(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

uint32_t SenseCode(const BYTE* sense) {
    return static_cast<uint32_t>(sense[2] & 0x0F) << 16 | static_cast<uint32_t>(sense[12]) << 8 |
           sense[13];
}

void IscsiTest::SetUp() {
    LibraryTest::SetUp();
    if (IsSkipped()) return;
    if (!TgtdInstalled()) GTEST_SKIP() << "tgtd not found: install tgt to run the iSCSI tests";
    const char* path = std::getenv("PTASPI_ISCSI_MACHINE");
    ASSERT_TRUE(path != nullptr && *path != '\0')
        << "PTASPI_ISCSI_MACHINE is not set: run through ctest, or export the path that "
           "scripts/iscsi-target.sh start prints";
    machinePath_ = path;
    std::ifstream file(machinePath_);
    machineText_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    ASSERT_FALSE(machineText_.empty()) << machinePath_ << " cannot be read";
}

void IscsiTest::InstallTarget(unsigned timeoutSeconds) {
    nlohmann::json machine = nlohmann::json::parse(machineText_);
    if (timeoutSeconds != 0) {
        for (auto& unit : machine["ports"][0]["buses"][0]["units"]) {
            unit["backend"]["timeout_s"] = timeoutSeconds;
        }
    }
    Install(machine.dump().c_str());
    if (HasFatalFailure()) return;
    ASSERT_TRUE(Load());
}

std::string IscsiTest::Folder() const {
    return machinePath_.substr(0, machinePath_.find_last_of('/'));
}

std::string IscsiTest::Url(BYTE target) const {
    const nlohmann::json machine = nlohmann::json::parse(machineText_);
    for (const auto& unit : machine["ports"][0]["buses"][0]["units"]) {
        if (unit["target"] == target) return unit["backend"]["url"].get<std::string>();
    }
    return "";
}

int IscsiTest::TargetScript(const std::string& action) const {
    int status = -1;
    RunCommand(std::string(PTASPI_SOURCE_DIR) + "/scripts/iscsi-target.sh " + action + " '" +
                   Folder() + "' >&2",
               &status);
    return status;
}

void IscsiTest::Execute(ExecRequest& request, BYTE target, BYTE flags,
                        const std::vector<BYTE>& cdb, BYTE* buffer, DWORD length, BYTE senseLength,
                        DWORD waitMs) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    PrepareExec(request, 0, target, 0, flags | SRB_EVENT_NOTIFY, cdb.data(),
                static_cast<BYTE>(cdb.size()), buffer, length);
    request.Srb.SRB_PostProc = event;
    request.Srb.SRB_SenseLen = senseLength;
    std::memset(request.Sense, 0xCC, sizeof request.Sense);
    const DWORD sent = Send(&request.Srb);
    if (sent == SS_PENDING) {
        EXPECT_EQ(WaitForSingleObject(event, waitMs), WAIT_OBJECT_0)
            << "command 0x" << std::hex << int(cdb[0]) << " did not finish";
    }
    CloseHandle(event);
}

}  // namespace iscsitest
