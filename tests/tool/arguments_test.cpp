// The command line: options before or after the command word, and every
// kind of bad argument refused with a clear message and a non-zero exit.
#include "tool_runner.h"

#include <gtest/gtest.h>

namespace tooltest {
namespace {

// Exit code for a command line that is wrong, as against a device failure.
const int UsageExit = 2;

TEST(Arguments, OptionsMayStandBeforeOrAfterTheCommandWord) {
    const std::string machine = MachinePath("tool_two_buses.json");
    const ToolRun before = RunTool({"--machine", machine, "scan", "--json"});
    ASSERT_EQ(before.exitCode, 0) << before.err;
    // The Windows build knows no simulated machine, so names none.
    if (!RunsWindowsProgram()) {
        EXPECT_EQ(before.Json()["machine"], "aspitool test: two buses per port");
    }
    for (const std::vector<std::string>& line : {std::vector<std::string>{"scan", "--machine", machine, "--json"},
                                                 std::vector<std::string>{"--json", "--machine=" + machine}}) {
        const ToolRun run = RunTool(line);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, before.out);
    }
}

TEST(Arguments, MalformedCommandLinesAreRefused) {
    const struct {
        std::vector<std::string> line;
        const char* message;  // besides the "aspitool: " every message starts with
    } cases[] = {
        {{"frobnicate"}, ""},
        {{"scan", "--frobnicate"}, ""},
        {{"scan", "extra"}, ""},
        {{"scan", "--machine"}, ""},
        {{"scan", "--machine="}, ""},
        {{"inquiry"}, ""},
        {{"read", "0:0:0", "0"}, ""},
        {{"read", "0:0:0", "x", "1"}, ""},
        {{"read", "0:0:0", "0", "0"}, ""},
        {{"read", "0:0:0", "0", "4294967296"}, ""},
        {{"read", "0:0:0", "--all"}, ""},
        {{"write", "0:0:0", "0"}, ""},
        {{"raw", "0:0:0"}, ""},
        {{"raw", "0:0:0", "12 0"}, ""},
        {{"raw", "0:0:0", "zz"}, ""},
        {{"raw", "0:0:0", "00112233445566778899aabbccddeeff00"}, ""},
        {{"raw", "0:0:0", "00", "--in", "8", "--out", "file"}, ""},
        {{"raw", "0:0:0", "00", "--in", "-1"}, ""},
        {{"raw", "0:0:0", "00", "--sense", "256"}, ""},
        {{"raw", "0:0:0", "00", "--notify", "carrier-pigeon"}, ""},
        {{"modesense"}, "usage: aspitool modesense"},
        {{"modesense", "0:0:0", "0x40"}, "mode page"},
        {{"modesense", "0:0:0", "8", "9"}, "too many"},
        {{"inquiry", "0:0:0", "--vpd", "xyz"}, "--vpd"},
        {{"inquiry", "0:0:0", "--vpd", "0x10000000000000083"}, "--vpd"},
        {{"inquiry", "0:0:0", "--vpd", "256"}, "--vpd"},
        {{"tur", "0:0:0", "--vpd", "sn"}, "--vpd does not apply to the tur"},
        {{"tur", "0:0:0", "--immed"}, "--immed does not apply"},
        {{"tur", "0:0:0", "--in", "8"}, "--in does not apply"},
        {{"inquiry", "0:0:0", "-o", "f"}, "-o does not apply to the inquiry"},
        {{"read", "0:0:0", "0", "1", "-i", "f"}, "-i does not apply"},
        {{"write", "0:0:0", "0", "-i", "f", "--all"}, "--all does not apply"},
        {{"scan", "--immed"}, "--immed does not apply"},
        {{"raw", "0:0:0", "00", "-o", "f"}, "give --in N"},
        {{"raw", "0:0:0", "12"}, "0x12 has a command block of 6 bytes, not 1"},
        {{"raw", "0:0:0", "28 00 00 00 00 00"}, "of 10 bytes, not 6"},
        {{"read", "0:0:0", "0x", "1"}, "LBA '0x'"},
        {{"read", "0:0:0", "0", "0x100000000"}, "COUNT"},
        {{"inquiry", "0:300:0"}, "target 300 is over 255"},
        {{"inquiry", "0:0:256"}, "LUN 256 is over 255"},
        {{"eject"}, "usage: aspitool eject"},
        {{"sense", "0:0:0", "1"}, "too many"},
        {{"scan", "--timeout", "0"}, "--timeout"},
        {{"scan", "--timeout", "3601"}, "--timeout"},
        {{"scan", "--timeout", "x"}, "--timeout"},
        {{"scan", "--timeout", "-5"}, "--timeout"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& word : c.line) shown += word + " ";
        SCOPED_TRACE(shown);
        const ToolRun run = RunTool(c.line);
        EXPECT_EQ(run.exitCode, UsageExit) << run.err;
        EXPECT_EQ(run.err.rfind("aspitool: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    for (const char* address : {"1:0", "1:0:0:0", "a:0:0", "0::0", ":0:0", "0:0:-1", "0:0:0 "}) {
        SCOPED_TRACE(address);
        const ToolRun run = RunTool({"inquiry", address});
        EXPECT_EQ(run.exitCode, UsageExit);
        EXPECT_NE(run.err.find("no unit address"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// Machines and libraries that do not exist are failures (exit 1); an
// address that names no host adapter or no unit is the user's typo, a
// usage error (exit 2) that says where the addresses are listed.
TEST(Arguments, AbsentMachinesAndLibrariesAreFailuresAndAbsentUnitsUsageErrors) {
    // The Windows program's machine is ntrun's, which ends with 125 when it
    // cannot set it up.
    const int machineFailure = RunsWindowsProgram() ? 125 : 1;
    const struct {
        std::vector<std::string> line;
        const char* message;
        int exitCode;
    } cases[] = {
        {{"readcap", "9:0:0"}, "no host adapter 9", 2},
        {{"read", "0:1:0", "0", "1"}, "no unit at 0:1:0", 2},
        {{"inquiry", "0:9:0"}, "'aspitool scan' lists the units", 2},
        {{"check", "0:9:0"}, "no unit at 0:9:0", 2},
        {{"check", "7:0:0"}, "no host adapter 7", 2},
        {{"scan", "--machine", MachinePath("no_such_machine.json")}, "no_such_machine.json", machineFailure},
        {{"scan", "--machine", MachinePath("bad_member.json")}, "unknown member 'devcie'", machineFailure},
        {{"scan", "--library", "/nonexistent/libptaspi32.so"}, "cannot load the ASPI library", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const ToolRun run = RunTool(c.line);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    const ToolRun json = RunTool({"read", "0:1:0", "0", "1", "--json"});
    EXPECT_NE(json.Json()["error"].get<std::string>().find("SS_NO_DEVICE"), std::string::npos) << json.out;
    EXPECT_EQ(json.Json()["error_kind"], "usage");
    // A check of an address with no unit runs no check at all.
    EXPECT_EQ(RunTool({"check", "0:9:0"}).out.find("FAIL"), std::string::npos);
}

TEST(Arguments, HelpListsTheCommands) {
    for (const char* word : {"--help", "help", "-h"}) {
        const ToolRun run = RunTool({word});
        EXPECT_EQ(run.exitCode, 0);
        for (const char* command : {"scan", "inquiry", "tur", "readcap", "read", "write", "raw"}) {
            EXPECT_NE(run.out.find(command), std::string::npos) << word << ": " << command;
        }
    }
}

}  // namespace
}  // namespace tooltest
