// `aspitool scan`: the support information, the host adapters and their
// units, as worked out from each machine file, in JSON and as a table.
#include "expected_scan.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tooltest {
namespace {

// Returns nothing; checks that `scan` (the tool's document) lists exactly
// the adapters and units of `machine`.
void ExpectScanMatches(const nlohmann::json& scan, const nlohmann::json& machine) {
    ASSERT_FALSE(scan.is_discarded());
    const nlohmann::json expected = ExpectedAdapters(machine);
    if (!RunsWindowsProgram()) {
        EXPECT_EQ(scan["machine"], machine["name"]);
    }
    EXPECT_EQ(scan["support_info"]["status"]["name"], "SS_COMP");
    EXPECT_EQ(scan["support_info"]["status"]["value"], 1);
    EXPECT_EQ(scan["support_info"]["adapter_count"], expected.size());
    EXPECT_EQ(scan["support_info"]["value"], 0x100 + expected.size());
    ASSERT_EQ(scan["adapters"].size(), expected.size()) << scan.dump(2);
    for (size_t i = 0; i < expected.size(); ++i) {
        const nlohmann::json& actual = scan["adapters"][i];
        const nlohmann::json& want = expected[i];
        SCOPED_TRACE("host adapter " + std::to_string(i));
        EXPECT_EQ(actual["status"]["name"], "SS_COMP");
        for (const char* key : {"ha", "manager", "identifier", "scsi_id", "max_targets", "max_transfer",
                                "alignment_mask"}) {
            EXPECT_EQ(actual[key], want[key]) << key;
        }
        ASSERT_EQ(actual["units"].size(), want["units"].size()) << actual["units"].dump(2);
        for (size_t u = 0; u < want["units"].size(); ++u) {
            for (const char* key : {"target", "lun", "type", "vendor", "product", "revision"}) {
                EXPECT_EQ(actual["units"][u][key], want["units"][u][key]) << "unit " << u << " " << key;
            }
            EXPECT_FALSE(actual["units"][u].contains("inquiry_error"));
        }
    }
}

// The built-in default machine (no --machine), two buses on one port
// (a second adapter with no initiator id and a wide target), an ATAPI port
// only, and no ports at all.
TEST(ScanOutput, JsonAndTableMatchTheMachineFile) {
    const struct {
        const char* file;
        size_t adapters;
        int atapiPorts;
    } cases[] = {{"", 3, 1}, {"tool_two_buses.json", 4, 1}, {"tool_atapi_only.json", 0, 2}, {"tool_no_ports.json", 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = *c.file != '\0' ? MachinePath(c.file)
                                                 : std::string(PTASPI_SOURCE_DIR) + "/machines/default.json";
        std::vector<std::string> args = {"scan", "--json"};
        if (*c.file != '\0') args.insert(args.end(), {"--machine", path});
        const ToolRun run = RunTool(args);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");
        std::ifstream in(path);
        const nlohmann::json machine = nlohmann::json::parse(in, nullptr, false);
        ExpectScanMatches(run.Json(), machine);
        EXPECT_EQ(run.Json()["adapters"].size(), c.adapters);
        EXPECT_EQ(run.Json()["atapi_ports_skipped"], c.atapiPorts);

        args.erase(args.begin() + 1);
        const ToolRun table = RunTool(args);
        EXPECT_EQ(table.exitCode, 0);
        EXPECT_NE(table.out.find(std::to_string(c.adapters) + " host adapters"), std::string::npos) << table.out;
        EXPECT_EQ(table.out.find(std::to_string(c.atapiPorts) + " IDE/ATAPI port") != std::string::npos,
                  c.atapiPorts != 0) << table.out;
    }
}

TEST(ScanOutput, TableNamesAdaptersAndUnitsByAddress) {
    const ToolRun run = RunTool({"scan", "--machine", MachinePath("tool_two_buses.json")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (const char* text : {"SS_COMP (0x01)", "DUALHBA", "1:12:0", "0:1:2", "SEP BUS0 LUN2"}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    }
}

// The scan lists every unit, and a failed INQUIRY fails the run: exit 1.
TEST(ScanOutput, UnitWhoseInquiryFailsIsListedAndTheScanGoesOn) {
    const ToolRun run = RunTool({"scan", "--json", "--machine", MachinePath("tool_inquiry_fails.json")});
    ASSERT_EQ(run.exitCode, 1) << run.err;
    const nlohmann::json units = run.Json()["adapters"][0]["units"];
    ASSERT_EQ(units.size(), 2u) << units.dump(2);
    EXPECT_EQ(units[0]["target"], 1);
    EXPECT_EQ(units[0]["type"], 3);
    EXPECT_TRUE(units[0]["vendor"].is_null());
    EXPECT_EQ(units[0]["inquiry_error"]["status"]["name"], "SS_ERR");
    EXPECT_EQ(units[0]["inquiry_error"]["targ_stat"]["value"], 2);
    EXPECT_EQ(units[0]["inquiry_error"]["sense_decoded"]["key"]["name"], "HARDWARE ERROR");
    EXPECT_EQ(units[1]["target"], 3);
    EXPECT_EQ(units[1]["vendor"], "KESTREL");

    const ToolRun text = RunTool({"scan", "--machine", MachinePath("tool_inquiry_fails.json")});
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_NE(text.err.find("1 unit did not answer INQUIRY"), std::string::npos) << text.err;
    EXPECT_NE(text.out.find("internal target failure"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("KS-3200 ULTRA"), std::string::npos) << text.out;
}

}  // namespace
}  // namespace tooltest
