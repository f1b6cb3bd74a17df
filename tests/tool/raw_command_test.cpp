// `aspitool raw`, `tur`, `inquiry` and `readcap`: statuses by name and
// value, sense decoded in fixed and descriptor format, data in and out, and
// a non-zero exit for anything but SS_COMP.
#include "test_machines.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

namespace tooltest {
namespace {

std::string CheckConditionMachine() {
    return MachinePath("tool_check_condition.json");
}

TEST(RawCommand, CheckConditionWithFixedSenseIsDecodedAndFails) {
    const ToolRun run = RunTool({"raw", "0:1:0", "000000000000", "--json", "--machine", CheckConditionMachine()});
    EXPECT_EQ(run.exitCode, 1);
    const nlohmann::json result = run.Json();
    ASSERT_FALSE(result.is_discarded()) << run.out;
    EXPECT_EQ(result["status"]["name"], "SS_ERR");
    EXPECT_EQ(result["status"]["value"], 4);
    EXPECT_EQ(result["ha_stat"]["name"], "HASTAT_OK");
    EXPECT_EQ(result["targ_stat"]["name"], "CHECK CONDITION");
    EXPECT_EQ(result["targ_stat"]["value"], 2);
    EXPECT_EQ(result["sense"], "70000200000000" "0a000000003a0000000000");
    EXPECT_EQ(result["sense_decoded"]["format"], "fixed");
    EXPECT_EQ(result["sense_decoded"]["key"]["name"], "NOT READY");
    EXPECT_EQ(result["sense_decoded"]["asc"], 0x3A);
    EXPECT_EQ(result["sense_decoded"]["description"], "medium not present");
    EXPECT_NE(run.err.find("SS_ERR (0x04)"), std::string::npos) << run.err;

    const ToolRun text = RunTool({"raw", "0:1:0", "00 00 00 00 00 00", "--machine", CheckConditionMachine()});
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_NE(text.out.find("CHECK CONDITION (0x02)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("NOT READY: medium not present (ASC 0x3A, ASCQ 0x00)"), std::string::npos)
        << text.out;
}

TEST(RawCommand, DescriptorSenseAndUnknownCodesAreDecoded) {
    const ToolRun descriptor = RunTool({"raw", "0:1:0", "1b", "00", "00", "00", "01", "00", "--json",
                                        "--machine", CheckConditionMachine()});
    EXPECT_EQ(descriptor.exitCode, 1);
    EXPECT_EQ(descriptor.Json()["sense_decoded"]["format"], "descriptor");
    EXPECT_EQ(descriptor.Json()["sense_decoded"]["key"]["name"], "ILLEGAL REQUEST");
    EXPECT_EQ(descriptor.Json()["sense_decoded"]["description"], "invalid field in cdb");

    const ToolRun unknown = RunTool({"raw", "0:1:0", "5a00000000000000fc00", "--json", "--machine",
                                     CheckConditionMachine()});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.Json()["sense_decoded"]["description"], "ASC 0x99 ASCQ 0x42");
}

TEST(RawCommand, SenseLengthLimitsTheSenseBytes) {
    const ToolRun run = RunTool({"raw", "0:1:0", "000000000000", "--sense", "4", "--json", "--machine",
                                 CheckConditionMachine()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.Json()["sense"], "70000200");
    EXPECT_EQ(run.Json()["sense_decoded"]["key"]["name"], "NOT READY");

    const ToolRun none = RunTool({"raw", "0:1:0", "000000000000", "--sense", "0", "--json", "--machine",
                                  CheckConditionMachine()});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.Json()["sense"], "");
    EXPECT_TRUE(none.Json()["sense_decoded"].is_null());
}

TEST(RawCommand, TestUnitReadyNamesWhyTheUnitIsNotReady) {
    const ToolRun run = RunTool({"tur", "0:1:0", "--machine", CheckConditionMachine()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("not ready"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("medium not present"), std::string::npos) << run.err;

    const ToolRun ready = RunTool({"tur", "0:0:0", "--json"});
    EXPECT_EQ(ready.exitCode, 0) << ready.err;
    EXPECT_EQ(ready.Json()["ready"], true);
    EXPECT_EQ(ready.Json()["status"]["name"], "SS_COMP");
}

TEST(RawCommand, DataInComesBackAsHex) {
    const ToolRun run = RunTool({"raw", "0:3:0", "12 00 00 00 24 00", "--in", "36", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<uint8_t> data = FromHex(run.Json()["data"].get<std::string>());
    ASSERT_EQ(data.size(), 36u);
    EXPECT_EQ(data[0] & 0x1F, 5);
    EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 16), "LUMOPTIC");

    const ToolRun inquiry = RunTool({"inquiry", "0:3:0", "--json"});
    ASSERT_EQ(inquiry.exitCode, 0) << inquiry.err;
    EXPECT_EQ(inquiry.Json()["data"], run.Json()["data"]);
    EXPECT_EQ(inquiry.Json()["vendor"], "LUMOPTIC");
    EXPECT_EQ(inquiry.Json()["type_name"], "cdrom");
    EXPECT_EQ(inquiry.Json()["removable"], true);
}

TEST(RawCommand, DataOutFromFileReachesTheMedium) {
    const std::string folder = MakeTempFolder();
    const std::string disk = folder + "/disk.img";
    ASSERT_TRUE(WriteFile(disk, std::vector<uint8_t>(64 * 512, 0)));
    const std::string machine = folder + "/machine.json";
    ASSERT_TRUE(WriteMachine(machine, DiskMachine(disk, 64, 512, 65536, 3)));
    const std::vector<uint8_t> block = Pattern(512, 512, 0x77);
    const std::string input = folder + "/block.bin";
    ASSERT_TRUE(WriteFile(input, block));

    // WRITE(10) of one block at LBA 5.
    const ToolRun write = RunTool({"raw", "0:0:0", "2a 00 00 00 00 05 00 00 01 00", "--out", input,
                                   "--json", "--machine", machine});
    ASSERT_EQ(write.exitCode, 0) << write.err;
    EXPECT_EQ(write.Json()["direction"], "out");
    EXPECT_EQ(write.Json()["length"], 512);
    EXPECT_EQ(write.Json()["status"]["name"], "SS_COMP");

    // READ(10) of the same block, and the image file itself.
    const ToolRun read = RunTool({"raw", "0:0:0", "28000000000500000100", "--in", "512", "--json",
                                  "--machine", machine});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_TRUE(FromHex(read.Json()["data"].get<std::string>()) == block);
    const std::vector<uint8_t> image = ReadFile(disk);
    ASSERT_EQ(image.size(), 64u * 512u);
    EXPECT_TRUE(std::vector<uint8_t>(image.begin() + 5 * 512, image.begin() + 6 * 512) == block);

    const ToolRun readcap = RunTool({"readcap", "0:0:0", "--json", "--machine", machine});
    ASSERT_EQ(readcap.exitCode, 0) << readcap.err;
    EXPECT_EQ(readcap.Json()["blocks"], 64);
    EXPECT_EQ(readcap.Json()["last_lba"], 63);
    EXPECT_EQ(readcap.Json()["block_size"], 512);
}

TEST(RawCommand, AbsentUnitGivesNoDeviceAndSelectionTimeout) {
    const ToolRun run = RunTool({"raw", "0:4:0", "000000000000", "--json"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.Json()["status"]["name"], "SS_NO_DEVICE");
    EXPECT_EQ(run.Json()["status"]["value"], 0x82);
    EXPECT_EQ(run.Json()["ha_stat"]["name"], "HASTAT_SEL_TO");
    EXPECT_EQ(run.Json()["ha_stat"]["value"], 0x11);

    const ToolRun inquiry = RunTool({"inquiry", "0:4:0"});
    EXPECT_EQ(inquiry.exitCode, 1);
    EXPECT_NE(inquiry.err.find("no unit at 0:4:0"), std::string::npos) << inquiry.err;
}

}  // namespace
}  // namespace tooltest
