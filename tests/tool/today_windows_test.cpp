// aspitool on the example machines of today's Windows, as an elevated
// administrator and without elevation: what each finds and reaches, and
// what the reports tell the user about the release and the elevation.
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <string>

namespace tooltest {
namespace {

// Returns the path of a copy of machines/<name>.json run by `user`.
std::string MachineAs(const std::string& name, const std::string& user) {
    const std::vector<uint8_t> bytes =
        ReadFile(std::string(PTASPI_SOURCE_DIR) + "/machines/" + name + ".json");
    std::string text(bytes.begin(), bytes.end());
    const std::string from = "\"user\": \"administrator\"";
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << name;
    if (at != std::string::npos) text.replace(at, from.size(), "\"user\": \"" + user + "\"");
    const std::string path = MakeTempFolder() + "/" + name + ".json";
    EXPECT_TRUE(WriteFile(path, std::vector<uint8_t>(text.begin(), text.end())));
    return path;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(TodaysWindows, WithoutElevationTheDvdWritersAreReachedAndTheRestNamed) {
    const std::string standard = MachineAs("windows10_desktop", "standard");
    const ToolRun scan = RunTool({"scan", "--json", "--machine", standard});
    const nlohmann::json document = scan.Json();
    ASSERT_TRUE(document.is_object()) << scan.out << scan.err;
    EXPECT_EQ(document["windows"]["elevated"], false);
    EXPECT_EQ(document["windows"]["wow64"], true);
    EXPECT_EQ(document["windows"]["version"], "6.2.9200");
    // The SATA writer at 1:0:0 and the USB writer, whose port has no
    // port device, at 4:0:0; every other unit is listed, unreached.
    ASSERT_EQ(document["adapters"].size(), 6u);
    EXPECT_EQ(document["adapters"][4]["identifier"], "USB");
    EXPECT_EQ(document["adapters"][1]["units"][0]["product"], "DVDRW SA-24X");
    EXPECT_EQ(document["adapters"][4]["units"][0]["product"], "DVDRW USB SLIM");
    EXPECT_EQ(document["unreached"]["units"], 4);
    EXPECT_EQ(document["unreached"]["adapters"], nlohmann::json::array({0, 2, 3, 5}));
    EXPECT_EQ(document["unreached"]["elevation_would_reach"], true);
    const ToolRun text = RunTool({"scan", "--machine", standard});
    EXPECT_TRUE(Has(text.out, "elevation: not elevated")) << text.out;
    EXPECT_TRUE(Has(text.out, "4 units on host adapters 0, 2, 3 and 5 cannot be reached")) << text.out;
    EXPECT_TRUE(Has(text.out, "'Run as administrator'")) << text.out;
    for (const char* writer : {"1:0:0", "4:0:0"}) {
        const ToolRun read = RunTool({"read", writer, "0", "1", "--machine", standard});
        EXPECT_EQ(read.exitCode, 0) << writer << ": " << read.err;
    }
    // What this user may not reach is skipped, with the reason, never failed.
    const ToolRun check = RunTool({"check", "--json", "--machine", standard});
    const nlohmann::json report = check.Json();
    ASSERT_TRUE(report.is_object()) << check.out << check.err;
    EXPECT_EQ(report["summary"]["failed"], 0) << check.out;
    EXPECT_EQ(report["windows"]["elevated"], false);
    EXPECT_EQ(report["unreached"]["units"], 4);
    bool reasonNamed = false;
    for (const nlohmann::json& entry : report["checks"]) {
        if (entry["verdict"] == "SKIP" && Has(entry.value("reason", ""), "without elevation")) reasonNamed = true;
    }
    EXPECT_TRUE(reasonNamed) << check.out;
}

TEST(TodaysWindows, ElevatedEveryUnitIsReachedAndNothingFails) {
    for (const std::string name : {"windows10_desktop", "windows7_workstation"}) {
        SCOPED_TRACE(name);
        const std::string machine = std::string(PTASPI_SOURCE_DIR) + "/machines/" + name + ".json";
        const ToolRun scan = RunTool({"scan", "--json", "--machine", machine});
        const nlohmann::json document = scan.Json();
        ASSERT_TRUE(document.is_object()) << scan.out << scan.err;
        EXPECT_EQ(scan.exitCode, 0) << scan.err;
        EXPECT_EQ(document["windows"]["elevated"], true);
        EXPECT_EQ(document["unreached"]["units"], 0);
        const ToolRun check = RunTool({"check", "--json", "--machine", machine});
        EXPECT_EQ(check.Json()["summary"]["failed"], 0) << check.out;
    }
    // Windows 7 without elevation reaches none of its units through the
    // library (its DVD drive is on an IDE port, which gets no host
    // adapter), and the check says so without a failure.
    const ToolRun check = RunTool({"check", "--json", "--machine", MachineAs("windows7_workstation", "standard")});
    EXPECT_EQ(check.Json()["summary"]["failed"], 0) << check.out;
    EXPECT_EQ(check.exitCode, 3) << check.err;
}

}  // namespace
}  // namespace tooltest
