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
    const ToolRun after = RunTool({"scan", "--machine", machine, "--json"});
    const ToolRun joined = RunTool({"--json", "--machine=" + machine});
    ASSERT_EQ(before.exitCode, 0) << before.err;
    EXPECT_EQ(after.exitCode, 0);
    EXPECT_EQ(joined.exitCode, 0);
    EXPECT_EQ(before.out, after.out);
    EXPECT_EQ(before.out, joined.out);
    EXPECT_EQ(before.Json()["machine"], "aspitool test: two buses per port");
}

TEST(Arguments, BadAddressesAreUsageErrors) {
    for (const char* address : {"1:0", "1:0:0:0", "a:0:0", "0:0:256", "0::0", ":0:0", "0:0:-1", "0:0:0 "}) {
        SCOPED_TRACE(address);
        const ToolRun run = RunTool({"inquiry", address});
        EXPECT_EQ(run.exitCode, UsageExit);
        EXPECT_NE(run.err.find("no unit address"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(Arguments, AbsentAdaptersAndUnitsAreFailures) {
    const ToolRun adapter = RunTool({"readcap", "9:0:0"});
    EXPECT_EQ(adapter.exitCode, 1);
    EXPECT_NE(adapter.err.find("no host adapter 9"), std::string::npos) << adapter.err;

    const ToolRun unit = RunTool({"read", "0:1:0", "0", "1", "--json"});
    EXPECT_EQ(unit.exitCode, 1);
    EXPECT_NE(unit.err.find("no unit at 0:1:0"), std::string::npos) << unit.err;
    EXPECT_NE(unit.Json()["error"].get<std::string>().find("SS_NO_DEVICE"), std::string::npos);
}

TEST(Arguments, MalformedCommandLinesAreRefused) {
    const std::vector<std::vector<std::string>> lines = {
        {"frobnicate"},
        {"scan", "--frobnicate"},
        {"scan", "extra"},
        {"inquiry"},
        {"read", "0:0:0", "0"},
        {"read", "0:0:0", "x", "1"},
        {"read", "0:0:0", "0", "0"},
        {"read", "0:0:0", "0", "4294967296"},
        {"read", "0:0:0", "--all"},
        {"write", "0:0:0", "0"},
        {"raw", "0:0:0"},
        {"raw", "0:0:0", "12 0"},
        {"raw", "0:0:0", "zz"},
        {"raw", "0:0:0", "00112233445566778899aabbccddeeff00"},
        {"raw", "0:0:0", "00", "--in", "8", "--out", "file"},
        {"raw", "0:0:0", "00", "--in", "-1"},
        {"raw", "0:0:0", "00", "--sense", "256"},
        {"raw", "0:0:0", "00", "--notify", "carrier-pigeon"},
        {"scan", "--machine"},
        {"scan", "--machine="},
    };
    for (const std::vector<std::string>& line : lines) {
        std::string shown;
        for (const std::string& word : line) shown += word + " ";
        SCOPED_TRACE(shown);
        const ToolRun run = RunTool(line);
        EXPECT_EQ(run.exitCode, UsageExit) << run.err;
        EXPECT_EQ(run.err.rfind("aspitool: ", 0), 0u) << run.err;
    }
}

TEST(Arguments, MachineAndLibraryThatCannotBeLoadedAreFailures) {
    const ToolRun machine = RunTool({"scan", "--machine", MachinePath("no_such_machine.json")});
    EXPECT_EQ(machine.exitCode, 1);
    EXPECT_NE(machine.err.find("no_such_machine.json"), std::string::npos) << machine.err;

    const ToolRun bad = RunTool({"scan", "--machine", MachinePath("bad_member.json")});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find("aspitool: "), std::string::npos) << bad.err;

    const ToolRun library = RunTool({"scan", "--library", "/nonexistent/libptaspi32.so"});
    EXPECT_EQ(library.exitCode, 1);
    EXPECT_NE(library.err.find("cannot load the ASPI library"), std::string::npos) << library.err;
}

TEST(Arguments, HelpListsTheCommands) {
    for (const char* word : {"--help", "help", "-h"}) {
        const ToolRun run = RunTool({word});
        EXPECT_EQ(run.exitCode, 0);
        for (const char* command : {"scan", "inquiry", "tur", "readcap", "read", "write", "raw"}) {
            EXPECT_NE(run.out.find(command), std::string::npos) << command;
        }
    }
}

}  // namespace
}  // namespace tooltest
