// aspitool on the Windows DLL: `--library build/windows/ptaspi32.dll` runs
// the mingw-w64 build under the simulator's PE loader, and the scan of
// every machine must read exactly as the shared object's does.
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <unistd.h>


namespace tooltest {
namespace {

TEST(WindowsDll, ScanPrintsTheSameAsTheSharedObjectOnEveryMachine) {
    const std::string dll = PTASPI_WINDOWS_DLL;
    if (access(dll.c_str(), R_OK) != 0)
        GTEST_SKIP() << dll << " not built (cmake --preset windows)";
    // The built-in default machine, then every machine file in the tree:
    // the examples, and the tests' own (a file the tool refuses must be
    // refused alike).
    const std::vector<std::string> machines = AllMachines();
    ASSERT_GT(machines.size(), 1u);
    for (const std::string& machine : machines) {
        for (const bool json : {false, true}) {
            SCOPED_TRACE(machine + (json ? " --json" : ""));
            std::vector<std::string> args = {"scan"};
            if (json) args.push_back("--json");
            if (!machine.empty()) args.insert(args.end(), {"--machine", machine});
            const ToolRun shared = RunTool(args);
            args.insert(args.end(), {"--library", dll});
            const ToolRun windows = RunTool(args);
            // An example machine always scans; it fails only where it
            // shows units that do not answer, as the troubled one does.
            if (machine.find("/tests/") == std::string::npos && shared.exitCode != 0) {
                EXPECT_NE(shared.err.find("did not answer INQUIRY"), std::string::npos) << shared.err;
            }
            EXPECT_EQ(windows.exitCode, shared.exitCode) << windows.err;
            EXPECT_EQ(windows.out, shared.out);
            EXPECT_EQ(windows.err, shared.err);
        }
    }
}

}  // namespace
}  // namespace tooltest
