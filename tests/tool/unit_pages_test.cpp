// `inquiry --vpd`, `modesense`, `start`/`stop`/`eject`, `sense` and
// `--verbose`: each decoded field checked against what the unit holds (the
// machine file's identity and bytes), refusals with decoded sense and exit 1.
#include "tool_runner.h"

#include <gtest/gtest.h>

namespace tooltest {
namespace {

// Returns the --json output of `args` on the default machine or `machine`,
// which must succeed.
nlohmann::json Succeeds(std::vector<std::string> args, const std::string& machine = "") {
    args.push_back("--json");
    if (!machine.empty()) args.insert(args.end(), {"--machine", MachinePath(machine)});
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.Json();
}

// Returns the standard error of `args`, which must fail with exit 1.
std::string FailsWith(std::vector<std::string> args, const std::string& machine = "") {
    if (!machine.empty()) args.insert(args.end(), {"--machine", MachinePath(machine)});
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    return run.err;
}

const char* const PagesMachine = "tool_unit_pages.json";

// The serial number page and the T10 designator agree with each other and
// with the INQUIRY identity of machines/default.json's units.
TEST(VitalProductData, SerialAndDesignatorsMatchTheUnitsIdentity) {
    const struct {
        const char* address;
        const char* page;  // the name for the identification page
        const char* identity;
    } units[] = {{"0:0:0", "di", "KESTREL KS-3200 ULTRA   "}, {"0:3:0", "131", "LUMOPTICCDR-40S SCSI    "},
                 {"0:6:0", "0x83", "PIXELRAYFLATBED 1200    "}};
    for (const auto& unit : units) {
        SCOPED_TRACE(unit.address);
        const nlohmann::json serial = Succeeds({"inquiry", unit.address, "--vpd", "sn"});
        EXPECT_EQ(serial["page"], 0x80);
        EXPECT_EQ(serial["page_name"], "unit serial number");
        const std::string number = serial["serial"];
        EXPECT_EQ(serial["page_length"], number.size());
        const nlohmann::json ids = Succeeds({"inquiry", unit.address, "--vpd", unit.page});
        ASSERT_EQ(ids["designators"].size(), 2u);
        const nlohmann::json& t10 = ids["designators"][0];
        EXPECT_EQ(t10["type"]["name"], "t10 vendor id");
        EXPECT_EQ(t10["code_set"]["name"], "ascii");
        EXPECT_EQ(t10["association"]["name"], "logical unit");
        EXPECT_EQ(t10["value"], unit.identity + number);
        EXPECT_EQ(ids["designators"][1]["type"]["name"], "naa");
        EXPECT_EQ(std::string(ids["designators"][1]["value"]).substr(0, 1), "3");
    }
    const nlohmann::json supported = Succeeds({"inquiry", "0:2:0", "--vpd", "sp"});
    ASSERT_EQ(supported["pages"].size(), 3u);
    EXPECT_EQ(supported["pages"][1]["code"], 0x80);
    EXPECT_EQ(supported["pages"][2]["name"], "device identification");
    EXPECT_NE(FailsWith({"inquiry", "0:0:0", "--vpd", "0xb1"}).find("invalid field in cdb"),
              std::string::npos);
}

// Designator types, code sets and associations as a unit gives them, and
// a designator that runs past the page's end.
TEST(VitalProductData, DesignatorsOfEveryKindAreDecoded) {
    const nlohmann::json ids = Succeeds({"inquiry", "0:2:0", "--vpd", "di"}, PagesMachine);
    ASSERT_EQ(ids["designators"].size(), 3u);
    const struct {
        const char* type;
        const char* association;
        const char* codeSet;
        const char* value;
    } expected[] = {{"relative target port", "target port", "binary", "2"},
                    {"scsi name string", "target device", "utf-8", "iqn.x"},
                    {"eui-64", "logical unit", "binary", "0123456789abcdef"}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ids["designators"][i]["type"]["name"], expected[i].type);
        EXPECT_EQ(ids["designators"][i]["association"]["name"], expected[i].association);
        EXPECT_EQ(ids["designators"][i]["code_set"]["name"], expected[i].codeSet);
        EXPECT_EQ(ids["designators"][i]["value"], expected[i].value);
    }
    EXPECT_EQ(ids["designators_cut"], true);
}

// The emulated disk answers MODE SENSE(10): the block descriptor holds the
// machine file's size, then its pages.
// INQUIRY data says its own length: only those bytes are shown.
TEST(Inquiry, OnlyTheBytesTheAdditionalLengthCountsAreShown) {
    EXPECT_EQ(Succeeds({"inquiry", "0:3:0"}, PagesMachine)["data"], "0000050203000000");
}

TEST(ModeSense, TheDisksGeometryAndPagesComeByModeSense10) {
    for (const std::vector<std::string>& page : {std::vector<std::string>{}, {"8"}, {"0x3f"}}) {
        std::vector<std::string> args = {"modesense", "0:0:0"};
        args.insert(args.end(), page.begin(), page.end());
        const nlohmann::json mode = Succeeds(args);
        EXPECT_EQ(mode["command"], "MODE SENSE(10)");
        ASSERT_EQ(mode["block_descriptors"].size(), 1u);
        EXPECT_EQ(mode["block_descriptors"][0]["blocks"], 4096);
        EXPECT_EQ(mode["block_descriptors"][0]["block_length"], 512);
        const size_t caching = page.size() == 1 && page[0] == "8" ? 0 : 1;
        ASSERT_EQ(mode["pages"].size(), caching == 0 ? 1u : 3u);
        EXPECT_EQ(mode["pages"][caching]["code"], 8);
        EXPECT_EQ(mode["pages"][caching]["name"], "caching");
        EXPECT_EQ(mode["pages"][caching]["length"], 18);
    }
    EXPECT_NE(FailsWith({"modesense", "0:0:0", "5"}).find("invalid field in cdb"), std::string::npos);
}

TEST(ModeSense, TenByteHeaderDescriptorsAndSubpages) {
    const nlohmann::json mode = Succeeds({"modesense", "0:1:0"}, PagesMachine);
    EXPECT_EQ(mode["command"], "MODE SENSE(10)");
    EXPECT_EQ(mode["mode_data_length"], 44);
    EXPECT_EQ(mode["write_protected"], true);
    EXPECT_EQ(mode["block_descriptors"][0]["blocks"], 4096);
    ASSERT_EQ(mode["pages"].size(), 2u);
    EXPECT_EQ(mode["pages"][0]["savable"], true);
    EXPECT_EQ(mode["pages"][0]["length"], 18);
    EXPECT_EQ(mode["pages"][1]["code"], 0x0A);
    EXPECT_EQ(mode["pages"][1]["subpage"], 1);
    EXPECT_EQ(mode["pages"][1]["name"], nullptr) << "0x0A subpage 1 is not the control page";
    EXPECT_EQ(mode["pages"][1]["data"], "4a01000401020304");
    // A refusal other than of the opcode is not retried in the 6-byte form.
    const std::string err = FailsWith({"modesense", "0:1:0", "--verbose"}, "tool_check_condition.json");
    EXPECT_NE(err.find("ASC 0x99"), std::string::npos) << err;
    EXPECT_EQ(err.find("cdb 1A"), std::string::npos) << err;
}

// START STOP UNIT's byte 1 (IMMED) and byte 4 (LOEJ, START) per command, as
// --verbose shows the block sent, with the status that came back.
TEST(StartStop, CommandBlocksAndRefusals) {
    const struct {
        const char* command;
        bool immed;
        const char* cdb;
    } cases[] = {{"start", false, "1B 00 00 00 01 00"},
                 {"stop", true, "1B 01 00 00 00 00"},
                 {"eject", false, "1B 00 00 00 02 00"},
                 {"eject", true, "1B 01 00 00 02 00"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + (c.immed ? " --immed" : ""));
        std::vector<std::string> args = {c.command, "0:3:0", "--verbose"};
        if (c.immed) args.push_back("--immed");
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.err.find("> 0:3:0 cdb " + std::string(c.cdb) + " (no data, 0 bytes)"),
                  std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find("< status SS_COMP (0x01)"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("< residual not reported"), std::string::npos) << run.err;
    }
    const std::string err = FailsWith({"eject", "0:1:0", "--verbose"}, "tool_check_condition.json");
    EXPECT_NE(err.find("< sense 72 05 24 00 00 00 00 00: ILLEGAL REQUEST: invalid field in cdb"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("eject on 0:1:0 failed"), std::string::npos) << err;
}

// REQUEST SENSE decodes what the unit holds: nothing pending on a fresh
// emulated disk, the scripted unit's power-on UNIT ATTENTION.
TEST(RequestSense, PendingSenseIsDecoded) {
    const nlohmann::json none = Succeeds({"sense", "0:0:0"});
    EXPECT_EQ(none["data_decoded"]["key"]["name"], "NO SENSE");
    EXPECT_EQ(none["data"].get<std::string>().size(), 36u) << "18 bytes of fixed sense";
    const nlohmann::json attention = Succeeds({"sense", "0:1:0"}, PagesMachine);
    EXPECT_EQ(attention["data"], "700006000000000a000000002900000000" "00");
    EXPECT_EQ(attention["data_decoded"]["key"]["name"], "UNIT ATTENTION");
    EXPECT_EQ(attention["data_decoded"]["asc"], 0x29);
    const ToolRun text = RunTool({"sense", "0:1:0", "--machine", MachinePath(PagesMachine)});
    EXPECT_NE(text.out.find("UNIT ATTENTION: power on, reset, or bus device reset occurred"),
              std::string::npos)
        << text.out;
}

TEST(Verbose, EveryCommandOfAReadIsShownAndNothingWithoutIt) {
    const ToolRun run = RunTool({"read", "0:0:0", "0", "1", "-v"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("> 0:0:0 cdb 25 00 00 00 00 00 00 00 00 00 (data in, 8 bytes)"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("> 0:0:0 cdb 28 00 00 00 00 00 00 00 01 00 (data in, 512 bytes)"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(RunTool({"read", "0:0:0", "0", "1"}).err, "");
}

}  // namespace
}  // namespace tooltest
