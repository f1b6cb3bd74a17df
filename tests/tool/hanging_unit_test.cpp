// A command that never completes: the tool gives up after --timeout, says
// so, and ends with a failure instead of waiting for ever or freeing memory
// the library still holds.
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <chrono>

namespace tooltest {
namespace {

TEST(HangingUnit, EveryNotifyMethodGivesUpAfterTheTimeout) {
    for (const char* method : {"event", "post", "poll"}) {
        SCOPED_TRACE(method);
        const auto start = std::chrono::steady_clock::now();
        const ToolRun run = RunTool({"tur", "0:0:0", "--timeout", "1", "--notify", method,
                                     "--machine", MachinePath("tool_hanging_unit.json")});
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find("no completion within 1000 ms"), std::string::npos) << run.err;
        EXPECT_LT(seconds, 30);
    }
}

TEST(HangingUnit, TimeoutMustBeASensibleNumberOfSeconds) {
    for (const char* value : {"0", "3601", "x", "-5"}) {
        const ToolRun run = RunTool({"scan", "--timeout", value});
        EXPECT_EQ(run.exitCode, 2) << value;
        EXPECT_NE(run.err.find("--timeout"), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace tooltest
