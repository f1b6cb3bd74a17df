// aspitool.exe, the Windows build of the client, under ntrun with the DLL
// beside it: every machine's scan, and the command lines that fail, must
// read exactly as the Linux client's, line ends and the Linux build's notes
// about the simulated machine aside.
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

namespace tooltest {
namespace {

// Expects the Windows program's run of `args` to match the Linux client's.
void ExpectSameAsLinux(const std::vector<std::string>& args) {
    const ToolRun linux = RunLinuxTool(args);
    const ToolRun windows = RunWindowsProgram(PTASPI_WINDOWS_PROGRAM, args);
    EXPECT_EQ(windows.exitCode, linux.exitCode) << windows.err;
    EXPECT_EQ(WithoutMachineNotes(windows.out), WithoutMachineNotes(linux.out));
    EXPECT_EQ(WithoutMachineNotes(windows.err), WithoutMachineNotes(linux.err));
}

class WindowsProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        if (RunsWindowsProgram() || getenv("PTASPI_TOOL_LIBRARY") != nullptr)
            GTEST_SKIP() << "compares the builds itself; run once, without the suite's other client";
        if (access(PTASPI_WINDOWS_PROGRAM, R_OK) != 0)
            GTEST_SKIP() << PTASPI_WINDOWS_PROGRAM << " not built (cmake --preset windows)";
    }
};

TEST_F(WindowsProgram, ScanPrintsTheSameAsTheLinuxClientOnEveryMachine) {
    for (const std::string& machine : AllMachines()) {
        // A machine file that ntrun cannot install is ntrun's error, not
        // the program's: both refuse it, each in its own words.
        if (!machine.empty() && RunLinuxTool({"scan", "--machine", machine}).exitCode != 0 &&
            RunLinuxTool({"scan", "--machine", machine}).err.find("machine") != std::string::npos) {
            EXPECT_NE(RunWindowsProgram(PTASPI_WINDOWS_PROGRAM, {"scan", "--machine", machine}).exitCode, 0)
                << machine;
            continue;
        }
        for (const bool json : {false, true}) {
            SCOPED_TRACE(machine + (json ? " --json" : ""));
            std::vector<std::string> args = {"scan"};
            if (json) args.push_back("--json");
            if (!machine.empty()) args.insert(args.end(), {"--machine", machine});
            ExpectSameAsLinux(args);
        }
    }
}

TEST_F(WindowsProgram, FailuresEndAlikeWithTheSameWords) {
    const std::vector<std::string> lines[] = {
        {"frobnicate"},
        {"read", "0:0:0", "x", "1"},
        {"inquiry", "9:0:0"},
        {"inquiry", "0:1:0"},
        {"inquiry", "0:1:0", "--json"},
        {"tur", "1:7:0"},
        {"--help"},
    };
    for (const std::vector<std::string>& line : lines) {
        SCOPED_TRACE(line.front() + (line.size() > 1 ? " " + line[1] : ""));
        ExpectSameAsLinux(line);
    }
}

TEST_F(WindowsProgram, ReadWritesTheSameBytesToItsFile) {
    const std::string folder = MakeTempFolder();
    const ToolRun linux = RunLinuxTool({"read", "0:0:0", "0", "16", "-o", folder + "/linux.bin"});
    const ToolRun windows =
        RunWindowsProgram(PTASPI_WINDOWS_PROGRAM, {"read", "0:0:0", "0", "16", "-o", folder + "/windows.bin"});
    ASSERT_EQ(linux.exitCode, 0) << linux.err;
    EXPECT_EQ(windows.exitCode, 0) << windows.err;
    // The file is written in binary mode: no line end is turned.
    EXPECT_EQ(ReadFile(folder + "/windows.bin"), ReadFile(folder + "/linux.bin"));
    EXPECT_EQ(ReadFile(folder + "/linux.bin").size(), 16u * 512u);
}

}  // namespace
}  // namespace tooltest
