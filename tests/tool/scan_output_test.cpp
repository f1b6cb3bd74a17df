// `aspitool scan --json` against machine files: the support information,
// the host adapters with their inquiry fields and the units with their
// INQUIRY identity, as worked out from each machine file.
#include "expected_scan.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tooltest {
namespace {

nlohmann::json LoadMachine(const std::string& path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in, nullptr, false);
}

// Returns nothing; checks that `scan` (the tool's document) lists exactly
// the adapters and units of `machine`.
void ExpectScanMatches(const nlohmann::json& scan, const nlohmann::json& machine) {
    ASSERT_FALSE(scan.is_discarded());
    const nlohmann::json expected = ExpectedAdapters(machine);
    ASSERT_TRUE(scan.contains("support_info"));
    EXPECT_EQ(scan["support_info"]["status"]["name"], "SS_COMP");
    EXPECT_EQ(scan["support_info"]["status"]["value"], 1);
    EXPECT_EQ(scan["support_info"]["adapter_count"], expected.size());
    EXPECT_EQ(scan["support_info"]["value"], 0x100 + expected.size());
    EXPECT_EQ(scan["machine"], machine["name"]);
    ASSERT_EQ(scan["adapters"].size(), expected.size()) << scan.dump(2);
    for (size_t i = 0; i < expected.size(); ++i) {
        const nlohmann::json& actual = scan["adapters"][i];
        const nlohmann::json& want = expected[i];
        SCOPED_TRACE("host adapter " + std::to_string(i));
        EXPECT_EQ(actual["status"]["name"], "SS_COMP");
        for (const char* key : {"ha", "manager", "identifier", "scsi_id", "max_targets",
                                "max_transfer", "alignment_mask"}) {
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

TEST(ScanOutput, BuiltInDefaultMachineMatchesItsFile) {
    const ToolRun run = RunTool({"scan", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const nlohmann::json machine = LoadMachine(std::string(PTASPI_SOURCE_DIR) + "/machines/default.json");
    ExpectScanMatches(run.Json(), machine);
    // The default machine's IDE port gives no host adapter, so adapter 0 is
    // the first SCSI port with the disk at target 0.
    EXPECT_EQ(run.Json()["adapters"][0]["units"][0]["type_name"], "disk");
}

TEST(ScanOutput, MachineFilesMatchTheirContents) {
    for (const char* name : {"tool_two_buses.json", "tool_atapi_only.json", "tool_no_ports.json"}) {
        SCOPED_TRACE(name);
        const ToolRun run = RunTool({"scan", "--json", "--machine", MachinePath(name)});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        ExpectScanMatches(run.Json(), LoadMachine(MachinePath(name)));
    }
}

TEST(ScanOutput, TwoBusesOfOnePortAreTwoAdaptersWithTheirOwnScsiId) {
    const ToolRun run = RunTool({"--json", "--machine", MachinePath("tool_two_buses.json")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json adapters = run.Json()["adapters"];
    ASSERT_GE(adapters.size(), 2u);
    EXPECT_EQ(adapters[0]["identifier"], adapters[1]["identifier"]);
    EXPECT_EQ(adapters[0]["max_transfer"], adapters[1]["max_transfer"]);
    EXPECT_NE(adapters[0]["scsi_id"], adapters[1]["scsi_id"]);
    EXPECT_EQ(adapters[1]["scsi_id"], 255);
    // A target id of 12 on the second bus lets the scan reach it.
    bool found = false;
    for (const nlohmann::json& unit : adapters[1]["units"]) found = found || unit["target"] == 12;
    EXPECT_TRUE(found);
}

TEST(ScanOutput, NoAdaptersGivesAnEmptyListAndSuccess) {
    for (const char* name : {"tool_no_ports.json", "tool_atapi_only.json"}) {
        SCOPED_TRACE(name);
        const ToolRun run = RunTool({"scan", "--json", "--machine", MachinePath(name)});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.Json()["support_info"]["value"], 0x100);
        EXPECT_TRUE(run.Json()["adapters"].empty());
        const ToolRun text = RunTool({"scan", "--machine", MachinePath(name)});
        EXPECT_EQ(text.exitCode, 0);
        EXPECT_NE(text.out.find("0 host adapters"), std::string::npos) << text.out;
    }
}

TEST(ScanOutput, UnitWhoseInquiryFailsIsListedAndTheScanGoesOn) {
    const ToolRun run = RunTool({"scan", "--json", "--machine", MachinePath("tool_inquiry_fails.json")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json units = run.Json()["adapters"][0]["units"];
    ASSERT_EQ(units.size(), 2u) << units.dump(2);
    EXPECT_EQ(units[0]["target"], 1);
    EXPECT_EQ(units[0]["type"], 3);
    EXPECT_TRUE(units[0]["vendor"].is_null());
    ASSERT_TRUE(units[0].contains("inquiry_error"));
    EXPECT_EQ(units[0]["inquiry_error"]["status"]["name"], "SS_ERR");
    EXPECT_EQ(units[0]["inquiry_error"]["targ_stat"]["value"], 2);
    EXPECT_EQ(units[0]["inquiry_error"]["sense_decoded"]["key"]["name"], "HARDWARE ERROR");
    EXPECT_EQ(units[1]["target"], 3);
    EXPECT_EQ(units[1]["vendor"], "KESTREL");

    const ToolRun text = RunTool({"scan", "--machine", MachinePath("tool_inquiry_fails.json")});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_NE(text.out.find("internal target failure"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("KS-3200 ULTRA"), std::string::npos) << text.out;
}

TEST(ScanOutput, TableNamesAdaptersAndUnitsByAddress) {
    const ToolRun run = RunTool({"scan", "--machine", MachinePath("tool_two_buses.json")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("SS_COMP (0x01)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("DUALHBA"), std::string::npos);
    EXPECT_NE(run.out.find("1:12:0"), std::string::npos);
    EXPECT_NE(run.out.find("0:1:2"), std::string::npos);
    EXPECT_NE(run.out.find("SEP BUS0 LUN2"), std::string::npos);
}

}  // namespace
}  // namespace tooltest
