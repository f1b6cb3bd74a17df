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
        const ToolRun run = RunTool({"tur", "0:0:0", "--timeout", "1", "--notify", method, "--machine",
                                     MachinePath("tool_hanging_unit.json")});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find("no completion within 1000 ms"), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace tooltest
