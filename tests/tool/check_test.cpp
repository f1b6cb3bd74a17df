// aspitool check: every example machine passes, the troubled one fails
// exactly where its units misbehave, and a library that answers nonsense,
// never completes, never returns or faults is reported, not waited for.
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <set>

namespace tooltest {
namespace {

// Returns "SUBJECT / CHECK" of every check of `report` whose result is
// `result`.
std::set<std::string> ChecksWith(const nlohmann::json& report, const std::string& result) {
    std::set<std::string> checks;
    for (const auto& check : report["checks"]) {
        if (check["result"] == result) {
            checks.insert(check["subject"].get<std::string>() + " / " + check["check"].get<std::string>());
        }
    }
    return checks;
}

std::string ExamplePath(const std::string& name) {
    return std::string(PTASPI_SOURCE_DIR) + "/machines/" + name;
}

TEST(Check, EveryExampleMachinePasses) {
    std::vector<std::string> machines = {""};
    for (const auto& entry : std::filesystem::directory_iterator(ExamplePath(""))) {
        if (entry.path().filename() != "troubled_machine.json") machines.push_back(entry.path());
    }
    for (const std::string& machine : machines) {
        SCOPED_TRACE(machine);
        std::vector<std::string> args = {"check", "--json"};
        if (!machine.empty()) args.insert(args.end(), {"--machine", machine});
        const ToolRun run = RunTool(args);
        const nlohmann::json report = run.Json();
        ASSERT_TRUE(report.is_object()) << run.out << run.err;
        EXPECT_EQ(run.exitCode, 0) << run.out;
        EXPECT_EQ(ChecksWith(report, "FAIL"), std::set<std::string>());
        EXPECT_EQ(report["summary"]["failed"], 0);
        // Every unit of these machines is reached: its reads and its timing.
        EXPECT_GT(report["summary"]["passed"].get<int>(), 10);
    }
    const ToolRun text = RunTool({"check"});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_NE(text.out.find("PASS  unit 0:0:0"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("TEST UNIT READY median round trip"), std::string::npos);
    EXPECT_NE(text.out.find("\nsummary: "), std::string::npos);
}

TEST(Check, TroubledMachineFailsWhereItsUnitsMisbehave) {
    const ToolRun run = RunTool({"check", "--json", "--machine", ExamplePath("troubled_machine.json")});
    EXPECT_EQ(run.exitCode, 1);
    // 0:0:0 answers every READ with MEDIUM ERROR and 0:2:0 with a port
    // time-out; 0:3:0 answers GOOD to everything but START STOP UNIT; 0:6:0
    // cannot be reached, since its class device's address query fails.
    const std::set<std::string> expected = {
        "unit 0:0:0 / read block 0", "unit 0:0:0 / read the maximum transfer",
        "unit 0:0:0 / timing",
        "unit 0:2:0 / read block 0", "unit 0:2:0 / read the maximum transfer",
        "unit 0:2:0 / CHECK CONDITION (READ past the last block)", "unit 0:2:0 / timing",
        "unit 0:3:0 / CHECK CONDITION (reserved operation code)",
        "unit 0:6:0 / INQUIRY by polling", "unit 0:6:0 / INQUIRY by event",
        "unit 0:6:0 / INQUIRY by post routine"};
    EXPECT_EQ(ChecksWith(run.Json(), "FAIL"), expected) << run.out;
}

TEST(Check, OneUnitAndCommandLineErrors) {
    const ToolRun one = RunTool({"check", "0:3:0", "--json"});
    EXPECT_EQ(one.exitCode, 0) << one.out;
    std::set<std::string> subjects;
    const nlohmann::json report = one.Json();
    for (const auto& check : report["checks"]) subjects.insert(check["subject"].get<std::string>());
    EXPECT_EQ(subjects, (std::set<std::string>{"library", "ha 0", "unit 0:3:0"}));
    EXPECT_EQ(RunTool({"check", "0:1"}).exitCode, 2);
    EXPECT_EQ(RunTool({"check", "0:1:0", "0:2:0"}).exitCode, 2);
}

// A library that breaks its promises: each run ends within its time limits
// with a FAIL that says what happened, and the checks after it skipped.
TEST(Check, BrokenLibrariesAreReportedNotWaitedFor) {
    if (RunsWindowsProgram()) GTEST_SKIP() << "the broken library is a Linux shared object";
    const struct {
        const char* behaviour;
        const char* got;
    } cases[] = {
        {"garbage", "0x55"},
        {"never", "no completion within the time limit"},
        {"hang", "time-out: a call into the library did not return"},
        {"fault", "fault in the library: access violation"},
    };
    for (const auto& broken : cases) {
        SCOPED_TRACE(broken.behaviour);
        setenv("PTASPI_BROKEN_LIBRARY", broken.behaviour, 1);
        const ToolRun run =
            RunTool({"check", "--json", "--timeout", "2", "--library", PTASPI_BROKEN_LIBRARY});
        unsetenv("PTASPI_BROKEN_LIBRARY");
        ASSERT_EQ(run.exitCode, 1) << run.out << run.err;
        const nlohmann::json report = run.Json();
        // The first execute request fails, and says why.
        std::string first;
        for (const auto& check : report["checks"]) {
            if (check["result"] != "FAIL") continue;
            first = check["check"].get<std::string>() + ": " + check["got"].get<std::string>();
            break;
        }
        EXPECT_EQ(first.find("TEST UNIT READY by polling: "), 0u) << run.out;
        EXPECT_NE(first.find(broken.got), std::string::npos) << run.out;
        EXPECT_EQ(report["checks"].back()["result"], "SKIP");
    }
}

}  // namespace
}  // namespace tooltest
